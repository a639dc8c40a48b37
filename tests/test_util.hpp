// SPDX-License-Identifier: MIT
// Helpers shared by the tests: WAVE files built byte by byte, temporary folders, child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace imabox::test {

using Bytes = std::vector<std::uint8_t>;

inline void Append16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Append32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void AppendId(Bytes& b, std::string_view id) {
    b.insert(b.end(), id.begin(), id.end());
}

struct FmtFields {
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 1;
    std::uint32_t sampleRate = 8000;
    std::uint16_t bitsPerSample = 16;
    std::uint32_t chunkSize = 16;  // declared; the body written is always 16 bytes plus `extra`
    Bytes extra;                   // bytes after the 16-byte body (cbSize, extension)
};

// "RIFF" <size> "WAVE", then a fmt chunk, then `chunks` verbatim, then "data" <dataSize> payload.
// riffSize is computed from the bytes actually written.
Bytes MakeWave(const FmtFields& fmt, const Bytes& chunks, std::uint32_t dataSize,
               const Bytes& payload);

// A 16-bit PCM file with the given interleaved samples.
Bytes MakePCMWave(std::uint16_t channels, std::uint32_t sampleRate,
                  const std::vector<std::int16_t>& samples);

// An Xbox ADPCM file (format tag 0x0069, 20-byte fmt body) around `payload`.
Bytes MakeXBoxADPCMWave(std::uint16_t channels, std::uint32_t sampleRate, const Bytes& payload,
                        std::uint32_t dataSize);

// The interleaved samples of a PCM WAVE file with a 44-byte header.
std::vector<std::int16_t> PCMSamples(const Bytes& file);

std::vector<std::int16_t> RandomSamples(std::size_t count, std::uint32_t seed);

Bytes ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes);

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

struct ChildResult {
    std::string output;   // everything the child wrote to standard output
    int exitStatus = -1;  // as waitpid reports it, or -1 if it did not exit normally
};

// Runs `body` in a forked child with standard output captured; the child exits with status 0 if
// `body` returns.
ChildResult RunInChild(const std::function<void()>& body);

// Runs a program with arguments, capturing standard output.
ChildResult RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace imabox::test
