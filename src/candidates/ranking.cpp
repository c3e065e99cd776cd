#include "candidates/ranking.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
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

// Where k is a large share of the scores (a diverse pool), the heap would take most scores in
// and out; a linear selection and a sort on integer keys cost less.
constexpr std::size_t kKeyedShare = 16;

constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
constexpr float kLowest = std::numeric_limits<float>::lowest();  // s >= it: every score that ranks

// A score that the k best very likely reach, read off an evenly spread sample (k's share of the
// sample, plus three standard deviations), so that the selection sorts out a few hundred keys rather
// than all of them. kLowest where the sample is too small to tell.
float sampled_floor(std::span<const float> s, std::size_t k) {
  constexpr std::size_t kSample = 128;
  const std::size_t n = s.size();
  if (n < 4 * kSample) return kLowest;
  float sample[kSample];
  std::size_t m = 0;
  for (std::size_t i = 0; i < kSample; ++i) {
    const float x = s[i * n / kSample];
    sample[m] = x;
    m += x > kMinusInf ? 1u : 0u;  // NaN and -inf never rank
  }
  const double share = static_cast<double>(k) / static_cast<double>(n);
  const double expected = static_cast<double>(kSample) * share;
  const auto r = static_cast<std::size_t>(expected + 3.0 * std::sqrt(expected * (1.0 - share)) + 1.0);
  if (r >= m) return kLowest;
  std::nth_element(sample, sample + r, sample + m, std::greater<>());
  return sample[r];
}

// select(floor) gathers the scores at or above floor and says how many it took. At least k: the
// k best are all among them, as every other score is lower. Fewer, from the sampled floor: the
// sample misled, and select runs again over every score.
template <class Select>
void from_sampled_floor(std::span<const float> s, std::size_t k, Select&& select) {
  const float floor = sampled_floor(s, k);
  if (select(floor) < k && floor != kLowest) select(kLowest);
}

// The keys of the scores at or above floor (NaN never), in position order.
std::size_t keys_from(std::span<const float> s, float floor, std::uint64_t* keys) {
  std::size_t kept = 0;
  for (std::size_t p = 0; p < s.size(); ++p) {  // written always, kept where it passes: no branch
    keys[kept] = p;
    kept += s[p] >= floor ? 1u : 0u;
  }
  for (std::size_t i = 0; i < kept; ++i) keys[i] = rank_key(s[keys[i]], keys[i]);
  return kept;
}

std::vector<std::uint64_t> top_k_by_keys(std::span<const float> s, std::size_t k, bool sorted) {
  std::vector<std::uint64_t> keys(s.size());
  std::size_t kept = 0;
  from_sampled_floor(s, k, [&](float floor) { return kept = keys_from(s, floor, keys.data()); });
  keys.resize(kept);
  if (k < keys.size()) {
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(k), keys.end());
    keys.resize(k);
  }
  if (sorted) std::sort(keys.begin(), keys.end());
  std::vector<std::uint64_t> out;
  out.reserve(keys.size());
  for (const std::uint64_t key : keys) {
    const std::uint64_t p = key & 0xFFFFFFFFu;
    if (std::isfinite(s[p])) out.push_back(p);
  }
  return out;
}

// Whether any of the kSkipRun scores from s beats t: a loop that vectorises (16 iterations
// would be unrolled instead).
constexpr std::size_t kSkipRun = 32;
inline bool any_above(const float* s, float t) noexcept {
  unsigned any = 0;
  for (std::size_t j = 0; j < kSkipRun; ++j) any |= s[j] > t ? 1u : 0u;
  return any != 0;
}

// Bounded selection in one pass: a heap of the k best so far, worst on top, filled with the
// first k scores at or above floor. Positions come in ascending order, so a later equal score
// never displaces an earlier one. Once the heap is full, a run of scores none of which beats its
// worst is passed over at once (a few in a thousand beat it, so most runs are).
void heap_of_best(std::span<const float> s, std::size_t k, float floor, std::vector<Ranked>& best) {
  best.clear();
  best.reserve(k);
  const std::size_t n = s.size();
  std::size_t p = 0;
  for (; p < n && best.size() < k; ++p) {
    if (s[p] >= floor) {
      best.push_back({s[p], p});
      std::push_heap(best.begin(), best.end(), before);
    }
  }
  // Here either every position was seen or the heap is full, its worst at or above floor.
  while (p < n) {
    if (p + kSkipRun <= n && !any_above(s.data() + p, best.front().score)) {
      p += kSkipRun;
      continue;
    }
    for (const std::size_t end = std::min(p + kSkipRun, n); p < end; ++p) {
      if (s[p] > best.front().score) {
        std::pop_heap(best.begin(), best.end(), before);
        best.back() = {s[p], p};
        std::push_heap(best.begin(), best.end(), before);
      }
    }
  }
}

bool keyed(std::span<const float> s, std::uint64_t k) noexcept {
  return k < s.size() && k >= s.size() / kKeyedShare && s.size() <= 0xFFFFFFFFu;
}

}  // namespace

// The score's bits in the high half, mapped so that higher scores come first (+0 and -0
// alike), the position in the low half.
std::uint64_t rank_key(float score, std::uint64_t position) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  // Negative scores flip every bit, the others only the sign: by a mask, as signs are as good
  // as random and a branch would miss about every other time.
  const std::uint32_t negative = 0u - (bits >> 31);
  const std::uint32_t ascending = bits ^ (negative | 0x80000000u);
  return std::uint64_t{~ascending} << 32 | position;
}

std::vector<std::uint64_t> top_k_unordered(std::span<const float> s, std::uint64_t k) {
  if (keyed(s, k)) return top_k_by_keys(s, static_cast<std::size_t>(k), false);
  return top_k_indices(s, k);
}

namespace {

// The k best that rank, best first (+inf among them).
std::vector<Ranked> best_ranked(std::span<const float> s, std::uint64_t k) {
  // Scores of -inf and NaN rank last and are dropped at the end, so they can never displace a
  // finite score: leaving them out of the selection gives the same result (no floor lets them
  // in). +inf ranks first and does take a place before it is dropped.
  std::vector<Ranked> best;
  if (k == 0) return best;
  if (k < s.size()) {
    const auto wanted = static_cast<std::size_t>(k);
    from_sampled_floor(s, wanted, [&](float floor) {
      heap_of_best(s, wanted, floor, best);
      return best.size();
    });
  } else {
    best.reserve(s.size());
    for (std::size_t p = 0; p < s.size(); ++p) {
      if (s[p] > kMinusInf) best.push_back({s[p], p});
    }
  }
  std::sort(best.begin(), best.end(), before);
  return best;
}

}  // namespace

std::vector<std::uint64_t> top_k_ranked(std::span<const float> s, std::uint64_t k) {
  const std::vector<Ranked> best = best_ranked(s, k);
  std::vector<std::uint64_t> out;
  out.reserve(best.size());
  for (const Ranked& r : best) out.push_back(r.position);
  return out;
}

std::vector<std::uint64_t> top_k_indices(std::span<const float> s, std::uint64_t k) {
  if (keyed(s, k)) return top_k_by_keys(s, static_cast<std::size_t>(k), true);
  const std::vector<Ranked> best = best_ranked(s, k);
  std::vector<std::uint64_t> out;
  out.reserve(best.size());
  for (const Ranked& r : best) {
    if (std::isfinite(r.score)) out.push_back(r.position);
  }
  return out;
}

}  // namespace quantelle
