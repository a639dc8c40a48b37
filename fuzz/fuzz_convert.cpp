// SPDX-License-Identifier: MIT
// The whole in-memory conversion on arbitrary input bytes, in whichever direction the input's
// format tag chooses. A failure must carry one of the defined messages and never report success;
// a success must be a well-formed file of the other encoding that converts back, with frame 0 of
// every block carried over exactly.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "exact/strict_header.hpp"
#include "fuzz_support.hpp"
#include "imabox/convert.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"

namespace imabox::fuzz {
namespace {

struct Outcome {
    Expected<MemoryOutput<ConvertReport>> result = Error{};
    std::string console;
};

Outcome Convert(std::span<const std::uint8_t> input) {
    Outcome o;
    o.result = ConvertMemory(input, {[&o](std::string_view t) { o.console += t; }});
    return o;
}

bool EndsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The input's header fields and its payload as the converter sees it (what the file does not
// hold reads as zero).
struct Input {
    StrictHeader info;
    std::vector<std::uint8_t> payload;
};

Input ReadInput(std::span<const std::uint8_t> bytes) {
    MemoryByteSource source(bytes);
    auto header = ReadStrictHeader(source, nullptr);
    Require(header.ok(), "a converted input must have readable headers");
    Input in{header.value(), std::vector<std::uint8_t>(header->dataSize)};
    source.Read(in.payload);
    return in;
}

std::int16_t SampleAt(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    const std::size_t at = index * 2;
    const unsigned lo = at < bytes.size() ? bytes[at] : 0;
    const unsigned hi = at + 1 < bytes.size() ? bytes[at + 1] : 0;
    return static_cast<std::int16_t>(lo | (hi << 8));
}

void CheckSuccess(std::span<const std::uint8_t> input, const Outcome& o) {
    const ConvertReport& s = o.result->report;
    const std::vector<std::uint8_t>& file = o.result->file;
    const Input in = ReadInput(input);
    const unsigned channels = in.info.channels;
    Require(s.channels == channels && s.sampleRate == in.info.sampleRate,
            "channels and sample rate carry over");
    Require(s.inputFrames == in.info.dataSize / (2u * channels), "printed frame count");

    if (s.output == Encoding::XBoxADPCM) {
        Require(in.info.formatTag == kFormatPCM, "PCM input gives Xbox ADPCM output");
        Require(o.console.starts_with("Converting PCM -> Xbox ADPCM\n") &&
                    EndsWith(o.console, "Converting to Xbox ADPCM - DONE!\n"),
                "console of an encode");
        Require(s.blocks == XBoxADPCMBlockCount(s.inputFrames), "block count of an encode");
        Require(s.outputDataBytes == s.blocks * kBlockBytesPerChannel * channels, "encoded size");
        const auto header = BuildXBoxADPCMWaveHeader(in.info.channels, in.info.sampleRate,
                                                     static_cast<std::uint32_t>(s.outputDataBytes));
        Require(file.size() == header.size() + s.outputDataBytes, "encoded file size");
        Require(std::equal(header.begin(), header.end(), file.begin()), "encoded header");
    } else {
        Require(in.info.formatTag == kFormatXBoxADPCM, "Xbox ADPCM input gives PCM output");
        Require(o.console.starts_with("Converting Xbox ADPCM -> PCM\n") &&
                    EndsWith(o.console, "Converting to PCM - DONE!\n"),
                "console of a decode");
        Require(s.blocks == in.info.dataSize / (std::uint64_t{kBlockBytesPerChannel} * channels),
                "block count of a decode");
        Require(s.outputDataBytes == s.blocks * kFramesPerBlock * channels * 2, "decoded size");
        const auto header = BuildPCMWaveHeader(in.info.channels, in.info.sampleRate,
                                               static_cast<std::uint32_t>(s.outputDataBytes));
        Require(file.size() == header.size() + s.outputDataBytes, "decoded file size");
        Require(std::equal(header.begin(), header.end(), file.begin()), "decoded header");
        // Frame 0 of every block is the block header's sample.
        const std::size_t blockBytes = std::size_t{kBlockBytesPerChannel} * channels;
        for (std::uint64_t b = 0; b < s.blocks; ++b) {
            for (unsigned c = 0; c < channels; ++c) {
                const std::uint8_t* h = &in.payload[b * blockBytes + 4 * c];
                const std::size_t out = kPCMHeaderBytes + 2 * (b * kFramesPerBlock * channels + c);
                Require(GetLE16(&file[out]) == GetLE16(h), "decoded frame 0 is the header sample");
            }
        }
    }

    // The output is a valid input of the other kind.
    const Outcome back = Convert(file);
#ifdef IMABOX_FUZZ_MAX_DATA_BYTES
    if (s.outputDataBytes > IMABOX_FUZZ_MAX_DATA_BYTES) {
        Require(!back.result.ok() && back.result.error().kind == ErrorKind::OutOfMemory,
                "the fuzz build's bound on declared data");
        return;
    }
#endif
    Require(back.result.ok(), "a converted file converts back");
    Require(back.result->report.input == (s.output == Encoding::XBoxADPCM ? SourceFormat::XBoxADPCM
                                                                          : SourceFormat::PCM16) &&
                (back.result->report.output == Encoding::XBoxADPCM) ==
                    (s.input == SourceFormat::XBoxADPCM),
            "converting back restores the encoding");
    Require(back.result->report.channels == channels, "converting back keeps the channels");
    if (s.output == Encoding::XBoxADPCM) {
        // PCM -> Xbox ADPCM -> PCM keeps frame 0 of every block exactly.
        const std::vector<std::uint8_t>& pcm = back.result->file;
        Require(back.result->report.blocks == s.blocks, "round trip keeps the block count");
        for (std::uint64_t b = 0; b < s.blocks; ++b) {
            for (unsigned c = 0; c < channels; ++c) {
                const std::size_t i = b * kFramesPerBlock * channels + c;
                Require(static_cast<std::int16_t>(GetLE16(&pcm[kPCMHeaderBytes + 2 * i])) ==
                            SampleAt(in.payload, i),
                        "round trip keeps frame 0 of every block");
            }
        }
    }
}

}  // namespace
}  // namespace imabox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox::fuzz;
    const std::span<const std::uint8_t> input(data, size);
    const Outcome o = Convert(input);
    if (o.result.ok()) {
        CheckSuccess(input, o);
    } else {
        Require(IsDefinedFailure(o.result.error()), "failures carry a defined kind and its text");
        Require(o.console.find("DONE!") == std::string::npos, "no DONE! after a failure");
    }
    return 0;
}
