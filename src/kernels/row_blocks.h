#pragma once
// How rows are fed to the block kernel, shared by the scan and by MMR: blocks filled from four
// runs of a list read side by side, and vectors copied to cache-line boundaries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/kernels.h"

namespace quantelle {

// Runs read side by side: four streams that the hardware prefetchers follow, where
// neighbouring rows in one block were read at about 2/3 of the speed.
inline constexpr std::size_t kRuns = 4;

// Visits 0..n-1 in blocks of up to kBlockRows. The visits are cut into kRuns runs of
// ceil(n / kRuns) (only the last runs are short, and only at their end), and a block takes one
// visit of each run in turn. Where fetch_ahead, fetch(w) is told, before visit v is placed, the
// same run's visit w one block later, if the run has one; place(slot, v) then puts v in slot of
// the block being filled. score(count, first) runs on the block's count slots, which hold visits
// first .. first + count - 1 in the order they were placed.
template <class Fetch, class Place, class Score>
void for_each_run_block(std::size_t n, bool fetch_ahead, Fetch&& fetch, Place&& place,
                        Score&& score) {
  constexpr std::size_t kAhead = kBlockRows / kRuns;
  const std::size_t run = (n + kRuns - 1) / kRuns;  // run s holds visits s * run .. + run
  std::size_t filled = 0, placed = 0;
  for (std::size_t t = 0; t < run; ++t) {
    for (std::size_t s = 0; s < kRuns; ++s) {
      const std::size_t v = s * run + t;
      if (v >= n) break;
      if (fetch_ahead && t + kAhead < run && v + kAhead < n) fetch(v + kAhead);
      place(filled++, v);
      ++placed;
      if (filled == kBlockRows) {
        score(filled, placed - filled);
        filled = 0;
      }
    }
  }
  if (filled != 0) score(filled, placed - filled);
}

// Vectors of d floats side by side, each starting on a cache-line boundary (a load that splits a
// line costs twice).
class AlignedVectors {
 public:
  AlignedVectors(std::size_t count, std::size_t d)
      : stride_((d + 15) / 16 * 16), storage_(count * stride_ + 16) {
    const auto misalign = reinterpret_cast<std::uintptr_t>(storage_.data()) % 64;
    base_ = storage_.data() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
  }
  AlignedVectors(const AlignedVectors&) = delete;
  AlignedVectors& operator=(const AlignedVectors&) = delete;

  [[nodiscard]] float* at(std::size_t i) noexcept { return base_ + i * stride_; }
  [[nodiscard]] const float* at(std::size_t i) const noexcept { return base_ + i * stride_; }
  void assign(std::size_t i, const float* v, std::size_t d) noexcept {
    std::copy(v, v + d, at(i));
  }

 private:
  std::size_t stride_;
  std::vector<float> storage_;
  float* base_ = nullptr;
};

}  // namespace quantelle
