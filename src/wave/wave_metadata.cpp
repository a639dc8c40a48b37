// SPDX-License-Identifier: MIT
#include "wave/wave_metadata.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "wave/wave_header.hpp"

namespace imabox {
namespace {

constexpr std::size_t kSmplFixedBytes = 36;
constexpr std::size_t kLoopBytes = 24;
constexpr std::size_t kCuePointBytes = 24;
constexpr std::size_t kLtxtFixedBytes = 20;
constexpr std::uint32_t kWsmpFixedBytes = 20;
constexpr std::uint32_t kWsmpLoopBytes = 16;

constexpr std::uint32_t kDataChunkId = ChunkId("data");

// Chunks carried unread: their contents stay true whatever is done to the samples.
constexpr std::uint32_t kCarriedIds[] = {
    ChunkId("bext"), ChunkId("id3 "), ChunkId("ID3 "), ChunkId("inst"), ChunkId("acid"),
    ChunkId("cart"), ChunkId("iXML"), ChunkId("axml"), ChunkId("_PMX"), ChunkId("DISP"),
};
// Chunks that only pad, or that the writers rebuild: left out without a word.
constexpr std::uint32_t kRebuiltIds[] = {
    ChunkId("JUNK"), ChunkId("junk"), ChunkId("PAD "), ChunkId("FLLR"),
    ChunkId("fact"), ChunkId("fmt "), ChunkId("data"),
};

template <std::size_t N>
bool Contains(const std::uint32_t (&ids)[N], std::uint32_t id) {
    return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

std::string Trimmed(std::uint32_t id) {
    std::string name = ChunkName(id);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

void Warn(Warnings& warnings, std::uint32_t id, const std::string& text) {
    warnings.push_back(Trimmed(id) + " chunk: " + text);
}

void AppendLE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t bytes[4];
    PutLE32(bytes, v);
    out.insert(out.end(), bytes, bytes + 4);
}

// Chunk header, body, pad byte.
void AppendChunk(std::vector<std::uint8_t>& out, std::uint32_t id,
                 std::span<const std::uint8_t> body) {
    AppendLE32(out, id);
    AppendLE32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() & 1)
        out.push_back(0);
}

std::optional<std::uint32_t> To32(std::optional<std::uint64_t> v) {
    if (!v || *v > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(*v);
}

}  // namespace

std::optional<SamplerChunk> ParseSamplerChunk(std::span<const std::uint8_t> body,
                                              Warnings& warnings) {
    if (body.size() < kSmplFixedBytes) {
        Warn(warnings, kSmplId,
             "truncated (" + std::to_string(body.size()) + " bytes, at least 36 needed); dropped");
        return std::nullopt;
    }
    const std::uint8_t* p = body.data();
    SamplerChunk chunk;
    chunk.manufacturer = GetLE32(p);
    chunk.product = GetLE32(p + 4);
    chunk.samplePeriod = GetLE32(p + 8);
    chunk.midiUnityNote = GetLE32(p + 12);
    chunk.midiPitchFraction = GetLE32(p + 16);
    chunk.smpteFormat = GetLE32(p + 20);
    chunk.smpteOffset = GetLE32(p + 24);
    const std::uint32_t declaredLoops = GetLE32(p + 28);
    const std::uint32_t declaredData = GetLE32(p + 32);
    const std::size_t room = (body.size() - kSmplFixedBytes) / kLoopBytes;
    std::size_t loops = declaredLoops;
    if (loops > room) {
        Warn(warnings, kSmplId,
             "declares " + std::to_string(declaredLoops) + " loops but holds " +
                 std::to_string(room) + "; the missing loops are dropped");
        loops = room;
    }
    chunk.loops.reserve(loops);
    for (std::size_t i = 0; i < loops; ++i) {
        const std::uint8_t* l = p + kSmplFixedBytes + i * kLoopBytes;
        SampleLoop loop;
        loop.cuePointId = GetLE32(l);
        loop.type = GetLE32(l + 4);
        loop.start = GetLE32(l + 8);
        loop.end = GetLE32(l + 12);
        loop.fraction = GetLE32(l + 16);
        loop.playCount = GetLE32(l + 20);
        chunk.loops.push_back(loop);
    }
    const std::size_t dataAt = kSmplFixedBytes + loops * kLoopBytes;
    const std::size_t dataBytes = std::min<std::size_t>(declaredData, body.size() - dataAt);
    if (dataBytes < declaredData && loops == declaredLoops)
        Warn(warnings, kSmplId,
             "sampler data truncated (" + std::to_string(declaredData) + " bytes declared, " +
                 std::to_string(dataBytes) + " present)");
    chunk.samplerData.assign(body.begin() + static_cast<std::ptrdiff_t>(dataAt),
                             body.begin() + static_cast<std::ptrdiff_t>(dataAt + dataBytes));
    return chunk;
}

std::vector<std::uint8_t> BuildSamplerChunk(const SamplerChunk& chunk) {
    std::vector<std::uint8_t> body;
    body.reserve(kSmplFixedBytes + chunk.loops.size() * kLoopBytes + chunk.samplerData.size());
    AppendLE32(body, chunk.manufacturer);
    AppendLE32(body, chunk.product);
    AppendLE32(body, chunk.samplePeriod);
    AppendLE32(body, chunk.midiUnityNote);
    AppendLE32(body, chunk.midiPitchFraction);
    AppendLE32(body, chunk.smpteFormat);
    AppendLE32(body, chunk.smpteOffset);
    AppendLE32(body, static_cast<std::uint32_t>(chunk.loops.size()));
    AppendLE32(body, static_cast<std::uint32_t>(chunk.samplerData.size()));
    for (const SampleLoop& loop : chunk.loops) {
        AppendLE32(body, loop.cuePointId);
        AppendLE32(body, loop.type);
        AppendLE32(body, loop.start);
        AppendLE32(body, loop.end);
        AppendLE32(body, loop.fraction);
        AppendLE32(body, loop.playCount);
    }
    body.insert(body.end(), chunk.samplerData.begin(), chunk.samplerData.end());
    std::vector<std::uint8_t> out;
    AppendChunk(out, kSmplId, body);
    return out;
}

std::optional<WaveSampleChunk> ParseWaveSampleChunk(std::span<const std::uint8_t> body,
                                                    Warnings& warnings) {
    const std::uint32_t headerBytes = body.size() >= 4 ? GetLE32(body.data()) : 0;
    if (body.size() < kWsmpFixedBytes || headerBytes < kWsmpFixedBytes ||
        headerBytes > body.size()) {
        Warn(warnings, kWsmpId,
             "truncated or malformed (" + std::to_string(body.size()) + " bytes); dropped");
        return std::nullopt;
    }
    const std::uint8_t* p = body.data();
    WaveSampleChunk chunk;
    chunk.unityNote = GetLE16(p + 4);
    chunk.fineTune = static_cast<std::int16_t>(GetLE16(p + 6));
    chunk.gain = static_cast<std::int32_t>(GetLE32(p + 8));
    chunk.options = GetLE32(p + 12);
    const std::uint32_t declared = GetLE32(p + 16);
    chunk.extra.assign(p + kWsmpFixedBytes, p + headerBytes);
    std::size_t at = headerBytes;
    for (std::uint32_t i = 0; i < declared; ++i) {
        const std::uint32_t size = body.size() - at >= 4 ? GetLE32(p + at) : 0;
        if (body.size() - at < kWsmpLoopBytes || size < kWsmpLoopBytes || size > body.size() - at) {
            Warn(warnings, kWsmpId,
                 "declares " + std::to_string(declared) + " loops but holds " + std::to_string(i) +
                     "; the missing loops are dropped");
            break;
        }
        chunk.loops.push_back({GetLE32(p + at + 4), GetLE32(p + at + 8), GetLE32(p + at + 12)});
        at += size;
    }
    return chunk;
}

std::vector<std::uint8_t> BuildWaveSampleChunk(const WaveSampleChunk& chunk) {
    std::vector<std::uint8_t> body;
    AppendLE32(body, static_cast<std::uint32_t>(kWsmpFixedBytes + chunk.extra.size()));
    std::uint8_t half[2];
    PutLE16(half, chunk.unityNote);
    body.insert(body.end(), half, half + 2);
    PutLE16(half, static_cast<std::uint16_t>(chunk.fineTune));
    body.insert(body.end(), half, half + 2);
    AppendLE32(body, static_cast<std::uint32_t>(chunk.gain));
    AppendLE32(body, chunk.options);
    AppendLE32(body, static_cast<std::uint32_t>(chunk.loops.size()));
    body.insert(body.end(), chunk.extra.begin(), chunk.extra.end());
    for (const WaveSampleLoop& loop : chunk.loops) {
        AppendLE32(body, kWsmpLoopBytes);
        AppendLE32(body, loop.type);
        AppendLE32(body, loop.start);
        AppendLE32(body, loop.length);
    }
    std::vector<std::uint8_t> out;
    AppendChunk(out, kWsmpId, body);
    return out;
}

std::optional<std::vector<CuePoint>> ParseCueChunk(std::span<const std::uint8_t> body,
                                                   Warnings& warnings) {
    if (body.size() < 4) {
        Warn(warnings, kCueId, "truncated (" + std::to_string(body.size()) + " bytes); dropped");
        return std::nullopt;
    }
    const std::uint32_t declared = GetLE32(body.data());
    const std::size_t room = (body.size() - 4) / kCuePointBytes;
    std::size_t count = declared;
    if (count > room) {
        Warn(warnings, kCueId,
             "declares " + std::to_string(declared) + " cue points but holds " +
                 std::to_string(room) + "; the missing points are dropped");
        count = room;
    }
    std::vector<CuePoint> cues;
    cues.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* c = body.data() + 4 + i * kCuePointBytes;
        CuePoint cue;
        cue.id = GetLE32(c);
        cue.position = GetLE32(c + 4);
        cue.dataChunkId = GetLE32(c + 8);
        cue.chunkStart = GetLE32(c + 12);
        cue.blockStart = GetLE32(c + 16);
        cue.sampleOffset = GetLE32(c + 20);
        cues.push_back(cue);
    }
    return cues;
}

std::vector<std::uint8_t> BuildCueChunk(std::span<const CuePoint> cues) {
    std::vector<std::uint8_t> body;
    body.reserve(4 + cues.size() * kCuePointBytes);
    AppendLE32(body, static_cast<std::uint32_t>(cues.size()));
    for (const CuePoint& cue : cues) {
        AppendLE32(body, cue.id);
        AppendLE32(body, cue.position);
        AppendLE32(body, cue.dataChunkId);
        AppendLE32(body, cue.chunkStart);
        AppendLE32(body, cue.blockStart);
        AppendLE32(body, cue.sampleOffset);
    }
    std::vector<std::uint8_t> out;
    AppendChunk(out, kCueId, body);
    return out;
}

std::optional<ListChunk> ParseListChunk(std::span<const std::uint8_t> body, Warnings& warnings) {
    if (body.size() < 4) {
        Warn(warnings, kListId, "truncated (" + std::to_string(body.size()) + " bytes); dropped");
        return std::nullopt;
    }
    ListChunk list;
    list.type = GetLE32(body.data());
    std::size_t pos = 4;
    while (body.size() - pos >= 8) {
        const std::uint32_t id = GetLE32(&body[pos]);
        const std::uint32_t size = GetLE32(&body[pos + 4]);
        pos += 8;
        if (size > body.size() - pos) {
            Warn(warnings, kListId,
                 Trimmed(list.type) + " item \"" + ChunkName(id) + "\" truncated (" +
                     std::to_string(size) + " bytes declared, " +
                     std::to_string(body.size() - pos) + " present); dropped");
            break;
        }
        ListItem item;
        item.id = id;
        item.body.assign(body.begin() + static_cast<std::ptrdiff_t>(pos),
                         body.begin() + static_cast<std::ptrdiff_t>(pos + size));
        list.items.push_back(std::move(item));
        pos += size;
        pos += std::min<std::size_t>(size & 1, body.size() - pos);
    }
    if (body.size() - pos > 1)  // one byte may be a writer's pad
        Warn(warnings, kListId,
             Trimmed(list.type) + " ends in " + std::to_string(body.size() - pos) +
                 " stray bytes; ignored");
    return list;
}

std::vector<std::uint8_t> BuildListChunk(const ListChunk& chunk) {
    std::vector<std::uint8_t> body;
    AppendLE32(body, chunk.type);
    for (const ListItem& item : chunk.items)
        AppendChunk(body, item.id, item.body);
    std::vector<std::uint8_t> out;
    AppendChunk(out, kListId, body);
    return out;
}

void CollectChunk(WaveMetadata& metadata, std::uint32_t id, std::span<const std::uint8_t> body,
                  Warnings& warnings) {
    if (id == kSmplId) {
        if (metadata.sampler && !metadata.samplerFromWsmp) {
            Warn(warnings, id, "a second smpl chunk; only the first is kept");
            return;
        }
        metadata.sampler = ParseSamplerChunk(body, warnings);
        metadata.samplerFromWsmp = false;
    } else if (id == kWsmpId) {
        if (metadata.wsmp) {
            Warn(warnings, id, "a second wsmp chunk; only the first is kept");
            return;
        }
        metadata.wsmp = ParseWaveSampleChunk(body, warnings);
        if (metadata.wsmp && !metadata.sampler) {
            // Its loops travel as a smpl chunk's would (end inclusive).
            SamplerChunk sampler;
            sampler.midiUnityNote = metadata.wsmp->unityNote;
            for (const WaveSampleLoop& loop : metadata.wsmp->loops) {
                if (loop.length == 0)
                    continue;
                sampler.loops.push_back({.cuePointId = 0,
                                         .type = kLoopForward,
                                         .start = loop.start,
                                         .end = loop.start + (loop.length - 1),
                                         .fraction = 0,
                                         .playCount = 0});
            }
            metadata.sampler = std::move(sampler);
            metadata.samplerFromWsmp = true;
        }
    } else if (id == kCueId) {
        if (metadata.haveCues) {  // its IDs would clash with the first one's
            Warn(warnings, id, "a second cue chunk; only the first is kept");
            return;
        }
        if (auto cues = ParseCueChunk(body, warnings)) {
            metadata.cues.insert(metadata.cues.end(), cues->begin(), cues->end());
            metadata.haveCues = true;
        }
    } else if (id == kListId) {
        if (auto list = ParseListChunk(body, warnings))
            metadata.lists.push_back(std::move(*list));
    } else if (Contains(kCarriedIds, id)) {
        metadata.others.push_back({id, std::vector<std::uint8_t>(body.begin(), body.end())});
    } else if (!Contains(kRebuiltIds, id)) {
        warnings.push_back("\"" + ChunkName(id) +
                           "\" chunk dropped: its contents would no longer be true");
    }
}

WaveMetadata ReadWaveMetadata(ByteSource& source, std::span<const WaveChunk> chunks,
                              Warnings& warnings) {
    WaveMetadata metadata;
    if (!source.Seekable())
        return metadata;
    std::vector<std::uint8_t> body;
    std::uint64_t held = 0;
    for (const WaveChunk& chunk : chunks) {
        if (Contains(kRebuiltIds, chunk.id))
            continue;
        if (held + chunk.size > kMaxMetadataBytes) {
            warnings.push_back("\"" + ChunkName(chunk.id) + "\" chunk dropped: metadata over " +
                               std::to_string(kMaxMetadataBytes >> 20) + " MiB is not carried");
            continue;
        }
        held += chunk.size;
        body.resize(chunk.size);
        if (!source.Seek(chunk.position) || source.Read(body) != body.size()) {
            warnings.push_back("\"" + ChunkName(chunk.id) + "\" chunk truncated (" +
                               std::to_string(chunk.size) + " bytes declared); dropped");
            continue;
        }
        CollectChunk(metadata, chunk.id, body, warnings);
    }
    return metadata;
}

void CheckLoops(SamplerChunk& sampler, std::uint64_t frames, Warnings& warnings) {
    std::vector<SampleLoop> kept;
    for (std::size_t i = 0; i < sampler.loops.size(); ++i) {
        const SampleLoop& loop = sampler.loops[i];
        const std::string name = "loop " + std::to_string(i + 1) + " (frames " +
                                 std::to_string(loop.start) + ".." + std::to_string(loop.end) + ")";
        if (loop.end < loop.start)
            Warn(warnings, kSmplId, name + " ends before it starts; dropped");
        else if (loop.end >= frames)
            Warn(warnings, kSmplId,
                 name + " runs past the audio's " + std::to_string(frames) + " frames; dropped");
        else
            kept.push_back(loop);
    }
    sampler.loops = std::move(kept);
}

void MoveFramePositions(WaveMetadata& metadata, const FrameMap& map, Warnings& warnings) {
    // Region lengths first: they are measured from the cue points' original positions.
    for (ListChunk& list : metadata.lists) {
        if (list.type != kAdtlId)
            continue;
        std::vector<ListItem> kept;
        for (ListItem& item : list.items) {
            if (item.id == kLtxtId && item.body.size() >= kLtxtFixedBytes) {
                const std::uint32_t cueId = GetLE32(item.body.data());
                const std::uint32_t length = GetLE32(item.body.data() + 4);
                const auto cue = std::find_if(metadata.cues.begin(), metadata.cues.end(),
                                              [&](const CuePoint& c) { return c.id == cueId; });
                if (cue != metadata.cues.end()) {
                    const auto from = map(cue->sampleOffset);
                    const auto to = map(std::uint64_t{cue->sampleOffset} + length);
                    const auto moved = from && to && *to >= *from ? To32(*to - *from)
                                                                  : std::optional<std::uint32_t>();
                    if (!moved) {
                        Warn(warnings, kListId,
                             "adtl region of cue point " + std::to_string(cueId) +
                                 " no longer lies in the audio; dropped");
                        continue;
                    }
                    PutLE32(item.body.data() + 4, *moved);
                }
            }
            kept.push_back(std::move(item));
        }
        list.items = std::move(kept);
    }

    std::vector<CuePoint> cues;
    for (const CuePoint& cue : metadata.cues) {
        const bool plain = cue.dataChunkId == kDataChunkId || cue.dataChunkId == 0;
        const auto mappedOffset = plain ? map(cue.sampleOffset) : std::nullopt;
        const auto offset = To32(mappedOffset);
        const auto position = plain ? To32(map(cue.position)) : std::nullopt;
        if (!offset || !position) {
            // A frame the map does not know lies past the input's end: it never was in the audio.
            Warn(warnings, kCueId,
                 "cue point " + std::to_string(cue.id) +
                     (!plain          ? " lies in a wave list"
                      : !mappedOffset ? " lies past the end of the audio"
                                      : " no longer lies in the audio") +
                     "; dropped");
            continue;
        }
        CuePoint moved = cue;
        moved.sampleOffset = *offset;
        moved.position = *position;
        cues.push_back(moved);
    }
    metadata.cues = std::move(cues);

    if (metadata.sampler) {
        std::vector<SampleLoop> loops;
        for (std::size_t i = 0; i < metadata.sampler->loops.size(); ++i) {
            SampleLoop loop = metadata.sampler->loops[i];
            const auto start = To32(map(loop.start));
            const auto end = map(std::uint64_t{loop.end} + 1);  // one past the end
            if (!start || !end || *end <= *start || !To32(*end - 1)) {
                Warn(warnings, kSmplId,
                     "loop " + std::to_string(i + 1) + " no longer lies in the audio; dropped");
                continue;
            }
            loop.start = *start;
            loop.end = static_cast<std::uint32_t>(*end - 1);
            loops.push_back(loop);
        }
        metadata.sampler->loops = std::move(loops);
    }
}

void SetSamplerRate(SamplerChunk& sampler, std::uint32_t sampleRate) {
    if (sampleRate != 0)
        sampler.samplePeriod = static_cast<std::uint32_t>(std::lround(1e9 / sampleRate));
}

void ShiftSamplerPitch(SamplerChunk& sampler, double cents) {
    // The pitch in units of 2^-32 semitone.
    const double unit = 4294967296.0;
    const double pitch =
        sampler.midiUnityNote * unit + sampler.midiPitchFraction + std::round(cents / 100.0 * unit);
    const double top = 127.0 * unit + (unit - 1);
    const auto moved = static_cast<std::uint64_t>(std::clamp(pitch, 0.0, top));
    sampler.midiUnityNote = static_cast<std::uint32_t>(moved >> 32);
    sampler.midiPitchFraction = static_cast<std::uint32_t>(moved);
}

std::vector<std::uint8_t> BuildMetadataChunks(const WaveMetadata& metadata) {
    std::vector<std::uint8_t> out;
    const auto append = [&out](const std::vector<std::uint8_t>& chunk) {
        out.insert(out.end(), chunk.begin(), chunk.end());
    };
    for (const ListChunk& list : metadata.lists)
        append(BuildListChunk(list));
    if (metadata.haveCues)
        append(BuildCueChunk(metadata.cues));
    if (metadata.sampler && !metadata.samplerFromWsmp)
        append(BuildSamplerChunk(*metadata.sampler));
    if (metadata.wsmp) {
        WaveSampleChunk wsmp = *metadata.wsmp;
        if (metadata.sampler) {
            wsmp.loops.clear();
            for (const SampleLoop& loop : metadata.sampler->loops)
                wsmp.loops.push_back({0, loop.start, loop.end - loop.start + 1});
            if (metadata.samplerFromWsmp)
                wsmp.unityNote = static_cast<std::uint16_t>(metadata.sampler->midiUnityNote);
        }
        append(BuildWaveSampleChunk(wsmp));
    }
    for (const OpaqueChunk& chunk : metadata.others)
        AppendChunk(out, chunk.id, chunk.body);
    return out;
}

std::optional<std::string> InfoText(const WaveMetadata& metadata, std::uint32_t id) {
    for (const ListChunk& list : metadata.lists) {
        if (list.type != kInfoId)
            continue;
        for (const ListItem& item : list.items) {
            if (item.id != id)
                continue;
            std::string text(item.body.begin(), item.body.end());
            text.resize(std::min(text.size(), text.find('\0')));
            return text;
        }
    }
    return std::nullopt;
}

void SetInfoText(WaveMetadata& metadata, std::uint32_t id, std::string_view text) {
    std::vector<std::uint8_t> body(text.begin(), text.end());
    body.push_back(0);
    for (ListChunk& list : metadata.lists) {
        if (list.type != kInfoId)
            continue;
        for (ListItem& item : list.items) {
            if (item.id == id) {
                item.body = std::move(body);
                return;
            }
        }
        list.items.push_back({id, std::move(body)});
        return;
    }
    metadata.lists.push_back({kInfoId, {{id, std::move(body)}}});
}

}  // namespace imabox
