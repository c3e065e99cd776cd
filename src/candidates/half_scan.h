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

struct HalfPicks {
  std::vector<ScoredId> picks;
  std::size_t rescored = 0;  // working rows scored again in float32
};

// Faults where the copy's shape does not match the matrix.
[[nodiscard]] Outcome<HalfPicks> score_candidates_half(const ScoreRequest& request,
                                                       const HalfRows& half);

}  // namespace quantelle
