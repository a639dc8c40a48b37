// SPDX-License-Identifier: MIT
#include "test_util.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace imabox::test {

Bytes MakeWave(const FmtFields& fmt, const Bytes& chunks, std::uint32_t dataSize,
               const Bytes& payload) {
    Bytes body;
    AppendId(body, "WAVE");
    AppendId(body, "fmt ");
    Append32(body, fmt.chunkSize);
    Append16(body, fmt.formatTag);
    Append16(body, fmt.channels);
    Append32(body, fmt.sampleRate);
    const std::uint16_t blockAlign =
        static_cast<std::uint16_t>(fmt.channels * fmt.bitsPerSample / 8);
    Append32(body, fmt.sampleRate * blockAlign);
    Append16(body, blockAlign);
    Append16(body, fmt.bitsPerSample);
    body.insert(body.end(), fmt.extra.begin(), fmt.extra.end());
    body.insert(body.end(), chunks.begin(), chunks.end());
    AppendId(body, "data");
    Append32(body, dataSize);
    body.insert(body.end(), payload.begin(), payload.end());

    Bytes file;
    AppendId(file, "RIFF");
    Append32(file, static_cast<std::uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes MakePCMWave(std::uint16_t channels, std::uint32_t sampleRate,
                  const std::vector<std::int16_t>& samples) {
    Bytes payload;
    for (std::int16_t s : samples)
        Append16(payload, static_cast<std::uint16_t>(s));
    FmtFields fmt;
    fmt.channels = channels;
    fmt.sampleRate = sampleRate;
    return MakeWave(fmt, {}, static_cast<std::uint32_t>(payload.size()), payload);
}

Bytes MakeXBoxADPCMWave(std::uint16_t channels, std::uint32_t sampleRate, const Bytes& payload,
                        std::uint32_t dataSize) {
    FmtFields fmt;
    fmt.formatTag = 0x0069;
    fmt.channels = channels;
    fmt.sampleRate = sampleRate;
    fmt.bitsPerSample = 4;
    fmt.chunkSize = 20;
    fmt.extra = {2, 0, 64, 0};
    return MakeWave(fmt, {}, dataSize, payload);
}

std::vector<std::int16_t> PCMSamples(const Bytes& file) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = 44; i + 1 < file.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(file[i] | (file[i + 1] << 8)));
    }
    return samples;
}

std::vector<std::int16_t> RandomSamples(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    std::vector<std::int16_t> samples(count);
    for (auto& s : samples)
        s = static_cast<std::int16_t>(dist(rng));
    return samples;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "imabox-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

ChildResult CaptureChild(const std::function<void()>& inChild) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        inChild();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

ChildResult RunInChild(const std::function<void()>& body) {
    return CaptureChild(body);
}

ChildResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    return CaptureChild([&] {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
}

}  // namespace imabox::test
