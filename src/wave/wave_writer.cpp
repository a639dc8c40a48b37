// SPDX-License-Identifier: MIT
#include "wave/wave_writer.hpp"

#include <array>
#include <limits>

#include "wave/wave_header.hpp"

namespace imabox {
namespace {

constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

std::size_t HeaderSize(WaveCoding coding) {
    return coding == WaveCoding::XBoxADPCM ? kXBoxADPCMHeaderBytes : kPCMHeaderBytes;
}

}  // namespace

std::uint64_t MaxWaveDataBytes(WaveCoding coding, std::uint64_t trailerBytes) {
    const std::uint64_t fixed = HeaderSize(coding) - 8 + trailerBytes;
    return fixed >= kMaxRiffSize ? 0 : kMaxRiffSize - fixed;
}

WaveWriter::WaveWriter(ByteSink& sink, WaveCoding coding, std::uint16_t channels,
                       std::uint32_t sampleRate, const WaveWriterOptions& options)
    : sink_(sink),
      coding_(coding),
      channels_(channels),
      sampleRate_(sampleRate),
      options_(options) {}

std::size_t WaveWriter::headerBytes() const {
    return options_.raw ? 0 : HeaderSize(coding_);
}

bool WaveWriter::Put(std::span<const std::uint8_t> bytes) {
    if (!sink_.Write(bytes))
        return false;
    fileBytes_ += bytes.size();
    return true;
}

bool WaveWriter::Begin(std::optional<std::uint64_t> dataBytes, std::uint64_t trailerBytes) {
    declared_ = dataBytes;
    trailerBytes_ = trailerBytes;
    if (options_.raw)
        return true;
    // Sizes that do not fit are written as unknown; callers check MaxWaveDataBytes first.
    const bool known = dataBytes && *dataBytes <= MaxWaveDataBytes(coding_, trailerBytes);
    const auto data = known ? static_cast<std::uint32_t>(*dataBytes) : kUnknownChunkSize;
    if (coding_ == WaveCoding::XBoxADPCM) {
        auto header = BuildXBoxADPCMWaveHeader(channels_, sampleRate_, data);
        if (known)
            PutLE32(&header[4], static_cast<std::uint32_t>(*dataBytes + 40 + trailerBytes));
        else
            PutLE32(&header[4], kUnknownChunkSize);
        return Put(header);
    }
    auto header = BuildPCMWaveHeader(channels_, sampleRate_, data);
    if (known)
        PutLE32(&header[4], static_cast<std::uint32_t>(*dataBytes + 36 + trailerBytes));
    else
        PutLE32(&header[4], kUnknownChunkSize);
    return Put(header);
}

bool WaveWriter::Write(std::span<const std::uint8_t> payload) {
    if (!Put(payload))
        return false;
    written_ += payload.size();
    return true;
}

bool WaveWriter::Finish(std::span<const std::uint8_t> trailer) {
    if (options_.raw)
        return true;
    const bool pad = (written_ & 1) != 0 && !trailer.empty();
    if (pad) {
        const std::uint8_t zero = 0;
        if (!Put(std::span(&zero, 1)))
            return false;
    }
    if (!trailer.empty() && !Put(trailer))
        return false;
    if (declared_ && *declared_ == written_)
        return true;
    // Sizes written as unknown (or wrongly): fix them where the sink lets us.
    if (!sink_.Seekable() || written_ > MaxWaveDataBytes(coding_, trailer.size() + pad))
        return declared_.has_value() ? false : true;
    std::array<std::uint8_t, 4> field;
    PutLE32(field.data(), static_cast<std::uint32_t>(fileBytes_ - 8));
    if (!sink_.WriteAt(4, field))
        return false;
    PutLE32(field.data(), static_cast<std::uint32_t>(written_));
    return sink_.WriteAt(HeaderSize(coding_) - 4, field);
}

}  // namespace imabox
