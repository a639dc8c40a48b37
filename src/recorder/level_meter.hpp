// SPDX-License-Identifier: MIT
// The input level of 16-bit PCM as it is captured: the peak over the last quarter of a second,
// recent clipping, and a second or more of digital silence. Fed on the capture thread, read from
// any other.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "imabox/recorder.hpp"

namespace imabox {

// A peak sample magnitude (0 to 32768) in dBFS: 0 at full scale, -infinity for digital silence.
double PeakDbfs(std::uint32_t peak);

class LevelMeter {
  public:
    static constexpr std::uint32_t kBlockSamples = 400;  // 50 ms at 8000 Hz
    static constexpr std::size_t kWindowBlocks = 5;      // the peak covers 250 ms
    static constexpr std::uint32_t kSecondSamples = 8000;

    // Forgets everything. Not while Add may run.
    void Reset();
    // Takes captured 16-bit little-endian samples (a trailing odd byte is ignored).
    void Add(std::span<const std::uint8_t> pcm);
    // The level as of the last whole 50 ms block.
    InputLevel Read() const;

  private:
    // Capture-thread state.
    std::uint32_t blockPeak_ = 0;
    std::uint32_t blockSamples_ = 0;
    std::array<std::uint32_t, kWindowBlocks> recent_{};
    std::size_t next_ = 0;
    std::uint32_t zeroRun_ = 0;  // consecutive zero samples, up to kSecondSamples
    std::uint32_t sinceFullScale_ = kSecondSamples;  // samples since one at full scale
    // Published: the peak in the low 17 bits, then the clipping and silence flags.
    std::atomic<std::uint32_t> published_{0};
};

}  // namespace imabox
