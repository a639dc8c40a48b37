// SPDX-License-Identifier: MIT
// Files: RAII handles opened by filesystem path (wide on Windows, native bytes elsewhere).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>

namespace imabox {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// fopen with a filesystem path. Null on failure, with errno set (ENOENT for an empty path).
FileHandle OpenFile(const std::filesystem::path& path, const char* mode);

// A temporary file opened for update, removed when closed. Null on failure, with errno set. On
// Windows it lies in the user's temporary folder (the C runtime's tmpfile picks the drive's root,
// which ordinary users may not write).
FileHandle OpenTemporaryFile();

// Writes all of `bytes`; false on a short write.
bool WriteAll(std::FILE* file, std::span<const std::uint8_t> bytes);

// Flushes and closes; false when either fails.
bool CloseFile(FileHandle file);

}  // namespace imabox
