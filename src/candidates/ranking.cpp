#include "candidates/ranking.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace quantelle {
namespace {

struct Ranked {
  float score;
  std::uint64_t position;
};

bool before(const Ranked& a, const Ranked& b) noexcept {
  return score_order(a.score, a.position, b.score, b.position);
}

// Where k is a large share of the scores (a diverse pool), the heap would take most scores in
// and out; a linear selection and a sort on integer keys cost less.
constexpr std::size_t kKeyedShare = 16;

// Leaves the k smallest keys (k < keys.size()) in keys, in any order. Comparison-based selection
// mispredicts a branch on about every other key; instead one counting pass over buckets of the
// range of scores finds the bucket holding the k-th key, every key below it is in, and only the
// keys in that bucket are compared.
void select_smallest(std::vector<std::uint64_t>& keys, std::size_t k) {
  const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
  const std::uint64_t base = *low >> 32, range = (*high >> 32) - base + 1;
  const std::size_t buckets = std::clamp<std::size_t>(keys.size() / 4, 16, 4096);
  const auto bucket = [&](std::uint64_t key) {
    return static_cast<std::size_t>(((key >> 32) - base) * buckets / range);
  };
  std::vector<std::uint32_t> count(buckets, 0);
  for (const std::uint64_t key : keys) ++count[bucket(key)];
  std::size_t at = 0, below = 0;  // the bucket of the k-th key, and how many keys come before it
  while (below + count[at] < k) below += count[at++];
  std::vector<std::uint64_t> in(below + 1), edge(count[at] + 1);
  std::size_t taken = 0, tied = 0;
  for (const std::uint64_t key : keys) {  // branch-free: every key is written, kept or not
    const std::size_t b = bucket(key);
    in[taken] = key;
    taken += b < at;
    edge[tied] = key;
    tied += b == at;
  }
  const auto need = static_cast<std::ptrdiff_t>(k - below);
  std::nth_element(edge.begin(), edge.begin() + need, edge.begin() + static_cast<std::ptrdiff_t>(tied));
  in.resize(below);
  in.insert(in.end(), edge.begin(), edge.begin() + need);
  keys = std::move(in);
}

std::vector<std::uint64_t> top_k_by_keys(std::span<const float> s, std::size_t k, bool sorted) {
  constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
  std::vector<std::uint64_t> keys;
  keys.reserve(s.size());
  for (std::size_t p = 0; p < s.size(); ++p) {
    if (s[p] > kMinusInf) keys.push_back(rank_key(s[p], p));
  }
  if (k < keys.size()) select_smallest(keys, k);
  if (sorted) std::sort(keys.begin(), keys.end());
  std::vector<std::uint64_t> out;
  out.reserve(keys.size());
  for (const std::uint64_t key : keys) {
    const std::uint64_t p = key & 0xFFFFFFFFu;
    if (std::isfinite(s[p])) out.push_back(p);
  }
  return out;
}

bool keyed(std::span<const float> s, std::uint64_t k) noexcept {
  return k < s.size() && k >= s.size() / kKeyedShare && s.size() <= 0xFFFFFFFFu;
}

}  // namespace

// The score's bits in the high half, mapped so that higher scores come first (+0 and -0
// alike), the position in the low half.
std::uint64_t rank_key(float score, std::uint64_t position) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t ascending = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
  return std::uint64_t{~ascending} << 32 | position;
}

std::vector<std::uint64_t> top_k_unordered(std::span<const float> s, std::uint64_t k) {
  if (keyed(s, k)) return top_k_by_keys(s, static_cast<std::size_t>(k), false);
  return top_k_indices(s, k);
}

std::vector<std::uint64_t> top_k_indices(std::span<const float> s, std::uint64_t k) {
  if (keyed(s, k)) return top_k_by_keys(s, static_cast<std::size_t>(k), true);
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
