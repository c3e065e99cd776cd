#include "candidates/half_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "candidates/ranges.h"
#include "candidates/ranking.h"
#include "core/thread_pool.h"
#include "core/fault.h"
#include "kernels/half.h"
#include "kernels/row_blocks.h"
#include "kernels/scan.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
// Covers what the relative bound cannot: products and sums that fall below float32's normal
// range round by up to 2^-150 each.
constexpr float kTiny = 0x1p-100f;
// Rows per range of the scan on the pool: a fixed split, so no result depends on the threads.
constexpr std::size_t kRangeRows = 16384;

// At or below v's neighbour towards -inf (above, towards +inf), with no branch: a sum rounded
// to nearest is within half a step of the exact value, and |v| * 2^-23 is at least one step of
// v where v is normal; 2^-126 covers v near zero. NaN stays NaN, and an infinity gives NaN or
// itself (an end that is never trusted).
float below(float v) noexcept { return v - (std::abs(v) * 0x1p-23f + 0x1p-126f); }
float above(float v) noexcept { return v + (std::abs(v) * 0x1p-23f + 0x1p-126f); }

// |v|, rounded up to a float32, then raised by 2^-20 so that the float32 product of it and a
// row's error is not below the exact product.
float norm_bound(std::span<const float> v) noexcept {
  double s = 0.0;
  for (const float x : v) s += double{x} * double{x};
  const double n = std::sqrt(s) * (1.0 + 0x1p-20);
  auto f = static_cast<float>(n);
  if (double{f} < n) f = std::nextafter(f, kInf);
  return f;
}

struct Interval {
  float lo, hi;
};

// The interval of the float32 dot product, from the float16 one and its bound.
Interval around(float dot, float bound) noexcept {
  return {below(dot - bound), above(dot + bound)};
}

// Calls fn(j, dots) for every working row j with its float16 dot products, reading a window's
// rows in four runs side by side as scan_rows does (four streams for the hardware prefetchers),
// and fetching scattered rows a block ahead.
template <class Fn>
void scan_half(const WorkingSet& ws, const HalfRows& half, std::span<const float* const> queries,
               Fn&& fn) {
  const HalfKernel& kernel = half_kernel();
  const std::size_t nq = queries.size(), d = half.cols, count = ws.size();
  AlignedVectors aligned(nq, d);
  const float* qs[kMaxQueries] = {};
  for (std::size_t q = 0; q < nq; ++q) {
    aligned.assign(q, queries[q], d);
    qs[q] = aligned.at(q);
  }
  const auto row_of = [&](std::uint64_t row) { return half.data + row * half.row_stride; };
  constexpr std::size_t kWindow = kRuns * kRunRows;
  const std::uint16_t* rows[kBlockRows];
  std::size_t which[kBlockRows];
  float dots[kBlockRows * kMaxQueries];
  for (std::size_t w0 = 0; w0 < count; w0 += kWindow) {
    for_each_run_block(
        std::min(count - w0, kWindow), !ws.consecutive,
        [&](std::size_t v) {
          const auto* p = reinterpret_cast<const char*>(row_of(ws.row(w0 + v)));
          for (std::size_t off = 0; off < d * sizeof(std::uint16_t); off += 64) __builtin_prefetch(p + off);
        },
        [&](std::size_t slot, std::size_t v) {
          rows[slot] = row_of(ws.row(w0 + v));
          which[slot] = w0 + v;
        },
        [&](std::size_t filled, std::size_t) {
          kernel.dot_block(rows, filled, qs, nq, d, dots);
          for (std::size_t k = 0; k < filled; ++k) fn(which[k], dots + k * nq);
        });
  }
}

}  // namespace

std::vector<std::uint64_t> half_candidates(const ScoreRequest& r, const ScorePlan& plan,
                                           const HalfRows& half) {
  expect(half.rows == r.matrix.rows && half.cols == r.matrix.cols &&
             half.errors.size() == half.rows && half.row_stride >= half.cols,
         "the float16 copy does not match the matrix");
  const WorkingSet& working = plan.working;
  const std::size_t m = working.size();

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
  std::vector<float> lo = float_buffer(m, 1), hi = float_buffer(m, 1);
  const auto interval = [&](std::size_t begin, std::size_t j, const float* dk) {
    const std::uint64_t row = working.row(begin + j);
    const float error = half.errors[row];
    const auto slot = [&](std::size_t q) { return around(dk[q], norms[q] * error + kTiny); };
    Interval s = slot(0);
    if (trajectory) {
      const Interval t = slot(direction_slot);
      s = {kTrajectoryQueryWeight * s.lo + kTrajectoryDirectionWeight * t.lo,
           kTrajectoryQueryWeight * s.hi + kTrajectoryDirectionWeight * t.hi};
    }
    if (decay) {  // apply's own factor for both ends; min and max hold for either sign of it
      const float f = decay->factor((*r.timestamps)[row]);
      const float a = f * s.lo, b = f * s.hi;
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
    lo[begin + j] = s.lo;
    hi[begin + j] = s.hi;
  };
  // Every row's interval is its own: ranges of a fixed size, on as many threads as the pool has.
  const auto range = [&](std::size_t i) {
    const std::size_t begin = i * kRangeRows, n = std::min(kRangeRows, m - begin);
    scan_half(working.slice(begin, n), half, std::span(queries, nq),
              [&](std::size_t j, const float* dk) { interval(begin, j, dk); });
  };
  const std::size_t ranges = (m + kRangeRows - 1) / kRangeRows;
  if (pool_threads() == 1 || m * half.cols * sizeof(std::uint16_t) < kParallelBytes) {
    for (std::size_t i = 0; i < ranges; ++i) range(i);
  } else {
    run_parallel(ranges, range);
  }

  // k rows whose scores are at least `floor` beat every row whose upper end is below it. NaN
  // ends (rows or queries that are not finite) never let a row go.
  const std::uint64_t k = r.diverse ? r.oversample : r.limit;
  std::vector<std::uint64_t> kept;
  if (k == 0) return kept;
  float floor = -kInf;
  const std::vector<std::uint64_t> best = top_k_indices(lo, k);
  if (best.size() == k) floor = lo[best.back()];
  for (std::size_t j = 0; j < m; ++j) {
    if (!(hi[j] < floor) && hi[j] != -kInf) kept.push_back(working.row(j));
  }
  return kept;
}

ScorePlan plan_over(const ScoreRequest& r, const ScorePlan& plan,
                    std::span<const std::uint64_t> rows) {
  return ScorePlan{WorkingSet::gathered(r.matrix, rows), plan.query, plan.direction,
                   plan.negative, plan.decay};
}

}  // namespace quantelle
