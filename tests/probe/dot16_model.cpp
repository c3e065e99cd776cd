// The AVX-512 table's kernels on a model of its registers: the loops of kernels/dot16.inc with
// each 16-lane primitive written out lane by lane (std::fma rounds once, as the instruction
// does). Any CPU runs it, so the claim that the 16-lane arithmetic is the AVX2 table's, tails
// and trees included, is tested even where AVX-512 is missing.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/fault.h"
#include "kernels/dot_tiles.h"
#include "kernels/gram_tiles.h"
#include "kernels/kernels.h"

namespace quantelle {
namespace {

struct Ops {
  struct V {
    float lane[16];
  };
  struct Tail {
    std::size_t loaded, touched;  // lanes read; lanes given an FMA (the others keep their value)
  };

  static Tail tail(std::size_t t) { return {t, t > 8 ? 16u : 8u}; }
  static V zero() { return {}; }
  static V load(const float* p) { return load(p, {16, 16}); }
  static V load(const float* p, Tail t) {
    V v{};
    for (std::size_t j = 0; j < t.loaded; ++j) v.lane[j] = p[j];
    return v;
  }
  static void hold(V&) {}
  struct Join {
    std::size_t m;
  };
  static Join join_by(std::size_t m) { return {m}; }
  static V load_aligned(const float* p) { return load(p); }
  static V load_from(const float* p, const Join& j) {
    V v{};
    for (std::size_t k = j.m; k < 16; ++k) v.lane[k] = p[k];
    return v;
  }
  static V load_upto(const float* p, const Join& j) { return load(p, {j.m, 16}); }
  static V joined(V a, V b, const Join& j) {
    V v{};
    for (std::size_t k = 0; k < 16; ++k) v.lane[k] = k + j.m < 16 ? a.lane[k + j.m] : b.lane[k + j.m - 16];
    return v;
  }
  static V fma(V a, V b, V c) { return fma(a, b, c, {16, 16}); }
  static V fma(V a, V b, V c, Tail t) {
    for (std::size_t j = 0; j < t.touched; ++j) c.lane[j] = std::fma(a.lane[j], b.lane[j], c.lane[j]);
    return c;
  }
  // dot's tree: the chains added lane by lane, then lane i + lane i ^ 4, i ^ 2, i ^ 1.
  static float total(V v) {
    float s[8];
    for (std::size_t j = 0; j < 8; ++j) s[j] = v.lane[j] + v.lane[j + 8];
    return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
  }
  static void totals(const V* v, float* out) {
    for (std::size_t k = 0; k < 8; ++k) out[k] = total(v[k]);
  }

  static V pair(const float* lo, const float* hi, std::size_t n) {
    V v{};
    for (std::size_t j = 0; j < n; ++j) v.lane[j] = lo[j], v.lane[8 + j] = hi[j];
    return v;
  }
  static V pair(const float* lo, const float* hi) { return pair(lo, hi, 8); }
  static V both(const float* p) { return pair(p, p, 8); }
  static V both(const float* p, std::size_t n) { return pair(p, p, n); }
  // The Gram tiles' tree, each half: ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)).
  static void pair_totals(const V* v, float* out) {
    for (std::size_t k = 0; k < 8; ++k) {
      const float* l = v[k / 2].lane + 8 * (k % 2);
      out[k] = ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
    }
  }
};

#include "kernels/dot16.inc"

}  // namespace

extern const KernelTable kAvx512ModelTable;
const KernelTable kAvx512ModelTable{"avx512-model", kDot16, kDotBlock16, kDotTile16, kGram16};

}  // namespace quantelle
