// SPDX-License-Identifier: MIT
#include "io/file.hpp"

#include <cerrno>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace imabox {

FileHandle OpenFile(const std::filesystem::path& path, const char* mode) {
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
#if defined(_WIN32)
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return FileHandle(_wfopen(path.c_str(), wideMode.c_str()));
#else
    return FileHandle(std::fopen(path.c_str(), mode));
#endif
}

FileHandle OpenTemporaryFile() {
#if defined(_WIN32)
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"imb", 0, name) == 0) {
        errno = EACCES;
        return nullptr;
    }
    // T: kept in memory where the system can; D: deleted when closed.
    FileHandle file(_wfopen(name, L"w+bTD"));
    if (!file)
        DeleteFileW(name);
    return file;
#else
    return FileHandle(std::tmpfile());
#endif
}

bool WriteAll(std::FILE* file, std::span<const std::uint8_t> bytes) {
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool CloseFile(FileHandle file) {
    std::FILE* raw = file.release();
    const bool flushed = std::fflush(raw) == 0 && !std::ferror(raw);
    return std::fclose(raw) == 0 && flushed;
}

}  // namespace imabox
