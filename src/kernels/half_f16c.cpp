// The F16C variant: eight float16 elements become eight float32 lanes in one conversion
// (exact), then FMA chains as in the float32 AVX2 kernels, two rows at a time.
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

[[gnu::always_inline]] inline __m256 widen(const std::uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// R rows against Q queries: each converted chunk serves every query, each query load every
// row (folded into the FMA as its memory operand), so that R * Q * kChains chains are in flight.
template <std::size_t R, std::size_t Q>
void rows_dots(const std::uint16_t* const* rows, const float* const* queries, std::size_t d,
               float* out) {
  constexpr std::size_t kChains = R * Q == 1 ? 4 : 2, kStep = kChains * kLanes;
  __m256 acc[R][Q][kChains];
  for (std::size_t r = 0; r < R; ++r)
    for (std::size_t q = 0; q < Q; ++q)
      for (std::size_t c = 0; c < kChains; ++c) acc[r][q][c] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + kStep <= d; i += kStep) {
#pragma GCC unroll 4
    for (std::size_t c = 0; c < kChains; ++c) {
      for (std::size_t r = 0; r < R; ++r) {
        const __m256 x = widen(rows[r] + i + c * kLanes);
        for (std::size_t q = 0; q < Q; ++q)
          acc[r][q][c] = _mm256_fmadd_ps(x, _mm256_loadu_ps(queries[q] + i + c * kLanes), acc[r][q][c]);
      }
    }
  }
  for (; i + kLanes <= d; i += kLanes) {  // whole lanes left over: chain 0
    for (std::size_t r = 0; r < R; ++r) {
      const __m256 x = widen(rows[r] + i);
      for (std::size_t q = 0; q < Q; ++q)
        acc[r][q][0] = _mm256_fmadd_ps(x, _mm256_loadu_ps(queries[q] + i), acc[r][q][0]);
    }
  }
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t q = 0; q < Q; ++q) {
      __m256 sum = acc[r][q][0];
      for (std::size_t c = 1; c < kChains; ++c) sum = _mm256_add_ps(sum, acc[r][q][c]);
      float s = total(sum);
      for (std::size_t t = i; t < d; ++t) s += half_to_float(rows[r][t]) * queries[q][t];  // never past d
      out[r * Q + q] = s;
    }
  }
}

// One query: four rows side by side (one from each run of the scan); more: two.
template <std::size_t Q>
void block_of(const std::uint16_t* const* rows, std::size_t count, const float* const* queries,
              std::size_t d, float* out) {
  constexpr std::size_t kSide = Q == 1 ? 4 : 2;
  std::size_t r = 0;
  for (; r + kSide <= count; r += kSide) rows_dots<kSide, Q>(rows + r, queries, d, out + r * Q);
  for (; r < count; ++r) rows_dots<1, Q>(rows + r, queries, d, out + r * Q);
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
