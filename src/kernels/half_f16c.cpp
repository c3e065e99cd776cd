// The F16C variant: eight float16 elements become eight float32 lanes in one conversion
// (exact), then FMA chains as in the float32 AVX2 kernels, four rows at a time. The scan is
// bound by memory plain and by the FMA ports with three queries, so each converted chunk feeds
// every query and each query chunk, loaded once into a register, every row: per chunk of four
// rows, 4 conversions, Q loads and 4 Q FMAs, against 4 Q loads before.
#include <immintrin.h>

#include "kernels/half.h"

#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c")

namespace quantelle {
namespace {

constexpr std::size_t kLanes = 8;

[[gnu::always_inline]] inline float total(__m256 v) {
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return _mm_cvtss_f32(_mm_add_ss(s2, _mm_movehdup_ps(s2)));
}

// The totals of four vectors: ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)) each, sharing
// the adds.
[[gnu::always_inline]] inline __m128 totals4(__m256 a, __m256 b, __m256 c, __m256 d) {
  const __m256 q = _mm256_hadd_ps(_mm256_hadd_ps(a, b), _mm256_hadd_ps(c, d));
  return _mm_add_ps(_mm256_castps256_ps128(q), _mm256_extractf128_ps(q, 1));
}

[[gnu::always_inline]] inline __m256 widen(const std::uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// R rows against Q queries, C chains each: R * Q * C accumulators (at most 12), the Q query
// chunks of a step in registers. out[q * kBlockRows + r].
template <std::size_t R, std::size_t Q, std::size_t C>
[[gnu::always_inline]] inline void rows_dots(const std::uint16_t* const* rows,
                                             const float* const* queries, std::size_t d,
                                             float* out) {
  constexpr std::size_t kStep = C * kLanes;
  __m256 acc[C][Q][R];
  for (std::size_t c = 0; c < C; ++c)
    for (std::size_t q = 0; q < Q; ++q)
      for (std::size_t r = 0; r < R; ++r) acc[c][q][r] = _mm256_setzero_ps();
  const std::uint16_t* row[R];
  for (std::size_t r = 0; r < R; ++r) row[r] = rows[r];
  std::size_t i = 0;
  for (; i + kStep <= d; i += kStep) {
    for (std::size_t c = 0; c < C; ++c) {
      __m256 qv[Q];
      for (std::size_t q = 0; q < Q; ++q) qv[q] = _mm256_loadu_ps(queries[q] + i + c * kLanes);
      for (std::size_t r = 0; r < R; ++r) {
        const __m256 x = widen(row[r] + i + c * kLanes);
        for (std::size_t q = 0; q < Q; ++q) acc[c][q][r] = _mm256_fmadd_ps(x, qv[q], acc[c][q][r]);
      }
    }
  }
  for (; i + kLanes <= d; i += kLanes) {  // whole lanes left over: chain 0
    for (std::size_t q = 0; q < Q; ++q) {
      const __m256 qv = _mm256_loadu_ps(queries[q] + i);
      for (std::size_t r = 0; r < R; ++r)
        acc[0][q][r] = _mm256_fmadd_ps(widen(row[r] + i), qv, acc[0][q][r]);
    }
  }
  for (std::size_t q = 0; q < Q; ++q) {
    __m256 sum[R];
    for (std::size_t r = 0; r < R; ++r) {
      sum[r] = acc[0][q][r];
      for (std::size_t c = 1; c < C; ++c) sum[r] = _mm256_add_ps(sum[r], acc[c][q][r]);
    }
    float s[R];
    if constexpr (R == 4) _mm_storeu_ps(s, totals4(sum[0], sum[1], sum[2], sum[3]));
    else for (std::size_t r = 0; r < R; ++r) s[r] = total(sum[r]);
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t t = i; t < d; ++t) s[r] += half_to_float(row[r][t]) * queries[q][t];  // never past d
      out[q * kBlockRows + r] = s[r];
    }
  }
}

// Four rows side by side (one from each run of the scan); one query takes two chains per row
// so that eight FMAs are in flight.
template <std::size_t Q>
void block_of(const std::uint16_t* const* rows, std::size_t count, const float* const* queries,
              std::size_t d, float* out) {
  constexpr std::size_t kChains = Q == 1 ? 2 : 1;
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) rows_dots<4, Q, kChains>(rows + r, queries, d, out + r);
  for (; r < count; ++r) rows_dots<1, Q, 2>(rows + r, queries, d, out + r);
}

void dot_block_f16c(const std::uint16_t* const* rows, std::size_t count,
                    const float* const* queries, std::size_t nq, std::size_t d, float* out) {
  if (nq == 1) block_of<1>(rows, count, queries, d, out);
  else if (nq == 2) block_of<2>(rows, count, queries, d, out);
  else block_of<3>(rows, count, queries, d, out);
}

}  // namespace

const HalfKernel kHalfF16c{"avx2", &dot_block_f16c};

}  // namespace quantelle

#pragma GCC pop_options
