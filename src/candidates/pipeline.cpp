#include "candidates/pipeline.h"

#include <algorithm>
#include <cstring>
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

std::size_t plan_slots(const ScorePlan& plan, const float* (&slots)[kMaxQueries]) {
  std::size_t n = 0;
  slots[n++] = plan.query.data();
  if (plan.direction) slots[n++] = plan.direction->data();
  if (plan.negative) slots[n++] = plan.negative->data();
  return n;
}

namespace {

constexpr float kExcluded = -std::numeric_limits<float>::infinity();

// Rows whose timestamps and mask bytes are copied out at a time: a few KiB beside the scores.
constexpr std::size_t kInputRows = 512;

// The values of a per-row input for working rows begin .. begin + n - 1, read through the
// working set (rows of a gathered set are scattered over the input).
template <class T>
void gather_input(const StridedVector<T>& v, const WorkingSet& ws, std::size_t begin,
                  std::size_t n, T* out) {
  if (ws.consecutive && v.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
    std::memcpy(out, v.data + (ws.first + begin) * sizeof(T), n * sizeof(T));
    return;
  }
  for (std::size_t j = 0; j < n; ++j) out[j] = v[ws.row(begin + j)];
}

// Each stage is one loop over the block with a select where a row would branch, so that the
// compiler runs it in vector lanes; every product and sum is rounded on its own, as in a scalar
// pass (-ffp-contract=off).
void trajectory_stage(const float* query, const float* direction, std::size_t n, float* s) {
  for (std::size_t j = 0; j < n; ++j)
    s[j] = kTrajectoryQueryWeight * query[j] + kTrajectoryDirectionWeight * direction[j];
}

void mask_stage(const std::uint8_t* keep, std::size_t n, float* s) {
  for (std::size_t j = 0; j < n; ++j) s[j] = keep[j] != 0 ? s[j] : kExcluded;
}

void threshold_stage(float threshold, std::size_t n, float* s) {
  for (std::size_t j = 0; j < n; ++j) s[j] = s[j] < threshold ? kExcluded : s[j];
}

void contrast_stage(const float* negative, std::size_t n, float* s) {
  for (std::size_t j = 0; j < n; ++j) s[j] = s[j] - kContrastWeight * negative[j];
}

}  // namespace

void finish_scores(const ScoreRequest& r, const ScorePlan& plan, std::size_t begin,
                   std::size_t n, const float* const* dots, float* out) {
  if (n == 0) return;
  // The stages in their order: trajectory, decay, mask, threshold, contrast. Each is
  // element-wise, so running one over the block before the next gives every row's own order.
  if (plan.direction) trajectory_stage(dots[0], dots[1], n, out);
  else std::copy(dots[0], dots[0] + n, out);
  if (plan.decay || r.mask) {
    double ts[kInputRows];
    std::uint8_t keep[kInputRows];
    for (std::size_t c = 0; c < n; c += kInputRows) {
      const std::size_t cn = std::min(kInputRows, n - c);
      if (plan.decay) {
        gather_input(*r.timestamps, plan.working, begin + c, cn, ts);
        plan.decay->apply(ts, cn, out + c);
      }
      if (r.mask) {
        gather_input(*r.mask, plan.working, begin + c, cn, keep);
        mask_stage(keep, cn, out + c);
      }
    }
  }
  if (r.threshold > 0.0f) threshold_stage(r.threshold, n, out);
  if (plan.negative) contrast_stage(dots[plan.direction ? 2 : 1], n, out);
}

void score_rows(const ScoreRequest& r, const ScorePlan& plan, std::size_t begin,
                std::span<float> out) {
  const float* slots[kMaxQueries] = {};
  const std::size_t nq = plan_slots(plan, slots);
  const WorkingSet range = plan.working.slice(begin, out.size());
  // Each row's score is its own, so any visit order gives the same scores.
  if (nq == 1 && !plan.decay && !r.mask && !(r.threshold > 0.0f)) {  // no stage to run
    scan_rows(range, std::span(slots, nq),
              [&](std::size_t j, const float* dots) { out[j] = dots[0]; }, Visit::by_row);
    return;
  }
  // A window of the scan at a time: its raw dots slot by slot, then the stages over it while
  // it is in cache.
  constexpr std::size_t kBlock = kScanWindow;
  std::vector<float> raw = float_buffer(nq, kBlock);
  float* per_slot[kMaxQueries] = {};
  for (std::size_t s = 0; s < nq; ++s) per_slot[s] = raw.data() + s * kBlock;
  if (range.consecutive) {  // one scan, its windows finished as they end (windows start at 0)
    scan_rows(
        range, std::span(slots, nq),
        [&](std::size_t j, const float* dots) {
          for (std::size_t s = 0; s < nq; ++s) per_slot[s][j % kBlock] = dots[s];
        },
        Visit::in_order,
        [&](std::size_t w0, std::size_t wn) {
          finish_scores(r, plan, begin + w0, wn, per_slot, out.data() + w0);
        });
    return;
  }
  // A gathered set: a walk by row over each block in turn, so that all of a block's dots are in
  // before its stages run.
  for (std::size_t b = 0; b < out.size(); b += kBlock) {
    const std::size_t bn = std::min(kBlock, out.size() - b);
    scan_rows(range.slice(b, bn), std::span(slots, nq), [&](std::size_t j, const float* dots) {
      for (std::size_t s = 0; s < nq; ++s) per_slot[s][j] = dots[s];
    }, Visit::by_row);
    finish_scores(r, plan, begin + b, bn, per_slot, out.data() + b);
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
