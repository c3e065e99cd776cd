// AVX-512 kernels. A dot product keeps four 16-lane FMA chains (chain c takes elements
// 64k+16c..64k+16c+15) and ends with one fixed reduction tree; dot is dot_block on one row, so
// a row's score is bit-identical whatever block it is scored in.
#include <immintrin.h>

#include <cstddef>

#include "core/fault.h"
#include "kernels/gram_tiles.h"
#include "kernels/kernels.h"

namespace quantelle {
namespace {

constexpr std::size_t kLanes = 16;
// Four chains keep enough independent FMAs in flight for a row read from memory to stream at
// the read bandwidth; with two, the FMA latency showed as a 10-15 % slower pass.
constexpr std::size_t kChains = 4;

// Lanes past n are masked off: they read nothing (no fault past the end) and add +0.
[[gnu::target("avx512f")]] inline __mmask16 first_lanes(std::size_t k) {
  return static_cast<__mmask16>((1u << k) - 1u);
}

template <bool Masked>
[[gnu::target("avx512f")]] inline __m512 load(const float* p, __mmask16 mask) {
  if constexpr (Masked) return _mm512_maskz_loadu_ps(mask, p);
  else return _mm512_loadu_ps(p);
}

// Each 16-lane chunk is walked as two 8-lane halves. On cores that execute 512-bit operations
// as two 256-bit ones, a scan issuing 256-bit loads streamed a matrix from memory 10-15 %
// faster than one issuing 512-bit loads (with the query in registers or not). Lane j of a chain
// is lane j % 8 of its low or high half, and the reduction's first step adds the two halves
// (lane i to lane i ^ 8 of the 16-lane sum). AVX-512VL gives the 32 registers three queries need.
template <bool Masked>
[[gnu::target("avx512f,avx512vl,fma")]] inline __m256 load_half(const float* p, __mmask8 mask) {
  if constexpr (Masked) return _mm256_maskz_loadu_ps(mask, p);
  else return _mm256_loadu_ps(p);
}

// 16 elements of one row against each of Q queries, into one chain's two halves.
template <std::size_t Q, bool Masked>
[[gnu::target("avx512f,avx512vl,fma")]] inline void half_step(__m256 (&lo)[Q], __m256 (&hi)[Q],
                                                          const float* row,
                                                          const float* const* queries,
                                                          std::size_t i, __mmask16 mask) {
  const auto low = static_cast<__mmask8>(mask & 0xFF), high = static_cast<__mmask8>(mask >> 8);
  const __m256 a = load_half<Masked>(row + i, low);
#pragma GCC unroll 4
  for (std::size_t q = 0; q < Q; ++q) {
    lo[q] = _mm256_fmadd_ps(a, load_half<Masked>(queries[q] + i, low), lo[q]);
    // Keep the row's loads in address order; left free, the compiler ran chain by chain,
    // hopping through the row, and the scan streamed at about half the rate.
    asm volatile("" : "+v"(lo[q]));
  }
  // A short tail may end in the low half. Skipping the empty high half keeps the bits: a chain
  // starts at +0 and is never -0, so adding the +0 of an empty lane changes nothing.
  if (Masked && high == 0) return;
  const __m256 b = load_half<Masked>(row + i + 8, high);
#pragma GCC unroll 4
  for (std::size_t q = 0; q < Q; ++q) {
    hi[q] = _mm256_fmadd_ps(b, load_half<Masked>(queries[q] + i + 8, high), hi[q]);
    asm volatile("" : "+v"(hi[q]));
  }
}

// The chains' total in one fixed order: ((c0 + c1) + (c2 + c3)) lane by lane, then the halves
// (i ^ 8), and i ^ 4, i ^ 2, i ^ 1.
[[gnu::target("avx512f,avx512vl,fma")]] inline float total_halves(const __m256 (&lo)[kChains],
                                                              const __m256 (&hi)[kChains]) {
  const __m256 l = _mm256_add_ps(_mm256_add_ps(lo[0], lo[1]), _mm256_add_ps(lo[2], lo[3]));
  const __m256 h = _mm256_add_ps(_mm256_add_ps(hi[0], hi[1]), _mm256_add_ps(hi[2], hi[3]));
  const __m256 s8 = _mm256_add_ps(l, h);
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return _mm_cvtss_f32(_mm_add_ss(s2, _mm_movehdup_ps(s2)));
}

template <std::size_t Q>
[[gnu::target("avx512f,avx512vl,fma")]] void rows_by_halves(const float* const* rows,
                                                        std::size_t count,
                                                        const float* const* queries,
                                                        std::size_t d, float* out) {
  static_assert(kChains == 4);
  for (std::size_t r = 0; r < count; ++r, out += Q) {
    const float* row = rows[r];
    __m256 lo[kChains][Q], hi[kChains][Q];
#pragma GCC unroll 4
    for (std::size_t c = 0; c < kChains; ++c)
#pragma GCC unroll 4
      for (std::size_t q = 0; q < Q; ++q) lo[c][q] = hi[c][q] = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + kChains * kLanes <= d; i += kChains * kLanes) {
#pragma GCC unroll 4
      for (std::size_t c = 0; c < kChains; ++c)
        half_step<Q, false>(lo[c], hi[c], row, queries, i + c * kLanes, 0xFFFF);
    }
#pragma GCC unroll 4
    for (std::size_t c = 0; c < kChains; ++c) {
      const std::size_t at = i + c * kLanes;
      if (at + kLanes <= d) half_step<Q, false>(lo[c], hi[c], row, queries, at, 0xFFFF);
      else if (at < d) half_step<Q, true>(lo[c], hi[c], row, queries, at, first_lanes(d - at));
    }
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) {
      __m256 l[kChains], h[kChains];
#pragma GCC unroll 4
      for (std::size_t c = 0; c < kChains; ++c) l[c] = lo[c][q], h[c] = hi[c][q];
      out[q] = total_halves(l, h);
    }
  }
}

// One path for dot and dot_block: dot is the block kernel on one row, so the two cannot drift.
[[gnu::target("avx512f,avx512vl,fma")]] float dot_avx512(const float* a, const float* b,
                                                         std::size_t n) {
  float out;
  rows_by_halves<1>(&a, 1, &b, n, &out);
  return out;
}

void dot_block_avx512(const float* const* rows, std::size_t count, const float* const* queries,
                      std::size_t nq, std::size_t d, float* out) {
  expect(count <= kBlockRows && nq <= kMaxQueries, "dot_block: block larger than the kernel");
  if (nq == 1) rows_by_halves<1>(rows, count, queries, d, out);
  else if (nq == 2) rows_by_halves<2>(rows, count, queries, d, out);
  else if (nq == 3) rows_by_halves<3>(rows, count, queries, d, out);
}

// Gram tiles: 6 x 4 pairs, one 16-lane chain each (24 accumulators + 6 row registers + 1).
// The 6 "i" rows stay in L1 while the "j" rows of a panel sized for L2 stream past them;
// at 2000 x 768 this shape ran about 10% faster than 4 x 6.
constexpr std::size_t kTileI = 6, kTileJ = 4, kTile = kTileI * kTileJ;
constexpr std::size_t kPanelBytes = 512 * 1024;

// Cross-lane moves in their maskz forms: GCC 12's unmasked shuffles start from an "undefined"
// register that trips -Wuninitialized in its own headers.
template <int Imm>
[[gnu::target("avx512f")]] inline __m512 blocks(__m512 a, __m512 b) {  // 128-bit blocks
  return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, Imm);
}
template <int Imm>
[[gnu::target("avx512f")]] inline __m512 lanes(__m512 a, __m512 b) {  // floats within blocks
  return _mm512_maskz_shuffle_ps(0xFFFF, a, b, Imm);
}
template <int ImmA, int ImmB, bool Blocks>
[[gnu::target("avx512f")]] inline __m512 fold(__m512 a, __m512 b) {
  if constexpr (Blocks) return _mm512_add_ps(blocks<ImmA>(a, b), blocks<ImmB>(a, b));
  else return _mm512_add_ps(lanes<ImmA>(a, b), lanes<ImmB>(a, b));
}

// Totals of 16 vectors in one, lane 4k + j holding the total of v[4j + k]: each fold halves
// the vectors and the lanes per vector, 45 operations where 16 separate sums take 128.
[[gnu::target("avx512f")]] inline __m512 sum16(const __m512 (&v)[16]) {
  __m512 s1[8], s2[4], s3[2];
#pragma GCC unroll 8
  for (std::size_t p = 0; p < 8; ++p) s1[p] = fold<0x44, 0xEE, true>(v[2 * p], v[2 * p + 1]);
#pragma GCC unroll 4
  for (std::size_t p = 0; p < 4; ++p) s2[p] = fold<0x88, 0xDD, true>(s1[2 * p], s1[2 * p + 1]);
#pragma GCC unroll 2
  for (std::size_t p = 0; p < 2; ++p) s3[p] = fold<0x44, 0xEE, false>(s2[2 * p], s2[2 * p + 1]);
  return fold<0x88, 0xDD, false>(s3[0], s3[1]);
}

// Totals of 8 vectors, lane 4k + 2j holding the total of v[4j + k] (odd lanes unused).
[[gnu::target("avx512f")]] inline __m512 sum8(const __m512 (&v)[8]) {
  __m512 s1[4], s2[2];
#pragma GCC unroll 4
  for (std::size_t p = 0; p < 4; ++p) s1[p] = fold<0x44, 0xEE, true>(v[2 * p], v[2 * p + 1]);
#pragma GCC unroll 2
  for (std::size_t p = 0; p < 2; ++p) s2[p] = fold<0x88, 0xDD, true>(s1[2 * p], s1[2 * p + 1]);
  const __m512 s3 = fold<0x44, 0xEE, false>(s2[0], s2[1]);
  return _mm512_add_ps(s3, _mm512_maskz_permute_ps(0xFFFF, s3, 0xB1));
}

template <bool Masked>
[[gnu::target("avx512f")]] inline void tile_step(__m512 (&acc)[kTile], const float* const* ri,
                                                 const float* const* rj, std::size_t k,
                                                 __mmask16 mask) {
  __m512 a[kTileI];
#pragma GCC unroll 8
  for (std::size_t t = 0; t < kTileI; ++t) a[t] = load<Masked>(ri[t] + k, mask);
#pragma GCC unroll 8
  for (std::size_t u = 0; u < kTileJ; ++u) {
    const __m512 b = load<Masked>(rj[u] + k, mask);
#pragma GCC unroll 8
    for (std::size_t t = 0; t < kTileI; ++t)
      acc[t * kTileJ + u] = _mm512_fmadd_ps(a[t], b, acc[t * kTileJ + u]);
  }
}

[[gnu::target("avx512f")]] void gram_tile(const float* const* ri, const float* const* rj,
                                          std::size_t d, float (&out)[kTileI][kTileJ]) {
  __m512 acc[kTile];
#pragma GCC unroll 32
  for (std::size_t t = 0; t < kTile; ++t) acc[t] = _mm512_setzero_ps();
  std::size_t k = 0;
  for (; k + kLanes <= d; k += kLanes) tile_step<false>(acc, ri, rj, k, 0);
  if (k < d) tile_step<true>(acc, ri, rj, k, first_lanes(d - k));
  // Inputs fed in the transposed order of the lane maps above, so that totals come out in
  // the tile's own row-major order.
  __m512 first[16], rest[8];
#pragma GCC unroll 16
  for (std::size_t f = 0; f < 16; ++f) first[f] = acc[(f % 4) * 4 + f / 4];
#pragma GCC unroll 8
  for (std::size_t f = 0; f < 8; ++f) rest[f] = acc[16 + (f % 4) * 2 + f / 4];
  float* flat = &out[0][0];
  _mm512_storeu_ps(flat, sum16(first));
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 0, 0, 0, 0, 0, 0, 0, 0);
  _mm512_mask_storeu_ps(flat + 16, 0x00FF, _mm512_maskz_permutexvar_ps(0xFFFF, even, sum8(rest)));
}

}  // namespace

extern const KernelTable kAvx512Table;
const KernelTable kAvx512Table{"avx512", dot_avx512, dot_block_avx512,
                                 gram_by_tiles<kTileI, kTileJ, kPanelBytes, gram_tile>};

}  // namespace quantelle
