// SPDX-License-Identifier: MIT
// The searching encoder's inner loops, written over plain arrays with one lane per state so the
// compiler can score several states in one vector. The header is compiled twice: once for any
// processor (xbox_adpcm_search.cpp) and once for AVX2 (xbox_adpcm_search_avx2.cpp), each inside
// its own namespace named by IMABOX_SEARCH_KERNEL_NAMESPACE. Both give identical results: all
// arithmetic is integer.
//
// Include only from those two files.
#ifndef IMABOX_SEARCH_KERNEL_NAMESPACE
#error "define IMABOX_SEARCH_KERNEL_NAMESPACE before including this header"
#endif

#include <algorithm>
#include <cstdint>

#include "codec/xbox_adpcm_search_detail.hpp"

namespace imabox::search_detail::IMABOX_SEARCH_KERNEL_NAMESPACE {

// Squared error, exact in 32 bits: |e| <= 65535.
inline std::uint32_t Square32(std::int32_t e) {
    const auto u = static_cast<std::uint32_t>(e);
    return u * u;
}

// The codec's own arithmetic (codec/adpcm_primitives.hpp).
using adpcm::Clamp16;
using adpcm::Magnitude;
using adpcm::NextIndex;

// The plain coding rule: the magnitude of the code for `delta` at `step` (its sign is that of
// delta), as ADPCMSampleCode.
inline std::int32_t PlainMagnitude(std::int32_t step, std::int32_t delta) {
    std::int32_t d = delta < 0 ? -delta : delta;
    const std::int32_t b4 = d > step;
    d -= b4 ? step : 0;
    const std::int32_t b2 = d > (step >> 1);
    d -= b2 ? (step >> 1) : 0;
    const std::int32_t b1 = d > (step >> 2);
    return 4 * b4 + 2 * b2 + b1;
}

// One step of the plain coding rule towards `target`: moves `pred` and `index` on and returns
// the code.
inline std::int32_t PlainStep(std::int32_t& pred, std::int32_t& index, std::int32_t target) {
    const std::int32_t step = kStep32[index];
    const std::int32_t delta = target - pred;
    const std::int32_t mag = PlainMagnitude(step, delta);
    const std::int32_t change = Magnitude(step, mag);
    pred = Clamp16(pred + (delta < 0 ? -change : change));
    index = NextIndex(index, mag);
    return (delta < 0 ? 8 : 0) | mag;
}

// The first of `width` positions (2..16, even) in the ascending order of the 16 predictor
// changes at step `step` (codes 15..8 are positions 0..7, codes 0..7 positions 8..15), centred on
// the two whose reconstructions bracket `delta` (the two outermost when it lies beyond them all).
inline std::int32_t WindowStart(std::int32_t step, std::int32_t delta, std::int32_t width) {
    const std::int32_t ad = delta < 0 ? -delta : delta;
    // The largest magnitude m whose change does not pass |delta|: the plain rule on
    // |delta| - step / 8 + 1, since that rule finds the largest m with change - step / 8 strictly
    // below its input.
    std::int32_t m = PlainMagnitude(step, ad - (step >> 3) + 1);
    m = m > 6 ? 6 : m;
    // Between -step/8 and step/8 the lower bracket is code 8.
    const std::int32_t lower = ad < (step >> 3) ? 7 : (delta < 0 ? 6 - m : 8 + m);
    const std::int32_t first = lower - (width / 2 - 1);
    return first < 0 ? 0 : (first > 16 - width ? 16 - width : first);
}

// The code at a position of that order, and its magnitude.
inline std::int32_t PositionMagnitude(std::int32_t pos) {
    return pos < 8 ? 7 - pos : pos - 8;
}
inline std::int32_t PositionCode(std::int32_t pos) {
    return pos < 8 ? 15 - pos : pos - 8;
}

// The plain coding rule from each of `count` start indices at once (a multiple of 8), over
// x[1 .. length - 1] (x[0] is every lane's first predictor). errors[lane] receives the squared
// error, each sample's share capped at 2^26 so that 64 samples fit 32 bits: a ranking, not a
// measurement.
template <unsigned Lanes>
inline void ScanLanes(const std::int16_t* x, unsigned length, const std::int32_t* starts,
                      std::uint32_t* errors) {
    std::int32_t p[Lanes];
    std::int32_t index[Lanes];
    std::uint32_t error[Lanes];
    for (unsigned l = 0; l < Lanes; ++l) {
        p[l] = x[0];
        index[l] = starts[l];
        error[l] = 0;
    }
    for (unsigned k = 1; k < length; ++k) {
        const std::int32_t target = x[k];
        for (unsigned l = 0; l < Lanes; ++l) {
            const std::int32_t step = kStep32[index[l]];
            const std::int32_t delta = target - p[l];
            const std::int32_t mag = PlainMagnitude(step, delta);
            const std::int32_t change = Magnitude(step, mag);
            p[l] = Clamp16(p[l] + (delta < 0 ? -change : change));
            index[l] = NextIndex(index[l], mag);
            const std::uint32_t e = Square32(target - p[l]);
            error[l] += e < (1u << 26) ? e : (1u << 26);
        }
    }
    for (unsigned l = 0; l < Lanes; ++l)
        errors[l] = error[l];
}

inline void ScanStarts(const std::int16_t* x, unsigned length, const std::int32_t* starts,
                       unsigned count, std::uint32_t* errors) {
    unsigned base = 0;
    for (; base + 16 <= count; base += 16)  // two vectors side by side: their chains overlap
        ScanLanes<16>(x, length, starts + base, errors + base);
    if (base < count)
        ScanLanes<8>(x, length, starts + base, errors + base);
}

// Expands every state of `beam` by R codes: the R reconstructions nearest `target` in the order
// of the 16 predictor changes, centred on the two that bracket it (the two outermost when it
// lies beyond them all). Candidate R * n + r comes from state n.
template <unsigned R>
inline void ExpandWindow(const Beam& beam, unsigned size, std::int32_t target, bool counts,
                         Candidates& out) {
    static_assert(R >= 2 && R <= 16 && R % 2 == 0);
    const std::uint64_t weight = counts ? 1 : 0;
    for (unsigned n = 0; n < size; ++n) {
        const std::int32_t index = beam.index[n];
        const std::int32_t pred = beam.pred[n];
        const std::int32_t step = kStep32[index];
        const std::int32_t first = WindowStart(step, target - pred, R);
        for (unsigned r = 0; r < R; ++r) {
            const std::int32_t pos = first + std::int32_t(r);
            const std::int32_t mag = PositionMagnitude(pos);
            const std::int32_t change = Magnitude(step, mag);
            const std::int32_t p = Clamp16(pred + (pos < 8 ? -change : change));
            const unsigned slot = R * n + r;
            out.pred[slot] = p;
            out.index[slot] = NextIndex(index, mag);
            out.cost[slot] = beam.cost[n] + weight * Square32(target - p);
            out.code[slot] = static_cast<std::uint8_t>(PositionCode(pos));
            out.parent[slot] = static_cast<std::uint16_t>(n);
        }
    }
}

inline void Expand(const Beam& beam, unsigned size, std::int32_t target, bool counts,
                   unsigned codes, Candidates& out) {
    switch (codes) {
        case 2:
            ExpandWindow<2>(beam, size, target, counts, out);
            break;
        case 4:
            ExpandWindow<4>(beam, size, target, counts, out);
            break;
        default:
            ExpandWindow<6>(beam, size, target, counts, out);
            break;
    }
}

// Narrow searches, one lane after another: the reference the AVX2 form matches bit for bit.
// Each sample, every state tries the two codes that bracket the sample; the cheapest candidate
// is kept first, then the cheapest whose state (step index and predictor range) is not kept yet,
// and so on; ties go to the earlier candidate. Slots left empty hold a copy of the first state
// with a dead cost.
inline void NarrowLane(NarrowLanes& s, unsigned lane, unsigned W) {
    constexpr unsigned kMax = kMaxNarrowWidth;
    constexpr unsigned kPer = 2 + kMaxJumps;  // candidates per state, at most
    const unsigned per = 2 + (s.jumps > kMaxJumps ? kMaxJumps : s.jumps);
    std::int32_t pred[kMax];
    std::int32_t index[kMax];
    std::uint32_t cost[kMax];
    for (unsigned j = 0; j < W; ++j) {
        pred[j] = s.x[0][lane];
        index[j] = s.start[j][lane] < 0 ? 0 : s.start[j][lane];
        cost[j] = s.start[j][lane] < 0 ? kDeadCost : 0;
    }
    std::int32_t plainPred = s.x[0][lane];
    std::int32_t plainAt = s.plainStart[lane];
    std::uint64_t plainError = 0;
    std::uint64_t base = 0;
    for (unsigned k = 0; k < 64; ++k) {
        const std::int32_t target = s.x[k + 1][lane];
        const std::uint32_t weight = std::int32_t(k) < s.counted[lane] ? ~0u : 0u;
        PlainStep(plainPred, plainAt, target);
        plainError += Square32(target - plainPred) & weight;
        std::uint32_t c[kPer * kMax];
        std::uint32_t rank[kPer * kMax];
        std::uint32_t key[kPer * kMax];
        std::uint32_t trace[kPer * kMax];
        std::int32_t p[kPer * kMax];
        std::int32_t next[kPer * kMax];
        for (unsigned j = 0; j < W; ++j) {
            const std::int32_t step = kStep32[index[j]];
            const std::int32_t first = WindowStart(step, target - pred[j], 2);
            for (unsigned r = 0; r < per; ++r) {
                const unsigned i = per * j + r;
                // The two bracketing codes, then the jump: magnitude 7 towards the sample, which
                // raises the step index most (dead when a bracketing code already is that code).
                std::int32_t pos = first + std::int32_t(r);
                bool dup = false;
                if (r == 2) {
                    pos = target - pred[j] < 0 ? 0 : 15;
                    dup = pos == first || pos == first + 1;
                }
                const std::int32_t mag = PositionMagnitude(pos);
                const std::int32_t change = Magnitude(step, mag);
                p[i] = Clamp16(pred[j] + (pos < 8 ? -change : change));
                const std::uint32_t sum = cost[j] + (Square32(target - p[i]) & weight);
                c[i] = sum < cost[j] || sum == kDeadCost || dup ? kDeadCost : sum;
                next[i] = NextIndex(index[j], mag);
                key[i] =
                    ((static_cast<std::uint32_t>(p[i] + 32768) >> s.mergeShift[next[i]]) << 7) |
                    static_cast<std::uint32_t>(next[i]);
                trace[i] = static_cast<std::uint32_t>(PositionCode(pos)) | (j << 4);
                // Ranked with a look ahead: the error the plain rule makes at the next sample.
                rank[i] = c[i];
                if (c[i] != kDeadCost) {
                    std::int32_t ahead = p[i];
                    std::int32_t at = next[i];
                    for (unsigned d = 0; d < s.lookahead && k + 1 + d < 64; ++d) {
                        const std::int32_t after = s.x[k + 2 + d][lane];
                        PlainStep(ahead, at, after);
                        const std::uint32_t more = std::int32_t(k + 1 + d) < s.counted[lane]
                                                       ? Square32(after - ahead)
                                                       : 0u;
                        rank[i] = rank[i] + more < rank[i] || rank[i] + more == kDeadCost
                                      ? kDeadCost - 1
                                      : rank[i] + more;
                    }
                }
            }
        }
        // The candidates in order of cost (ties by position); each is kept unless one of its
        // state is kept already.
        const unsigned n = per * W;
        unsigned order[kPer * kMax];
        for (unsigned i = 0; i < n; ++i)
            order[i] = i;
        std::sort(order, order + n, [&](unsigned a, unsigned b) {
            return rank[a] != rank[b] ? rank[a] < rank[b] : a < b;
        });
        unsigned chosen[kMax] = {};
        std::uint32_t chosenCost[kMax] = {};
        unsigned kept = 0;
        for (unsigned m = 0; m < n && kept < W && c[order[m]] != kDeadCost; ++m) {
            const unsigned i = order[m];
            bool fresh = true;
            unsigned same = 0;
            for (unsigned q = 0; q < kept; ++q) {
                fresh = fresh && key[i] != key[chosen[q]];
                same += next[i] == next[chosen[q]];
            }
            if (s.perIndex != 0 && same >= s.perIndex)
                fresh = false;
            if (fresh) {
                chosenCost[kept] = c[i];
                chosen[kept++] = i;
            }
        }
        for (unsigned j = kept; j < W; ++j) {  // empty: a copy of the first, dead
            chosen[j] = chosen[0];
            chosenCost[j] = kDeadCost;
        }
        // Costs relative to the cheapest kept state (the first, unless ranked with a look ahead).
        std::uint32_t least = chosenCost[0];
        for (unsigned j = 1; j < W; ++j)
            least = chosenCost[j] < least ? chosenCost[j] : least;
        base += least;
        for (unsigned j = 0; j < W; ++j) {
            pred[j] = p[chosen[j]];
            index[j] = next[chosen[j]];
            cost[j] = chosenCost[j] == kDeadCost ? kDeadCost : chosenCost[j] - least;
            s.trace[k][j][lane] = trace[chosen[j]];
        }
    }
    s.cost[lane] = base;
    s.plainError[lane] = plainError;
    s.plainEnd[lane] = plainAt;
}

inline void Narrow(NarrowLanes& s, unsigned width) {
    for (unsigned lane = 0; lane < kLanes; ++lane)
        NarrowLane(s, lane, width);
}

}  // namespace imabox::search_detail::IMABOX_SEARCH_KERNEL_NAMESPACE
