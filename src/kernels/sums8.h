#pragma once
// The reduction trees that end every dot product of the AVX2 and AVX-512 tables: the 8 lanes of
// a chain total (chain 0 + chain 1, lane by lane) folded as lane i + lane i ^ 4, then i ^ 2,
// then i ^ 1, the lower lane always the first operand. One copy for both tables, so that their
// scores cannot drift apart: the AVX-512 functions that include it run these with AVX2 code.
// Internal linkage and an AVX2 region of its own: no instance of it is shared between files,
// so none can end up on a path that runs without AVX.
#include <immintrin.h>

#include <cstddef>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace quantelle {
namespace {

[[gnu::always_inline]] inline float total8(__m256 v) {
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return _mm_cvtss_f32(_mm_add_ss(s2, _mm_movehdup_ps(s2)));
}

// total8 of eight vectors at once, each add shared by eight totals: out[k] = total8(v[k]) for
// k < 8.
// The same adds with the same operands in the same order, only side by side.
[[gnu::always_inline]] inline void totals8(const __m256* v, float* out) {
  __m256 s4[4], s2[2];
#pragma GCC unroll 4
  for (std::size_t p = 0; p < 4; ++p) {  // [v lanes 0-3 + 4-7 | w lanes 0-3 + 4-7]
    const __m256 a = v[2 * p], b = v[2 * p + 1];
    s4[p] = _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
  }
#pragma GCC unroll 2
  for (std::size_t p = 0; p < 2; ++p) {  // lanes 0, 1 of each s4 plus its lanes 2, 3
    const __m256 a = s4[2 * p], b = s4[2 * p + 1];
    s2[p] = _mm256_add_ps(_mm256_shuffle_ps(a, b, 0x44), _mm256_shuffle_ps(a, b, 0xEE));
  }
  // Lane 0 of each s2 plus its lane 1: totals of v0, v2, v4, v6 | v1, v3, v5, v7.
  const __m256 t = _mm256_add_ps(_mm256_shuffle_ps(s2[0], s2[1], 0x88),
                                 _mm256_shuffle_ps(s2[0], s2[1], 0xDD));
  _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(t, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// The Gram tiles' tree, which is not dot's: one 8-lane chain per pair, totalled as
// ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)). Eight chains, then four, in natural order:
// pairwise horizontal adds, then the two 128-bit halves (9 and 5 instructions where separate
// totals take 7 each).
[[gnu::always_inline]] inline void gram_totals8(const __m256* v, float* out) {
  const __m256 q0 = _mm256_hadd_ps(_mm256_hadd_ps(v[0], v[1]), _mm256_hadd_ps(v[2], v[3]));
  const __m256 q1 = _mm256_hadd_ps(_mm256_hadd_ps(v[4], v[5]), _mm256_hadd_ps(v[6], v[7]));
  _mm256_storeu_ps(out, _mm256_add_ps(_mm256_permute2f128_ps(q0, q1, 0x20),
                                      _mm256_permute2f128_ps(q0, q1, 0x31)));
}
[[gnu::always_inline]] inline void gram_totals4(const __m256* v, float* out) {
  const __m256 q = _mm256_hadd_ps(_mm256_hadd_ps(v[0], v[1]), _mm256_hadd_ps(v[2], v[3]));
  _mm_storeu_ps(out, _mm_add_ps(_mm256_castps256_ps128(q), _mm256_extractf128_ps(q, 1)));
}

}  // namespace
}  // namespace quantelle

#pragma GCC pop_options
