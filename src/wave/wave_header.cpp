#include "wave/wave_header.hpp"

#include <algorithm>

namespace imabox {

WaveRiffHeader ParseRiffHeader(std::span<const std::uint8_t, 12> b) {
    return {GetLE32(&b[0]), GetLE32(&b[4]), GetLE32(&b[8])};
}

WaveFmtChunk ParseFmtChunk(std::span<const std::uint8_t, 24> b) {
    WaveFmtChunk r;
    r.id = GetLE32(&b[0]);
    r.chunkSize = GetLE32(&b[4]);
    r.formatTag = GetLE16(&b[8]);
    r.channels = GetLE16(&b[10]);
    r.sampleRate = GetLE32(&b[12]);
    r.byteRate = GetLE32(&b[16]);
    r.blockAlign = GetLE16(&b[20]);
    r.bitsPerSample = GetLE16(&b[22]);
    return r;
}

WaveChunkHeader ParseChunkHeader(std::span<const std::uint8_t, 8> b) {
    return {GetLE32(&b[0]), GetLE32(&b[4])};
}

void SerializeRiffHeader(const WaveRiffHeader& r, std::span<std::uint8_t, 12> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.riffSize);
    PutLE32(&out[8], r.form);
}

void SerializeFmtChunk(const WaveFmtChunk& r, std::span<std::uint8_t, 24> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.chunkSize);
    PutLE16(&out[8], r.formatTag);
    PutLE16(&out[10], r.channels);
    PutLE32(&out[12], r.sampleRate);
    PutLE32(&out[16], r.byteRate);
    PutLE16(&out[20], r.blockAlign);
    PutLE16(&out[22], r.bitsPerSample);
}

void SerializeFmtExtension(const XBoxADPCMFmtExtension& r, std::span<std::uint8_t, 4> out) {
    PutLE16(&out[0], r.cbSize);
    PutLE16(&out[2], r.samplesPerBlock);
}

void SerializeChunkHeader(const WaveChunkHeader& r, std::span<std::uint8_t, 8> out) {
    PutLE32(&out[0], r.id);
    PutLE32(&out[4], r.size);
}

void BuildWaveFmtChunk(WaveFmtChunk& r, std::uint16_t formatTag, std::uint16_t channels,
                       std::uint32_t sampleRate) {
    r.id = kFmtId;
    r.formatTag = formatTag;
    r.channels = channels;
    r.sampleRate = sampleRate;
    if (formatTag == kFormatPCM) {
        r.chunkSize = 16;
        r.byteRate = sampleRate * channels * 2u;
        r.blockAlign = static_cast<std::uint16_t>(channels * 2u);
        r.bitsPerSample = 16;
    } else if (formatTag == kFormatXBoxADPCM) {
        r.chunkSize = 20;
        r.blockAlign = static_cast<std::uint16_t>(36u * channels);
        r.bitsPerSample = 4;
        // Divides by 64, like samplesPerBlock, although a block holds 65 frames.
        r.byteRate = (std::uint32_t{r.blockAlign} * sampleRate) >> 6;
    }
}

std::array<std::uint8_t, kPCMHeaderBytes> BuildPCMWaveHeader(std::uint16_t channels,
                                                             std::uint32_t sampleRate,
                                                             std::uint32_t dataBytes) {
    std::array<std::uint8_t, kPCMHeaderBytes> out{};
    const std::span<std::uint8_t, kPCMHeaderBytes> s(out);
    SerializeRiffHeader({kRiffId, dataBytes + 36, kWaveId}, s.subspan<0, 12>());
    WaveFmtChunk fmt;
    BuildWaveFmtChunk(fmt, kFormatPCM, channels, sampleRate);
    SerializeFmtChunk(fmt, s.subspan<12, 24>());
    SerializeChunkHeader({kDataId, dataBytes}, s.subspan<36, 8>());
    return out;
}

std::array<std::uint8_t, kXBoxADPCMHeaderBytes> BuildXBoxADPCMWaveHeader(std::uint16_t channels,
                                                                         std::uint32_t sampleRate,
                                                                         std::uint32_t dataBytes) {
    std::array<std::uint8_t, kXBoxADPCMHeaderBytes> out{};
    const std::span<std::uint8_t, kXBoxADPCMHeaderBytes> s(out);
    SerializeRiffHeader({kRiffId, dataBytes + 40, kWaveId}, s.subspan<0, 12>());
    WaveFmtChunk fmt;
    BuildWaveFmtChunk(fmt, kFormatXBoxADPCM, channels, sampleRate);
    SerializeFmtChunk(fmt, s.subspan<12, 24>());
    SerializeFmtExtension({2, 64}, s.subspan<36, 4>());
    SerializeChunkHeader({kDataId, dataBytes}, s.subspan<40, 8>());
    return out;
}

std::size_t MemoryWaveSource::Read(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), data_.size() - position_);
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_), n, out.begin());
    position_ += n;
    return n;
}

void MemoryWaveSource::Skip(std::uint32_t bytes) {
    position_ += std::min<std::size_t>(bytes, data_.size() - position_);
}

namespace {

constexpr std::string_view kReadFailed = "Could not read input file!";

// Reads a whole record's bytes; what the input does not hold stays zero.
template <std::size_t N>
bool ReadRecord(WaveSource& source, std::array<std::uint8_t, N>& bytes) {
    bytes.fill(0);
    source.Read(bytes);
    return !source.Failed();
}

void Print(const ConsoleSink& console, std::string_view text) {
    if (console)
        console(text);
}

}  // namespace

Expected<WaveHeaderInfo> ReadWaveHeaders(WaveSource& source, const ConsoleSink& console) {
    std::array<std::uint8_t, 12> riffBytes;
    std::array<std::uint8_t, 24> fmtBytes;
    std::array<std::uint8_t, 8> chunkBytes;

    if (!ReadRecord(source, riffBytes))
        return Error{std::string(kReadFailed)};
    const WaveRiffHeader riff = ParseRiffHeader(riffBytes);
    if (riff.id != kRiffId)
        return Error{"Incorrect RIFF header!"};
    if (riff.form != kWaveId)
        return Error{"Incorrect WAVE header!"};

    if (!ReadRecord(source, fmtBytes))
        return Error{std::string(kReadFailed)};
    const WaveFmtChunk fmt = ParseFmtChunk(fmtBytes);
    if (fmt.id != kFmtId)
        return Error{"Incorrect fmt header!"};

    if (fmt.formatTag == kFormatXBoxADPCM) {
        Print(console, "Converting Xbox ADPCM -> PCM\n");
        std::array<std::uint8_t, 4> extension;  // content not used
        if (!ReadRecord(source, extension))
            return Error{std::string(kReadFailed)};
    } else if (fmt.formatTag == kFormatPCM) {
        Print(console, "Converting PCM -> Xbox ADPCM\n");
        if (fmt.bitsPerSample != 16)
            return Error{"Only 16 bps is supported!"};
    } else {
        return Error{"Incorrect format!"};
    }

    if (!ReadRecord(source, chunkBytes))
        return Error{std::string(kReadFailed)};
    WaveChunkHeader chunk = ParseChunkHeader(chunkBytes);
    if (chunk.id == kFactId) {
        source.Skip(chunk.size);  // no pad byte for an odd size
        if (!ReadRecord(source, chunkBytes))
            return Error{std::string(kReadFailed)};
        chunk = ParseChunkHeader(chunkBytes);
        if (chunk.id != kDataId)
            return Error{"Incorrect data header!"};
    } else if (chunk.id != kDataId) {
        return Error{"Incorrect data or fact header!"};
    }
    return WaveHeaderInfo{fmt.formatTag, fmt.channels, fmt.sampleRate, chunk.size};
}

}  // namespace imabox
