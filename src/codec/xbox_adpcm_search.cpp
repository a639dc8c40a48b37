// SPDX-License-Identifier: MIT
#include "codec/xbox_adpcm_search.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_parallel.hpp"

#define IMABOX_SEARCH_KERNEL_NAMESPACE portable
#include "codec/xbox_adpcm_search_kernels.hpp"

namespace imabox {
namespace search_detail {

SearchKernels PortableSearchKernels() {
    return {&portable::ScanStarts, &portable::Expand, &portable::Narrow};
}

}  // namespace search_detail

namespace {

using namespace search_detail;

constexpr unsigned kCodes = 64;  // coded samples per block and channel

constexpr unsigned kHashBits = 15;
constexpr unsigned kHashSize = 1u << kHashBits;  // at least 2 * kMaxCandidates
constexpr unsigned kSlotBits = 13;               // candidate slots packed below the cost
static_assert(kMaxCandidates <= (1u << kSlotBits) && 2 * kMaxCandidates <= kHashSize);
constexpr unsigned kMaxMergeBits = 8;
constexpr unsigned kSmallBeam = 8;  // beams this narrow merge and select without the hash
// Blocks a thread takes at a time: enough to make taking them cheap, few enough to share a
// short run evenly.
constexpr std::uint64_t kBlocksPerTask = 16;

const SearchKernels& Kernels() {
    return SelectKernels().search;
}

// Predictor ranges that count as one state: kMergeShift[bits][index] is the shift that leaves
// step / 2^bits to step / 2^(bits + 1) predictor values in one range.
struct MergeTable {
    std::uint8_t shift[kMaxMergeBits + 1][kMaxStepIndex + 1];
    MergeTable() {
        for (unsigned i = 0; i <= kMaxStepIndex; ++i) {
            for (unsigned bits = 0; bits <= kMaxMergeBits; ++bits) {
                unsigned s = 0;
                while ((kStep32[i] >> (s + 1)) >= (1 << bits))
                    ++s;
                shift[bits][i] = static_cast<std::uint8_t>(s);
            }
        }
    }
};

const MergeTable& Merge() {
    static const MergeTable table;
    return table;
}

// Per-thread scratch for the search: the beam, the candidates of one sample, the back pointers
// and a hash of the states seen in the current sample (stamped, so it never needs clearing).
struct Scratch {
    Beam beam;
    Candidates candidates;
    std::array<std::uint32_t, kMaxCandidates> kept;  // candidate of each merged state
    std::array<std::uint64_t, kMaxCandidates> order;
    std::array<std::array<std::uint16_t, kMaxBeam>, kCodes> parent;
    std::array<std::array<std::uint8_t, kMaxBeam>, kCodes> code;
    std::array<std::uint8_t, kMaxBeam> start;  // start index of each first state
    struct Entry {
        std::uint32_t stamp = 0;
        std::uint32_t key = 0;
        std::uint32_t slot = 0;
    };
    std::array<Entry, kHashSize> hash{};
    std::uint32_t generation = 0;
    NarrowLanes lanes;
};

Scratch& ThreadScratch() {
    thread_local std::unique_ptr<Scratch> scratch;  // on the heap: it is large
    if (!scratch)
        scratch = std::make_unique<Scratch>();
    return *scratch;
}

// Stage 1: the start indices the beam begins with, in s.start; returns their count. The scan
// codes the block's first samples with the plain rule from each candidate index, all at once,
// and keeps the best few, plus the neighbours of the best one when the grid is coarse.
unsigned ChooseStarts(std::span<const std::int16_t, 65> x, unsigned valid, unsigned plainStart,
                      const XBoxADPCMSearchLevel& level, Scratch& s) {
    alignas(64) std::int32_t tried[kMaxScanLanes];
    unsigned count = 0;
    const auto add = [&](int index) {
        if (index < 0 || index > int(kMaxStepIndex) || count >= kMaxScanLanes)
            return;
        for (unsigned n = 0; n < count; ++n) {
            if (tried[n] == index)
                return;
        }
        tried[count++] = index;
    };
    add(int(plainStart));
    const unsigned stride = level.startStride;
    if (stride != 0) {
        for (unsigned i = 0; i <= kMaxStepIndex; i += stride)
            add(int(i));
    }
    if (count == 1) {
        s.start[0] = static_cast<std::uint8_t>(plainStart);
        return 1;
    }
    const unsigned lanes = (count + 7) / 8 * 8;
    for (unsigned n = count; n < lanes; ++n)
        tried[n] = tried[0];
    alignas(64) std::uint32_t errors[kMaxScanLanes];
    Kernels().scanStarts(x.data(), std::clamp(level.scanLength, 2u, valid), tried, lanes, errors);
    std::array<std::uint64_t, kMaxScanLanes> order;
    for (unsigned n = 0; n < count; ++n)
        order[n] = (std::uint64_t{errors[n]} << 7) | n;
    const unsigned keep = std::clamp(level.startKeep, 1u, count);
    std::partial_sort(order.begin(), order.begin() + keep, order.begin() + count);
    unsigned starts = 0;
    const auto addStart = [&](int index) {
        if (index < 0 || index > int(kMaxStepIndex) || starts >= kMaxBeam)
            return;
        for (unsigned n = 0; n < starts; ++n) {
            if (s.start[n] == index)
                return;
        }
        s.start[starts++] = static_cast<std::uint8_t>(index);
    };
    for (unsigned n = 0; n < keep; ++n)
        addStart(tried[order[n] & 127]);
    const int spread = static_cast<int>(std::min(level.startSpread, kMaxStepIndex));
    if (spread > 0) {
        const int best = tried[order[0] & 127];
        for (int d = 1; d <= spread; ++d) {
            addStart(best - d);
            addStart(best + d);
        }
    }
    return starts;
}

// Stage 2b: merges candidates that count as one state (the cheapest stands for them) into
// s.kept; returns their count.
unsigned MergeCandidates(Scratch& s, unsigned count, const std::uint8_t* mergeShift,
                         unsigned hashShift) {
    if (++s.generation == 0) {  // stamps wrapped: forget them all
        s.hash.fill({});
        s.generation = 1;
    }
    const Candidates& c = s.candidates;
    unsigned kept = 0;
    for (unsigned i = 0; i < count; ++i) {
        const auto index = static_cast<std::uint32_t>(c.index[i]);
        const std::uint32_t key =
            (static_cast<std::uint32_t>((c.pred[i] + 32768) >> mergeShift[index]) << 7) | index;
        Scratch::Entry& entry = s.hash[(key * 2654435761u) >> hashShift];
        if (entry.stamp == s.generation && entry.key == key) {
            std::uint32_t& seen = s.kept[entry.slot];
            if (c.cost[i] < c.cost[seen])
                seen = i;
            continue;
        }
        // A state whose slot holds another one is simply not merged with later equals.
        entry = {s.generation, key, kept};
        s.kept[kept++] = i;
    }
    return kept;
}

unsigned Keep(Scratch& s, unsigned kept, unsigned k);

// Stage 2c: keeps the `width` cheapest merged states as the next beam and records how each was
// reached. Returns the beam's size.
unsigned SelectBeam(Scratch& s, unsigned kept, unsigned width, unsigned k) {
    const Candidates& c = s.candidates;
    if (kept > width) {
        // Select on packed (cost, slot) words. Costs stay below 2^38 (64 squared 16-bit errors).
        std::uint64_t* order = s.order.data();
        for (unsigned n = 0; n < kept; ++n)
            order[n] = (c.cost[s.kept[n]] << kSlotBits) | n;
        std::nth_element(order, order + width - 1, order + kept);
        for (unsigned n = 0; n < width; ++n)
            s.kept[n] = s.kept[order[n] & ((1u << kSlotBits) - 1)];
        kept = width;
    }
    return Keep(s, kept, k);
}

// The states in s.kept become the beam after sample k.
unsigned Keep(Scratch& s, unsigned kept, unsigned k) {
    const Candidates& c = s.candidates;
    for (unsigned n = 0; n < kept; ++n) {
        const std::uint32_t i = s.kept[n];
        s.beam.pred[n] = c.pred[i];
        s.beam.index[n] = c.index[i];
        s.beam.cost[n] = c.cost[i];
        s.parent[k][n] = c.parent[i];
        s.code[k][n] = c.code[i];
    }
    return kept;
}

// Stage 2 for narrow beams, in one pass: each state's codes are scored and placed at once in a
// short list kept in order of cost, replacing a dearer one of the same state or the dearest.
// Same result as expanding, merging and then selecting, without the arrays and the hash.
unsigned SmallBeamStep(Scratch& s, unsigned size, std::int32_t target, bool counts, unsigned tried,
                       unsigned width, const std::uint8_t* mergeShift, unsigned k) {
    using namespace portable;
    struct Entry {
        std::uint64_t cost;
        std::uint32_t key;
        std::int32_t pred;
        std::int32_t index;
        std::uint16_t parent;
        std::uint8_t code;
    };
    Entry list[kSmallBeam];
    unsigned n = 0;
    const std::uint64_t weight = counts ? 1 : 0;
    for (unsigned from = 0; from < size; ++from) {
        const std::int32_t index = s.beam.index[from];
        const std::int32_t pred = s.beam.pred[from];
        const std::int32_t step = kStep32[index];
        const std::int32_t first = WindowStart(step, target - pred, std::int32_t(tried));
        for (std::int32_t pos = first; pos < first + std::int32_t(tried); ++pos) {
            const std::int32_t mag = PositionMagnitude(pos);
            const std::int32_t change = Magnitude(step, mag);
            const std::int32_t p = Clamp16(pred + (pos < 8 ? -change : change));
            const std::uint64_t cost = s.beam.cost[from] + weight * Square32(target - p);
            if (n == width && cost >= list[n - 1].cost)
                continue;
            const std::int32_t next = NextIndex(index, mag);
            const std::uint32_t key =
                (static_cast<std::uint32_t>((p + 32768) >> mergeShift[next]) << 7) |
                static_cast<std::uint32_t>(next);
            unsigned at = 0;
            while (at < n && list[at].key != key)
                ++at;
            if (at < n) {
                if (cost >= list[at].cost)
                    continue;
                for (; at + 1 < n; ++at)  // take the dearer equal out
                    list[at] = list[at + 1];
                --n;
            } else if (n == width) {
                --n;  // the dearest makes room
            }
            unsigned j = n++;
            for (; j > 0 && list[j - 1].cost > cost; --j)
                list[j] = list[j - 1];
            list[j] = {cost,
                       key,
                       p,
                       next,
                       static_cast<std::uint16_t>(from),
                       static_cast<std::uint8_t>(PositionCode(pos))};
        }
    }
    for (unsigned j = 0; j < n; ++j) {
        s.beam.pred[j] = list[j].pred;
        s.beam.index[j] = list[j].index;
        s.beam.cost[j] = list[j].cost;
        s.parent[k][j] = list[j].parent;
        s.code[k][j] = list[j].code;
    }
    return n;
}

// Stage 3: the codes of final state `best`, followed back to its start; returns the start index.
std::uint8_t Backtrack(const Scratch& s, unsigned best, std::span<std::uint8_t, 64> codes) {
    unsigned n = best;
    for (unsigned k = kCodes; k-- > 0;) {
        codes[k] = s.code[k][n];
        n = s.parent[k][n];
    }
    return s.start[n];
}

// The plain coding of one block from `start`: its codes, its error over the first `valid`
// samples, and the index it ends with.
std::uint64_t PlainBlock(std::span<const std::int16_t, 65> x, unsigned valid, std::int32_t& index,
                         std::span<std::uint8_t, 64> codes) {
    using namespace portable;
    std::int32_t pred = x[0];
    std::uint64_t error = 0;
    for (unsigned k = 0; k < kCodes; ++k) {
        codes[k] = static_cast<std::uint8_t>(PlainStep(pred, index, x[k + 1]));
        error += k + 1 < valid ? Square32(x[k + 1] - pred) : 0;
    }
    return error;
}

// Whether a level's search runs in narrow lanes: the bracketing codes alone, few states.
bool IsNarrow(const XBoxADPCMSearchLevel& level) {
    return level.codeRadius == 0 && level.beamWidth <= kMaxNarrowWidth;
}

// Narrow searches of up to eight (block, channel) pairs side by side, one per lane. A narrow
// search starts from the first `width` of the scan's start indices. A level with a cap on the
// states of one step index searches each block twice, without the cap and with it, and keeps
// the better: the cap keeps states whose step index rose ahead of an onset (speech) that the
// cheapest states would crowd out, but on smooth passages (music) it crowds out better ones.
class NarrowBatch {
  public:
    NarrowBatch(const XBoxADPCMSearchLevel& level, Scratch& s)
        : level_(level),
          s_(s),
          width_(std::clamp(level.beamWidth, 1u, kMaxNarrowWidth)),
          cappedWidth_(level.cappedWidth == 0
                           ? width_
                           : std::clamp(level.cappedWidth, 1u, kMaxNarrowWidth)) {
        const std::uint8_t* shift = Merge().shift[std::min(level.mergeBits, kMaxMergeBits)];
        for (unsigned i = 0; i <= kMaxStepIndex; ++i)
            s.lanes.mergeShift[i] = shift[i];
        s.lanes.jumps = std::min(level.jumps, kMaxJumps);
        s.lanes.lookahead = std::min(level.lookahead, kMaxLookahead);
        std::memset(s.lanes.x, 0, sizeof s.lanes.x);
        std::memset(s.lanes.counted, 0, sizeof s.lanes.counted);
        std::memset(s.lanes.start, 0, sizeof s.lanes.start);
        std::memset(s.lanes.plainStart, 0, sizeof s.lanes.plainStart);
    }

    bool Full() const { return used_ == kLanes; }
    unsigned Used() const { return used_; }

    // Queues a block whose plain coding starts at `plainStart`; returns its lane.
    unsigned Add(std::span<const std::int16_t, 65> x, unsigned valid, std::uint8_t plainStart) {
        NarrowLanes& l = s_.lanes;
        const unsigned lane = used_++;
        valid = std::clamp(valid, 1u, kFramesPerBlock);
        plainStart = std::min<std::uint8_t>(plainStart, kMaxStepIndex);
        for (unsigned k = 0; k < kFramesPerBlock; ++k)
            l.x[k][lane] = x[k];
        l.counted[lane] = static_cast<std::int32_t>(valid) - 1;
        l.plainStart[lane] = plainStart;
        const unsigned starts = ChooseStarts(x, valid, plainStart, level_, s_);
        for (unsigned j = 0; j < kMaxNarrowWidth; ++j)
            l.start[j][lane] = j < starts ? s_.start[j] : -1;
        return lane;
    }

    // Searches the queued blocks. Unused lanes search what they last held (silence at first);
    // their results are not read.
    void Run() {
        NarrowLanes& l = s_.lanes;
        const unsigned passes = level_.perIndex != 0 ? 2 : 1;
        for (unsigned pass = 0; pass < passes; ++pass) {
            l.perIndex = pass == 0 ? 0 : level_.perIndex;
            Kernels().narrow(l, pass == 0 ? width_ : cappedWidth_);
            for (unsigned lane = 0; lane < used_; ++lane) {
                // The plain coding's error is the bar the first pass must pass; ties keep the
                // earlier result.
                if (l.cost[lane] >= (pass == 0 ? l.plainError[lane] : error_[lane])) {
                    if (pass == 0)
                        found_[lane] = false;
                    continue;
                }
                found_[lane] = true;
                error_[lane] = l.cost[lane];
                unsigned j = 0;
                for (unsigned k = kCodes; k-- > 0;) {
                    const std::uint32_t trace = l.trace[k][j][lane];
                    codes_[lane][k] = static_cast<std::uint8_t>(trace & 15);
                    j = trace >> 4;
                }
                start_[lane] = static_cast<std::uint8_t>(l.start[j][lane]);
            }
            if (pass == 0) {
                for (unsigned lane = 0; lane < used_; ++lane) {
                    if (!found_[lane])
                        error_[lane] = l.plainError[lane];
                }
            }
        }
    }

    // Whether the search of `lane` did better than the plain coding; if so, its codes, start and
    // squared error.
    bool Better(unsigned lane, std::span<std::uint8_t, 64> codes, std::uint8_t& start,
                std::uint64_t& error) const {
        if (!found_[lane])
            return false;
        std::copy(codes_[lane].begin(), codes_[lane].end(), codes.begin());
        start = start_[lane];
        error = error_[lane];
        return true;
    }

    void Clear() { used_ = 0; }

  private:
    const XBoxADPCMSearchLevel& level_;
    Scratch& s_;
    unsigned width_;
    unsigned cappedWidth_;
    unsigned used_ = 0;
    // The best coding found for each lane, when better than the plain one.
    std::array<bool, kLanes> found_{};
    std::array<std::uint64_t, kLanes> error_{};
    std::array<std::uint8_t, kLanes> start_{};
    std::array<std::array<std::uint8_t, kCodes>, kLanes> codes_{};
};

// One block of one channel searched by a wide beam.
class BlockSearch {
  public:
    BlockSearch(std::span<const std::int16_t, 65> x, unsigned valid, std::uint8_t plainIndex,
                const XBoxADPCMSearchLevel& level, Scratch& s)
        : x_(x),
          valid_(std::clamp(valid, 1u, kFramesPerBlock)),
          level_(level),
          s_(s),
          plainStart_(std::min<std::uint8_t>(plainIndex, kMaxStepIndex)),
          plainEnd_(plainStart_),
          width_(std::clamp(level.beamWidth, 1u, kMaxBeam)),
          tried_(2 + 2 * std::min(level.codeRadius, 2u)),
          mergeShift_(Merge().shift[std::min(level.mergeBits, kMaxMergeBits)]) {}

    // Codes the block plainly, to have its fallback and to skip blocks it codes exactly, and
    // chooses the start indices. False when there is nothing to search.
    bool Begin() {
        plainError_ = PlainBlock(x_, valid_, plainEnd_, plainCodes_);
        if (plainError_ == 0)
            return false;
        size_ = ChooseStarts(x_, valid_, plainStart_, level_, s_);
        for (unsigned n = 0; n < size_; ++n) {
            s_.beam.pred[n] = x_[0];
            s_.beam.index[n] = s_.start[n];
            s_.beam.cost[n] = 0;
        }
        return true;
    }

    // The beam over every sample.
    void Run() {
        const SearchKernels& kernels = Kernels();
        // The smallest table of at least four times the candidates of one sample: few
        // collisions, and small enough to stay in cache.
        const unsigned maxCandidates = std::max(width_, size_) * tried_;
        unsigned hashBits = 5;
        while ((1u << hashBits) < 4 * std::min(maxCandidates, kMaxCandidates) &&
               hashBits < kHashBits)
            ++hashBits;
        const unsigned hashShift = 32 - hashBits;
        for (unsigned k = 0; k < kCodes; ++k) {
            const std::int32_t target = x_[k + 1];
            const bool counts = k + 1 < valid_;
            if (width_ <= kSmallBeam && size_ <= kMaxBeam / 8)
                size_ = SmallBeamStep(s_, size_, target, counts, tried_, width_, mergeShift_, k);
            else {
                kernels.expand(s_.beam, size_, target, counts, tried_, s_.candidates);
                size_ = SelectBeam(s_, MergeCandidates(s_, size_ * tried_, mergeShift_, hashShift),
                                   width_, k);
            }
        }
    }

    // The better of the search's result and the plain coding.
    std::uint8_t Finish(std::uint8_t& plainIndex, std::span<std::uint8_t, 64> codes,
                        std::uint64_t& error) {
        plainIndex = static_cast<std::uint8_t>(plainEnd_);
        if (size_ != 0) {
            // The search's costs are exact squared errors of the decoder's arithmetic (the
            // tests decode the codes to check), so they are compared with the plain coding as is.
            unsigned best = 0;
            for (unsigned n = 1; n < size_; ++n) {
                if (s_.beam.cost[n] < s_.beam.cost[best])
                    best = n;
            }
            if (s_.beam.cost[best] < plainError_) {
                error = s_.beam.cost[best];
                return Backtrack(s_, best, codes);
            }
        }
        std::copy(plainCodes_.begin(), plainCodes_.end(), codes.begin());
        error = plainError_;
        return plainStart_;
    }

  private:
    std::span<const std::int16_t, 65> x_;
    unsigned valid_;
    const XBoxADPCMSearchLevel& level_;
    Scratch& s_;
    std::uint8_t plainStart_;
    std::int32_t plainEnd_;
    std::array<std::uint8_t, kCodes> plainCodes_{};
    std::uint64_t plainError_ = 0;
    unsigned width_;
    unsigned tried_;
    const std::uint8_t* mergeShift_;
    unsigned size_ = 0;
};

void WriteBlockChannel(std::uint8_t* block, unsigned channels, unsigned c, std::int16_t first,
                       std::uint8_t start, std::span<const std::uint8_t, 64> codes) {
    XBoxADPCMWriteBlockHeader(block + 4 * c, first, start);
    for (unsigned g = 0; g < 8; ++g) {
        std::uint8_t* word = block + 4 * channels + (std::size_t{g} * channels + c) * 4;
        for (unsigned j = 0; j < 4; ++j)
            word[j] =
                static_cast<std::uint8_t>(codes[8 * g + 2 * j] | (codes[8 * g + 2 * j + 1] << 4));
    }
}

unsigned ValidInBlock(std::uint64_t validFrames, std::uint64_t block) {
    const std::uint64_t first = block * kFramesPerBlock;
    return validFrames <= first ? 0u
                                : static_cast<unsigned>(std::min<std::uint64_t>(validFrames - first,
                                                                                kFramesPerBlock));
}

// Searches blocks [first, first + count) of a run whose plain coding `out` already holds: a
// block whose search does better replaces it.
void SearchBlocks(const std::int16_t* pcm, std::uint8_t* out, unsigned channels,
                  std::uint64_t first, std::uint64_t count, std::uint64_t validFrames,
                  const XBoxADPCMSearchLevel& level) {
    std::array<std::int16_t, kFramesPerBlock> samples;
    std::array<std::uint8_t, kCodes> codes;
    const auto load = [&](std::uint64_t b, unsigned c) {
        const std::int16_t* in = pcm + b * kFramesPerBlock * channels;
        for (unsigned k = 0; k < kFramesPerBlock; ++k)
            samples[k] = in[std::size_t{k} * channels + c];
    };
    const auto blockAt = [&](std::uint64_t b) {
        return out + b * kBlockBytesPerChannel * channels;
    };
    if (!IsNarrow(level)) {
        for (std::uint64_t b = first; b < first + count; ++b) {
            for (unsigned c = 0; c < channels; ++c) {
                load(b, c);
                std::uint8_t index = blockAt(b)[4 * c + 2];  // the plain encoder's start index
                std::uint64_t error = 0;
                const std::uint8_t start = XBoxADPCMSearchBlock(
                    samples, ValidInBlock(validFrames, b), index, level, codes, error);
                WriteBlockChannel(blockAt(b), channels, c, samples[0], start, codes);
            }
        }
        return;
    }
    Scratch& s = ThreadScratch();
    NarrowBatch batch(level, s);
    struct Queued {
        std::uint64_t block;
        unsigned channel;
        std::int16_t first;
    };
    std::array<Queued, kLanes> queued;
    const auto flush = [&] {
        batch.Run();
        for (unsigned lane = 0; lane < batch.Used(); ++lane) {
            std::uint8_t start = 0;
            std::uint64_t error = 0;
            const Queued& q = queued[lane];
            if (batch.Better(lane, codes, start, error))
                WriteBlockChannel(blockAt(q.block), channels, q.channel, q.first, start, codes);
        }
        batch.Clear();
    };
    for (std::uint64_t b = first; b < first + count; ++b) {
        for (unsigned c = 0; c < channels; ++c) {
            load(b, c);
            const unsigned lane =
                batch.Add(samples, ValidInBlock(validFrames, b), blockAt(b)[4 * c + 2]);
            queued[lane] = {b, c, samples[0]};
            if (batch.Full())
                flush();
        }
    }
    if (batch.Used() != 0)
        flush();
}

}  // namespace

XBoxADPCMSearchLevel XBoxADPCMSearchLevelFor(int quality) {
    // Measured on recorded speech (Dutch game dialogue at 8 to 22.05 kHz, an English telephone
    // voice at 8 kHz) and game music against a lookahead encoder (bench/quality.sh, tuning set).
    // Ranking states by their cost plus the plain rule's errors on the next two samples, and
    // trying the largest code towards the sample, lift every level, most on speech, whose
    // onsets want the step index raised before they come. A beam of the cheapest states still
    // loses the states that paid for that rise; a second search keeping one state per step
    // index finds them (2 to 3 dB on the telephone voice) but loses on music, so from level 6
    // each block is searched both ways and the better kept. Each wider beam pays once the merge
    // ranges are fine enough to keep that many distinct states. Trying codes beyond the two
    // that bracket the sample (the wide beam's neighbours) costs more than a wider beam gains.
    // Level 9 stops at 24 states: 32 (and 16 in the second search) gain at most 0.07 dB more on
    // the tuning speech at twice the time, more than 44.1 kHz stereo at 10x real time on two
    // cores allows.
    static constexpr XBoxADPCMSearchLevel kLevels[kXBoxADPCMMaxQuality + 1] = {
        {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0},     // 0: unused (plain encoder)
        {13, 12, 1, 0, 2, 0, 0, 1, 0, 2, 0},   // 1
        {8, 16, 1, 1, 3, 0, 2, 1, 0, 2, 0},    // 2
        {8, 16, 1, 1, 4, 0, 3, 1, 0, 2, 0},    // 3
        {8, 16, 1, 1, 6, 0, 3, 1, 0, 2, 0},    // 4
        {8, 25, 1, 3, 8, 0, 4, 1, 0, 2, 0},    // 5
        {8, 25, 1, 3, 8, 0, 4, 1, 1, 2, 0},    // 6
        {8, 25, 1, 5, 12, 0, 4, 1, 1, 2, 0},   // 7
        {4, 25, 1, 7, 16, 0, 5, 1, 1, 2, 12},  // 8
        {4, 25, 1, 7, 24, 0, 5, 1, 1, 2, 12},  // 9: 24 states, then 12 of distinct step indices
    };
    return kLevels[std::clamp(quality, 1, kXBoxADPCMMaxQuality)];
}

std::uint8_t XBoxADPCMSearchBlock(std::span<const std::int16_t, 65> x, unsigned valid,
                                  std::uint8_t& plainIndex, const XBoxADPCMSearchLevel& level,
                                  std::span<std::uint8_t, 64> codes, std::uint64_t& error) {
    if (IsNarrow(level)) {
        NarrowBatch batch(level, ThreadScratch());
        batch.Add(x, valid, plainIndex);
        batch.Run();
        std::int32_t end = std::min<std::uint8_t>(plainIndex, kMaxStepIndex);
        const std::uint64_t plainError =
            PlainBlock(x, std::clamp(valid, 1u, kFramesPerBlock), end, codes);
        const std::uint8_t plainStart = std::min<std::uint8_t>(plainIndex, kMaxStepIndex);
        plainIndex = static_cast<std::uint8_t>(end);
        std::uint8_t start = 0;
        if (batch.Better(0, codes, start, error))
            return start;
        error = plainError;
        return plainStart;
    }
    BlockSearch search(x, valid, plainIndex, level, ThreadScratch());
    if (search.Begin())
        search.Run();
    return search.Finish(plainIndex, codes, error);
}

void XBoxADPCMEncodeSearchRun(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                              unsigned channels, std::uint64_t validFrames, int quality,
                              std::span<std::uint8_t> plainIndex, unsigned threads) {
    if (quality <= 0) {
        const std::uint64_t blocks =
            XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, UINT64_MAX);
        if (channels == 0 || plainIndex.size() < channels)
            return;
        XBoxADPCMEncodeBlockRange(pcm.data(), out.data(), channels, 0, blocks, plainIndex);
        return;
    }
    XBoxADPCMEncodeSearchRun(pcm, out, channels, validFrames, XBoxADPCMSearchLevelFor(quality),
                             plainIndex, threads);
}

void XBoxADPCMEncodeSearchRun(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                              unsigned channels, std::uint64_t validFrames,
                              const XBoxADPCMSearchLevel& level, std::span<std::uint8_t> plainIndex,
                              unsigned threads) {
    if (channels == 0 || plainIndex.size() < channels)
        return;
    const std::uint64_t blocks =
        XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, UINT64_MAX);
    if (blocks == 0)
        return;
    for (unsigned c = 0; c < channels; ++c)
        plainIndex[c] = std::min<std::uint8_t>(plainIndex[c], kMaxStepIndex);
    // The plain coding first, sequentially: it is the fallback of every block, its headers hold
    // every block's plain start index, and it hands the run's end indices on.
    XBoxADPCMEncodeBlockRange(pcm.data(), out.data(), channels, 0, blocks, plainIndex);
    const std::uint64_t tasks = (blocks + kBlocksPerTask - 1) / kBlocksPerTask;
    const unsigned workers =
        static_cast<unsigned>(std::min<std::uint64_t>(ResolveThreadCount(threads), tasks));
    RunRangesOnThreads(tasks, workers, [&](std::uint64_t t) {
        const std::uint64_t first = t * kBlocksPerTask;
        SearchBlocks(pcm.data(), out.data(), channels, first,
                     std::min(kBlocksPerTask, blocks - first), validFrames, level);
    });
}

void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 int quality) {
    if (quality <= 0) {
        XBoxADPCMEncodeBlocks(pcm, out, channels, frames);
        return;
    }
    XBoxADPCMEncodeBlocksSearch(pcm, out, channels, frames, validFrames,
                                XBoxADPCMSearchLevelFor(quality));
}

void XBoxADPCMEncodeBlocksSearch(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out,
                                 unsigned channels, std::uint64_t frames, std::uint64_t validFrames,
                                 const XBoxADPCMSearchLevel& level) {
    if (channels == 0)
        return;
    const std::uint64_t blocks = XBoxADPCMFittingBlocks(pcm.size(), out.size(), channels, frames);
    std::vector<std::uint8_t> plainIndex(channels, 0);
    XBoxADPCMEncodeSearchRun(pcm.first(blocks * kFramesPerBlock * channels),
                             out.first(blocks * kBlockBytesPerChannel * channels), channels,
                             validFrames, level, plainIndex, 1);
}

}  // namespace imabox
