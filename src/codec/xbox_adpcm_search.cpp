#include "codec/xbox_adpcm_search.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codec/xbox_adpcm.hpp"
#include "codec/xbox_adpcm_fast.hpp"
#include "codec/xbox_adpcm_parallel.hpp"

#define IMABOX_SEARCH_KERNEL_NAMESPACE portable
#include "codec/xbox_adpcm_search_kernels.hpp"

namespace imabox {
namespace search_detail {

const std::int32_t kStep32[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

#if !defined(IMABOX_HAVE_AVX2_KERNELS)
SearchKernels AVX2SearchKernels() {  // never called: builds without it report no AVX2
    return {&portable::ScanStarts, &portable::Expand};
}
#endif

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
    static const SearchKernels kernels =
        ADPCMKernelSupported(ADPCMKernel::AVX2)
            ? AVX2SearchKernels()
            : SearchKernels{&portable::ScanStarts, &portable::Expand};
    return kernels;
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

// Stage 2 for beams of one or two states with bracketing alone: every candidate is scored
// without a branch, then the cheapest and the cheapest other state are picked.
unsigned PairBeamStep(Scratch& s, unsigned size, std::int32_t target, bool counts, unsigned width,
                      const std::uint8_t* mergeShift, unsigned k) {
    using namespace portable;
    constexpr unsigned kMax = 2 * kSmallBeam;
    std::uint64_t cost[kMax];
    std::uint32_t key[kMax];
    std::int32_t pred[kMax];
    std::int32_t next[kMax];
    std::uint8_t code[kMax];
    const std::uint64_t weight = counts ? 1 : 0;
    const unsigned count = 2 * size;
    for (unsigned from = 0; from < size; ++from) {
        const std::int32_t index = s.beam.index[from];
        const std::int32_t step = kStep32[index];
        const std::int32_t first = WindowStart(step, target - s.beam.pred[from], 2);
        for (unsigned r = 0; r < 2; ++r) {
            const unsigned i = 2 * from + r;
            const std::int32_t pos = first + std::int32_t(r);
            const std::int32_t mag = PositionMagnitude(pos);
            const std::int32_t change = Magnitude(step, mag);
            pred[i] = Clamp16(s.beam.pred[from] + (pos < 8 ? -change : change));
            cost[i] = s.beam.cost[from] + weight * Square32(target - pred[i]);
            next[i] = NextIndex(index, mag);
            key[i] = (static_cast<std::uint32_t>((pred[i] + 32768) >> mergeShift[next[i]]) << 7) |
                     static_cast<std::uint32_t>(next[i]);
            code[i] = static_cast<std::uint8_t>(PositionCode(pos));
        }
    }
    unsigned chosen[2] = {0, 0};
    for (unsigned i = 1; i < count; ++i)
        chosen[0] = cost[i] < cost[chosen[0]] ? i : chosen[0];
    unsigned n = 1;
    if (width > 1) {
        std::uint64_t second = ~std::uint64_t{0};
        for (unsigned i = 0; i < count; ++i) {
            const bool better = key[i] != key[chosen[0]] && cost[i] < second;
            second = better ? cost[i] : second;
            chosen[1] = better ? i : chosen[1];
        }
        n = second == ~std::uint64_t{0} ? 1 : 2;
    }
    for (unsigned j = 0; j < n; ++j) {
        const unsigned i = chosen[j];
        s.beam.pred[j] = pred[i];
        s.beam.index[j] = next[i];
        s.beam.cost[j] = cost[i];
        s.parent[k][j] = static_cast<std::uint16_t>(i / 2);
        s.code[k][j] = code[i];
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

// One block of one channel searched in stages; XBoxADPCMSearchBlock in parts, so that narrow
// searches of two blocks can run side by side.
class BlockSearch {
  public:
    BlockSearch(std::span<const std::int16_t, 65> x, unsigned valid, std::uint8_t plainIndex,
                const XBoxADPCMSearchLevel& level, Scratch& s)
        : x_(x),
          valid_(std::clamp(valid, 1u, kFramesPerBlock)),
          level_(level),
          s_(s),
          plainStart_(std::min<std::uint8_t>(plainIndex, kMaxStepIndex)),
          plainPred_(x[0]),
          plainAt_(plainStart_),
          width_(std::clamp(level.beamWidth, 1u, kMaxBeam)),
          tried_(2 + 2 * std::min(level.codeRadius, 2u)),
          mergeShift_(Merge().shift[std::min(level.mergeBits, kMaxMergeBits)]) {}

    // Codes the block plainly first when the search is wide, to skip blocks it codes exactly
    // (narrow searches code it alongside, where the two chains of dependent steps overlap), and
    // chooses the start indices. False when there is nothing to search.
    bool Begin() {
        plainFirst_ = width_ > 2;
        if (plainFirst_) {
            for (unsigned k = 0; k < kCodes; ++k)
                PlainStep(k);
            if (plainError_ == 0)
                return false;
        }
        size_ = ChooseStarts(x_, valid_, plainStart_, level_, s_);
        for (unsigned n = 0; n < size_; ++n) {
            s_.beam.pred[n] = x_[0];
            s_.beam.index[n] = s_.start[n];
            s_.beam.cost[n] = 0;
        }
        return true;
    }

    // Whether NarrowSearch runs the whole beam.
    bool Narrow() const { return width_ <= 2 && tried_ == 2 && size_ <= width_; }
    unsigned Width() const { return width_; }

    // One step of the plain coding rule.
    void PlainStep(unsigned k) {
        using namespace portable;
        const std::int32_t step = kStep32[plainAt_];
        const std::int32_t delta = x_[k + 1] - plainPred_;
        const std::int32_t mag = PlainMagnitude(step, delta);
        const std::int32_t change = Magnitude(step, mag);
        plainPred_ = Clamp16(plainPred_ + (delta < 0 ? -change : change));
        plainAt_ = NextIndex(plainAt_, mag);
        plainCodes_[k] = static_cast<std::uint8_t>((delta < 0 ? 8 : 0) | mag);
        plainError_ += k + 1 < valid_ ? Square32(x_[k + 1] - plainPred_) : 0;
    }

    // The beam over every sample, for any width.
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
            if (!plainFirst_)
                PlainStep(k);
            if (width_ <= 2 && tried_ == 2 && size_ <= kSmallBeam)
                size_ = PairBeamStep(s_, size_, target, counts, width_, mergeShift_, k);
            else if (width_ <= kSmallBeam && size_ <= kMaxBeam / 8)
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
        plainIndex = static_cast<std::uint8_t>(plainAt_);
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

    std::span<const std::int16_t, 65> x_;
    unsigned valid_;
    const XBoxADPCMSearchLevel& level_;
    Scratch& s_;
    std::uint8_t plainStart_;
    std::int32_t plainPred_;
    std::int32_t plainAt_;
    std::array<std::uint8_t, kCodes> plainCodes_{};
    std::uint64_t plainError_ = 0;
    unsigned width_;
    unsigned tried_;
    const std::uint8_t* mergeShift_;
    bool plainFirst_ = false;
    unsigned size_ = 0;
};

// The whole beam of a narrow search (one or two states, bracketing alone): the states live in
// registers, the candidates are scored without a branch, and the plain coding runs alongside,
// where the two chains of dependent steps overlap. Everything the loop reads is copied to locals
// first: its byte stores could otherwise alias any field and force reloads.
template <unsigned Width>
void NarrowSearch(BlockSearch& job) {
    using namespace portable;
    constexpr std::uint64_t kNone = std::uint64_t{1} << 62;  // cost of an empty slot
    const std::int16_t* const x = job.x_.data();
    const unsigned valid = job.valid_;
    const std::uint8_t* const mergeShift = job.mergeShift_;
    std::uint16_t* const parentOut = job.s_.parent[0].data();
    std::uint8_t* const codeOut = job.s_.code[0].data();
    std::uint8_t* const plainCodes = job.plainCodes_.data();
    std::int32_t plainPred = job.plainPred_;
    std::int32_t plainAt = job.plainAt_;
    std::uint64_t plainError = job.plainError_;
    std::int32_t pred[Width];
    std::int32_t index[Width];
    std::uint64_t cost[Width];
    unsigned size = job.size_;
    for (unsigned j = 0; j < Width; ++j) {
        pred[j] = j < size ? job.s_.beam.pred[j] : x[0];
        index[j] = j < size ? job.s_.beam.index[j] : 0;
        cost[j] = j < size ? job.s_.beam.cost[j] : kNone;
    }
    for (unsigned k = 0; k < kCodes; ++k) {
        const std::int32_t target = x[k + 1];
        const std::uint64_t weight = k + 1 < valid ? 1 : 0;
        {  // the plain coding rule
            const std::int32_t step = kStep32[plainAt];
            const std::int32_t delta = target - plainPred;
            const std::int32_t mag = PlainMagnitude(step, delta);
            const std::int32_t change = Magnitude(step, mag);
            plainPred = Clamp16(plainPred + (delta < 0 ? -change : change));
            plainAt = NextIndex(plainAt, mag);
            plainCodes[k] = static_cast<std::uint8_t>((delta < 0 ? 8 : 0) | mag);
            plainError += weight * Square32(target - plainPred);
        }
        std::uint64_t c[2 * Width];
        std::uint32_t key[2 * Width];
        std::int32_t p[2 * Width];
        std::int32_t next[2 * Width];
        std::int32_t code[2 * Width];
        for (unsigned j = 0; j < Width; ++j) {
            const std::int32_t step = kStep32[index[j]];
            const std::int32_t pos0 = WindowStart(step, target - pred[j], 2);
            for (unsigned r = 0; r < 2; ++r) {
                const unsigned i = 2 * j + r;
                const std::int32_t pos = pos0 + std::int32_t(r);
                const std::int32_t mag = PositionMagnitude(pos);
                const std::int32_t change = Magnitude(step, mag);
                p[i] = Clamp16(pred[j] + (pos < 8 ? -change : change));
                c[i] = cost[j] + weight * Square32(target - p[i]);
                next[i] = NextIndex(index[j], mag);
                key[i] = (static_cast<std::uint32_t>((p[i] + 32768) >> mergeShift[next[i]]) << 7) |
                         static_cast<std::uint32_t>(next[i]);
                code[i] = PositionCode(pos);
            }
        }
        unsigned chosen[Width];
        chosen[0] = 0;
        for (unsigned i = 1; i < 2 * Width; ++i)
            chosen[0] = c[i] < c[chosen[0]] ? i : chosen[0];
        if constexpr (Width == 2) {
            std::uint64_t second = kNone;
            chosen[1] = 0;
            for (unsigned i = 0; i < 2 * Width; ++i) {
                const bool better = key[i] != key[chosen[0]] && c[i] < second;
                second = better ? c[i] : second;
                chosen[1] = better ? i : chosen[1];
            }
            size = second < kNone ? 2 : 1;
        } else {
            size = 1;
        }
        for (unsigned j = 0; j < Width; ++j) {
            const unsigned i = chosen[j];
            pred[j] = p[i];
            index[j] = next[i];
            cost[j] = j < size ? c[i] : kNone;
            parentOut[std::size_t{k} * kMaxBeam + j] = static_cast<std::uint16_t>(i / 2);
            codeOut[std::size_t{k} * kMaxBeam + j] = static_cast<std::uint8_t>(code[i]);
        }
    }
    job.plainPred_ = plainPred;
    job.plainAt_ = plainAt;
    job.plainError_ = plainError;
    job.size_ = size;
    for (unsigned j = 0; j < size; ++j) {
        job.s_.beam.pred[j] = pred[j];
        job.s_.beam.index[j] = index[j];
        job.s_.beam.cost[j] = cost[j];
    }
}

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
    for (std::uint64_t b = first; b < first + count; ++b) {
        const std::int16_t* in = pcm + b * kFramesPerBlock * channels;
        std::uint8_t* block = out + b * kBlockBytesPerChannel * channels;
        const unsigned valid = ValidInBlock(validFrames, b);
        for (unsigned c = 0; c < channels; ++c) {
            for (unsigned k = 0; k < kFramesPerBlock; ++k)
                samples[k] = in[std::size_t{k} * channels + c];
            std::uint8_t index = block[4 * c + 2];  // the plain encoder's start index
            std::uint64_t error = 0;
            const std::uint8_t start =
                XBoxADPCMSearchBlock(samples, valid, index, level, codes, error);
            WriteBlockChannel(block, channels, c, samples[0], start, codes);
        }
    }
}

}  // namespace

XBoxADPCMSearchLevel XBoxADPCMSearchLevelFor(int quality) {
    // Measured on real speech and music against a lookahead encoder (bench/quality.sh): two
    // states from the best of eight scanned start indices already beat one-sample lookahead;
    // each doubling of the beam then pays once the merge ranges are fine enough to keep that
    // many distinct states (a beam stops growing at about 2^(mergeBits + 4) states), and
    // starting from the scan's best index and its five neighbours on each side pays from 16
    // states on. Trying codes beyond the two that bracket the sample costs three times as much
    // for less than a wider beam gains, so no level does.
    static constexpr XBoxADPCMSearchLevel kLevels[kXBoxADPCMMaxQuality + 1] = {
        {0, 0, 1, 0, 1, 0, 0},    // 0: unused (plain encoder)
        {13, 12, 1, 0, 2, 0, 0},  // 1
        {8, 16, 1, 1, 3, 0, 0},   // 2
        {8, 16, 1, 0, 4, 0, 1},   // 3
        {8, 25, 1, 0, 8, 0, 1},   // 4
        {8, 25, 1, 5, 16, 0, 1},  // 5
        {8, 25, 1, 5, 32, 0, 2},  // 6
        {8, 25, 1, 5, 48, 0, 3},  // 7
        {8, 25, 1, 5, 64, 0, 4},  // 8
        {8, 25, 1, 5, 96, 0, 4},  // 9
    };
    return kLevels[std::clamp(quality, 1, kXBoxADPCMMaxQuality)];
}

std::uint8_t XBoxADPCMSearchBlock(std::span<const std::int16_t, 65> x, unsigned valid,
                                  std::uint8_t& plainIndex, const XBoxADPCMSearchLevel& level,
                                  std::span<std::uint8_t, 64> codes, std::uint64_t& error) {
    BlockSearch search(x, valid, plainIndex, level, ThreadScratch());
    if (search.Begin()) {
        if (search.Narrow()) {
            search.Width() == 1 ? NarrowSearch<1>(search) : NarrowSearch<2>(search);
        } else {
            search.Run();
        }
    }
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
