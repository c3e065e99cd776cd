#include "candidates/pipeline.h"

#include <algorithm>
#include <limits>
#include <string>

#include "candidates/output.h"
#include "candidates/ranking.h"
#include "core/fault.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

// The row gathers of a pre-filtered working set, checked list by list in the order the rows,
// ids, timestamps and mask are gathered; the scoring pass then reads them in place.
void check_gathers(const ScoreRequest& r, std::span<const std::uint64_t> rows) {
  for (const std::uint64_t row : rows) expect_row(row, r.matrix.rows);
  for (const std::uint64_t row : rows) expect_index(row, r.ids_len);
  if (r.timestamps) {
    for (const std::uint64_t row : rows) expect_index(row, r.timestamps->size);
  }
  if (r.mask) {
    for (const std::uint64_t row : rows) expect_index(row, r.mask->size);
  }
}

// A per-row input shorter than the working set faults where the stage would first read past it.
void check_covers(std::size_t len, std::size_t m) {
  if (len < m) raise_index_fault(len, len);
}

}  // namespace

Outcome<std::optional<ScorePlan>> plan_scores(const ScoreRequest& r) {
  if (r.ids_len == 0) return std::nullopt;
  const std::size_t d = r.matrix.cols;
  if (r.query.size != d) {
    return std::unexpected(Failure{ExcKind::ValueError,
                                   "Query vector dimension " + std::to_string(r.query.size) +
                                       " doesn't match cache dimension " + std::to_string(d)});
  }
  std::vector<float> q = r.query.to_vector();
  const float query_norm2 = l2_normalize(q);
  if (r.like_rows) {
    if (r.like_rows->empty()) return std::nullopt;
    blend_centroid(q, query_norm2, r.matrix, *r.like_rows);
  }
  std::optional<std::vector<float>> direction;
  if (r.traj_from && r.traj_to) direction = trajectory_direction(*r.traj_from, *r.traj_to);

  if (r.pre_filter_rows) {
    if (r.pre_filter_rows->empty()) return std::nullopt;
    check_gathers(r, *r.pre_filter_rows);
  }
  const WorkingSet working = r.pre_filter_rows ? WorkingSet::gathered(r.matrix, *r.pre_filter_rows)
                                               : WorkingSet::whole(r.matrix);
  const std::size_t m = working.size();

  // Every per-row stage is element-wise, so one pass over the rows computes them all while the
  // row is in cache. Their faults are found first, in stage order, so the pass cannot fail.
  if (direction) expect_matvec_compatible(m, d, direction->size());
  std::optional<Decay> decay;
  if (r.recent && r.timestamps) {
    decay = Decay::starting_now(r.recent_days);
    if (!r.pre_filter_rows) check_covers(r.timestamps->size, m);
  }
  if (r.mask && !r.pre_filter_rows) check_covers(r.mask->size, m);
  std::optional<std::vector<float>> negative;
  if (r.not_like) {
    negative = r.not_like->to_vector();
    l2_normalize(*negative);
    expect_matvec_compatible(m, d, negative->size());
  }
  return ScorePlan{working, std::move(q), std::move(direction), std::move(negative), decay};
}

void score_rows(const ScoreRequest& r, const ScorePlan& plan, std::size_t begin,
                std::span<float> out) {
  // Locals, not the plan's members, so that no store to out[j] can change them.
  const bool trajectory = plan.direction.has_value(), contrast = plan.negative.has_value();
  const std::optional<Decay> decay = plan.decay;
  const float* queries[kMaxQueries] = {plan.query.data()};
  std::size_t nq = 1;
  const std::size_t direction_slot = trajectory ? nq++ : 0;
  const std::size_t negative_slot = contrast ? nq++ : 0;
  if (trajectory) queries[direction_slot] = plan.direction->data();
  if (contrast) queries[negative_slot] = plan.negative->data();

  constexpr float kExcluded = -std::numeric_limits<float>::infinity();
  const WorkingSet range = plan.working.slice(begin, out.size());
  const bool cut = r.threshold > 0.0f;
  // Each row's stages are its own, so any visit order gives the same scores.
  if (nq == 1 && !decay && !r.mask && !cut) {  // the plain score alone, without a stage to ask
    scan_rows(range, std::span(queries, nq),
              [&](std::size_t j, const float* dots) { out[j] = dots[0]; }, Visit::by_row);
    return;
  }
  scan_rows(range, std::span(queries, nq), [&](std::size_t j, const float* dots) {
    float s = dots[0];
    if (trajectory) {
      s = kTrajectoryQueryWeight * s + kTrajectoryDirectionWeight * dots[direction_slot];
    }
    const std::uint64_t row = range.row(j);
    if (decay) s = decay->apply(s, (*r.timestamps)[row]);
    if (r.mask && (*r.mask)[row] == 0) s = kExcluded;
    if (cut && s < r.threshold) s = kExcluded;
    if (contrast) s = s - kContrastWeight * dots[negative_slot];
    out[j] = s;
  }, Visit::by_row);
}

std::size_t plan_slots(const ScorePlan& plan, const float* (&slots)[kMaxQueries]) {
  std::size_t n = 0;
  slots[n++] = plan.query.data();
  if (plan.direction) slots[n++] = plan.direction->data();
  if (plan.negative) slots[n++] = plan.negative->data();
  return n;
}

void finish_scores(const ScoreRequest& r, const ScorePlan& plan, std::size_t begin,
                   std::size_t n, const float* const* dots, float* out) {
  // The stages of score_rows, each a loop of its own over the run: every row still goes
  // through the same operations in the same order, and each loop is one branch-free sweep.
  constexpr float kExcluded = -std::numeric_limits<float>::infinity();
  const float* const base = dots[0];
  std::size_t slot = 1;
  if (plan.direction) {
    const float* const along = dots[slot++];
    for (std::size_t j = 0; j < n; ++j)
      out[j] = kTrajectoryQueryWeight * base[j] + kTrajectoryDirectionWeight * along[j];
  } else {
    std::copy(base, base + n, out);
  }
  const WorkingSet range = plan.working.slice(begin, n);
  if (plan.decay) {
    const Decay decay = *plan.decay;
    const VectorF64 stamps = *r.timestamps;
    for (std::size_t j = 0; j < n; ++j) out[j] = decay.apply(out[j], stamps[range.row(j)]);
  }
  if (r.mask) {
    const BoolVector mask = *r.mask;
    for (std::size_t j = 0; j < n; ++j) out[j] = mask[range.row(j)] == 0 ? kExcluded : out[j];
  }
  if (const float t = r.threshold; t > 0.0f) {
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] < t ? kExcluded : out[j];
  }
  if (plan.negative) {
    const float* const against = dots[slot];
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] - kContrastWeight * against[j];
  }
}

std::vector<ScoredId> select_scored(const ScoreRequest& r, const ScorePlan& plan,
                                    std::span<const float> scores) {
  const std::vector<std::uint64_t> pool =
      r.diverse ? top_k_unordered(scores, r.oversample) : top_k_indices(scores, r.limit);
  return select_output(r, plan.working, scores, pool);
}

Outcome<std::vector<ScoredId>> score_candidates(const ScoreRequest& r) {
  Outcome<std::optional<ScorePlan>> plan = plan_scores(r);
  if (!plan) return std::unexpected(std::move(plan.error()));
  if (!*plan) return {};
  std::vector<float> scores = float_buffer((*plan)->working.size(), 1);
  score_rows(r, **plan, 0, scores);
  return select_scored(r, **plan, scores);
}

}  // namespace quantelle
