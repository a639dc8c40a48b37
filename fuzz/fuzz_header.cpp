// SPDX-License-Identifier: MIT
// The header reader alone on arbitrary bytes. It either fails with one of its messages, or
// accepts a RIFF/WAVE file with a fmt chunk of a supported format, reporting the fields found at
// their fixed offsets and leaving the source at the first payload byte.
#include <array>
#include <string>

#include "exact/exact_messages.hpp"
#include "exact/strict_header.hpp"
#include "fuzz_support.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"

namespace imabox::fuzz {
namespace {

bool IsHeaderFault(const Error& e) {
    const std::optional<ExactMessage> message = ExactMessageOf(e);
    for (const ExactMessage known :
         {ExactMessage::RiffHeader, ExactMessage::WaveHeader, ExactMessage::FmtHeader,
          ExactMessage::FormatTag, ExactMessage::BitsPerSample, ExactMessage::DataHeader,
          ExactMessage::DataOrFactHeader}) {
        if (message == known)
            return true;
    }
    return false;
}

}  // namespace
}  // namespace imabox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    // The fixed-offset records, zero where the input ends.
    std::array<std::uint8_t, 48> fixed{};
    std::copy_n(data, std::min(size, fixed.size()), fixed.begin());

    MemoryByteSource source({data, size});
    std::string console;
    const auto header = ReadStrictHeader(source, [&](std::string_view t) { console += t; });
    if (!header) {
        Require(IsHeaderFault(header.error()), "header faults are header kinds with their text");
        Require(console.empty() || console == "Converting PCM -> Xbox ADPCM\n" ||
                    console == "Converting Xbox ADPCM -> PCM\n",
                "at most the direction message before a header fault");
        return 0;
    }
    Require(GetLE32(&fixed[0]) == kRiffId && GetLE32(&fixed[8]) == kWaveId &&
                GetLE32(&fixed[12]) == kFmtId,
            "accepted files start with RIFF, WAVE and fmt ids");
    const StrictHeader& h = header.value();
    Require(h.formatTag == GetLE16(&fixed[20]), "format tag at offset 20");
    Require(h.channels == GetLE16(&fixed[22]), "channels at offset 22");
    Require(h.sampleRate == GetLE32(&fixed[24]), "sample rate at offset 24");
    if (h.formatTag == kFormatPCM) {
        Require(GetLE16(&fixed[34]) == 16, "accepted PCM is 16-bit");
        Require(console == "Converting PCM -> Xbox ADPCM\n", "PCM direction message");
    } else {
        Require(h.formatTag == kFormatXBoxADPCM, "only PCM and Xbox ADPCM are accepted");
        Require(console == "Converting Xbox ADPCM -> PCM\n", "Xbox ADPCM direction message");
    }
    // Without a fact chunk the data chunk header sits right after the fmt body.
    const std::size_t dataHeader = h.formatTag == kFormatPCM ? 36 : 40;
    if (GetLE32(&fixed[dataHeader]) == kDataId) {
        Require(h.dataSize == GetLE32(&fixed[dataHeader + 4]), "data size after the fmt body");
        std::array<std::uint8_t, 1> next{};
        const bool more = source.Read(next) == 1;
        Require(more == (size > dataHeader + 8), "the source stops at the first payload byte");
        if (more)
            Require(next[0] == data[dataHeader + 8], "the source stops at the first payload byte");
    }
    return 0;
}
