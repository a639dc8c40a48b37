// SPDX-License-Identifier: MIT
// XBoxAudio's exact converter (ConvertFile, ConvertMemory): the strict header reader, then the
// payload in pieces of 2 MiB. PCM input is read and encoded piece by piece into the Xbox ADPCM
// payload, which is kept until the input is closed (input and output may be the same file); Xbox
// ADPCM input is read whole and decoded piece by piece as the output is written.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <future>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_parallel.hpp"
#include "exact/exact_messages.hpp"
#include "exact/payload_buffer.hpp"
#include "exact/strict_header.hpp"
#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "io/file.hpp"
#include "wave/wave_header.hpp"

namespace imabox {
namespace {

constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

template <class... Args>
std::string Format(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

// Takes the next bytes of the output file; false when they could not be stored.
using PayloadWriter = std::function<bool(std::span<const std::uint8_t>)>;

// PCM is coded in pieces of about this many bytes (per thread, when decoding), so neither
// direction needs a PCM buffer of the payload's size, and each piece is still in cache when it is
// coded or written.
constexpr std::uint64_t kPieceBytes = std::uint64_t{2} << 20;

// The coded result: a fresh header and the payload that follows it. Xbox ADPCM output is coded in
// full; PCM output keeps the Xbox ADPCM input and is decoded piece by piece as it is written.
struct Coded {
    ConvertReport summary;
    std::vector<std::uint8_t> header;
    PayloadBuffer<std::uint8_t> adpcm;  // Xbox ADPCM: the output payload, or the input to decode
    unsigned threads = 1;

    // Hands the header and then the whole payload to `sink`.
    bool Write(const PayloadWriter& sink) const {
        if (!sink(header))
            return false;
        if (summary.output == Encoding::XBoxADPCM)
            return sink(adpcm);
        const unsigned channels = summary.channels;
        const std::uint64_t blockPCMBytes = std::uint64_t{kFramesPerBlock} * channels * 2;
        const std::uint64_t blockADPCMBytes = std::uint64_t{kBlockBytesPerChannel} * channels;
        const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockPCMBytes);
        const std::size_t pieceSamples =
            std::min(pieceBlocks, summary.blocks) * kFramesPerBlock * channels;
        // With more than one thread allowed, a piece is written on a second thread while the
        // next one is decoded.
        bool overlap = threads != 1;
        PayloadBuffer<std::int16_t> buffers[2] = {
            PayloadBuffer<std::int16_t>(pieceSamples),
            PayloadBuffer<std::int16_t>(overlap ? pieceSamples : 0)};
        std::future<bool> writing;
        int slot = 0;
        for (std::uint64_t block = 0; block < summary.blocks; block += pieceBlocks) {
            const std::uint64_t n = std::min(pieceBlocks, summary.blocks - block);
            const std::span<std::int16_t> out(buffers[slot].data(), n * kFramesPerBlock * channels);
            const std::span<const std::uint8_t> in(adpcm.data() + block * blockADPCMBytes,
                                                   n * blockADPCMBytes);
            XBoxADPCMDecodeBlocksFast(in, out, channels, n * kFramesPerBlock);
            SamplesToFileOrder(out);
            if (writing.valid() && !writing.get())
                return false;
            if (overlap) {
                try {
                    writing = std::async(std::launch::async,
                                         [&sink, bytes = SampleBytes(out)] { return sink(bytes); });
                    slot ^= 1;
                    continue;
                } catch (const std::system_error&) {
                    overlap = false;  // no thread to be had: write on this one
                }
            }
            if (!sink(SampleBytes(out)))
                return false;
        }
        if (writing.valid() && !writing.get())
            return false;
        return true;
    }
};

// Reads and encodes the PCM payload a few MiB at a time, carrying the step index from piece to
// piece: the same bytes as coding the whole zero-padded payload at once, without a buffer of its
// size. With `overlap`, the next piece is read on a second thread while this one is coded.
// False on a read error.
bool EncodeInPieces(ByteSource& source, std::uint64_t dataBytes, unsigned channels,
                    std::uint64_t blocks, std::span<std::uint8_t> out, bool overlap) {
    const std::uint64_t blockPCMBytes = std::uint64_t{kFramesPerBlock} * channels * 2;
    const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockPCMBytes);
    const std::size_t pieceSamples = std::min(pieceBlocks, blocks) * kFramesPerBlock * channels;
    PayloadBuffer<std::int16_t> buffers[2] = {
        PayloadBuffer<std::int16_t>(pieceSamples),
        PayloadBuffer<std::int16_t>(overlap ? pieceSamples : 0)};
    std::uint64_t unread = dataBytes;
    // Fills buffer `slot` with the piece that starts at `block`: what the file holds, then silence.
    auto readPiece = [&](std::uint64_t block, int slot) {
        const std::uint64_t n = std::min(pieceBlocks, blocks - block);
        const std::span<std::int16_t> piece(buffers[slot].data(), n * kFramesPerBlock * channels);
        const std::span<std::uint8_t> bytes = SampleBytes(piece);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(unread, bytes.size()));
        const std::size_t got = want == 0 ? 0 : source.Read(bytes.first(want));
        unread = got < want ? 0 : unread - got;  // at the end of the file the rest is silence
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(got), bytes.end(), 0);
        SamplesToFileOrder(piece);
        return !source.Failed();
    };

    std::vector<std::uint8_t> indices(channels, 0);
    int slot = 0;
    if (blocks > 0 && !readPiece(0, slot))
        return false;
    for (std::uint64_t block = 0; block < blocks; block += pieceBlocks) {
        const std::uint64_t next = block + pieceBlocks;
        std::future<bool> reading;
        if (next < blocks && overlap) {
            try {
                reading = std::async(std::launch::async, readPiece, next, slot ^ 1);
            } catch (const std::system_error&) {
                overlap = false;  // no thread to be had: read after coding instead
            }
        }
        XBoxADPCMEncodeBlockRange(buffers[slot].data(),
                                  out.data() + block * kBlockBytesPerChannel * channels, channels,
                                  0, std::min(pieceBlocks, blocks - block), indices);
        if (next >= blocks)
            break;
        if (reading.valid()) {
            if (!reading.get())
                return false;
            slot ^= 1;
        } else if (!readPiece(next, slot)) {
            return false;
        }
    }
    return true;
}

Expected<Coded> Encode(ByteSource& source, const StrictHeader& info, const ConvertOptions& options,
                       Coded coded) {
    const ConsoleSink& console = options.console;
    const unsigned channels = info.channels;
    std::uint64_t frames = coded.summary.inputFrames;
    const std::uint64_t pad = (kFramesPerBlock - frames % kFramesPerBlock) % kFramesPerBlock;
    if (pad != 0) {
        Print(console, Format("Allocating extra size: %" PRIu64 "\n", pad));
        frames += pad;
    }
    const std::uint64_t blocks = frames / kFramesPerBlock;
    const std::uint64_t outBytes = blocks * kBlockBytesPerChannel * channels;
    if (outBytes + kXBoxADPCMHeaderBytes - 8 > kMaxRiffSize) {
        return ExactError(ExactMessage::OutputTooLarge);
    }

    coded.adpcm.resize(outBytes);
    if (!EncodeInPieces(source, info.dataSize, channels, blocks, coded.adpcm, options.threads != 1))
        return ExactError(ExactMessage::InputRead);
    const auto header = BuildXBoxADPCMWaveHeader(info.channels, info.sampleRate,
                                                 static_cast<std::uint32_t>(outBytes));
    coded.header.assign(header.begin(), header.end());
    coded.summary.output = Encoding::XBoxADPCM;
    coded.summary.paddingFrames = pad;
    coded.summary.blocks = blocks;
    coded.summary.outputDataBytes = outBytes;
    coded.summary.outputBytes = kXBoxADPCMHeaderBytes + outBytes;
    return coded;
}

Expected<Coded> Decode(ByteSource& source, const StrictHeader& info, const ConvertOptions& options,
                       Coded coded) {
    const unsigned channels = info.channels;
    const std::uint64_t blocks = info.dataSize / (std::uint64_t{kBlockBytesPerChannel} * channels);
    const std::uint64_t frames = blocks * kFramesPerBlock;
    const std::uint64_t outBytes = frames * channels * 2;
    if (outBytes + kPCMHeaderBytes - 8 > kMaxRiffSize) {
        return ExactError(ExactMessage::OutputTooLarge);
    }

    PayloadBuffer<std::uint8_t> adpcm(info.dataSize);
    const std::size_t got = source.Read(adpcm);
    if (source.Failed())
        return ExactError(ExactMessage::InputRead);
    // Declared data the file does not hold decodes from zero bytes.
    std::fill(adpcm.begin() + static_cast<std::ptrdiff_t>(got), adpcm.end(), 0);

    coded.adpcm = std::move(adpcm);
    coded.threads = options.threads;
    const auto header =
        BuildPCMWaveHeader(info.channels, info.sampleRate, static_cast<std::uint32_t>(outBytes));
    coded.header.assign(header.begin(), header.end());
    coded.summary.output = Encoding::PCM16;
    coded.summary.blocks = blocks;
    coded.summary.outputDataBytes = outBytes;
    coded.summary.outputBytes = kPCMHeaderBytes + outBytes;
    return coded;
}

// Reads the headers and the payload from `source` and codes it.
Expected<Coded> Code(ByteSource& source, const ConvertOptions& options) {
    const ConsoleSink& console = options.console;
    const Expected<StrictHeader> read = ReadStrictHeader(source, console);
    if (!read)
        return read.error();
    const StrictHeader& info = read.value();
    if (info.channels == 0)
        return ExactError(ExactMessage::ChannelCount);
#ifdef IMABOX_FUZZ_MAX_DATA_BYTES
    // Fuzz builds only: refuse, as a failed allocation would, what a tiny input declares in
    // gigabytes.
    if (info.dataSize > IMABOX_FUZZ_MAX_DATA_BYTES)
        return ExactError(ExactMessage::OutOfMemory);
#endif

    Coded coded;
    coded.summary.channels = info.channels;
    coded.summary.sampleRate = info.sampleRate;
    // The same count in both directions, although Xbox ADPCM data is not 2 bytes per sample.
    coded.summary.inputFrames = info.dataSize / (2u * info.channels);
    Print(console,
          Format("Number of samples per channel: %" PRIu64 "\n", coded.summary.inputFrames));

    try {
        if (info.formatTag == kFormatPCM) {
            coded.summary.input = SourceFormat::PCM16;
            return Encode(source, info, options, std::move(coded));
        }
        coded.summary.input = SourceFormat::XBoxADPCM;
        return Decode(source, info, options, std::move(coded));
    } catch (const std::bad_alloc&) {
        return ExactError(ExactMessage::OutOfMemory);
    } catch (const std::length_error&) {
        return ExactError(ExactMessage::OutOfMemory);
    }
}

std::string_view DoneMessage(Encoding output) {
    return output == Encoding::XBoxADPCM ? "Converting to Xbox ADPCM - DONE!\n"
                                         : "Converting to PCM - DONE!\n";
}

}  // namespace

Expected<ConvertReport> ConvertFile(const std::filesystem::path& input,
                                    const std::filesystem::path& output,
                                    const ConvertOptions& options) {
    Expected<Coded> coded = ExactError(ExactMessage::Internal);
    {
        const FileHandle in = OpenFile(input, "rb");
        if (!in)
            return ExactError(ExactMessage::InputOpen);
        FileByteSource source(in.get());
        coded = Code(source, options);
    }  // the input is closed before the output is opened
    if (!coded)
        return coded.error();

    FileHandle out = OpenFile(output, "wb");
    if (!out)
        return ExactError(ExactMessage::OutputCreate);
    bool written = false;
    try {
        written = coded->Write(
            [&](std::span<const std::uint8_t> bytes) { return WriteAll(out.get(), bytes); });
    } catch (const std::bad_alloc&) {
        CloseFile(std::move(out));
        return ExactError(ExactMessage::OutOfMemory);
    }
    if (!CloseFile(std::move(out)) || !written)
        return ExactError(ExactMessage::OutputWrite);

    Print(options.console, DoneMessage(coded->summary.output));
    return coded->summary;
}

Expected<MemoryOutput<ConvertReport>> ConvertMemory(std::span<const std::uint8_t> input,
                                                    const ConvertOptions& options) {
    MemoryByteSource source(input);
    Expected<Coded> coded = Code(source, options);
    if (!coded)
        return coded.error();
    try {
        MemoryOutput<ConvertReport> result;
        result.report = coded->summary;
        result.file.reserve(coded->header.size() + coded->summary.outputDataBytes);
        coded->Write([&](std::span<const std::uint8_t> bytes) {
            result.file.insert(result.file.end(), bytes.begin(), bytes.end());
            return true;
        });
        Print(options.console, DoneMessage(result.report.output));
        return result;
    } catch (const std::bad_alloc&) {
        return ExactError(ExactMessage::OutOfMemory);
    }
}

}  // namespace imabox
