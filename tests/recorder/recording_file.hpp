// SPDX-License-Identifier: MIT
// Helpers shared by the recorder tests: scratch directories, file contents and the check that a
// file is a complete recording of n seconds.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "wave/wave_header.hpp"

namespace imabox::testing {

// A fresh directory per test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "imabox-" + std::string(info->test_suite_name()) + "-" + info->name() +
                           "-" + std::to_string(::getpid());
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Checks every field of the 44-byte header and the file length for `seconds` whole seconds of
// 16-bit mono 8000 Hz PCM.
inline void ExpectRecordingOf(const std::vector<std::uint8_t>& file, std::uint32_t seconds) {
    const std::uint32_t dataBytes = seconds * 16000;
    ASSERT_EQ(file.size(), 44u + dataBytes);
    const std::uint8_t* h = file.data();
    EXPECT_EQ(GetLE32(h + 0), kRiffId);
    EXPECT_EQ(GetLE32(h + 4), dataBytes + 36);
    EXPECT_EQ(GetLE32(h + 8), kWaveId);
    EXPECT_EQ(GetLE32(h + 12), kFmtId);
    EXPECT_EQ(GetLE32(h + 16), 16u);
    EXPECT_EQ(GetLE16(h + 20), 1u);
    EXPECT_EQ(GetLE16(h + 22), 1u);
    EXPECT_EQ(GetLE32(h + 24), 8000u);
    EXPECT_EQ(GetLE32(h + 28), 16000u);
    EXPECT_EQ(GetLE16(h + 32), 2u);
    EXPECT_EQ(GetLE16(h + 34), 16u);
    EXPECT_EQ(GetLE32(h + 36), kDataId);
    EXPECT_EQ(GetLE32(h + 40), dataBytes);
}

inline std::span<const std::uint8_t> Payload(const std::vector<std::uint8_t>& file) {
    return std::span(file).subspan(44);
}

}  // namespace imabox::testing
