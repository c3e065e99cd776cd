#include "candidates/output.h"

#include <cmath>

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
  if (!request.diverse || pool.size() <= request.limit) {  // the pool holds at most limit
    out.reserve(pool.size());
    for (const std::uint64_t position : pool) record(position, double{scores[position]});
    return out;
  }
  std::vector<std::uint64_t> pool_rows(pool.size());
  std::vector<double> rel(pool.size());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    pool_rows[i] = working.row(pool[i]);
    rel[i] = double{scores[pool[i]]};  // the final score, after every modulation
  }
  for (const MmrPick& pick :
       mmr_greedy(working.matrix, pool_rows, rel, request.limit, request.mmr_lambda)) {
    record(pool[pick.position], pick.score);
  }
  return out;
}

}  // namespace quantelle
