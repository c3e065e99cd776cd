#pragma once
// The last stage: from the candidate pool to the (id, rounded score) records, plainly or by MMR.
#include <cstdint>
#include <span>
#include <vector>

#include "candidates/pipeline.h"
#include "kernels/scan.h"

namespace quantelle {

// x rounded to four decimals, halves away from zero.
[[nodiscard]] double round4(double x) noexcept;

[[nodiscard]] std::vector<ScoredId> select_output(const ScoreRequest& request,
                                                  const WorkingSet& working,
                                                  std::span<const float> scores,
                                                  std::span<const std::uint64_t> pool);

}  // namespace quantelle
