// SPDX-License-Identifier: MIT
// The searching encoder's narrow searches written with the compiler's own vector types: eight
// searches side by side, one per 32-bit lane, as the AVX2 loops do, but for any target the
// compiler vectorises for. The WebAssembly build runs them (each eight-lane vector as two 128-bit
// SIMD vectors); native builds compile them too, so that the tests hold them to the portable
// loops bit for bit. Compilers without GCC's vector extensions get the portable loops.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "codec/xbox_adpcm_search_detail.hpp"

namespace imabox::search_detail {

#if defined(__GNUC__)  // GCC and Clang
namespace {

using V = std::int32_t __attribute__((vector_size(32)));
using U = std::uint32_t __attribute__((vector_size(32)));
using Wide = std::uint64_t __attribute__((vector_size(64)));

static_assert(kLanes == 8);

V Load(const std::int32_t* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void Store(T* p, const V& v) {
    static_assert(sizeof(T) == 4);
    std::memcpy(p, &v, sizeof v);
}
V Splat(std::int32_t x) {
    return V{x, x, x, x, x, x, x, x};
}
// b where m is all ones, a where it is zero.
V Blend(V a, V b, V m) {
    return m ? b : a;
}
V Min(V a, V b) {
    return a < b ? a : b;
}
V Max(V a, V b) {
    return a > b ? a : b;
}
V MinUnsigned(V a, V b) {
    return (U)a < (U)b ? a : b;
}
// Sums and differences that wrap, as the costs' unsigned arithmetic does.
V Add(V a, V b) {
    return (V)((U)a + (U)b);
}
V Sub(V a, V b) {
    return (V)((U)a - (U)b);
}
V Abs(V v) {
    return v < V{} ? -v : v;
}
V Square(V e) {
    return (V)((U)e * (U)e);
}
// One scalar read per lane: WebAssembly has no gather.
V Gather(const std::int32_t* table, V i) {
    return V{table[i[0]], table[i[1]], table[i[2]], table[i[3]],
             table[i[4]], table[i[5]], table[i[6]], table[i[7]]};
}

// Lanes whose bit `bit` of v is set, as all-ones masks.
template <int Bit>
V BitMask(V v) {
    return (v << (31 - Bit)) >> 31;
}

V Clamp16(V v) {
    return Min(Max(v, Splat(-32768)), Splat(32767));
}

// As portable Magnitude, PlainMagnitude and NextIndex, lane by lane.
V Magnitude(V step, V mag) {
    return (step >> 3) + (BitMask<2>(mag) & step) + (BitMask<1>(mag) & (step >> 1)) +
           (BitMask<0>(mag) & (step >> 2));
}

V PlainMagnitude(V step, V delta) {
    V d = Abs(delta);
    const V b4 = d > step;
    d -= b4 & step;
    const V half = step >> 1;
    const V b2 = d > half;
    d -= b2 & half;
    const V b1 = d > (step >> 2);
    return (b4 & Splat(4)) | (b2 & Splat(2)) | (b1 & Splat(1));
}

V NextIndex(V index, V mag) {
    const V next = index + Blend(mag + mag - Splat(6), Splat(-1), mag < Splat(4));
    return Min(Max(next, V{}), Splat(88));
}

// One step of the plain coding rule towards `target` (as portable PlainStep): moves `pred` and
// `index` on. The predictor change and the next index come straight from the rule's three
// comparisons, without the code's magnitude in between.
void PlainStep(V& pred, V& index, V step, V target) {
    const V delta = target - pred;
    V d = Abs(delta);
    const V half = step >> 1;
    const V quarter = step >> 2;
    const V b4 = d > step;
    d -= b4 & step;
    const V b2 = d > half;
    d -= b2 & half;
    const V b1 = d > quarter;
    const V change = (step >> 3) + (b4 & step) + (b2 & half) + (b1 & quarter);
    pred = Clamp16(pred + Blend(change, -change, delta < V{}));
    // Magnitudes 4..7 raise the index by 2, 4, 6, 8; 0..3 lower it by 1.
    const V up = Splat(2) + (b2 & Splat(4)) + (b1 & Splat(2));
    index = Min(Max(index + Blend(Splat(-1), up, b4), V{}), Splat(88));
}

// Adds eight unsigned 32-bit values to eight 64-bit sums.
void Accumulate(Wide& sum, V v) {
    sum += __builtin_convertvector((U)v, Wide);
}

// Beams at least this wide keep their states by rank rather than by rounds.
constexpr unsigned kRankFrom = 16;

// One candidate of every lane's search.
struct Candidate {
    V cost;   // relative, kDeadCost when dropped
    V order;  // the cost with its top bit flipped, for signed comparisons
    V pred;
    V index;
    V key;
    V trace;
};

// Keeps the W cheapest candidates of distinct states, cheapest first (ties to the earlier
// candidate); slots left empty are copies of the first with a dead cost. By rounds, for few
// states: each round picks the cheapest candidate not yet excluded and then excludes those of its
// key (and, with a cap, of a step index kept often enough). A round carries only the order and
// the number of its best candidate; each lane reads the rest of its pick afterwards.
template <unsigned W, unsigned C>
void KeepByRounds(const Candidate* c, Candidate* kept, std::uint32_t perIndex) {
    constexpr unsigned N = C * W;
    const V never = Splat(INT32_MAX);  // the order of a dead candidate: never taken
    const V cap = Splat(std::int32_t(perIndex));
    V order[N];
    V same[N];  // kept states of each candidate's step index, negated
    for (unsigned i = 0; i < N; ++i) {
        order[i] = c[i].order;
        same[i] = V{};
    }
    for (unsigned j = 0; j < W; ++j) {
        V bestOrder = j == 0 ? order[0] : never;
        V best = j == 0 ? V{} : Splat(-1);  // -1: none, a copy of the first kept
        for (unsigned i = j == 0 ? 1 : 0; i < N; ++i) {
            const V take = bestOrder > order[i];
            bestOrder = Min(bestOrder, order[i]);
            best = Blend(best, Splat(std::int32_t(i)), take);
        }
        std::int32_t field[5][kLanes];
        for (unsigned lane = 0; lane < kLanes; ++lane) {
            const std::int32_t i = best[lane];
            const Candidate& from = i < 0 ? kept[0] : c[i];
            field[0][lane] = i < 0 ? -1 : from.cost[lane];
            field[1][lane] = from.pred[lane];
            field[2][lane] = from.index[lane];
            field[3][lane] = from.key[lane];
            field[4][lane] = from.trace[lane];
        }
        Candidate& k = kept[j];
        k.cost = Load(field[0]);
        k.pred = Load(field[1]);
        k.index = Load(field[2]);
        k.key = Load(field[3]);
        k.trace = Load(field[4]);
        if (j + 1 == W)
            break;
        for (unsigned i = 0; i < N; ++i) {
            V out = c[i].key == k.key;
            if (perIndex != 0) {
                same[i] -= c[i].index == k.index;
                out |= ~(cap > same[i]);
            }
            order[i] = Blend(order[i], never, out);
        }
    }
}

// The same by ranks, for many states: of candidates with one key all but the cheapest (the
// earliest on a tie) are dropped, every candidate is ranked by cost (ties by order), and each
// lane places its candidates at their ranks.
template <unsigned W, unsigned C>
void KeepByRank(const Candidate* c, Candidate* kept, std::uint32_t perIndex) {
    constexpr unsigned N = C * W;
    const V dead = Splat(-1);
    const V flip = Splat(INT32_MIN);
    V drop[N];
    for (unsigned i = 0; i < N; ++i)
        drop[i] = V{};
    for (unsigned a = 0; a < N; ++a) {
        for (unsigned b = a + 1; b < N; ++b) {
            const V same = c[a].key == c[b].key;
            const V bCheaper = c[a].order > c[b].order;
            drop[a] |= same & bCheaper;
            drop[b] |= same & ~bCheaper;
        }
    }
    if (perIndex != 0) {  // and those with perIndex cheaper ones of their step index kept
        V same[N];
        for (unsigned i = 0; i < N; ++i)
            same[i] = V{};
        for (unsigned a = 0; a < N; ++a) {
            for (unsigned b = a + 1; b < N; ++b) {
                const V index = c[a].index == c[b].index;
                const V bCheaper = c[a].order > c[b].order;
                same[a] -= ~drop[b] & index & bCheaper;
                same[b] -= ~drop[a] & index & ~bCheaper;
            }
        }
        const V cap = Splat(std::int32_t(perIndex) - 1);
        for (unsigned i = 0; i < N; ++i)
            drop[i] |= same[i] > cap;
    }
    V order[N];
    V rank[N];
    for (unsigned i = 0; i < N; ++i) {
        order[i] = Blend(c[i].order, dead ^ flip, drop[i]);
        rank[i] = Splat(std::int32_t(i));
    }
    for (unsigned a = 0; a < N; ++a) {
        for (unsigned b = a + 1; b < N; ++b) {
            const V later = order[a] > order[b];  // b ranks before a
            rank[a] -= later;
            rank[b] += later;
        }
    }
    std::int32_t placed[4][N][kLanes];
    for (unsigned i = 0; i < N; ++i) {
        const V cost = c[i].cost | drop[i];
        for (unsigned lane = 0; lane < kLanes; ++lane) {
            const auto r = static_cast<unsigned>(rank[i][lane]);
            placed[0][r][lane] = cost[lane];
            placed[1][r][lane] = c[i].pred[lane];
            placed[2][r][lane] = c[i].index[lane];
            placed[3][r][lane] = c[i].trace[lane];
        }
    }
    for (unsigned j = 0; j < W; ++j) {
        Candidate& k = kept[j];
        k.cost = Load(placed[0][j]);
        k.pred = Load(placed[1][j]);
        k.index = Load(placed[2][j]);
        k.trace = Load(placed[3][j]);
        if (j != 0) {
            const V none = k.cost == dead;
            k.pred = Blend(k.pred, kept[0].pred, none);
            k.index = Blend(k.index, kept[0].index, none);
            k.trace = Blend(k.trace, kept[0].trace, none);
        }
    }
}

template <unsigned W, unsigned C>
void NarrowLanesVector(NarrowLanes& s) {
    const V dead = Splat(-1);
    const V flip = Splat(INT32_MIN);
    V pred[W];
    V index[W];
    V cost[W];
    const V x0 = Load(s.x[0]);
    for (unsigned j = 0; j < W; ++j) {
        const V start = Load(s.start[j]);
        pred[j] = x0;
        index[j] = Max(start, V{});
        cost[j] = start < V{};
    }
    V plainPred = x0;
    V plainAt = Load(s.plainStart);
    Wide plainError{};
    Wide base{};
    const V counted = Load(s.counted);
    // Each step index's step and merge shift in one word, for one read per candidate.
    std::int32_t stepShift[89];
    for (unsigned i = 0; i < 89; ++i)
        stepShift[i] = kStep32[i] | (s.mergeShift[i] << 16);
    for (unsigned k = 0; k < 64; ++k) {
        const V target = Load(s.x[k + 1]);
        const V weight = counted > Splat(std::int32_t(k));
        const unsigned ahead = std::min(s.lookahead, 63 - k);  // samples looked ahead
        {                                                      // the plain coding rule
            PlainStep(plainPred, plainAt, Gather(kStep32, plainAt), target);
            Accumulate(plainError, Square(target - plainPred) & weight);
        }
        V after[kMaxLookahead];  // the samples looked ahead at, and whether they count
        V afterWeight[kMaxLookahead];
        for (unsigned d = 0; d < ahead; ++d) {
            after[d] = Load(s.x[k + 2 + d]);
            afterWeight[d] = counted > Splat(std::int32_t(k + 1 + d));
        }
        Candidate c[C * W];
        for (unsigned j = 0; j < W; ++j) {
            const V step = Gather(kStep32, index[j]);
            const V delta = target - pred[j];
            const V ad = Abs(delta);
            const V eighth = step >> 3;
            // As WindowStart for two positions: the lower bracket, 0..14.
            const V m = Min(PlainMagnitude(step, ad - eighth + Splat(1)), Splat(6));
            const V negative = delta < V{};
            V lower = Blend(Splat(8) + m, Splat(6) - m, negative);
            lower = Blend(lower, Splat(7), eighth > ad);
            lower = Min(Max(lower, V{}), Splat(14));
            for (unsigned r = 0; r < C; ++r) {
                Candidate& n = c[C * j + r];
                V pos = lower + Splat(std::int32_t(r));
                V twice{};
                V below = pos < Splat(8);  // codes 15..8
                V mag = Blend(pos - Splat(8), Splat(7) - pos, below);
                V change;
                if (r == 2) {  // the jump: magnitude 7 towards the sample, unless bracketing
                    pos = ~negative & Splat(15);
                    twice = (pos == lower) | (pos == lower + Splat(1));
                    below = negative;
                    mag = Splat(7);
                    change = (step >> 3) + step + (step >> 1) + (step >> 2);
                } else {
                    change = Magnitude(step, mag);
                }
                n.pred = Clamp16(pred[j] + ((change ^ below) - below));
                const V sum = Add(cost[j], Square(target - n.pred) & weight);
                // Dropped on a carry (sum below the state's cost) or on reaching kDeadCost.
                const V carried = (U)sum < (U)cost[j];
                n.cost = sum | twice | carried | (sum == dead);
                n.index = NextIndex(index[j], mag);
                n.order = n.cost ^ flip;
                const V nextStepShift = Gather(stepShift, n.index);
                if (ahead != 0) {  // ranked by the cost and the plain rule's next errors
                    V rank = n.cost;
                    V aheadPred = n.pred;
                    V aheadIndex = n.index;
                    for (unsigned d = 0; d < ahead; ++d) {
                        const V step2 =
                            d == 0 ? nextStepShift & Splat(0xffff) : Gather(kStep32, aheadIndex);
                        PlainStep(aheadPred, aheadIndex, step2, after[d]);
                        const V more = Square(after[d] - aheadPred) & afterWeight[d];
                        const V total = Add(rank, more);
                        const V over = ((U)total < (U)rank) | (total == dead);
                        rank = Blend(total, Splat(-2), over);
                    }
                    rank = Blend(rank, dead, n.cost == dead);
                    n.order = rank ^ flip;
                }
                const V shift = nextStepShift >> 16;
                n.key = ((V)((U)(n.pred + Splat(32768)) >> (U)shift) << 7) | n.index;
                n.trace = mag | (below & Splat(8)) | Splat(std::int32_t(j << 4));
            }
        }
        Candidate kept[W]{};
        if constexpr (W >= kRankFrom)
            KeepByRank<W, C>(c, kept, s.perIndex);
        else
            KeepByRounds<W, C>(c, kept, s.perIndex);
        // Costs relative to the cheapest kept state (the first, unless ranked with a look ahead).
        V least = kept[0].cost;
        for (unsigned j = 1; j < W; ++j)
            least = MinUnsigned(least, kept[j].cost);
        Accumulate(base, least);
        for (unsigned j = 0; j < W; ++j) {
            pred[j] = kept[j].pred;
            index[j] = kept[j].index;
            cost[j] = Sub(kept[j].cost, least) | (kept[j].cost == dead);
            Store(s.trace[k][j], kept[j].trace);
        }
    }
    std::memcpy(s.cost, &base, sizeof s.cost);
    std::memcpy(s.plainError, &plainError, sizeof s.plainError);
    Store(s.plainEnd, plainAt);
}

// The widths the quality levels use, with the jump as they all have it; other searches run the
// portable loops. (Each instance adds some 12 KiB to the page's module.)
template <unsigned... W>
bool NarrowWidth(NarrowLanes& s, unsigned width, std::integer_sequence<unsigned, W...>) {
    return ((width == W ? (NarrowLanesVector<W, 3>(s), true) : false) || ...);
}

void NarrowVector(NarrowLanes& s, unsigned width) {
    if (s.jumps == 0 ||
        !NarrowWidth(s, width, std::integer_sequence<unsigned, 2, 3, 4, 6, 8, 12, 16, 24>{}))
        PortableSearchKernels().narrow(s, width);
}

}  // namespace

// The scan and the wide beam's expansion are the portable loops: the compiler vectorises them.
SearchKernels VectorSearchKernels() {
    const SearchKernels portable = PortableSearchKernels();
    return {portable.scanStarts, portable.expand, &NarrowVector};
}
#else
SearchKernels VectorSearchKernels() {
    return PortableSearchKernels();
}
#endif

}  // namespace imabox::search_detail
