// SPDX-License-Identifier: MIT
// Loop alignment and the chunks that carry loops and metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "imabox/convert.hpp"
#include "io/byte_stream.hpp"
#include "media/instrument.hpp"
#include "media/media.hpp"
#include "no_media.hpp"
#include "pipeline/loop_align.hpp"
#include "pipeline/loop_stream.hpp"
#include "test_util.hpp"
#include "wave/wave_header.hpp"
#include "wave/wave_metadata.hpp"
#include "wave_bytes.hpp"

namespace imabox {
namespace {

// A tone whose period (48.5 frames) does not divide 65, two channels in antiphase.
std::vector<std::int16_t> Tone(std::uint64_t frames) {
    std::vector<std::int16_t> samples;
    for (std::uint64_t i = 0; i < frames; ++i) {
        const double v = 12000.0 * std::sin(2 * M_PI * static_cast<double>(i) / 48.5);
        samples.push_back(static_cast<std::int16_t>(std::lround(v)));
        samples.push_back(static_cast<std::int16_t>(-std::lround(v)));
    }
    return samples;
}

// Frame `i` of a file played with its loop [start, end] repeating forever.
std::uint64_t LoopedFrame(std::uint64_t i, std::uint64_t start, std::uint64_t end) {
    return i <= end ? i : start + (i - start) % (end + 1 - start);
}

// Runs `samples` through the unroller in pieces of `piece` frames.
std::vector<std::int16_t> Unroll(const std::vector<std::int16_t>& samples,
                                 const LoopAlignPlan& plan, std::size_t piece) {
    LoopUnroller<std::int16_t> unroller(2, plan.inputStart, plan.inputEnd, plan.copyFrames);
    std::vector<std::int16_t> out;
    for (std::size_t at = 0; at < samples.size(); at += piece * 2) {
        const std::size_t n = std::min(piece * 2, samples.size() - at);
        unroller.Process(std::span(samples).subspan(at, n), out);
    }
    return out;
}

TEST(LoopAlign, UnrollMakesAnExactBlockLoopThatPlaysLikeTheSource) {
    // The loop holds 26 periods of 48.5 frames (1261 = 13 * 97 frames: five plays fill 97
    // blocks); 100 frames of tail follow it.
    const std::uint64_t start = 1001, end = start + 1261 - 1, frames = end + 1 + 100;
    const std::vector<std::int16_t> source = Tone(frames);
    const auto plan = PlanLoopAlignment({.start = start,
                                         .end = end,
                                         .frames = frames,
                                         .inputRate = 44100,
                                         .outputRate = 44100,
                                         .mode = LoopAlignMode::Unroll});
    ASSERT_TRUE(plan) << plan.error().message;
    EXPECT_EQ(plan->start, 1040u);
    EXPECT_EQ(plan->repeats, 5u);
    EXPECT_TRUE(plan->aligned());
    EXPECT_FALSE(plan->resamples());
    EXPECT_EQ(plan->end + 1 - plan->start, 1261u * 5);
    EXPECT_EQ(plan->outputFrames, frames + plan->copyFrames);

    for (const std::size_t piece : {1u, 64u, 1000u, 100000u}) {
        const std::vector<std::int16_t> out = Unroll(source, plan.value(), piece);
        ASSERT_EQ(out.size(), plan->outputFrames * 2);
        // Played with the aligned loop, the output is the source played with its own loop, frame
        // for frame, across three passes of the seam.
        for (std::uint64_t i = 0; i < plan->end + 3 * (plan->end + 1 - plan->start); ++i) {
            const std::uint64_t o = LoopedFrame(i, plan->start, plan->end);
            const std::uint64_t s = LoopedFrame(i, start, end);
            ASSERT_EQ(out[2 * o], source[2 * s]) << "frame " << i << ", piece " << piece;
            ASSERT_EQ(out[2 * o + 1], source[2 * s + 1]) << "frame " << i;
        }
        // The tail follows the copy unchanged, where MapFrame says it lands.
        const std::uint64_t tail = plan->MapFrame(end + 1);
        EXPECT_EQ(tail, plan->end + 1);
        for (std::uint64_t i = 0; i < 100; ++i)
            ASSERT_EQ(out[2 * (tail + i)], source[2 * (end + 1 + i)]);
    }
}

// Without a resampler a plan that resamples is refused, saying which modes work instead.
TEST(LoopAlign, APlanThatResamplesNeedsAResampler) {
    const auto plan = PlanLoopAlignment({.start = 100,
                                         .end = 1099,
                                         .frames = 2000,
                                         .inputRate = 44100,
                                         .outputRate = 44100,
                                         .maxCents = 100});
    ASSERT_TRUE(plan && plan->resamples());
    const auto nothing = [](std::span<std::int16_t>) -> Expected<std::size_t> { return 0; };
    const auto refused = LoopAlignedAudio::Create(plan.value(), 2, nothing, test::NoMedia());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::LoopAlignment);
    EXPECT_EQ(refused.error().message,
              "this build cannot resample; LoopAlignMode::Unroll or LoopAlignMode::Off aligns "
              "the loop");
}

TEST(LoopAlign, ResampledLoopPlaysAcrossItsSeamLikeTheSource) {
#if !defined(IMABOX_HAVE_SOXR)
    GTEST_SKIP() << "built without libsoxr: no resampling";
#endif
    // 240 periods of the 48.5-frame tone: the source loop is seamless, so the source played with
    // its loop is the tone itself, and so must be the aligned file played with its loop.
    const std::uint64_t start = 3001, end = start + 240 * 97 / 2 - 1, frames = end + 1 + 5000;
    const std::vector<std::int16_t> source = Tone(frames);
    const auto plan = PlanLoopAlignment({.start = start,
                                         .end = end,
                                         .frames = frames,
                                         .inputRate = 44100,
                                         .outputRate = 44100,
                                         .mode = LoopAlignMode::Resample});
    ASSERT_TRUE(plan) << plan.error().message;
    ASSERT_TRUE(plan->resamples());
    ASSERT_TRUE(plan->aligned());
    const double ratio = static_cast<double>(plan->ratioNum) / plan->ratioDen;
    std::size_t at = 0;
    auto audio = LoopAlignedAudio::Create(
        plan.value(), 2,
        [&](std::span<std::int16_t> out) -> Expected<std::size_t> {
            const std::size_t n = std::min(out.size(), source.size() - at);
            std::copy_n(source.begin() + at, n, out.begin());
            at += n;
            return n / 2;
        },
        AvailableMedia());
    ASSERT_TRUE(audio) << audio.error().message;
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> piece(2 * 3000);
    while (true) {
        const auto n = audio.value()->Read(piece);
        ASSERT_TRUE(n);
        if (n.value() == 0)
            break;
        out.insert(out.end(), piece.begin(), piece.begin() + n.value() * 2);
    }
    EXPECT_NEAR(static_cast<double>(out.size() / 2), static_cast<double>(plan->outputFrames), 1);

    // SNR of the looped output against the tone at the output's pitch, in dB.
    const auto snr = [&](std::uint64_t from, std::uint64_t to) {
        double signal = 0, noise = 0;
        for (std::uint64_t i = from; i < to; ++i) {
            const double want =
                12000.0 * std::sin(2 * M_PI * static_cast<double>(i) / 48.5 / ratio);
            const double got = out[2 * LoopedFrame(i, plan->start, plan->end)];
            signal += want * want;
            noise += (got - want) * (got - want);
        }
        return 10 * std::log10(signal / noise);
    };
    const double overall = snr(500, plan->end + 1);
    const double seam = snr(plan->end + 1 - 2000, plan->end + 1 + 2000);
    EXPECT_GT(overall, 70);
    EXPECT_GT(seam, overall - 3) << "overall " << overall;
}

TEST(LoopAlign, ResamplePlansTheSmallestRatioAndRefusesAudibleChanges) {
    // One second at 44.1 kHz: 44100 frames become 44070 (678 blocks), about +1.18 cents.
    auto plan = PlanLoopAlignment({.start = 5000,
                                   .end = 49099,
                                   .frames = 60000,
                                   .inputRate = 44100,
                                   .outputRate = 44100,
                                   .mode = LoopAlignMode::Resample,
                                   .resamplerReach = 300});
    ASSERT_TRUE(plan) << plan.error().message;
    EXPECT_EQ(plan->end + 1 - plan->start, 44070u);
    EXPECT_TRUE(plan->aligned());
    EXPECT_NEAR(plan->cents, 1200 * std::log2(44100.0 / 44070.0), 1e-9);
    EXPECT_EQ(plan->ratioNum * 44100, plan->ratioDen * 44070);
    // The start moves to the first boundary at or after 5000 * ratio = 4996.6.
    EXPECT_EQ(plan->start, 5005u);
    EXPECT_EQ(plan->startShift(), 8u);
    // The copy covers the new start plus the resampler's reach; the cut drops what that reach
    // adds after the loop, so the tail follows the loop directly.
    EXPECT_GE(plan->copyFrames, 300u + 8u);
    EXPECT_EQ(plan->cutStart, plan->end + 1);
    EXPECT_EQ(plan->MapFrame(49100), plan->end + 1);
    EXPECT_EQ(plan->MapFrame(1000), 999u);  // before the loop: only the ratio moves it
    EXPECT_NEAR(static_cast<double>(plan->MapFrame(60000) - plan->MapFrame(49100)),
                10900 * 44070.0 / 44100.0, 1.0);
    EXPECT_NE(DescribeLoopAlignment(plan.value()).find("+1.18 cents"), std::string::npos)
        << DescribeLoopAlignment(plan.value());

    // With a rate conversion the loop is measured in output frames.
    plan = PlanLoopAlignment({.start = 0,
                              .end = 47999,
                              .frames = 48000,
                              .inputRate = 48000,
                              .outputRate = 22050,
                              .mode = LoopAlignMode::Resample});
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->end + 1, 22035u);
    EXPECT_EQ(plan->outputFrames, 22035u);  // the loop ends the file: nothing after it
    EXPECT_EQ(plan->cutEnd, kNoTail);

    // 1000 frames cannot be made whole blocks within 5 cents; unroll repeats it 13 times.
    LoopAlignRequest shortLoop{.start = 10,
                               .end = 1009,
                               .frames = 2000,
                               .inputRate = 44100,
                               .outputRate = 44100,
                               .mode = LoopAlignMode::Resample};
    const auto refused = PlanLoopAlignment(shortLoop);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("LoopAlignMode::Unroll"), std::string::npos);
    shortLoop.mode = LoopAlignMode::Unroll;
    const auto repeated = PlanLoopAlignment(shortLoop);
    ASSERT_TRUE(repeated);
    EXPECT_EQ(repeated->repeats, 13u);
    EXPECT_EQ(repeated->start, 65u);

    // Off keeps the points; a loop already on blocks changes nothing.
    shortLoop.mode = LoopAlignMode::Off;
    EXPECT_EQ(PlanLoopAlignment(shortLoop)->start, 10u);
    const auto ready = PlanLoopAlignment(
        {.start = 130, .end = 130 + 650 - 1, .frames = 800, .inputRate = 8000, .outputRate = 8000});
    ASSERT_TRUE(ready);
    EXPECT_FALSE(ready->changesAudio());
    EXPECT_EQ(ready->outputFrames, 800u);
}

TEST(LoopAlign, MetadataKeepsOneGoodForwardLoopAndWarnsAboutTheRest) {
    WaveMetadata metadata;
    metadata.sampler.emplace();
    metadata.sampler->midiUnityNote = 60;
    metadata.sampler->loops = {{.start = 900, .end = 800},              // ends before it starts
                               {.type = 1, .start = 0, .end = 99},      // alternating
                               {.start = 12001, .end = 12000 + 22050},  // the one kept
                               {.start = 0, .end = 99999},              // past the audio
                               {.start = 5, .end = 9}};                 // a second forward loop
    metadata.haveCues = true;
    metadata.cues = {{.id = 1, .position = 40000, .sampleOffset = 40000},
                     {.id = 2, .position = 60000, .sampleOffset = 60000}};
    Warnings warnings;
    const auto plan =
        AlignMetadataLoop(metadata, 50000, 22050, 22050, LoopAlignOptions{}, warnings);
    ASSERT_TRUE(plan) << plan.error().message;
    ASSERT_TRUE(plan.value());
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_NE(warnings[0].find("ends before it starts"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("past the audio"), std::string::npos) << warnings[1];
    EXPECT_EQ(warnings[2],
              "smpl chunk: Xbox ADPCM files carry one forward loop; loop 0..99, 5..9 dropped");
    EXPECT_EQ(warnings[3], "cue chunk: cue point 2 lies past the end of the audio; dropped");
    for (const std::string& w : warnings)  // every warning names its chunk
        EXPECT_TRUE(w.starts_with("smpl chunk: ") || w.starts_with("cue chunk: ")) << w;

    const LoopAlignPlan& p = *plan.value();
    ASSERT_EQ(metadata.sampler->loops.size(), 1u);
    EXPECT_EQ(metadata.sampler->loops[0].start, p.start);
    EXPECT_EQ(metadata.sampler->loops[0].end, p.end);
    EXPECT_TRUE(p.aligned());
    EXPECT_LT(std::fabs(p.cents), kDefaultMaxLoopCents);
    // The cue after the loop moved with the audio, the pitch with the resampling.
    ASSERT_EQ(metadata.cues.size(), 1u);
    EXPECT_EQ(metadata.cues[0].sampleOffset, p.MapFrame(40000));
    EXPECT_NE(metadata.sampler->midiPitchFraction, 0u);
    EXPECT_EQ(metadata.sampler->samplePeriod, 45351u);  // 1e9 / 22050

    // Loops from libsndfile's instrument data end one past their last frame.
    SourceInstrument instrument;
    instrument.baseNote = 69;
    instrument.detune = -25;
    instrument.loops = {{.mode = SourceLoop::Mode::Forward, .start = 100, .end = 300},
                        {.mode = SourceLoop::Mode::None, .start = 1, .end = 2}};
    const SamplerChunk fromInstrument = SamplerFromInstrument(instrument, 44100);
    ASSERT_EQ(fromInstrument.loops.size(), 1u);
    EXPECT_EQ(fromInstrument.loops[0].end, 299u);
    EXPECT_EQ(fromInstrument.midiUnityNote, 68u);
    EXPECT_EQ(fromInstrument.midiPitchFraction, 0xC0000000u);

    // A loop too short for the pitch limit is refused with the mode that would work named.
    WaveMetadata shortLoop;
    shortLoop.sampler.emplace();
    shortLoop.sampler->loops = {{.start = 100, .end = 399}};
    const auto refused =
        AlignMetadataLoop(shortLoop, 1000, 22050, 22050, LoopAlignOptions{}, warnings);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("LoopAlignMode::Unroll"), std::string::npos);
}

TEST(LoopAlign, FrameCutterDropsARangeAcrossPieces) {
    std::vector<std::int16_t> in(2 * 50);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<std::int16_t>(i / 2);
    FrameCutter<std::int16_t> cutter(2, 7, 31);
    std::vector<std::int16_t> out;
    for (std::size_t at = 0; at < in.size(); at += 2 * 6)
        cutter.Process(std::span(in).subspan(at, std::min<std::size_t>(12, in.size() - at)), out);
    ASSERT_EQ(out.size(), 2u * (50 - 24));
    EXPECT_EQ(out[2 * 6], 6);
    EXPECT_EQ(out[2 * 7], 31);
    EXPECT_EQ(out.back(), 49);
}

std::vector<std::uint8_t> Body(const std::vector<std::uint8_t>& chunk) {
    return {chunk.begin() + 8, chunk.begin() + 8 + GetLE32(&chunk[4])};
}

TEST(WaveMetadata, SamplerAndCueChunksRoundTripAndBadOnesAreWarnedAbout) {
    SamplerChunk smpl;
    smpl.manufacturer = 0x01000047;
    smpl.midiUnityNote = 57;
    smpl.midiPitchFraction = 0x40000000;
    smpl.loops = {{.cuePointId = 7, .start = 100, .end = 199, .playCount = 3},
                  {.cuePointId = 8, .type = 1, .start = 10, .end = 20}};
    smpl.samplerData = {1, 2, 3};
    const std::vector<std::uint8_t> chunk = BuildSamplerChunk(smpl);
    ASSERT_EQ(chunk.size(), 8u + 36 + 2 * 24 + 3 + 1);  // with its pad byte
    EXPECT_EQ(GetLE32(&chunk[0]), kSmplId);
    Warnings warnings;
    const auto back = ParseSamplerChunk(Body(chunk), warnings);
    ASSERT_TRUE(back);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(back->manufacturer, smpl.manufacturer);
    EXPECT_EQ(back->midiPitchFraction, smpl.midiPitchFraction);
    ASSERT_EQ(back->loops.size(), 2u);
    EXPECT_EQ(back->loops[0].end, 199u);
    EXPECT_EQ(back->loops[0].playCount, 3u);
    EXPECT_EQ(back->loops[1].type, 1u);
    EXPECT_EQ(back->samplerData, smpl.samplerData);
    // Note 57 and a quarter semitone, lowered by 50 cents, then raised by 25.
    SamplerChunk shifted = smpl;
    ShiftSamplerPitch(shifted, -50);
    EXPECT_EQ(shifted.midiUnityNote, 56u);
    EXPECT_EQ(shifted.midiPitchFraction, 0xC0000000u);
    ShiftSamplerPitch(shifted, 25);
    EXPECT_EQ(shifted.midiUnityNote, 57u);
    EXPECT_EQ(shifted.midiPitchFraction, 0u);

    // A chunk cut inside its second loop keeps the first, with a warning; one shorter than its
    // fixed fields is dropped.
    std::vector<std::uint8_t> cut = Body(chunk);
    cut.resize(36 + 24 + 10);
    const auto partial = ParseSamplerChunk(cut, warnings);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->loops.size(), 1u);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("smpl chunk: declares 2 loops but holds 1", 0), 0u) << warnings[0];
    cut.resize(20);
    EXPECT_FALSE(ParseSamplerChunk(cut, warnings));
    EXPECT_EQ(warnings.size(), 2u);

    // Loops that cannot play over the audio are dropped, one warning each.
    warnings.clear();
    SamplerChunk bad = smpl;
    bad.loops = {{.start = 50, .end = 40}, {.start = 10, .end = 5000}, {.start = 0, .end = 99}};
    CheckLoops(bad, 1000, warnings);
    ASSERT_EQ(bad.loops.size(), 1u);
    EXPECT_EQ(bad.loops[0].end, 99u);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("ends before it starts"), std::string::npos);
    EXPECT_NE(warnings[1].find("runs past the audio's 1000 frames"), std::string::npos);

    const std::vector<CuePoint> cues = {
        {.id = 7, .position = 100, .dataChunkId = ChunkId("data"), .sampleOffset = 100}};
    warnings.clear();
    const auto cueBack = ParseCueChunk(Body(BuildCueChunk(cues)), warnings);
    ASSERT_TRUE(cueBack);
    ASSERT_EQ(cueBack->size(), 1u);
    EXPECT_EQ((*cueBack)[0].sampleOffset, 100u);
    EXPECT_TRUE(warnings.empty());

    // A second cue chunk would bring its IDs again: only the first is kept. A cue point past the
    // audio never lay in it.
    WaveMetadata metadata;
    const std::vector<CuePoint> past = {
        {.id = 7, .position = 5000, .dataChunkId = ChunkId("data"), .sampleOffset = 5000}};
    CollectChunk(metadata, kCueId, Body(BuildCueChunk(past)), warnings);
    CollectChunk(metadata, kCueId, Body(BuildCueChunk(cues)), warnings);
    ASSERT_EQ(metadata.cues.size(), 1u);
    MoveFramePositions(
        metadata, [](std::uint64_t p) { return p <= 1000 ? std::optional(p) : std::nullopt; },
        warnings);
    EXPECT_TRUE(metadata.cues.empty());
    EXPECT_EQ(warnings,
              (Warnings{"cue chunk: a second cue chunk; only the first is kept",
                        "cue chunk: cue point 7 lies past the end of the audio; dropped"}));
}

TEST(WaveMetadata, ChunksCarryTextAndMoveWithTheAlignedLoop) {
    WaveMetadata metadata;
    Warnings warnings;
    // An INFO list with an odd-length title (padded), an adtl region on the loop, a bext chunk
    // carried unread, a peak chunk that cannot stay true, padding dropped silently.
    ListChunk info{kInfoId, {{kInamId, {'L', 'o', 'o', 'p', 0}}, {ChunkId("IART"), {'x', 0}}}};
    std::vector<std::uint8_t> ltxt(20);
    PutLE32(&ltxt[0], 7);
    PutLE32(&ltxt[4], 44100);
    ListChunk adtl{kAdtlId, {{kLtxtId, ltxt}, {kLablId, {7, 0, 0, 0, 'A', 0}}}};
    for (const auto& chunk : {BuildListChunk(info), BuildListChunk(adtl)})
        CollectChunk(metadata, kListId, Body(chunk), warnings);
    CollectChunk(metadata, kCueId,
                 Body(BuildCueChunk(
                     std::vector<CuePoint>{{.id = 7, .position = 5000, .sampleOffset = 5000},
                                           {.id = 9, .position = 55000, .sampleOffset = 55000}})),
                 warnings);
    SamplerChunk smpl;
    smpl.loops = {{.cuePointId = 7, .start = 5000, .end = 49099}};
    CollectChunk(metadata, kSmplId, Body(BuildSamplerChunk(smpl)), warnings);
    CollectChunk(metadata, ChunkId("bext"), std::vector<std::uint8_t>(602, 1), warnings);
    CollectChunk(metadata, ChunkId("PEAK"), std::vector<std::uint8_t>(24), warnings);
    CollectChunk(metadata, ChunkId("JUNK"), std::vector<std::uint8_t>(28), warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "\"PEAK\" chunk dropped: its contents would no longer be true");
    EXPECT_EQ(InfoText(metadata, kInamId), "Loop");

    const auto plan = PlanLoopAlignment({.start = 5000,
                                         .end = 49099,
                                         .frames = 60000,
                                         .inputRate = 44100,
                                         .outputRate = 44100,
                                         .resamplerReach = 300});
    ASSERT_TRUE(plan);
    warnings.clear();
    MoveFramePositions(
        metadata, [&](std::uint64_t p) { return plan->MapFrame(p); }, warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(metadata.sampler->loops.size(), 1u);
    EXPECT_EQ(metadata.sampler->loops[0].start, plan->start);
    EXPECT_EQ(metadata.sampler->loops[0].end, plan->end);
    EXPECT_EQ(metadata.cues[0].sampleOffset, plan->start);
    EXPECT_EQ(metadata.cues[1].sampleOffset, plan->MapFrame(55000));

    // Written out and read back, everything is where it was moved to.
    const std::vector<std::uint8_t> bytes = BuildMetadataChunks(metadata);
    WaveMetadata back;
    for (std::size_t pos = 0; pos + 8 <= bytes.size();) {
        const std::uint32_t size = GetLE32(&bytes[pos + 4]);
        CollectChunk(back, GetLE32(&bytes[pos]), std::span(bytes).subspan(pos + 8, size), warnings);
        pos += 8 + size + (size & 1);
    }
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(InfoText(back, kInamId), "Loop");
    EXPECT_EQ(InfoText(back, ChunkId("IART")), "x");
    ASSERT_EQ(back.lists.size(), 2u);
    EXPECT_EQ(GetLE32(back.lists[1].items[0].body.data() + 4), plan->end + 1 - plan->start);
    ASSERT_EQ(back.others.size(), 1u);
    EXPECT_EQ(back.others[0].body.size(), 602u);
    ASSERT_TRUE(back.sampler);
    EXPECT_EQ(back.sampler->loops[0].start, plan->start);
    EXPECT_EQ(back.cues.size(), 2u);

    // A damaged list keeps the items before the damage.
    std::vector<std::uint8_t> list = Body(BuildListChunk(info));
    list.resize(list.size() - 1);
    WaveMetadata damaged;
    CollectChunk(damaged, kListId, list, warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("LIST chunk: INFO item \"IART\" truncated", 0), 0u);
    EXPECT_EQ(InfoText(damaged, kInamId), "Loop");
}

// The loops and metadata of a WAVE file held in memory.
WaveMetadata MetadataOf(const test::Bytes& file, Warnings& warnings) {
    MemoryByteSource source(file);
    const auto header = ReadWaveHeader(source);
    EXPECT_TRUE(header) << header.error().message;
    return header ? ReadWaveMetadata(source, header->otherChunks, warnings) : WaveMetadata{};
}

// A 16-bit stereo tone file with a title before the audio and a loop after it.
test::Bytes LoopedWave(std::uint32_t start, std::uint32_t end, std::uint64_t frames) {
    test::Bytes data;
    for (const std::int16_t sample : Tone(frames))
        test::Put16(data, static_cast<std::uint16_t>(sample));
    test::Bytes info{'I', 'N', 'F', 'O'};
    const test::Bytes title = test::Chunk("INAM", {'S', 'e', 'a', 'm', 0});
    info.insert(info.end(), title.begin(), title.end());
    test::Bytes smpl;
    for (const std::uint32_t v : {0u, 0u, 22675u, 60u, 0u, 0u, 0u, 1u, 0u, 0u, 0u})
        test::Put32(smpl, v);
    for (const std::uint32_t v : {start, end, 0u, 0u})
        test::Put32(smpl, v);
    return test::Riff({test::Chunk("fmt ", test::FmtBody(1, 2, 44100, 4, 16)),
                       test::Chunk("LIST", info), test::Chunk("data", data),
                       test::Chunk("smpl", smpl)});
}

TEST(LoopFiles, LoopAndTitleSurviveEncodeAndDecode) {
#if !defined(IMABOX_HAVE_SOXR)
    GTEST_SKIP() << "built without libsoxr: no resampling";
#endif
    const test::Bytes source = LoopedWave(3001, 3001 + 11640 - 1, 20000);
    for (const LoopAlignMode mode : {LoopAlignMode::Resample, LoopAlignMode::Unroll}) {
        EncodeOptions options;
        options.loopAlign = mode;
        const auto encoded = EncodeMemory(source, options);
        ASSERT_TRUE(encoded) << encoded.error().message;
        EXPECT_TRUE(encoded->report.warnings.empty());
        EXPECT_EQ(encoded->report.loop.rfind("loop 3001..14640 -> 3055..", 0), 0u)
            << encoded->report.loop;
        const test::Bytes& file = encoded->file;

        // The 48-byte header is the one every Xbox ADPCM file has; only the RIFF size also
        // counts the chunks after the data.
        const std::uint32_t dataBytes = GetLE32(&file[44]);
        const auto header = BuildXBoxADPCMWaveHeader(2, 44100, dataBytes);
        EXPECT_TRUE(std::equal(header.begin() + 8, header.end(), file.begin() + 8));
        EXPECT_EQ(GetLE32(&file[4]), file.size() - 8);
        EXPECT_GT(file.size(), 48u + dataBytes);
        ASSERT_TRUE(ConvertMemory(file));  // the strict reader takes it too

        Warnings warnings;
        const WaveMetadata metadata = MetadataOf(file, warnings);
        ASSERT_TRUE(metadata.sampler);
        ASSERT_EQ(metadata.sampler->loops.size(), 1u);
        const SampleLoop loop = metadata.sampler->loops[0];
        EXPECT_EQ(loop.start, 3055u);
        EXPECT_EQ((loop.end + 1 - loop.start) % 65, 0u);
        EXPECT_EQ(InfoText(metadata, kInamId), "Seam");
        if (mode == LoopAlignMode::Unroll)  // 11640 = 5 * 2328: 13 plays fill whole blocks
            EXPECT_EQ(loop.end + 1 - loop.start, 13u * 11640);
        else
            EXPECT_EQ(loop.end + 1 - loop.start, 11635u);

        const auto decoded = DecodeMemory(file);
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(std::vector(decoded->file.begin(), decoded->file.begin() + 4),
                  (test::Bytes{'R', 'I', 'F', 'F'}));
        const WaveMetadata back = MetadataOf(decoded->file, warnings);
        EXPECT_EQ(InfoText(back, kInamId), "Seam");
        ASSERT_TRUE(back.sampler);
        ASSERT_EQ(back.sampler->loops.size(), 1u);
        EXPECT_EQ(back.sampler->loops[0].start, loop.start);
        EXPECT_EQ(back.sampler->loops[0].end, loop.end);
        EXPECT_TRUE(warnings.empty());
    }
}

TEST(LoopFiles, ABadLoopIsWarnedAboutAndTheAudioStillConverts) {
    const test::Bytes source = LoopedWave(500, 100, 2000);
    const auto encoded = EncodeMemory(source);
    ASSERT_TRUE(encoded) << encoded.error().message;
    ASSERT_EQ(encoded->report.warnings.size(), 1u);
    EXPECT_EQ(encoded->report.warnings[0],
              "smpl chunk: loop 1 (frames 500..100) ends before it starts; dropped");
    EXPECT_TRUE(encoded->report.loop.empty());
    EXPECT_EQ(encoded->report.blocks, 31u);  // 2000 frames, nothing unrolled

    // A loop too short to resample within the pitch limit fails the file, saying what works.
    const auto refused = EncodeMemory(LoopedWave(100, 1099, 2000));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::LoopAlignment);
    EXPECT_NE(refused.error().message.find("LoopAlignMode::Unroll"), std::string::npos);
}

#if defined(IMABOX_TOOL)
// The library names its own settings in its messages; the tool names the option that sets them.
TEST(LoopFiles, TheToolSaysWhichOptionAlignsTheLoop) {
    test::TempDir dir;
    const std::string in = (dir / "in.wav").string();
    test::WriteFileBytes(in, LoopedWave(100, 1099, 2000));
    const auto encode = [&](const std::string& options) {
        return test::RunProgram(
            "/bin/sh", {"-c", "\"$0\" encode \"$1\" -o \"$2\" " + options + " 2>&1", IMABOX_TOOL,
                        in, (dir / "out.wav").string()});
    };
    const test::ChildResult refused = encode("");
    EXPECT_NE(refused.output.find("; --loop-align unroll repeats it instead, --loop-align off "
                                  "leaves it as it is"),
              std::string::npos)
        << refused.output;
    const test::ChildResult kept = encode("--loop-align off");
    EXPECT_NE(kept.output.find("loop 100..1099, not on block boundaries (--loop-align off)"),
              std::string::npos)
        << kept.output;
    EXPECT_EQ((refused.output + kept.output).find("LoopAlignMode"), std::string::npos);
}
#endif

}  // namespace
}  // namespace imabox
