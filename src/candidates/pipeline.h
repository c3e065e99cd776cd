#pragma once
// score_candidates: score every working row against the query, bend the scores with the asked-for
// modulations, and choose the documents to return.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/outcome.h"
#include "core/views.h"

namespace quantelle {

// The converted arguments of one call; their defaults are the boundary's parameter table's.
struct ScoreRequest {
  MatrixF32 matrix;
  std::size_t ids_len;  // the id texts stay at the boundary; rows name them by position
  VectorF32 query;
  std::optional<VectorF64> timestamps;
  std::optional<std::vector<std::uint64_t>> pre_filter_rows;  // resolved ids, in list order
  std::optional<VectorF32> not_like;
  bool diverse;
  std::uint64_t limit;
  std::uint64_t oversample;
  float threshold;
  double mmr_lambda;
  bool recent;
  std::optional<double> recent_days;
  std::optional<std::vector<std::uint64_t>> like_rows;  // resolved ids, in list order
  std::optional<VectorF32> traj_from;
  std::optional<VectorF32> traj_to;
  std::optional<BoolVector> mask;
};

struct ScoredId {
  std::size_t id_index;  // position in ids
  double score;          // rounded to four decimals
};

[[nodiscard]] Outcome<std::vector<ScoredId>> score_candidates(const ScoreRequest& request);

}  // namespace quantelle
