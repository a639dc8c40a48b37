// SPDX-License-Identifier: MIT
// The WAVE chunks that describe audio rather than hold it: sampler loops ("smpl"), cue points
// and DLS-style wave sample loops ("wsmp"), cue points ("cue "), LIST chunks (INFO text, "adtl"
// labels and regions) and chunks carried unread ("bext", "id3 "). Each record is read and written
// field by field in little-endian order.
//
// Damaged chunks never stop a conversion: what cannot be read is dropped and a one-line warning
// naming the chunk is added to the caller's list.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_stream.hpp"
#include "wave/wave_walker.hpp"

namespace imabox {

using Warnings = std::vector<std::string>;

inline constexpr std::uint32_t kSmplId = 0x6C706D73;  // "smpl"
inline constexpr std::uint32_t kCueId = 0x20657563;   // "cue "
inline constexpr std::uint32_t kListId = 0x5453494C;  // "LIST"
inline constexpr std::uint32_t kInfoId = 0x4F464E49;  // "INFO"
inline constexpr std::uint32_t kAdtlId = 0x6C746461;  // "adtl"
inline constexpr std::uint32_t kLablId = 0x6C62616C;  // "labl"
inline constexpr std::uint32_t kNoteId = 0x65746F6E;  // "note"
inline constexpr std::uint32_t kLtxtId = 0x7478746C;  // "ltxt"
inline constexpr std::uint32_t kInamId = 0x4D414E49;  // "INAM", the title in LIST/INFO
inline constexpr std::uint32_t kWsmpId = 0x706D7377;  // "wsmp"

// "abcd" as the 32-bit little-endian id of a chunk.
constexpr std::uint32_t ChunkId(std::string_view four) {
    return std::uint32_t{static_cast<std::uint8_t>(four[0])} |
           (std::uint32_t{static_cast<std::uint8_t>(four[1])} << 8) |
           (std::uint32_t{static_cast<std::uint8_t>(four[2])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(four[3])} << 24);
}

inline constexpr std::uint32_t kLoopForward = 0;

// One loop of a smpl chunk. `end` is the last frame played before the loop starts again
// (inclusive), as the chunk defines it.
struct SampleLoop {
    std::uint32_t cuePointId = 0;
    std::uint32_t type = kLoopForward;  // 0 forward, 1 alternating, 2 backward
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t fraction = 0;
    std::uint32_t playCount = 0;  // 0: forever
};

struct SamplerChunk {
    std::uint32_t manufacturer = 0;
    std::uint32_t product = 0;
    std::uint32_t samplePeriod = 0;  // nanoseconds per frame
    std::uint32_t midiUnityNote = 60;
    std::uint32_t midiPitchFraction = 0;  // of a semitone upward, 0x80000000 = 50 cents
    std::uint32_t smpteFormat = 0;
    std::uint32_t smpteOffset = 0;
    std::vector<SampleLoop> loops;
    std::vector<std::uint8_t> samplerData;  // vendor bytes after the loops, kept as they are
};

// One loop of a wsmp chunk: a start and a length in frames.
struct WaveSampleLoop {
    std::uint32_t type = 0;  // 0 forward, 1 forward with release
    std::uint32_t start = 0;
    std::uint32_t length = 0;
};

// The DLS wave sample chunk many game WAVE files keep their loop in.
struct WaveSampleChunk {
    std::uint16_t unityNote = 60;
    std::int16_t fineTune = 0;
    std::int32_t gain = 0;
    std::uint32_t options = 0;
    std::vector<std::uint8_t> extra;  // header bytes past the 20 known ones, kept
    std::vector<WaveSampleLoop> loops;
};

struct CuePoint {
    std::uint32_t id = 0;
    std::uint32_t position = 0;
    std::uint32_t dataChunkId = 0;  // "data", or "slnt" inside a wave list
    std::uint32_t chunkStart = 0;
    std::uint32_t blockStart = 0;
    std::uint32_t sampleOffset = 0;  // the frame in the data chunk
};

// One sub-chunk of a LIST chunk, its body kept as bytes (without the pad byte).
struct ListItem {
    std::uint32_t id = 0;
    std::vector<std::uint8_t> body;
};

struct ListChunk {
    std::uint32_t type = kInfoId;  // "INFO", "adtl", or another list type carried unread
    std::vector<ListItem> items;
};

// A chunk carried without being read ("bext", "id3 ", ...).
struct OpaqueChunk {
    std::uint32_t id = 0;
    std::vector<std::uint8_t> body;
};

// Everything that travels with the audio from one file to the next, in the order met.
struct WaveMetadata {
    // The loops, from a smpl chunk or, without one, from a wsmp chunk (`samplerFromWsmp`): every
    // stage moves `sampler`, and a wsmp chunk is written again from it.
    std::optional<SamplerChunk> sampler;
    std::optional<WaveSampleChunk> wsmp;
    bool samplerFromWsmp = false;
    std::vector<CuePoint> cues;
    bool haveCues = false;
    std::vector<ListChunk> lists;
    std::vector<OpaqueChunk> others;

    bool empty() const { return !sampler && !wsmp && !haveCues && lists.empty() && others.empty(); }
};

// Record readers and writers. The writers return the whole chunk: header, body and pad byte.
std::optional<SamplerChunk> ParseSamplerChunk(std::span<const std::uint8_t> body,
                                              Warnings& warnings);
std::vector<std::uint8_t> BuildSamplerChunk(const SamplerChunk& chunk);
std::optional<WaveSampleChunk> ParseWaveSampleChunk(std::span<const std::uint8_t> body,
                                                    Warnings& warnings);
std::vector<std::uint8_t> BuildWaveSampleChunk(const WaveSampleChunk& chunk);
std::optional<std::vector<CuePoint>> ParseCueChunk(std::span<const std::uint8_t> body,
                                                   Warnings& warnings);
std::vector<std::uint8_t> BuildCueChunk(std::span<const CuePoint> cues);
std::optional<ListChunk> ParseListChunk(std::span<const std::uint8_t> body, Warnings& warnings);
std::vector<std::uint8_t> BuildListChunk(const ListChunk& chunk);

// Takes one chunk met in the input (id and body without the pad byte). Chunks that describe audio
// are kept in `metadata`; chunks that only pad or that the reader rebuilds (JUNK, PAD, fact,
// fmt, data) are ignored silently; any other chunk cannot be kept true once the audio is coded
// again (a peak level, a wave list) and is dropped with a warning naming it.
void CollectChunk(WaveMetadata& metadata, std::uint32_t id, std::span<const std::uint8_t> body,
                  Warnings& warnings);

// Metadata is held in memory: chunks beyond this many bytes in all are dropped with a warning.
inline constexpr std::uint64_t kMaxMetadataBytes = 16u << 20;

// Reads the bodies of the chunks the walker listed and collects what CollectChunk keeps. Moves
// the source about: the caller seeks back to where it wants to read next. A source that cannot
// seek yields nothing (its chunks before the audio are behind it, those after it are not read).
WaveMetadata ReadWaveMetadata(ByteSource& source, std::span<const WaveChunk> chunks,
                              Warnings& warnings);

// Drops the loops that cannot be played over `frames` frames of audio: a loop outside the audio
// or ending before it starts. Each drop is one warning naming the smpl chunk.
void CheckLoops(SamplerChunk& sampler, std::uint64_t frames, Warnings& warnings);

// Moves every frame position (loops, cue points, adtl region lengths) through `map`, which gives
// a frame's new position or nothing when that frame no longer exists. A position that cannot be
// moved, or that no longer fits 32 bits, drops its item with a warning naming the chunk.
using FrameMap = std::function<std::optional<std::uint64_t>(std::uint64_t)>;
void MoveFramePositions(WaveMetadata& metadata, const FrameMap& map, Warnings& warnings);

// Sets the smpl chunk's sample period for `sampleRate`.
void SetSamplerRate(SamplerChunk& sampler, std::uint32_t sampleRate);
// Records that the audio's pitch moved by `cents` (resampling): the unity note and its fraction
// then still name the pitch the recording has.
void ShiftSamplerPitch(SamplerChunk& sampler, double cents);

// The chunks of `metadata`, written one after the other in a fixed order (LIST, cue, smpl, then
// wsmp, the others), ready to follow a data chunk. A wsmp chunk takes its loops (and, when the
// loops came from it, its unity note) from `sampler`.
std::vector<std::uint8_t> BuildMetadataChunks(const WaveMetadata& metadata);

// The text of a LIST/INFO item (e.g. kInamId), without its terminating zero.
std::optional<std::string> InfoText(const WaveMetadata& metadata, std::uint32_t id);
// Sets or adds a LIST/INFO text item.
void SetInfoText(WaveMetadata& metadata, std::uint32_t id, std::string_view text);

}  // namespace imabox
