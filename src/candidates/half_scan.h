#pragma once
// score_candidates over a float16 copy of the rows, with the float32 answer. The float16 scan
// gives each working row an interval that provably holds the score the float32 pipeline would
// give it; every row whose interval reaches the k-th best lower end is re-scored by the float32
// pipeline, in working order, and the selection runs on those scores alone. Rows left out are
// beaten by k rows that are in, so the records are bit-identical to score_candidates' own.
// docs/half.md derives the bound.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "candidates/pipeline.h"

namespace quantelle {

// The float16 copy of a request's matrix, row for row, and each row's error: an upper bound on
// |dot(q, x) - dot(q, h)| plus the float32 rounding of both sums, per unit of |q|, where x is
// the float32 row and h its float16 copy.
struct HalfRows {
  const std::uint16_t* data = nullptr;
  std::size_t rows = 0, cols = 0;
  std::size_t row_stride = 0;  // elements
  std::span<const float> errors;
};

// The matrix rows, in working order, that the float32 pipeline could place among the records
// of request: every other row is beaten by k rows among these (k the limit, or the pool for
// diverse). Scanned on the pool's threads where the copy is large; touches no Python object.
// Faults where the copy's shape does not match the matrix.
[[nodiscard]] std::vector<std::uint64_t> half_candidates(const ScoreRequest& request,
                                                         const ScorePlan& plan,
                                                         const HalfRows& half);

// plan's query side over the given matrix rows: scoring and selecting over it gives the
// records of the whole plan when rows are its half_candidates. It points into rows.
[[nodiscard]] ScorePlan plan_over(const ScoreRequest& request, const ScorePlan& plan,
                                  std::span<const std::uint64_t> rows);

}  // namespace quantelle
