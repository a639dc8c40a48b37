#include "convert/file_io.hpp"

#include <array>

namespace imabox {

FileHandle OpenFile(const std::filesystem::path& path, const char* mode) {
    if (path.empty())
        return nullptr;
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

std::size_t FileWaveSource::Read(std::span<std::uint8_t> out) {
    if (out.empty())
        return 0;
    const std::size_t n = std::fread(out.data(), 1, out.size(), file_);
    if (n < out.size() && std::ferror(file_))
        failed_ = true;
    return n;
}

void FileWaveSource::Skip(std::uint32_t bytes) {
#if defined(_WIN32)
    if (_fseeki64(file_, static_cast<long long>(bytes), SEEK_CUR) == 0)
        return;
#else
    if (fseeko(file_, static_cast<off_t>(bytes), SEEK_CUR) == 0)
        return;
#endif
    // Not seekable (a pipe): read past the bytes instead.
    std::array<std::uint8_t, 4096> discard;
    while (bytes > 0 && !failed_) {
        const std::size_t want = std::min<std::size_t>(bytes, discard.size());
        const std::size_t got = Read(std::span(discard).first(want));
        if (got == 0)
            break;
        bytes -= static_cast<std::uint32_t>(got);
    }
}

}  // namespace imabox
