#pragma once
// score_candidates: score every working row against the query, bend the scores with the asked-for
// modulations, and choose the documents to return. The call runs in three stages, so that a
// caller may score the rows in ranges of its own: plan (the query side, every check), score a
// range of working rows, select from all the scores.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "candidates/modulations.h"
#include "core/outcome.h"
#include "core/views.h"
#include "kernels/scan.h"

namespace quantelle {

// One call's arguments as the logic reads them: views of the caller's arrays and plain values.
// The boundary's parameter table fills every member, defaults included (module/score_call.cpp).
struct ScoreRequest {
  MatrixF32 matrix;
  std::size_t ids_len = 0;  // the id texts stay at the boundary; rows name them by position
  VectorF32 query;
  std::optional<VectorF64> timestamps;
  std::optional<std::vector<std::uint64_t>> pre_filter_rows;  // resolved ids, in list order
  std::optional<VectorF32> not_like;
  bool diverse = false;
  std::uint64_t limit = 0;
  std::uint64_t oversample = 0;
  float threshold = 0.0f;
  double mmr_lambda = 0.0;
  bool recent = false;
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

// What scoring the working rows needs once the query side is done. It points into its request,
// which must outlive it.
struct ScorePlan {
  WorkingSet working;
  std::vector<float> query;                     // normalised, blended with the liked rows
  std::optional<std::vector<float>> direction;  // of the trajectory
  std::optional<std::vector<float>> negative;   // the contrastive query, normalised
  std::optional<Decay> decay;                   // the clock read once for the whole call
};

// The query side and every check of the inputs, in the order the stages would meet them, so
// that scoring cannot fail half-way. Nothing when the result is empty without scoring a row.
[[nodiscard]] Outcome<std::optional<ScorePlan>> plan_scores(const ScoreRequest& request);

// out[j - begin] = the final score of working row j, for j in [begin, begin + out.size()). A
// row's score depends on that row alone, so any split of the rows gives the same scores.
void score_rows(const ScoreRequest& request, const ScorePlan& plan, std::size_t begin,
                std::span<float> out);

// The vectors a scan of the plan scores each row against, in slot order: the query, then the
// trajectory's direction if any, then the contrastive query if any. Returns how many.
std::size_t plan_slots(const ScorePlan& plan, const float* (&slots)[kMaxQueries]);

// out[j] = the final score of working row begin + j, for j < n, from dots[s][j]: that row's dot
// product with the plan's slot s (plan_slots), as the table's kernels compute it.
void finish_scores(const ScoreRequest& request, const ScorePlan& plan, std::size_t begin,
                   std::size_t n, const float* const* dots, float* out);

// The records chosen from the scores of every working row, in working order.
[[nodiscard]] std::vector<ScoredId> select_scored(const ScoreRequest& request,
                                                  const ScorePlan& plan,
                                                  std::span<const float> scores);

// The three stages on the calling thread.
[[nodiscard]] Outcome<std::vector<ScoredId>> score_candidates(const ScoreRequest& request);

}  // namespace quantelle
