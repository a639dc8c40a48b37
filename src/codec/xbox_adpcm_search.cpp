#include "codec/xbox_adpcm_search.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "codec/xbox_adpcm.hpp"

#if defined(__GNUC__)
#define IMABOX_INLINE __attribute__((always_inline))
#else
#define IMABOX_INLINE
#endif

namespace imabox {
namespace {

constexpr unsigned kCodes = 64;     // coded samples per block and channel
constexpr unsigned kMaxBeam = 512;  // states kept after a sample, at most
constexpr unsigned kMaxCandidates = kMaxBeam * 16;
constexpr unsigned kScanLength = 25;  // samples a start index is judged on
constexpr unsigned kHashBits = 14;
constexpr unsigned kHashSize = 1u << kHashBits;  // at least 2 * kMaxCandidates
constexpr unsigned kSlotBits = 13;               // candidate slots packed below the cost
static_assert(kMaxCandidates <= (1u << kSlotBits) && 2 * kMaxCandidates <= kHashSize);
constexpr unsigned kMaxMergeBits = 8;

// The code of the j-th smallest predictor change: codes 15..8 subtract ever less, 0..7 add more.
constexpr unsigned SortedCode(unsigned j) {
    return j < 8 ? 15 - j : j - 8;
}

// Decoder arithmetic as tables: the signed predictor change and the next step index for every
// (index, code) pair. They reproduce ADPCMDecodeSample exactly.
struct CodeTables {
    std::int32_t diff[kMaxStepIndex + 1][16];
    std::uint8_t next[kMaxStepIndex + 1][16];
    // The 16 predictor changes of each index in ascending order (codes 15..8, then 0..7).
    std::int32_t sorted[kMaxStepIndex + 1][16];
    // Predictor ranges that count as one state: mergeShift[bits][index] is the shift that leaves
    // step / 2^bits to step / 2^(bits + 1) predictor values in one range.
    std::uint8_t mergeShift[kMaxMergeBits + 1][kMaxStepIndex + 1];

    CodeTables() {
        for (unsigned i = 0; i <= kMaxStepIndex; ++i) {
            const std::int32_t step = kADPCMStepTable[i];
            for (unsigned bits = 0; bits <= kMaxMergeBits; ++bits) {
                unsigned shift = 0;
                while ((step >> (shift + 1)) >= (1 << bits))
                    ++shift;
                mergeShift[bits][i] = static_cast<std::uint8_t>(shift);
            }
            for (unsigned code = 0; code < 16; ++code) {
                diff[i][code] = ADPCMCodeDifference(i, code);
                next[i][code] = ADPCMNextIndex(i, code);
            }
            for (unsigned j = 0; j < 16; ++j)
                sorted[i][j] = diff[i][SortedCode(j)];
        }
    }
};

const CodeTables& Tables() {
    static const CodeTables tables;
    return tables;
}

std::int32_t Clamp16(std::int32_t v) {
    return std::clamp<std::int32_t>(v, -32768, 32767);
}

std::uint64_t Square(std::int32_t e) {
    return static_cast<std::uint64_t>(std::int64_t{e} * e);
}

// Squared error of the plain coding rule from start index `index`, over the valid samples.
std::uint64_t PlainError(const CodeTables& t, std::span<const std::int16_t, 65> x, unsigned valid,
                         unsigned index) {
    std::int32_t p = x[0];
    std::uint64_t error = 0;
    for (unsigned k = 1; k < valid; ++k) {
        const unsigned code = ADPCMSampleCode(kADPCMStepTable[index], x[k] - p);
        p = Clamp16(p + t.diff[index][code]);
        index = t.next[index][code];
        error += Square(x[k] - p);
    }
    return error;
}

struct Node {
    std::uint64_t cost;
    std::int16_t predictor;
    std::uint8_t index;
    std::uint8_t start;    // the block's start index this path came from
    std::uint16_t parent;  // slot in the previous beam
    std::uint8_t code;     // code that led here
};
static_assert(sizeof(Node) == 16);

// Per-thread scratch for the search: the candidate list, the back pointers and a hash of the
// states seen in the current step (stamped, so it never needs clearing).
struct Scratch {
    std::array<Node, kMaxCandidates> candidates;
    std::array<Node, kMaxBeam> beam;
    std::array<std::uint64_t, kMaxCandidates> order;
    std::array<std::array<std::uint16_t, kMaxBeam>, kCodes> parent;
    std::array<std::array<std::uint8_t, kMaxBeam>, kCodes> code;
    struct Entry {
        std::uint32_t stamp = 0;
        std::uint32_t key = 0;
        std::uint32_t slot = 0;
    };
    std::array<Entry, kHashSize> hash{};
    std::uint32_t generation = 0;
};

Scratch& ThreadScratch() {
    thread_local std::vector<Scratch> scratch(1);  // on the heap: it is large
    return scratch.front();
}

}  // namespace

XBoxADPCMSearchLevel XBoxADPCMSearchLevelFor(int quality) {
    // Measured on speech and music: bracketing (radius 0) with coarse merging buys the most per
    // unit of time, and the beam stops growing once every distinct merged state fits. Finer
    // merging pays off only with wider beams, and trying codes beyond the bracket only at the
    // top levels.
    static constexpr XBoxADPCMSearchLevel kLevels[kXBoxADPCMMaxQuality + 1] = {
        {8, 1, 1, 0, 0},    // 0: unused (plain encoder)
        {8, 1, 2, 0, 0},    // 1
        {8, 1, 4, 0, 0},    // 2
        {8, 1, 8, 0, 0},    // 3
        {8, 1, 16, 0, 0},   // 4
        {8, 1, 32, 0, 1},   // 5
        {8, 1, 48, 0, 2},   // 6
        {8, 3, 64, 1, 2},   // 7
        {8, 3, 256, 1, 3},  // 8
        {8, 3, 512, 1, 4},  // 9
    };
    return kLevels[std::clamp(quality, 1, kXBoxADPCMMaxQuality)];
}

std::uint8_t XBoxADPCMSearchBlock(std::span<const std::int16_t, 65> x, unsigned valid,
                                  std::uint8_t& plainIndex, const XBoxADPCMSearchLevel& level,
                                  std::span<std::uint8_t, 64> codes, std::uint64_t& error) {
    const CodeTables& t = Tables();
    valid = std::clamp(valid, 1u, kFramesPerBlock);

    // The plain encoder's coding of this block: the fallback, and the index it hands on.
    const std::uint8_t plainStart = plainIndex;
    std::array<std::uint8_t, kCodes> plainCodes;
    std::uint64_t plainError = 0;
    {
        ADPCMChannelState state{x[0], plainStart};
        for (unsigned k = 0; k < kCodes; ++k) {
            plainCodes[k] = static_cast<std::uint8_t>(ADPCMEncodeSample(state, x[k + 1]));
            if (k + 1 < valid)
                plainError += Square(x[k + 1] - state.predictor);
        }
        plainIndex = state.index;
    }
    const auto usePlain = [&] {
        std::copy(plainCodes.begin(), plainCodes.end(), codes.begin());
        error = plainError;
        return plainStart;
    };
    if (plainError == 0)
        return usePlain();

    Scratch& s = ThreadScratch();
    const unsigned width = std::clamp(level.beamWidth, 1u, kMaxBeam);

    // Scan start indices with the plain rule; the beam starts from the best few and the
    // neighbours of the best one.
    std::array<std::pair<std::uint64_t, std::uint8_t>, kMaxStepIndex + 2> scanned;
    unsigned scannedCount = 0;
    const unsigned stride = std::max(1u, level.startStride);
    const unsigned scanLength = std::min(valid, kScanLength);
    for (unsigned i = 0; i <= kMaxStepIndex; i += stride)
        scanned[scannedCount++] = {PlainError(t, x, scanLength, i), static_cast<std::uint8_t>(i)};
    const unsigned keep = std::clamp(level.startKeep, 1u, scannedCount);
    std::partial_sort(scanned.begin(), scanned.begin() + keep, scanned.begin() + scannedCount);

    unsigned beamSize = 0;
    const auto addStart = [&](int index) {
        if (index < 0 || index > int(kMaxStepIndex) || beamSize >= kMaxBeam)
            return;
        for (unsigned n = 0; n < beamSize; ++n) {
            if (s.beam[n].index == index)
                return;
        }
        s.beam[beamSize++] = {
            0, x[0], static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index), 0, 0};
    };
    for (unsigned n = 0; n < keep; ++n)
        addStart(scanned[n].second);
    for (int d = 1; d <= int(stride / 2) + 1; ++d) {
        addStart(scanned[0].second - d);
        addStart(scanned[0].second + d);
    }

    const int radius = static_cast<int>(std::min(level.codeRadius, 7u));
    const std::uint8_t* mergeShift = t.mergeShift[std::min(level.mergeBits, kMaxMergeBits)];
    // The smallest table of at least four times the candidates of one step: few collisions, and
    // small enough to stay in cache.
    const unsigned maxCandidates = std::max(width, beamSize) * (2 * unsigned(radius) + 2);
    unsigned hashBits = 6;
    while ((1u << hashBits) < 4 * std::min(maxCandidates, kMaxCandidates) && hashBits < kHashBits)
        ++hashBits;
    const unsigned hashShift = 32 - hashBits;
    for (unsigned k = 0; k < kCodes; ++k) {
        const std::int32_t target = x[k + 1];
        const bool counts = k + 1 < valid;
        if (++s.generation == 0) {  // stamps wrapped: forget them all
            s.hash.fill({});
            s.generation = 1;
        }
        unsigned count = 0;
        const auto offer = [&](const Node& from, unsigned parent, unsigned code) IMABOX_INLINE {
            const std::int32_t p = Clamp16(from.predictor + t.diff[from.index][code]);
            const std::uint8_t index = t.next[from.index][code];
            const std::uint64_t cost = from.cost + (counts ? Square(target - p) : 0);
            const std::uint32_t key =
                (static_cast<std::uint32_t>((p + 32768) >> mergeShift[index]) << 7) | index;
            Scratch::Entry& entry = s.hash[(key * 2654435761u) >> hashShift];
            const Node node{
                cost,       static_cast<std::int16_t>(p),       index,
                from.start, static_cast<std::uint16_t>(parent), static_cast<std::uint8_t>(code)};
            if (entry.stamp == s.generation && entry.key == key) {
                Node& seen = s.candidates[entry.slot];
                if (cost < seen.cost)
                    seen = node;
                return;
            }
            // A state whose slot holds another one is simply not merged with later equals.
            entry = {s.generation, key, count};
            s.candidates[count++] = node;
        };
        for (unsigned n = 0; n < beamSize; ++n) {
            const Node& from = s.beam[n];
            const std::int32_t delta = target - from.predictor;
            if (radius == 0) {
                // The two codes whose reconstructions lie on either side of the target (the two
                // outermost when the target lies beyond them all).
                const std::int32_t* sorted = t.sorted[from.index];
                unsigned below = 0;
                for (unsigned j = 0; j < 16; ++j)
                    below += sorted[j] < delta;
                const unsigned j = std::clamp(below, 1u, 15u) - 1;
                offer(from, n, SortedCode(j));
                offer(from, n, SortedCode(j + 1));
                continue;
            }
            const unsigned nearest = ADPCMSampleCode(kADPCMStepTable[from.index], delta);
            const unsigned sign = nearest & 8;
            const int magnitude = static_cast<int>(nearest & 7);
            for (int m = std::max(0, magnitude - radius); m <= std::min(7, magnitude + radius); ++m)
                offer(from, n, sign | static_cast<unsigned>(m));
            // Close to the predictor the other sign is as near.
            for (int m = 0; m < radius - magnitude; ++m)
                offer(from, n, (sign ^ 8) | static_cast<unsigned>(m));
        }
        // Keep the `width` cheapest: select on packed (cost, slot) words. Costs stay below 2^38
        // (64 squared 16-bit errors).
        if (count > width) {
            std::uint64_t* order = s.order.data();
            for (unsigned n = 0; n < count; ++n)
                order[n] = (s.candidates[n].cost << kSlotBits) | n;
            std::nth_element(order, order + width - 1, order + count);
            for (unsigned n = 0; n < width; ++n)
                s.beam[n] = s.candidates[order[n] & ((1u << kSlotBits) - 1)];
            count = width;
        } else {
            std::copy_n(s.candidates.begin(), count, s.beam.begin());
        }
        for (unsigned n = 0; n < count; ++n) {
            s.parent[k][n] = s.beam[n].parent;
            s.code[k][n] = s.beam[n].code;
        }
        beamSize = count;
    }

    unsigned best = 0;
    for (unsigned n = 1; n < beamSize; ++n) {
        if (s.beam[n].cost < s.beam[best].cost)
            best = n;
    }
    unsigned n = best;
    for (unsigned k = kCodes; k-- > 0;) {
        codes[k] = s.code[k][n];
        n = s.parent[k][n];
    }
    // Measure the chosen codes as a decoder will play them, so the comparison with the plain
    // coding never rests on the search's own bookkeeping.
    std::int32_t p = x[0];
    unsigned index = s.beam[best].start;
    std::uint64_t measured = 0;
    for (unsigned k = 0; k < kCodes; ++k) {
        p = Clamp16(p + t.diff[index][codes[k]]);
        index = t.next[index][codes[k]];
        if (k + 1 < valid)
            measured += Square(x[k + 1] - p);
    }
    if (measured >= plainError)
        return usePlain();
    error = measured;
    return s.beam[best].start;
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
    const std::uint64_t blocks = std::min(
        {XBoxADPCMBlockCount(frames), pcm.size() / (std::uint64_t{kFramesPerBlock} * channels),
         out.size() / (std::uint64_t{kBlockBytesPerChannel} * channels)});
    std::vector<std::uint8_t> plainIndex(channels, 0);
    std::array<std::int16_t, kFramesPerBlock> samples;
    std::array<std::uint8_t, 64> codes;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::int16_t* in = pcm.data() + b * kFramesPerBlock * channels;
        std::uint8_t* dst = out.data() + b * kBlockBytesPerChannel * channels;
        const std::uint64_t first = b * kFramesPerBlock;
        const unsigned valid = validFrames <= first ? 0u
                                                    : static_cast<unsigned>(std::min<std::uint64_t>(
                                                          validFrames - first, kFramesPerBlock));
        for (unsigned c = 0; c < channels; ++c) {
            for (unsigned k = 0; k < kFramesPerBlock; ++k)
                samples[k] = in[std::size_t{k} * channels + c];
            std::uint64_t error = 0;
            const std::uint8_t start =
                XBoxADPCMSearchBlock(samples, valid, plainIndex[c], level, codes, error);
            std::uint8_t* header = dst + 4 * c;
            header[0] = static_cast<std::uint8_t>(samples[0]);
            header[1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[0]) >> 8);
            header[2] = start;
            header[3] = 0;
            for (unsigned g = 0; g < 8; ++g) {
                std::uint8_t* word = dst + 4 * channels + (std::size_t{g} * channels + c) * 4;
                for (unsigned j = 0; j < 4; ++j)
                    word[j] = static_cast<std::uint8_t>(codes[8 * g + 2 * j] |
                                                        (codes[8 * g + 2 * j + 1] << 4));
            }
        }
    }
}

}  // namespace imabox
