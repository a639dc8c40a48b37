// SPDX-License-Identifier: MIT
#include "io/file.hpp"

#include <cerrno>
#include <string>

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

bool WriteAll(std::FILE* file, std::span<const std::uint8_t> bytes) {
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool CloseFile(FileHandle file) {
    std::FILE* raw = file.release();
    const bool flushed = std::fflush(raw) == 0 && !std::ferror(raw);
    return std::fclose(raw) == 0 && flushed;
}

}  // namespace imabox
