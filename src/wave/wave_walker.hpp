// SPDX-License-Identifier: MIT
// The general WAVE header reader: walks the chunk list, finds fmt, fact and data wherever they
// are, keeps a list of the other chunks, and says how the audio is stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imabox/expected.hpp"
#include "imabox/sample_format.hpp"
#include "io/byte_stream.hpp"

namespace imabox {

// A chunk other than fmt, fact and data, for writers that carry such chunks over.
struct WaveChunk {
    std::uint32_t id = 0;
    std::uint64_t position = 0;  // offset of the body in the input
    std::uint32_t size = 0;      // declared body size
};

// At most this many other chunks are listed (the walk goes on past them).
inline constexpr std::size_t kMaxListedChunks = 256;
// A file with more chunks than this before its audio is not taken for a WAVE file.
inline constexpr std::size_t kMaxChunks = 65536;

struct WaveHeader {
    SourceFormat format = SourceFormat::PCM16;
    std::uint16_t formatTag = 0;  // as written (0xFFFE for extensible)
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;  // bytes per frame (PCM) or per block (ADPCM), as written
    std::uint16_t bitsPerSample = 0;
    std::uint64_t dataOffset = 0;             // first payload byte in the input
    std::uint32_t declaredDataBytes = 0;      // the data chunk's size field
    std::optional<std::uint64_t> dataBytes;   // payload bytes; unknown: read to the end
    std::optional<std::uint32_t> factFrames;  // sample count of a fact chunk
    std::vector<WaveChunk> otherChunks;
    std::uint64_t trailingBytes = 0;  // after the last chunk, too few or too short to be a chunk
    std::uint64_t bytesPastChunkLimit = 0;  // from the chunk after the kMaxChunks-th on, unread

    // Bytes per ADPCM block (Xbox ADPCM: 36 per channel, whatever blockAlign says) or per frame.
    unsigned unitBytes() const;
    // Frames per unit: 1 for PCM, the block's frames for ADPCM.
    unsigned unitFrames() const;
    bool adpcm() const {
        return format == SourceFormat::XBoxADPCM || format == SourceFormat::IMAADPCM;
    }
};

struct WaveWalkOptions {
    // Accept a data chunk that declares more than the input holds, reading what is there (for a
    // report on the file); otherwise that is an error.
    bool acceptShortData = false;
};

// Reads and checks the headers. A seekable source is walked to its end (chunks may follow the
// audio) and left at the first payload byte; a stream is read up to the data chunk, so fmt must
// come before it there. Every failure is one line naming what was found. Reads only headers:
// a file that is not WAVE is rejected after its first 12 bytes.
Expected<WaveHeader> ReadWaveHeader(ByteSource& source, const WaveWalkOptions& options = {});

// The four characters of a chunk id, unprintable ones as '?'.
std::string ChunkName(std::uint32_t id);

}  // namespace imabox
