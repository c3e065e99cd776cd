// AVX-512 kernels: the AVX2 table's arithmetic, bit for bit, on 16-lane registers with 512-bit
// loads (kernels/dot16.inc has the loops and why the bits agree). Since the two tables cannot
// give different results, which of them runs is a matter of speed alone (kernels/choice.cpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/fault.h"
#include "kernels/dot_tiles.h"
#include "kernels/gram_tiles.h"
#include "kernels/kernels.h"
#include "kernels/sums8.h"

// AVX-512F for the registers and masks, VL for masked 256-bit loads, AVX2 for the shared trees.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx2,fma")

namespace quantelle {
namespace {

// Cross-lane moves in their maskz forms: GCC 12's unmasked ones start from an "undefined"
// register that trips -Wuninitialized in its own headers.
struct Ops {
  using V = __m512;
  struct Tail {
    __mmask16 load, fma;
  };

  static Tail tail(std::size_t t) {
    // Lanes 8-15 are chain 1, which the AVX2 tail touches only past its 8th element.
    return {static_cast<__mmask16>((1u << t) - 1u), static_cast<__mmask16>(t > 8 ? 0xFFFF : 0x00FF)};
  }
  static V zero() { return _mm512_setzero_ps(); }
  static V load(const float* p) { return _mm512_loadu_ps(p); }
  static V load(const float* p, Tail t) { return _mm512_maskz_loadu_ps(t.load, p); }
  static void hold(V& v) { asm("" : "+v"(v)); }
  static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
  static V fma(V a, V b, V c, Tail t) { return _mm512_mask3_fmadd_ps(a, b, c, t.fma); }

  struct Join {
    __m512i index;  // lane j takes lane j + m of (a, b)
    __mmask16 head;  // lanes below m
  };
  static Join join_by(std::size_t m) {
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return {_mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(m))),
            static_cast<__mmask16>((1u << m) - 1u)};
  }
  static V load_aligned(const float* p) { return _mm512_load_ps(p); }
  static V load_from(const float* p, const Join& j) {
    return _mm512_maskz_load_ps(static_cast<__mmask16>(~j.head), p);
  }
  static V load_upto(const float* p, const Join& j) { return _mm512_maskz_load_ps(j.head, p); }
  static V joined(V a, V b, const Join& j) { return _mm512_permutex2var_ps(a, j.index, b); }

  template <int Half>
  static __m256 half(V v) {
    return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, _mm512_castps_pd(v), Half));
  }
  static __m256 low(V v) { return half<0>(v); }
  static __m256 high(V v) { return half<1>(v); }
  static float total(V v) { return total8(_mm256_add_ps(low(v), high(v))); }  // chain 0 first
  static void totals(const V* v, float* out) {
    __m256 chains[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) chains[k] = _mm256_add_ps(low(v[k]), high(v[k]));
    totals8(chains, out);
  }

  static V halves(__m256 lo, __m256 hi) {
    return _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, _mm512_castps_pd(_mm512_castps256_ps512(lo)),
                                                     _mm256_castps_pd(hi), 1));
  }
  static __m256 first8(const float* p, std::size_t n) {
    return _mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << n) - 1u), p);
  }
  static V twice(__m256 v) {
    return _mm512_castpd_ps(_mm512_maskz_broadcast_f64x4(0xFF, _mm256_castps_pd(v)));
  }
  static V both(const float* p) { return twice(_mm256_loadu_ps(p)); }
  static V both(const float* p, std::size_t n) { return twice(first8(p, n)); }
  static V pair(const float* lo, const float* hi) {
    return halves(_mm256_loadu_ps(lo), _mm256_loadu_ps(hi));
  }
  static V pair(const float* lo, const float* hi, std::size_t n) {
    return halves(first8(lo, n), first8(hi, n));
  }
  static void pair_totals(const V* v, float* out) {
    const __m256 chains[8] = {low(v[0]), high(v[0]), low(v[1]), high(v[1]),
                              low(v[2]), high(v[2]), low(v[3]), high(v[3])};
    gram_totals8(chains, out);
  }
};

#include "kernels/dot16.inc"

}  // namespace

extern const KernelTable kAvx512Table;
const KernelTable kAvx512Table{"avx512", kDot16, kDotBlock16, kDotTile16, kGram16};

}  // namespace quantelle

#pragma GCC pop_options
