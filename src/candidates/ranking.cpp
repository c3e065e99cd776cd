#include "candidates/ranking.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quantelle {
namespace {

struct Ranked {
  float score;
  std::uint64_t position;
};

// A closure, not a function pointer, so that the heap and the sort inline it.
constexpr auto before = [](const Ranked& a, const Ranked& b) noexcept {
  return score_order(a.score, a.position, b.score, b.position);
};

}  // namespace

std::vector<std::uint64_t> top_k_indices(std::span<const float> s, std::uint64_t k) {
  // Scores of -inf and NaN rank last and are dropped at the end, so they can never displace a
  // finite score: leaving them out of the selection gives the same result. +inf ranks first and
  // does take a place before it is dropped.
  constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
  std::vector<Ranked> best;
  if (k == 0) return {};
  if (k < s.size()) {
    // Bounded selection in one pass: a heap of the k best so far, worst on top. Positions come
    // in ascending order, so a later equal score never displaces an earlier one.
    best.reserve(static_cast<std::size_t>(k));
    std::size_t p = 0;
    for (; p < s.size() && best.size() < k; ++p) {
      if (s[p] > kMinusInf) {
        best.push_back({s[p], p});
        std::push_heap(best.begin(), best.end(), before);
      }
    }
    // Here either every position was seen or the heap is full.
    for (; p < s.size(); ++p) {
      if (s[p] > best.front().score) [[unlikely]] {
        std::pop_heap(best.begin(), best.end(), before);
        best.back() = {s[p], p};
        std::push_heap(best.begin(), best.end(), before);
      }
    }
  } else {
    best.reserve(s.size());
    for (std::size_t p = 0; p < s.size(); ++p) {
      if (s[p] > kMinusInf) best.push_back({s[p], p});
    }
  }
  std::sort(best.begin(), best.end(), before);
  std::vector<std::uint64_t> out;
  out.reserve(best.size());
  for (const Ranked& r : best) {
    if (std::isfinite(r.score)) out.push_back(r.position);
  }
  return out;
}

}  // namespace quantelle
