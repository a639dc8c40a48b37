// SPDX-License-Identifier: MIT
// Paths arrive at the C boundary as wide strings.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace imabox {

// Converts a null-terminated wide path to a filesystem path: UTF-8 bytes on POSIX (wchar_t holds
// UTF-32 there, UTF-16 on Windows). A null pointer gives an empty path, which no open accepts.
std::filesystem::path WidePathToFilesystem(const wchar_t* path);

// Paths as text: on Windows, UTF-8 (the command line's arguments are converted to it, so that
// names outside the ANSI code page survive); elsewhere, the bytes as they are.
std::filesystem::path PathFromUtf8(std::string_view text);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace imabox
