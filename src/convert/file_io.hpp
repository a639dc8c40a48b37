// Files for the converter: RAII handles and a WaveSource over an open input file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>

#include "wave/wave_header.hpp"

namespace imabox {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// fopen with a filesystem path (wide on Windows, native bytes elsewhere). Null on failure.
FileHandle OpenFile(const std::filesystem::path& path, const char* mode);

// Writes all of `bytes`; false on a short write.
bool WriteAll(std::FILE* file, std::span<const std::uint8_t> bytes);

// Flushes and closes; false when either fails.
bool CloseFile(FileHandle file);

class FileWaveSource final : public WaveSource {
  public:
    explicit FileWaveSource(std::FILE* file) : file_(file) {}
    std::size_t Read(std::span<std::uint8_t> out) override;
    void Skip(std::uint32_t bytes) override;
    bool Failed() const override { return failed_; }

  private:
    std::FILE* file_;
    bool failed_ = false;
};

}  // namespace imabox
