// AVX2 + FMA kernels. A dot product keeps two 8-lane FMA chains (element i in chain
// (i / 8) % 2) and ends with one fixed reduction tree. dot_block scores up to four rows side by
// side to share each query load among them, and dot_tile several rows by several queries, but
// every (row, query) pair runs the same per-pair sequence as dot, so a row's score is
// bit-identical whatever block, tile or neighbours it comes with. The AVX-512 table computes
// these same bits (kernels/dot16.inc); both end with the trees of kernels/sums8.h.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/fault.h"
#include "kernels/dot_tiles.h"
#include "kernels/gram_tiles.h"
#include "kernels/kernels.h"
#include "kernels/sums8.h"

namespace quantelle {
namespace {

constexpr std::size_t kLanes = 8;
// Two chains: a block of four rows keeps 8 independent chains in flight (FMA latency 4 cycles,
// two FMA pipes); with two or three queries, one chain at a time keeps 8 or 12 and fits the 16
// registers (12 accumulators, 3 query registers, 1 row register).
constexpr std::size_t kChains = 2;
constexpr std::size_t kStep = kChains * kLanes;

// Eight -1 then eight 0: the eight read from offset 8 - k enable the first k lanes.
alignas(64) constexpr std::int32_t kMaskWindow[2 * kLanes] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                              0,  0,  0,  0,  0,  0,  0,  0};

// Lanes past n are masked off: maskload reads nothing there (no fault past the end), adds +0.
[[gnu::target("avx2,fma")]] inline __m256i first_lanes(std::size_t k) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskWindow + (kLanes - k)));
}

template <bool Masked>
[[gnu::target("avx2,fma")]] inline __m256 load(const float* p, __m256i mask) {
  if constexpr (Masked) return _mm256_maskload_ps(p, mask);
  else return _mm256_loadu_ps(p);
}

// 8 elements at i of R rows against each of Q queries, into chain `acc`.
template <std::size_t R, std::size_t Q, bool Masked>
[[gnu::target("avx2,fma")]] inline void step(__m256 (&acc)[R][Q], const float* const* rows,
                                             const float* const* queries, std::size_t i,
                                             __m256i mask) {
  __m256 qv[Q];
#pragma GCC unroll 4
  for (std::size_t q = 0; q < Q; ++q) {
    qv[q] = load<Masked>(queries[q] + i, mask);
    // Held in a register for all R rows; left free, the compiler folds the query into every
    // FMA as a memory operand, which reloads it R times and undoes the blocking.
    if constexpr (R > 1) asm("" : "+x"(qv[q]));
  }
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) {
    const __m256 rv = load<Masked>(rows[r] + i, mask);
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) acc[r][q] = _mm256_fmadd_ps(rv, qv[q], acc[r][q]);
  }
}

// R rows against Q queries: out[r * Q + q] = dot(rows[r], queries[q]).
template <std::size_t R, std::size_t Q>
[[gnu::target("avx2,fma")]] inline void rows_dots(const float* const* rows,
                                                  const float* const* queries, std::size_t d,
                                                  float* out) {
  __m256 acc[kChains][R][Q];
#pragma GCC unroll 4
  for (std::size_t c = 0; c < kChains; ++c)
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
      for (std::size_t q = 0; q < Q; ++q) acc[c][r][q] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + kStep <= d; i += kStep) {
#pragma GCC unroll 4
    for (std::size_t c = 0; c < kChains; ++c)
      step<R, Q, false>(acc[c], rows, queries, i + c * kLanes, __m256i{});
  }
  // The tail continues each chain where the loop would have: lane j of chain c.
#pragma GCC unroll 4
  for (std::size_t c = 0; c < kChains; ++c) {
    const std::size_t at = i + c * kLanes;
    if (at + kLanes <= d) step<R, Q, false>(acc[c], rows, queries, at, __m256i{});
    else if (at < d) step<R, Q, true>(acc[c], rows, queries, at, first_lanes(d - at));
  }
  static_assert(kChains == 2);
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) out[r * Q + q] = total8(_mm256_add_ps(acc[0][r][q], acc[1][r][q]));
}

[[gnu::target("avx2,fma")]] float dot_avx2(const float* a, const float* b, std::size_t n) {
  float out;
  rows_dots<1, 1>(&a, &b, n, &out);
  return out;
}

// R rows against Q queries as rows_dots, a chain at a time: four rows by two or three queries
// need 8 or 12 accumulators, where both chains live would take 16 or 24. A pair's two chains
// are independent sums, so chain 0 may run ahead of chain 1: over each segment of kSegment
// floats, chain 0 and then chain 1, the other's accumulators parked in L1, each chain taking
// its FMAs in dot's order (its tail masked where dot's is). Segments rather than whole rows:
// a second pass over a whole row reads L1 alone and holds back the next rows' loads. On an
// AMD EPYC Zen 3 at 1M x 384, 4 rows by 3 queries in segments of 128 floats ran at 1.05-1.28 x
// the read floor, a pass per whole row at 1.12-1.35 x, 2 rows with both chains live at
// 1.19-1.41 x (best of 15 to 25 interleaved rounds, three runs on a busy machine).
constexpr std::size_t kSegment = 8 * kStep;

template <std::size_t R, std::size_t Q>
[[gnu::target("avx2,fma")]] inline void rows_dots_by_chain(const float* const* rows,
                                                           const float* const* queries,
                                                           std::size_t d, float* out) {
  __m256 parked[kChains][R][Q];
  __m256 acc[R][Q];
#pragma GCC unroll 4
  for (std::size_t c = 0; c < kChains; ++c)
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
      for (std::size_t q = 0; q < Q; ++q) parked[c][r][q] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + kSegment <= d; i += kSegment) {
#pragma GCC unroll 2
    for (std::size_t c = 0; c < kChains; ++c) {
      std::memcpy(acc, parked[c], sizeof acc);
#pragma GCC unroll 8
      for (std::size_t k = 0; k < kSegment; k += kStep)
        step<R, Q, false>(acc, rows, queries, i + k + c * kLanes, __m256i{});
      std::memcpy(parked[c], acc, sizeof acc);
    }
  }
#pragma GCC unroll 2
  for (std::size_t c = 0; c < kChains; ++c) {
    std::memcpy(acc, parked[c], sizeof acc);
    std::size_t j = i + c * kLanes;
    for (; j + kLanes <= d; j += kStep) step<R, Q, false>(acc, rows, queries, j, __m256i{});
    if (j < d) step<R, Q, true>(acc, rows, queries, j, first_lanes(d - j));
    std::memcpy(parked[c], acc, sizeof acc);
  }
  static_assert(kChains == 2);
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q)
      out[r * Q + q] = total8(_mm256_add_ps(parked[0][r][q], parked[1][r][q]));
}

// Rows taken R at a time, the rest one by one. A block's neighbouring rows should come from
// different parts of the matrix: two adjacent rows read side by side ran at about 2/3 of the
// speed of one row after another, while rows of four separate runs read side by side beat it
// (scan_rows arranges its blocks so).
template <std::size_t R, std::size_t Q, bool ByChain = false>
[[gnu::target("avx2,fma")]] void block_of(const float* const* rows, std::size_t count,
                                          const float* const* queries, std::size_t d,
                                          float* out) {
  std::size_t r = 0;
  for (; r + R <= count; r += R) {
    if constexpr (ByChain) rows_dots_by_chain<R, Q>(rows + r, queries, d, out + r * Q);
    else rows_dots<R, Q>(rows + r, queries, d, out + r * Q);
  }
  for (; r < count; ++r) rows_dots<1, Q>(rows + r, queries, d, out + r * Q);
}

[[gnu::target("avx2,fma")]] void dot_block_avx2(const float* const* rows, std::size_t count,
                                                const float* const* queries, std::size_t nq,
                                                std::size_t d, float* out) {
  expect(count <= kBlockRows && nq <= kMaxQueries, "dot_block: block larger than the kernel");
  // Four rows side by side, four streams, whatever nq. Accumulators: 2 chains x 4 rows x
  // 1 query = 8; then a chain at a time, 4 x 2 = 8 and 4 x 3 = 12.
  if (nq == 1) block_of<4, 1>(rows, count, queries, d, out);
  else if (nq == 2) block_of<4, 2, true>(rows, count, queries, d, out);
  else if (nq == 3) block_of<4, 3, true>(rows, count, queries, d, out);
}

// Many queries: the two chains of a pair are independent sums, so a tile runs chain 0 over the
// whole row, then chain 1, each pair's FMAs in dot's order. With one accumulator per pair
// instead of two, 4 rows x 3 queries fit the 16 registers (12 accumulators, 3 queries, 1 row:
// 7 loads feed 12 FMAs). On an AMD EPYC Zen 3, 64 queries over 100,000 x 384 ran at 57 % of the
// FMA peak so; 4 x 3 beat 3 x 3 (52 %), 2 x 4 (44 %) and two live chains of 2 x 3 (47 %).
constexpr std::size_t kTileRows = 4, kTileCols = 3;

template <std::size_t R, std::size_t Q>
[[gnu::target("avx2,fma")]] inline void tile_chain(__m256 (&acc)[R][Q], const float* const* rows,
                                                   const float* const* queries, std::size_t d,
                                                   std::size_t chain) {
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) acc[r][q] = _mm256_setzero_ps();
  std::size_t i = chain * kLanes;
  for (; i + kLanes <= d; i += kStep) step<R, Q, false>(acc, rows, queries, i, __m256i{});
  if (i < d) step<R, Q, true>(acc, rows, queries, i, first_lanes(d - i));
}

[[gnu::target("avx2,fma")]] void dot_tile_of(const float* const* rows, const float* const* queries,
                                             std::size_t d,
                                             float (&vals)[kTileRows][kTileCols]) {
  constexpr std::size_t kPairs = kTileRows * kTileCols;
  __m256 first[kTileRows][kTileCols], second[kTileRows][kTileCols];
  tile_chain(first, rows, queries, d, 0);
  tile_chain(second, rows, queries, d, 1);
  __m256 sums[(kPairs + 7) / 8 * 8];
#pragma GCC unroll 16
  for (std::size_t p = 0; p < kPairs; ++p)
    sums[p] = _mm256_add_ps(first[p / kTileCols][p % kTileCols], second[p / kTileCols][p % kTileCols]);
  float* flat = &vals[0][0];
  std::size_t p = 0;
  for (; p + 8 <= kPairs; p += 8) totals8(sums + p, flat + p);
  for (; p < kPairs; ++p) flat[p] = total8(sums[p]);
}

// Gram tiles: 3 x 4 pairs, one 8-lane chain each (12 accumulators + 3 row registers + 1).
constexpr std::size_t kTileI = 3, kTileJ = 4, kTile = kTileI * kTileJ;
constexpr std::size_t kPanelBytes = 384 * 1024;

template <bool Masked>
[[gnu::target("avx2,fma")]] inline void tile_step(__m256 (&acc)[kTile],
                                                  const float* const* ri, const float* const* rj,
                                                  std::size_t k, __m256i mask) {
  __m256 a[kTileI];
#pragma GCC unroll 8
  for (std::size_t t = 0; t < kTileI; ++t) a[t] = load<Masked>(ri[t] + k, mask);
#pragma GCC unroll 8
  for (std::size_t u = 0; u < kTileJ; ++u) {
    const __m256 b = load<Masked>(rj[u] + k, mask);
#pragma GCC unroll 8
    for (std::size_t t = 0; t < kTileI; ++t)
      acc[t * kTileJ + u] = _mm256_fmadd_ps(a[t], b, acc[t * kTileJ + u]);
  }
}

[[gnu::target("avx2,fma")]] void gram_tile(const float* const* ri, const float* const* rj,
                                           std::size_t d, float (&out)[kTileI][kTileJ]) {
  __m256 acc[kTile];
#pragma GCC unroll 16
  for (std::size_t t = 0; t < kTile; ++t) acc[t] = _mm256_setzero_ps();
  std::size_t k = 0;
  for (; k + kLanes <= d; k += kLanes) tile_step<false>(acc, ri, rj, k, __m256i{});
  if (k < d) tile_step<true>(acc, ri, rj, k, first_lanes(d - k));
  static_assert(kTile == 12);
  gram_totals8(acc, &out[0][0]);
  gram_totals4(acc + 8, &out[0][0] + 8);
}

}  // namespace

extern const KernelTable kAvx2Table;
const KernelTable kAvx2Table{"avx2", dot_avx2, dot_block_avx2,
                             dot_tile_by_tiles<kTileRows, kTileCols, dot_tile_of>,
                             gram_by_tiles<kTileI, kTileJ, kPanelBytes, gram_tile>};

}  // namespace quantelle
