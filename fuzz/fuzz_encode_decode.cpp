// SPDX-License-Identifier: MIT
// Encode and Decode on arbitrary bytes, as a file (seekable) and as a stream (a pipe, read in
// pieces of a size taken from the input). A failure is one line of a general-reader or request
// kind; a success is a WAVE file whose header agrees with its size and with the report, and a
// stream that succeeds writes what the file wrote (unless dither was decided differently: a file
// decides over its whole payload, a stream sample by sample).
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "fuzz_support.hpp"
#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "media/media.hpp"
#include "pipeline/pipeline.hpp"
#include "wave/wave_header.hpp"

namespace imabox::fuzz {
namespace {

class PipeSource final : public ByteSource {
  public:
    explicit PipeSource(std::span<const std::uint8_t> data) : memory_(data) {}
    std::size_t Read(std::span<std::uint8_t> out) override { return memory_.Read(out); }
    void Skip(std::uint64_t bytes) override { memory_.Skip(bytes); }
    bool Failed() const override { return false; }
    std::uint64_t Position() const override { return memory_.Position(); }
    std::optional<std::uint64_t> Size() const override { return std::nullopt; }
    bool Seekable() const override { return false; }
    bool Seek(std::uint64_t) override { return false; }

  private:
    MemoryByteSource memory_;
};

bool IsReaderFailure(const Error& e) {
    switch (e.kind) {
        case ErrorKind::NotWave:
        case ErrorKind::Truncated:
        case ErrorKind::MissingChunk:
        case ErrorKind::DuplicateChunk:
        case ErrorKind::InvalidFmt:
        case ErrorKind::Unsupported:
        case ErrorKind::TooManyChannels:
        case ErrorKind::NothingToDo:
        case ErrorKind::WrongDirection:
        case ErrorKind::LoopAlignment:
        case ErrorKind::OutputTooLarge:
            return !e.message.empty() && e.message.find('\n') == std::string::npos;
        default:
            return false;
    }
}

Expected<MemoryOutput<ConversionReport>> Run(ByteSource& source, const ConversionRequest& request,
                                             std::size_t pieceBytes) {
    Expected<ConversionPlan> plan = OpenConversion(source, request, AvailableMedia());
    if (!plan)
        return plan.error();
    plan->pieceBytes = pieceBytes;
    MemoryOutput<ConversionReport> result;
    MemoryByteSink sink(result.file);
    Expected<ConversionReport> report = RunConversion(plan.value(), sink);
    if (!report)
        return report.error();
    result.report = report.value();
    return result;
}

void CheckOutput(const MemoryOutput<ConversionReport>& r, bool encode) {
    const std::vector<std::uint8_t>& f = r.file;
    const std::size_t header = encode ? kXBoxADPCMHeaderBytes : kPCMHeaderBytes;
    // Chunks carried from the input (loops, titles...) follow the data chunk, whole and padded.
    std::size_t end = header + r.report.outputDataBytes;
    Require(f.size() >= end, "file size >= header + payload");
    while (end < f.size()) {
        Require(f.size() - end >= 8, "a whole chunk header after the data");
        const std::uint64_t bytes = GetLE32(&f[end + 4]);
        Require(f.size() - end - 8 >= bytes, "a whole chunk after the data");
        end += 8 + bytes + (bytes & 1);
    }
    Require(end == f.size(), "chunks after the data end with the file");
    Require(r.report.outputBytes == f.size(), "report counts the file's bytes");
    Require(GetLE32(&f[4]) == f.size() - 8, "RIFF size");
    Require(GetLE32(&f[header - 4]) == r.report.outputDataBytes, "data size");
    Require(GetLE16(&f[22]) == r.report.outputChannels, "channels");
    const std::uint64_t frames = r.report.inputFrames + r.report.paddingFrames;
    if (encode) {
        Require(frames % kFramesPerBlock == 0 && frames / kFramesPerBlock == r.report.blocks,
                "whole blocks");
        Require(r.report.outputDataBytes == r.report.blocks * 36u * r.report.outputChannels,
                "36 bytes per channel per block");
    } else {
        Require(r.report.outputDataBytes == r.report.inputFrames * 2u * r.report.outputChannels,
                "2 bytes per sample");
    }
}

}  // namespace
}  // namespace imabox::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace imabox;
    using namespace imabox::fuzz;
    if (size < 2)
        return 0;
    const bool encode = data[0] & 1;
    const std::size_t piece = 1 + data[1] * 37;
    const std::span<const std::uint8_t> file(data + 2, size - 2);
    // Other containers go to libsndfile, whose parsers are not ours to fuzz here: keep to RIFF.
    if (file.size() < 4 || std::memcmp(file.data(), "RIFF", 4) != 0)
        return 0;
    const ConversionRequest options =
        encode ? ConversionRequest::ForEncode({}) : ConversionRequest::ForDecode({});

    MemoryByteSource memory(file);
    const Expected<MemoryOutput<ConversionReport>> fromFile = Run(memory, options, piece);
    PipeSource pipe(file);
    const Expected<MemoryOutput<ConversionReport>> fromStream = Run(pipe, options, piece);
    if (!fromFile) {
        Require(IsReaderFailure(fromFile.error()), "file failures are reader or request kinds");
    } else {
        CheckOutput(fromFile.value(), encode);
    }
    if (!fromStream) {
        Require(IsReaderFailure(fromStream.error()), "stream failures are reader or request kinds");
    } else {
        CheckOutput(fromStream.value(), encode);
        // A stream carries no chunks after its data (and so no loop to align): compare files
        // that carry none either.
        const bool plain = fromFile && fromFile->file.size() ==
                                           (encode ? kXBoxADPCMHeaderBytes : kPCMHeaderBytes) +
                                               fromFile->report.outputDataBytes;
        if (plain && !fromFile->report.dithered && !fromStream->report.dithered)
            Require(fromStream->file == fromFile->file, "a stream writes what a file writes");
    }
    return 0;
}
