// SPDX-License-Identifier: MIT
#include "recorder/level_meter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace imabox {
namespace {

constexpr std::uint32_t kPeakMask = 0x1FFFF;
constexpr std::uint32_t kClippingBit = 1u << 17;
constexpr std::uint32_t kSilenceBit = 1u << 18;

}  // namespace

double PeakDbfs(std::uint32_t peak) {
    if (peak == 0)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(static_cast<double>(peak) / 32768.0);
}

void LevelMeter::Reset() {
    blockPeak_ = 0;
    blockSamples_ = 0;
    recent_.fill(0);
    next_ = 0;
    zeroRun_ = 0;
    sinceFullScale_ = kSecondSamples;
    published_.store(0);
}

void LevelMeter::Add(std::span<const std::uint8_t> pcm) {
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(pcm[i] | pcm[i + 1] << 8);
        const std::uint32_t magnitude =
            sample < 0 ? static_cast<std::uint32_t>(-static_cast<std::int32_t>(sample))
                       : static_cast<std::uint32_t>(sample);
        blockPeak_ = std::max(blockPeak_, magnitude);
        zeroRun_ = sample == 0 ? std::min(zeroRun_ + 1, kSecondSamples) : 0;
        sinceFullScale_ = magnitude >= 32767 ? 0 : std::min(sinceFullScale_ + 1, kSecondSamples);
        if (++blockSamples_ < kBlockSamples)
            continue;
        recent_[next_] = blockPeak_;
        next_ = (next_ + 1) % kWindowBlocks;
        blockPeak_ = 0;
        blockSamples_ = 0;
        std::uint32_t value = *std::max_element(recent_.begin(), recent_.end());
        if (sinceFullScale_ < kSecondSamples)
            value |= kClippingBit;
        if (zeroRun_ >= kSecondSamples)
            value |= kSilenceBit;
        published_.store(value);
    }
}

InputLevel LevelMeter::Read() const {
    const std::uint32_t value = published_.load();
    InputLevel level;
    level.peakDbfs = PeakDbfs(value & kPeakMask);
    level.clipping = (value & kClippingBit) != 0;
    level.silence = (value & kSilenceBit) != 0;
    return level;
}

}  // namespace imabox
