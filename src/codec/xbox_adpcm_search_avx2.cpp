// SPDX-License-Identifier: MIT
// The searching encoder's inner loops compiled for AVX2 (-mavx2): eight states per vector, and
// eight narrow searches side by side, one per lane.
#include <immintrin.h>

#include <algorithm>
#include <utility>

#define IMABOX_SEARCH_KERNEL_NAMESPACE avx2
#include "codec/xbox_adpcm_search_kernels.hpp"

namespace imabox::search_detail {
namespace {

__m256i Load(const std::int32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}
void Store(std::uint32_t* p, __m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
}
__m256i Splat(std::int32_t v) {
    return _mm256_set1_epi32(v);
}

// Lanes whose bit `bit` of v is set, as all-ones masks.
template <int Bit>
__m256i BitMask(__m256i v) {
    return _mm256_srai_epi32(_mm256_slli_epi32(v, 31 - Bit), 31);
}

__m256i Clamp16(__m256i v) {
    return _mm256_min_epi32(_mm256_max_epi32(v, Splat(-32768)), Splat(32767));
}

// As portable Magnitude, PlainMagnitude and NextIndex, lane by lane.
__m256i Magnitude(__m256i step, __m256i mag) {
    __m256i change = _mm256_srai_epi32(step, 3);
    change = _mm256_add_epi32(change, _mm256_and_si256(BitMask<2>(mag), step));
    change =
        _mm256_add_epi32(change, _mm256_and_si256(BitMask<1>(mag), _mm256_srai_epi32(step, 1)));
    return _mm256_add_epi32(change, _mm256_and_si256(BitMask<0>(mag), _mm256_srai_epi32(step, 2)));
}

__m256i PlainMagnitude(__m256i step, __m256i delta) {
    __m256i d = _mm256_abs_epi32(delta);
    const __m256i b4 = _mm256_cmpgt_epi32(d, step);
    d = _mm256_sub_epi32(d, _mm256_and_si256(b4, step));
    const __m256i half = _mm256_srai_epi32(step, 1);
    const __m256i b2 = _mm256_cmpgt_epi32(d, half);
    d = _mm256_sub_epi32(d, _mm256_and_si256(b2, half));
    const __m256i b1 = _mm256_cmpgt_epi32(d, _mm256_srai_epi32(step, 2));
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(b4, Splat(4)), _mm256_and_si256(b2, Splat(2))),
        _mm256_and_si256(b1, Splat(1)));
}

__m256i NextIndex(__m256i index, __m256i mag) {
    const __m256i adjust = _mm256_setr_epi32(-1, -1, -1, -1, 2, 4, 6, 8);
    const __m256i next = _mm256_add_epi32(index, _mm256_permutevar8x32_epi32(adjust, mag));
    return _mm256_min_epi32(_mm256_max_epi32(next, _mm256_setzero_si256()), Splat(88));
}

__m256i Square(__m256i e) {
    return _mm256_mullo_epi32(e, e);
}

// Adds eight unsigned 32-bit values to four 64-bit sums in each of lo and hi.
void Accumulate(__m256i& lo, __m256i& hi, __m256i v) {
    lo = _mm256_add_epi64(lo, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)));
    hi = _mm256_add_epi64(hi, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
}

// Beams at least this wide keep their states by rank rather than by rounds.
constexpr unsigned kRankFrom = 16;

// One candidate of every lane's search.
struct Candidate {
    __m256i cost;   // relative, kDeadCost when dropped
    __m256i order;  // the cost with its top bit flipped, for signed comparisons
    __m256i pred;
    __m256i index;
    __m256i key;
    __m256i trace;
};

// Keeps the W cheapest candidates of distinct states, cheapest first (ties to the earlier
// candidate); slots left empty are copies of the first with a dead cost. By rounds: each picks
// the cheapest candidate whose key differs from those kept before it. For few states.
template <unsigned W, unsigned C>
void KeepByRounds(const Candidate* c, Candidate* kept, std::uint32_t perIndex) {
    const __m256i dead = Splat(-1);
    const __m256i flip = Splat(INT32_MIN);
    const __m256i cap = Splat(perIndex == 0 ? std::int32_t(W) : std::int32_t(perIndex));
    for (unsigned j = 0; j < W; ++j) {
        Candidate best = c[0];
        if (j != 0) {
            best = kept[0];
            best.cost = dead;
            best.order = _mm256_xor_si256(dead, flip);
        }
        for (unsigned i = j == 0 ? 1 : 0; i < C * W; ++i) {
            __m256i take = _mm256_cmpgt_epi32(best.order, c[i].order);
            __m256i same = _mm256_setzero_si256();
            for (unsigned q = 0; q < j; ++q) {
                take = _mm256_andnot_si256(_mm256_cmpeq_epi32(c[i].key, kept[q].key), take);
                same = _mm256_sub_epi32(same, _mm256_cmpeq_epi32(c[i].index, kept[q].index));
            }
            take = _mm256_and_si256(take, _mm256_cmpgt_epi32(cap, same));
            best.cost = _mm256_blendv_epi8(best.cost, c[i].cost, take);
            best.order = _mm256_blendv_epi8(best.order, c[i].order, take);
            best.pred = _mm256_blendv_epi8(best.pred, c[i].pred, take);
            best.index = _mm256_blendv_epi8(best.index, c[i].index, take);
            best.key = _mm256_blendv_epi8(best.key, c[i].key, take);
            best.trace = _mm256_blendv_epi8(best.trace, c[i].trace, take);
        }
        kept[j] = best;
    }
}

// The same by ranks, for many states: of candidates with one key all but the cheapest (the
// earliest on a tie) are dropped, every candidate is ranked by cost (ties by order), and each
// lane places its candidates at their ranks.
template <unsigned W, unsigned C>
void KeepByRank(const Candidate* c, Candidate* kept, std::uint32_t perIndex) {
    constexpr unsigned N = C * W;
    const __m256i dead = Splat(-1);
    const __m256i flip = Splat(INT32_MIN);
    __m256i drop[N];
    for (unsigned i = 0; i < N; ++i)
        drop[i] = _mm256_setzero_si256();
    for (unsigned a = 0; a < N; ++a) {
        for (unsigned b = a + 1; b < N; ++b) {
            const __m256i same = _mm256_cmpeq_epi32(c[a].key, c[b].key);
            const __m256i bCheaper = _mm256_cmpgt_epi32(c[a].order, c[b].order);
            drop[a] = _mm256_or_si256(drop[a], _mm256_and_si256(same, bCheaper));
            drop[b] = _mm256_or_si256(drop[b], _mm256_andnot_si256(bCheaper, same));
        }
    }
    if (perIndex != 0) {  // and those with perIndex cheaper ones of their step index kept
        __m256i same[N];
        for (unsigned i = 0; i < N; ++i)
            same[i] = _mm256_setzero_si256();
        for (unsigned a = 0; a < N; ++a) {
            for (unsigned b = a + 1; b < N; ++b) {
                const __m256i index = _mm256_cmpeq_epi32(c[a].index, c[b].index);
                const __m256i bCheaper = _mm256_cmpgt_epi32(c[a].order, c[b].order);
                same[a] = _mm256_sub_epi32(
                    same[a], _mm256_andnot_si256(drop[b], _mm256_and_si256(index, bCheaper)));
                same[b] = _mm256_sub_epi32(
                    same[b], _mm256_andnot_si256(drop[a], _mm256_andnot_si256(bCheaper, index)));
            }
        }
        const __m256i cap = Splat(std::int32_t(perIndex) - 1);
        for (unsigned i = 0; i < N; ++i)
            drop[i] = _mm256_or_si256(drop[i], _mm256_cmpgt_epi32(same[i], cap));
    }
    __m256i order[N];
    __m256i rank[N];
    for (unsigned i = 0; i < N; ++i) {
        order[i] = _mm256_blendv_epi8(c[i].order, _mm256_xor_si256(dead, flip), drop[i]);
        rank[i] = Splat(std::int32_t(i));
    }
    for (unsigned a = 0; a < N; ++a) {
        for (unsigned b = a + 1; b < N; ++b) {
            const __m256i later = _mm256_cmpgt_epi32(order[a], order[b]);  // b ranks before a
            rank[a] = _mm256_sub_epi32(rank[a], later);
            rank[b] = _mm256_add_epi32(rank[b], later);
        }
    }
    alignas(32) std::int32_t at[N][kLanes];
    alignas(32) std::int32_t field[4][N][kLanes];
    alignas(32) std::int32_t placed[4][N][kLanes];
    for (unsigned i = 0; i < N; ++i) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(at[i]), rank[i]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(field[0][i]),
                           _mm256_or_si256(c[i].cost, drop[i]));
        _mm256_store_si256(reinterpret_cast<__m256i*>(field[1][i]), c[i].pred);
        _mm256_store_si256(reinterpret_cast<__m256i*>(field[2][i]), c[i].index);
        _mm256_store_si256(reinterpret_cast<__m256i*>(field[3][i]), c[i].trace);
    }
    for (unsigned lane = 0; lane < kLanes; ++lane) {
        for (unsigned i = 0; i < N; ++i) {
            const auto r = static_cast<unsigned>(at[i][lane]);
            for (unsigned f = 0; f < 4; ++f)
                placed[f][r][lane] = field[f][i][lane];
        }
    }
    for (unsigned j = 0; j < W; ++j) {
        Candidate& k = kept[j];
        k.cost = Load(placed[0][j]);
        k.pred = Load(placed[1][j]);
        k.index = Load(placed[2][j]);
        k.trace = Load(placed[3][j]);
        if (j != 0) {
            const __m256i none = _mm256_cmpeq_epi32(k.cost, dead);
            k.pred = _mm256_blendv_epi8(k.pred, kept[0].pred, none);
            k.index = _mm256_blendv_epi8(k.index, kept[0].index, none);
            k.trace = _mm256_blendv_epi8(k.trace, kept[0].trace, none);
        }
    }
}

template <unsigned W, unsigned C>
void NarrowLanesAVX2(NarrowLanes& s) {
    const __m256i dead = Splat(-1);
    const __m256i flip = Splat(INT32_MIN);
    __m256i pred[W];
    __m256i index[W];
    __m256i cost[W];
    const __m256i x0 = Load(s.x[0]);
    for (unsigned j = 0; j < W; ++j) {
        const __m256i start = Load(s.start[j]);
        const __m256i none = _mm256_cmpgt_epi32(_mm256_setzero_si256(), start);
        pred[j] = x0;
        index[j] = _mm256_max_epi32(start, _mm256_setzero_si256());
        cost[j] = none;
    }
    __m256i plainPred = x0;
    __m256i plainAt = Load(s.plainStart);
    __m256i plainLo = _mm256_setzero_si256(), plainHi = _mm256_setzero_si256();
    __m256i baseLo = _mm256_setzero_si256(), baseHi = _mm256_setzero_si256();
    const __m256i counted = Load(s.counted);
    for (unsigned k = 0; k < 64; ++k) {
        const __m256i target = Load(s.x[k + 1]);
        const __m256i weight = _mm256_cmpgt_epi32(counted, Splat(std::int32_t(k)));
        const unsigned ahead = std::min(s.lookahead, 63 - k);  // samples looked ahead
        {                                                      // the plain coding rule
            const __m256i step = _mm256_i32gather_epi32(kStep32, plainAt, 4);
            const __m256i delta = _mm256_sub_epi32(target, plainPred);
            const __m256i mag = PlainMagnitude(step, delta);
            const __m256i change =
                _mm256_sign_epi32(Magnitude(step, mag), _mm256_or_si256(delta, Splat(1)));
            plainPred = Clamp16(_mm256_add_epi32(plainPred, change));
            plainAt = NextIndex(plainAt, mag);
            Accumulate(plainLo, plainHi,
                       _mm256_and_si256(Square(_mm256_sub_epi32(target, plainPred)), weight));
        }
        Candidate c[C * W];
        for (unsigned j = 0; j < W; ++j) {
            const __m256i step = _mm256_i32gather_epi32(kStep32, index[j], 4);
            const __m256i delta = _mm256_sub_epi32(target, pred[j]);
            const __m256i ad = _mm256_abs_epi32(delta);
            const __m256i eighth = _mm256_srai_epi32(step, 3);
            // As WindowStart for two positions: the lower bracket, 0..14.
            const __m256i m = _mm256_min_epi32(
                PlainMagnitude(step, _mm256_add_epi32(_mm256_sub_epi32(ad, eighth), Splat(1))),
                Splat(6));
            const __m256i negative = _mm256_cmpgt_epi32(_mm256_setzero_si256(), delta);
            __m256i lower = _mm256_blendv_epi8(_mm256_add_epi32(Splat(8), m),
                                               _mm256_sub_epi32(Splat(6), m), negative);
            lower = _mm256_blendv_epi8(lower, Splat(7), _mm256_cmpgt_epi32(eighth, ad));
            lower = _mm256_min_epi32(_mm256_max_epi32(lower, _mm256_setzero_si256()), Splat(14));
            for (unsigned r = 0; r < C; ++r) {
                Candidate& n = c[C * j + r];
                __m256i pos = _mm256_add_epi32(lower, Splat(std::int32_t(r)));
                __m256i twice = _mm256_setzero_si256();
                if (r == 2) {  // the jump: magnitude 7 towards the sample, unless bracketing
                    pos = _mm256_andnot_si256(negative, Splat(15));
                    twice =
                        _mm256_or_si256(_mm256_cmpeq_epi32(pos, lower),
                                        _mm256_cmpeq_epi32(pos, _mm256_add_epi32(lower, Splat(1))));
                }
                const __m256i below = _mm256_cmpgt_epi32(Splat(8), pos);  // codes 15..8
                const __m256i mag = _mm256_blendv_epi8(_mm256_sub_epi32(pos, Splat(8)),
                                                       _mm256_sub_epi32(Splat(7), pos), below);
                const __m256i change = Magnitude(step, mag);
                n.pred = Clamp16(_mm256_add_epi32(
                    pred[j], _mm256_sub_epi32(_mm256_xor_si256(change, below), below)));
                const __m256i sum = _mm256_add_epi32(
                    cost[j], _mm256_and_si256(Square(_mm256_sub_epi32(target, n.pred)), weight));
                // Dropped on a carry (sum below the state's cost) or on reaching kDeadCost.
                const __m256i carried =
                    _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(sum, cost[j]), sum), dead);
                n.cost = _mm256_or_si256(_mm256_or_si256(sum, twice),
                                         _mm256_or_si256(carried, _mm256_cmpeq_epi32(sum, dead)));
                n.index = NextIndex(index[j], mag);
                n.order = _mm256_xor_si256(n.cost, flip);
                if (ahead != 0) {  // ranked by the cost and the plain rule's next errors
                    __m256i rank = n.cost;
                    __m256i aheadPred = n.pred;
                    __m256i aheadIndex = n.index;
                    for (unsigned d = 0; d < ahead; ++d) {
                        const __m256i after = Load(s.x[k + 2 + d]);
                        const __m256i step2 = _mm256_i32gather_epi32(kStep32, aheadIndex, 4);
                        const __m256i delta2 = _mm256_sub_epi32(after, aheadPred);
                        const __m256i mag2 = PlainMagnitude(step2, delta2);
                        aheadPred = Clamp16(_mm256_add_epi32(
                            aheadPred, _mm256_sign_epi32(Magnitude(step2, mag2),
                                                         _mm256_or_si256(delta2, Splat(1)))));
                        aheadIndex = NextIndex(aheadIndex, mag2);
                        const __m256i weight2 =
                            _mm256_cmpgt_epi32(counted, Splat(std::int32_t(k + 1 + d)));
                        const __m256i more =
                            _mm256_and_si256(Square(_mm256_sub_epi32(after, aheadPred)), weight2);
                        const __m256i total = _mm256_add_epi32(rank, more);
                        const __m256i over = _mm256_or_si256(
                            _mm256_xor_si256(
                                _mm256_cmpeq_epi32(_mm256_max_epu32(total, rank), total), dead),
                            _mm256_cmpeq_epi32(total, dead));
                        rank = _mm256_blendv_epi8(total, Splat(-2), over);
                    }
                    rank = _mm256_blendv_epi8(rank, dead, _mm256_cmpeq_epi32(n.cost, dead));
                    n.order = _mm256_xor_si256(rank, flip);
                }
                const __m256i shift = _mm256_i32gather_epi32(s.mergeShift, n.index, 4);
                n.key = _mm256_or_si256(
                    _mm256_slli_epi32(
                        _mm256_srlv_epi32(_mm256_add_epi32(n.pred, Splat(32768)), shift), 7),
                    n.index);
                n.trace = _mm256_or_si256(_mm256_or_si256(mag, _mm256_and_si256(below, Splat(8))),
                                          Splat(std::int32_t(j << 4)));
            }
        }
        Candidate kept[W]{};
        if constexpr (W >= kRankFrom)
            KeepByRank<W, C>(c, kept, s.perIndex);
        else
            KeepByRounds<W, C>(c, kept, s.perIndex);
        // Costs relative to the cheapest kept state (the first, unless ranked with a look ahead).
        __m256i least = kept[0].cost;
        for (unsigned j = 1; j < W; ++j)
            least = _mm256_min_epu32(least, kept[j].cost);
        Accumulate(baseLo, baseHi, least);
        for (unsigned j = 0; j < W; ++j) {
            pred[j] = kept[j].pred;
            index[j] = kept[j].index;
            const __m256i none = _mm256_cmpeq_epi32(kept[j].cost, dead);
            cost[j] = _mm256_or_si256(_mm256_sub_epi32(kept[j].cost, least), none);
            Store(s.trace[k][j], kept[j].trace);
        }
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.cost), baseLo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.cost + 4), baseHi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.plainError), plainLo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.plainError + 4), plainHi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.plainEnd), plainAt);
}

// The widths the quality levels use, each with and without the jump; other widths run the
// portable loops.
template <unsigned... W>
void NarrowWidth(NarrowLanes& s, unsigned width, std::integer_sequence<unsigned, W...>) {
    const bool jump = s.jumps != 0;
    const bool done = ((width == W ? (jump ? NarrowLanesAVX2<W, 3>(s) : NarrowLanesAVX2<W, 2>(s)),
                        true       : false) ||
                       ...);
    if (!done)
        avx2::Narrow(s, width);
}

void NarrowAVX2(NarrowLanes& s, unsigned width) {
    NarrowWidth(s, width, std::integer_sequence<unsigned, 2, 3, 4, 6, 8, 12, 16, 24, 32>{});
}

}  // namespace

SearchKernels AVX2SearchKernels() {
    return {&avx2::ScanStarts, &avx2::Expand, &NarrowAVX2};
}

}  // namespace imabox::search_detail
