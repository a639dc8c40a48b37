// Paths arrive at the C boundary as wide strings.
#pragma once

#include <filesystem>

namespace imabox {

// Converts a null-terminated wide path to a filesystem path: UTF-8 bytes on POSIX (wchar_t holds
// UTF-32 there, UTF-16 on Windows). A null pointer gives an empty path, which no open accepts.
std::filesystem::path WidePathToFilesystem(const wchar_t* path);

}  // namespace imabox
