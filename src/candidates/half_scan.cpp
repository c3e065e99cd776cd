#include "candidates/half_scan.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "candidates/ranking.h"
#include "core/fault.h"
#include "kernels/half.h"

namespace quantelle {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
// Covers what the relative bound cannot: products and sums that fall below float32's normal
// range round by up to 2^-150 each.
constexpr float kTiny = 0x1p-100f;

// The neighbours of x towards -inf and +inf; NaN and infinities stay as they are. A result
// rounded to nearest is within half a step of the exact value, so one step out contains it.
float next_down(float x) noexcept {
  if (!(std::abs(x) < kInf)) return x;
  if (x == 0.0f) return -std::numeric_limits<float>::denorm_min();
  const auto b = std::bit_cast<std::uint32_t>(x);
  return std::bit_cast<float>(x > 0.0f ? b - 1 : b + 1);
}
float next_up(float x) noexcept { return -next_down(-x); }

// |v|, rounded up to a float32, then raised by 2^-20 so that the float32 product of it and a
// row's error is not below the exact product.
float norm_bound(std::span<const float> v) noexcept {
  double s = 0.0;
  for (const float x : v) s += double{x} * double{x};
  const double n = std::sqrt(s) * (1.0 + 0x1p-20);
  auto f = static_cast<float>(n);
  if (double{f} < n) f = next_up(f);
  return f;
}

struct Interval {
  float lo, hi;
};

// The interval of the float32 dot product, from the float16 one and its bound.
Interval around(float dot, float bound) noexcept {
  return {next_down(dot - bound), next_up(dot + bound)};
}

}  // namespace

Outcome<HalfPicks> score_candidates_half(const ScoreRequest& r, const HalfRows& half) {
  expect(half.rows == r.matrix.rows && half.cols == r.matrix.cols &&
             half.errors.size() == half.rows && half.row_stride >= half.cols,
         "the float16 copy does not match the matrix");
  Outcome<std::optional<ScorePlan>> planned = plan_scores(r);
  if (!planned) return std::unexpected(std::move(planned.error()));
  if (!*planned) return HalfPicks{};
  const ScorePlan& plan = **planned;
  const WorkingSet& working = plan.working;
  const std::size_t m = working.size(), d = r.matrix.cols;

  const bool trajectory = plan.direction.has_value(), contrast = plan.negative.has_value();
  const float* queries[kMaxQueries] = {plan.query.data()};
  float norms[kMaxQueries] = {norm_bound(plan.query)};
  std::size_t nq = 1;
  const std::size_t direction_slot = trajectory ? nq++ : 0;
  const std::size_t negative_slot = contrast ? nq++ : 0;
  if (trajectory) {
    queries[direction_slot] = plan.direction->data();
    norms[direction_slot] = norm_bound(*plan.direction);
  }
  if (contrast) {
    queries[negative_slot] = plan.negative->data();
    norms[negative_slot] = norm_bound(*plan.negative);
  }
  const std::optional<Decay> decay = plan.decay;
  const bool cut = r.threshold > 0.0f;

  // Each row's interval passes through the float32 pipeline's own operations, applied to both
  // ends: rounding to nearest never reverses an order, so the exact pipeline's score of the
  // row stays inside (docs/half.md).
  std::vector<float> lo(m), hi(m);
  const HalfKernel& kernel = half_kernel();
  const std::uint16_t* rows[kBlockRows];
  float dots[kBlockRows * kMaxQueries];
  for (std::size_t j0 = 0; j0 < m; j0 += kBlockRows) {
    const std::size_t n = std::min(kBlockRows, m - j0);
    for (std::size_t k = 0; k < n; ++k) rows[k] = half.data + working.row(j0 + k) * half.row_stride;
    kernel.dot_block(rows, n, queries, nq, d, dots);
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t row = working.row(j0 + k);
      const float error = half.errors[row];
      const float* dk = dots + k * nq;
      const auto slot = [&](std::size_t q) { return around(dk[q], norms[q] * error + kTiny); };
      Interval s = slot(0);
      if (trajectory) {
        const Interval t = slot(direction_slot);
        s = {kTrajectoryQueryWeight * s.lo + kTrajectoryDirectionWeight * t.lo,
             kTrajectoryQueryWeight * s.hi + kTrajectoryDirectionWeight * t.hi};
      }
      if (decay) {  // the same factor for both ends; min and max hold for either sign of it
        const double ts = (*r.timestamps)[row];
        const float a = decay->apply(s.lo, ts), b = decay->apply(s.hi, ts);
        s = {std::min(a, b), std::max(a, b)};
      }
      if (r.mask && (*r.mask)[row] == 0) s = {-kInf, -kInf};
      if (cut) {
        if (s.hi < r.threshold) s = {-kInf, -kInf};
        else if (s.lo < r.threshold) s.lo = -kInf;  // cut or kept: only the upper end is known
      }
      if (contrast) {
        const Interval v = slot(negative_slot);
        s = {s.lo - kContrastWeight * v.hi, s.hi - kContrastWeight * v.lo};
      }
      lo[j0 + k] = s.lo;
      hi[j0 + k] = s.hi;
    }
  }

  // k rows whose scores are at least `floor` beat every row whose upper end is below it. NaN
  // ends (rows or queries that are not finite) never let a row go.
  const std::uint64_t k = r.diverse ? r.oversample : r.limit;
  float floor = -kInf;
  if (k > 0) {
    const std::vector<std::uint64_t> best = top_k_indices(lo, k);
    if (best.size() == k) floor = lo[best.back()];
  }
  std::vector<std::uint64_t> kept;
  if (k > 0) {
    for (std::size_t j = 0; j < m; ++j) {
      if (!(hi[j] < floor) && hi[j] != -kInf) kept.push_back(working.row(j));
    }
  }
  lo = {};
  hi = {};

  // Ascending working order keeps the float32 tie order: a tie goes to the earlier row.
  const ScorePlan rescore{WorkingSet::gathered(r.matrix, kept), plan.query, plan.direction,
                          plan.negative, plan.decay};
  std::vector<float> scores(kept.size());
  score_rows(r, rescore, 0, scores);
  return HalfPicks{select_scored(r, rescore, scores), kept.size()};
}

}  // namespace quantelle
