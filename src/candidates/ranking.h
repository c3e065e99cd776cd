#pragma once
// Ranking of a score vector: the best k positions, best first, finite scores only.
#include <cstdint>
#include <span>
#include <vector>

namespace quantelle {

// Whether position a (score sa) ranks before position b (score sb): higher score first, ties by
// ascending position. NaN ranks after everything, so the order is total and never fails.
[[nodiscard]] inline bool score_order(float sa, std::uint64_t a, float sb, std::uint64_t b) noexcept {
  const bool na = sa != sa, nb = sb != sb;
  if (na && nb) return a < b;
  if (na) return false;
  if (nb) return true;
  if (sa != sb) return sa > sb;
  return a < b;
}

// The k best positions of s under score_order, then only those with a finite score.
[[nodiscard]] std::vector<std::uint64_t> top_k_indices(std::span<const float> s, std::uint64_t k);

// The k best positions of s under score_order among the scores that rank (finite or +inf), best
// first, +inf kept: what top_k_indices selects before it drops +inf. The k best of the union of
// several parts' lists are the k best of the whole, so parts of s may be ranked apart.
[[nodiscard]] std::vector<std::uint64_t> top_k_ranked(std::span<const float> s, std::uint64_t k);

// The same positions in any order, where leaving them unsorted saves time (k a large share of s).
[[nodiscard]] std::vector<std::uint64_t> top_k_unordered(std::span<const float> s, std::uint64_t k);

// Ascending keys order positions below 2^32 as score_order does, for every score but NaN.
[[nodiscard]] std::uint64_t rank_key(float score, std::uint64_t position) noexcept;

}  // namespace quantelle
