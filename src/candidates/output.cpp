#include "candidates/output.h"

#include <algorithm>
#include <cmath>

#include "candidates/ranking.h"
#include "core/fault.h"
#include "mmr/mmr.h"

namespace quantelle {

double round4(double x) noexcept { return std::round(x * 10000.0) / 10000.0; }

std::vector<ScoredId> select_output(const ScoreRequest& request, const WorkingSet& working,
                                    std::span<const float> scores,
                                    std::span<const std::uint64_t> pool) {
  std::vector<ScoredId> out;
  auto record = [&](std::size_t position, double score) {
    const std::uint64_t row = working.row(position);
    expect_index(row, request.ids_len);  // ids shorter than the matrix: a row without an id
    out.push_back({static_cast<std::size_t>(row), round4(score)});
  };
  const auto plain = [&](std::span<const std::uint64_t> ranked) {
    out.reserve(ranked.size());
    for (const std::uint64_t position : ranked) record(position, double{scores[position]});
  };
  if (!request.diverse) {
    plain(pool);
    return out;
  }
  if (pool.size() <= request.limit) {  // the pool holds at most limit: no MMR, in rank order
    std::vector<std::uint64_t> ranked(pool.begin(), pool.end());
    std::sort(ranked.begin(), ranked.end(), [&](std::uint64_t a, std::uint64_t b) {
      return score_order(scores[a], a, scores[b], b);
    });
    plain(ranked);
    return out;
  }
  // A diverse pool may come unsorted; MMR ranks it by score and position itself.
  // Positions of 2^32 and beyond do not fit a key; such pools come sorted and need none.
  const bool keyed = scores.size() <= 0xFFFFFFFFu;
  std::vector<std::uint64_t> pool_rows(pool.size()), ranks(keyed ? pool.size() : 0);
  std::vector<double> rel(pool.size());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    pool_rows[i] = working.row(pool[i]);
    rel[i] = double{scores[pool[i]]};  // the final score, after every modulation
    if (keyed) ranks[i] = rank_key(scores[pool[i]], pool[i]);
  }
  for (const MmrPick& pick :
       mmr_greedy(working.matrix, pool_rows, rel, request.limit, request.mmr_lambda, ranks)) {
    record(pool[pick.position], pick.score);
  }
  return out;
}

}  // namespace quantelle
