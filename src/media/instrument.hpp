// SPDX-License-Identifier: MIT
// The instrument data (loops, pitch) a container other than WAVE may carry, and its smpl chunk.
#pragma once

#include <cstdint>
#include <vector>

#include "wave/wave_metadata.hpp"

namespace imabox {

// A sustain or release loop of a sampled instrument, in frames of the source.
struct SourceLoop {
    enum class Mode { None, Forward, Backward, Alternating };
    Mode mode = Mode::Forward;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t count = 0;  // 0: loops for ever
};

// Instrument data a container may carry (AIFF INST and MARK, WAVE smpl...).
struct SourceInstrument {
    int gain = 0;
    int baseNote = 0;
    int detune = 0;
    int velocityLow = 0, velocityHigh = 0;
    int keyLow = 0, keyHigh = 0;
    std::vector<SourceLoop> loops;
};

// The loops and pitch of a container libsndfile reads (AIFF, FLAC...) as a smpl chunk, so they
// are aligned and written like a WAVE file's. libsndfile gives loop ends one past the last frame;
// loops without a mode are left out.
SamplerChunk SamplerFromInstrument(const SourceInstrument& instrument, std::uint32_t sampleRate);

}  // namespace imabox
