// SPDX-License-Identifier: MIT
#include "bank/bank_wave.hpp"

#include <algorithm>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "io/errors.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"

namespace imabox::bank {
namespace {

constexpr std::size_t kPieceBlocks = 4096;

Error WriteError(ByteSink& sink) {
    return MakeError(ErrorKind::OutputWrite, SystemErrorText(sink.ErrorNumber()));
}

// The WAVE header for `dataBytes` of `format`, whose RIFF size counts `trailerBytes` more.
std::vector<std::uint8_t> Header(const EntryFormat& format, std::uint64_t dataBytes,
                                 std::uint64_t trailerBytes) {
    const auto channels = static_cast<std::uint16_t>(std::max(1u, format.channels));
    const auto data = static_cast<std::uint32_t>(dataBytes);
    std::vector<std::uint8_t> header;
    if (format.codec == Codec::XBoxADPCM) {
        const auto h = BuildXBoxADPCMWaveHeader(channels, format.sampleRate, data);
        header.assign(h.begin(), h.end());
    } else {
        const auto h = BuildPCMWaveHeader(channels, format.sampleRate, data);
        header.assign(h.begin(), h.end());
        if (format.bits == 8) {
            PutLE32(&header[28], format.sampleRate * channels);
            PutLE16(&header[32], channels);
            PutLE16(&header[34], 8);
        }
    }
    const std::uint64_t riff = header.size() - 8 + dataBytes + (dataBytes & 1) + trailerBytes;
    PutLE32(&header[4], static_cast<std::uint32_t>(riff));
    return header;
}

std::vector<std::uint8_t> LoopTrailer(const Entry& entry, const EntryFormat& format) {
    const std::optional<FrameLoop> loop = EntryLoopFrames(entry);
    if (!loop)
        return {};
    SamplerChunk sampler;
    SetSamplerRate(sampler, format.sampleRate);
    sampler.loops.push_back({.cuePointId = 0,
                             .type = kLoopForward,
                             .start = static_cast<std::uint32_t>(loop->start),
                             .end = static_cast<std::uint32_t>(loop->end),
                             .fraction = 0,
                             .playCount = 0});
    return BuildSamplerChunk(sampler);
}

}  // namespace

std::optional<FrameLoop> EntryLoopFrames(const Entry& entry) {
    if (!entry.looped())
        return std::nullopt;
    const std::uint64_t start = FramesOf(entry.format, entry.loopStart);
    const std::uint64_t end =
        FramesOf(entry.format, std::uint64_t{entry.loopStart} + entry.loopLength);
    if (end <= start)
        return std::nullopt;
    return FrameLoop{start, end - 1};
}

ByteLoop LoopBytes(const EntryFormat& format, const FrameLoop& loop, std::uint64_t entryBytes) {
    const std::uint64_t unit = UnitBytes(format);
    const std::uint64_t frames = format.codec == Codec::XBoxADPCM ? kXBoxADPCMBlockFrames : 1;
    const std::uint64_t first = loop.start / frames;
    const std::uint64_t last = (loop.end + 1 + frames - 1) / frames;  // one past, rounded up
    ByteLoop bytes;
    bytes.rounded = loop.start % frames != 0 || (loop.end + 1) % frames != 0;
    const std::uint64_t start = std::min(first * unit, entryBytes);
    const std::uint64_t end = std::min(last * unit, entryBytes / unit * unit);
    bytes.start = static_cast<std::uint32_t>(start);
    bytes.length = static_cast<std::uint32_t>(end > start ? end - start : 0);
    return bytes;
}

Expected<bool> WriteEntryWave(ByteSource& source, const Bank& bank, std::size_t index, bool decode,
                              ByteSink& sink) {
    const Entry& entry = bank.entries.at(index);
    const EntryFormat& in = entry.format;
    if (in.codec != Codec::PCM && in.codec != Codec::XBoxADPCM)
        return MakeError(ErrorKind::Unsupported, CodecName(in) + " entries are not WAVE audio");
    if (in.channels == 0 || in.sampleRate == 0)
        return MakeError(ErrorKind::Unsupported, "entry " + std::to_string(index) + " has " +
                                                     std::to_string(in.channels) + " channels at " +
                                                     std::to_string(in.sampleRate) + " Hz");
    const std::uint64_t sourceAt = bank.dataOffset + entry.offset;
    const unsigned channels = in.channels;
    const bool toPcm16 = decode && !(in.codec == Codec::PCM && in.bits == 16);
    EntryFormat out = in;
    if (toPcm16) {
        out.codec = Codec::PCM;
        out.bits = 16;
    }
    const std::uint64_t unitBytes = UnitBytes(in);
    const std::uint64_t units = entry.length / unitBytes;
    const std::uint64_t dataBytes =
        toPcm16 ? FramesOf(in, entry.length) * channels * 2 : entry.length;
    const std::vector<std::uint8_t> trailer = LoopTrailer(entry, out);
    const std::vector<std::uint8_t> header = Header(out, dataBytes, trailer.size());
    if (!sink.Write(header))
        return WriteError(sink);
    if (!toPcm16) {
        if (Expected<bool> copied = CopyRange(source, sourceAt, entry.length, sink); !copied)
            return copied;
    } else {
        if (!source.Seek(sourceAt))
            return MakeError(ErrorKind::InputRead, "cannot seek in the bank");
        const std::uint64_t framesPerUnit = in.codec == Codec::XBoxADPCM ? 65 : 1;
        const std::uint64_t pieceUnits = in.codec == Codec::XBoxADPCM ? kPieceBlocks : 65536;
        std::vector<std::uint8_t> bytes;
        std::vector<std::int16_t> pcm;
        std::vector<std::uint8_t> le;
        for (std::uint64_t done = 0; done < units;) {
            const std::uint64_t n = std::min(pieceUnits, units - done);
            bytes.resize(static_cast<std::size_t>(n * unitBytes));
            if (source.Read(bytes) != bytes.size())
                return MakeError(ErrorKind::Truncated,
                                 "the bank ended inside entry " + std::to_string(index));
            pcm.resize(static_cast<std::size_t>(n * framesPerUnit * channels));
            if (in.codec == Codec::XBoxADPCM)
                XBoxADPCMDecodeBlocks(bytes, pcm, channels, n * framesPerUnit);
            else
                for (std::size_t i = 0; i < bytes.size(); ++i)
                    pcm[i] = static_cast<std::int16_t>((bytes[i] - 128) * 256);
            le.resize(pcm.size() * 2);
            for (std::size_t i = 0; i < pcm.size(); ++i)
                PutLE16(&le[2 * i], static_cast<std::uint16_t>(pcm[i]));
            if (!sink.Write(le))
                return WriteError(sink);
            done += n;
        }
    }
    if ((dataBytes & 1) != 0) {
        const std::uint8_t zero = 0;
        if (!sink.Write(std::span(&zero, 1)))
            return WriteError(sink);
    }
    if (!trailer.empty() && !sink.Write(trailer))
        return WriteError(sink);
    return true;
}

}  // namespace imabox::bank
