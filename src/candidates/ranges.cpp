#include "candidates/ranges.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "candidates/output.h"
#include "candidates/ranking.h"
#include "core/thread_pool.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

// Ranges per thread: more than one, so that a thread slowed by another caller's job leaves its
// later ranges to the others instead of holding up the whole call.
constexpr std::size_t kRangesPerThread = 4;
// Rows per range come in multiples of this, so that a range starts on a scan window's edge.
constexpr std::size_t kRangeRowStep = 64;

}  // namespace

std::vector<ScoredId> score_in_ranges(const ScoreRequest& r, const ScorePlan& plan) {
  const std::size_t m = plan.working.size();
  std::vector<float> scores = float_buffer(m, 1);
  const std::size_t row_bytes = std::max<std::size_t>(r.matrix.cols * sizeof(float), 1);
  const std::size_t threads = pool_threads();
  if (threads == 1 || m * row_bytes < kParallelBytes) {
    score_rows(r, plan, 0, scores);
    return select_scored(r, plan, scores);
  }
  std::size_t step = (m + threads * kRangesPerThread - 1) / (threads * kRangesPerThread);
  step = (step + kRangeRowStep - 1) / kRangeRowStep * kRangeRowStep;
  const std::size_t ranges = (m + step - 1) / step;
  const std::uint64_t k = r.diverse ? r.oversample : r.limit;

  std::vector<std::vector<std::uint64_t>> best(ranges);
  run_parallel(ranges, [&](std::size_t i) {
    const std::size_t begin = i * step, n = std::min(step, m - begin);
    const std::span<float> part = std::span(scores).subspan(begin, n);
    score_rows(r, plan, begin, part);
    best[i] = top_k_ranked(part, k);
    for (std::uint64_t& p : best[i]) p += begin;
  });

  std::vector<std::uint64_t> pool;
  for (const auto& part : best) pool.insert(pool.end(), part.begin(), part.end());
  const auto before = [&](std::uint64_t a, std::uint64_t b) {
    return score_order(scores[a], a, scores[b], b);
  };
  if (pool.size() > k) {
    std::nth_element(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(k), pool.end(),
                     before);
    pool.resize(k);
  }
  std::sort(pool.begin(), pool.end(), before);
  // As the whole scan's ranking does: +inf took its place among the best, and is dropped now.
  std::erase_if(pool, [&](std::uint64_t p) { return !std::isfinite(scores[p]); });
  return select_output(r, plan.working, scores, pool);
}

}  // namespace quantelle
