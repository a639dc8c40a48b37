// SPDX-License-Identifier: MIT
#include "media/instrument.hpp"

#include <algorithm>

namespace imabox {

SamplerChunk SamplerFromInstrument(const SourceInstrument& instrument, std::uint32_t sampleRate) {
    SamplerChunk sampler;
    SetSamplerRate(sampler, sampleRate);
    sampler.midiUnityNote = static_cast<std::uint32_t>(std::clamp(instrument.baseNote, 0, 127));
    ShiftSamplerPitch(sampler, instrument.detune);
    for (const SourceLoop& loop : instrument.loops) {
        std::uint32_t type = kLoopForward;
        if (loop.mode == SourceLoop::Mode::None)
            continue;
        if (loop.mode == SourceLoop::Mode::Alternating)
            type = 1;
        else if (loop.mode == SourceLoop::Mode::Backward)
            type = 2;
        // An empty loop (end at or before start) is kept as it is for CheckLoops to report.
        const std::uint32_t end = loop.end > loop.start ? loop.end - 1 : loop.end;
        sampler.loops.push_back({.cuePointId = 0,
                                 .type = type,
                                 .start = loop.start,
                                 .end = end,
                                 .fraction = 0,
                                 .playCount = loop.count});
    }
    return sampler;
}

}  // namespace imabox
