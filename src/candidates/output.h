#pragma once
// The last stage: from the candidate pool to the (id, rounded score) records, plainly or by MMR.
#include <cstdint>
#include <span>
#include <vector>

#include "candidates/pipeline.h"

namespace quantelle {

// The scored working set: row j is matrix row positions[j] (or j without positions).
struct WorkingSet {
  const MatrixF32& matrix;
  const std::uint64_t* positions;  // null: all rows of matrix
  [[nodiscard]] std::uint64_t row(std::size_t j) const noexcept {
    return positions != nullptr ? positions[j] : j;
  }
};

// x rounded to four decimals, halves away from zero.
[[nodiscard]] double round4(double x) noexcept;

[[nodiscard]] std::vector<ScoredId> select_output(const ScoreRequest& request,
                                                  const WorkingSet& working,
                                                  std::span<const float> scores,
                                                  std::span<const std::uint64_t> pool);

}  // namespace quantelle
