#include "mmr/mmr.h"

#include <cmath>
#include <limits>

#include "core/fault.h"
#include "kernels/vector_ops.h"

namespace quantelle {

std::vector<MmrPick> mmr_greedy(std::span<const double> rel, std::span<const float> pair,
                                std::uint64_t k, double lambda) {
  const std::size_t n = rel.size();
  std::vector<MmrPick> picks;
  if (n == 0) return picks;
  constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
  std::vector<double> max_sim(n, kMinusInf);
  std::vector<char> selected(n, 0);
  const double redundancy_weight = 1.0 - lambda;
  std::vector<double> relevance(n);
  for (std::size_t q = 0; q < n; ++q) relevance[q] = lambda * rel[q];

  auto take = [&](std::size_t pos, double score) {
    picks.push_back({pos, score});
    selected[pos] = 1;
    const float* row = pair.data() + pos * n;
    // maxNum: a NaN similarity never raises the running maximum.
    for (std::size_t q = 0; q < n; ++q) max_sim[q] = std::fmax(max_sim[q], double{row[q]});
  };

  take(0, relevance[0]);  // the first candidate is trusted to be the most relevant
  if (k < 2) return picks;
  const std::size_t wanted = k < n ? static_cast<std::size_t>(k) : n;
  picks.reserve(wanted);
  while (picks.size() < wanted) {
    double best = kMinusInf;
    std::size_t best_pos = 0;
    for (std::size_t q = 0; q < n; ++q) {
      if (selected[q]) continue;
      // Two products and a difference, each rounded on its own (no fused multiply-add).
      const double redundancy = redundancy_weight * max_sim[q];
      const double score = relevance[q] - redundancy;
      if (score > best) {  // strict: ties go to the lower position, NaN never wins
        best = score;
        best_pos = q;
      }
    }
    if (best == kMinusInf) break;
    take(best_pos, best);
  }
  return picks;
}

std::vector<ScoredRow> mmr_select(std::span<const std::uint64_t> candidates,
                                  const VectorF32& similarities, const MatrixF32& matrix,
                                  std::uint64_t k, double lambda) {
  if (candidates.empty()) return {};
  const DenseMatrix rows = select_rows(matrix, candidates);
  const std::vector<float> pair = gram_matrix(rows);
  std::vector<double> rel(candidates.size());
  for (std::size_t p = 0; p < candidates.size(); ++p) {
    expect_index(candidates[p], similarities.size);
    rel[p] = double{similarities[candidates[p]]};
  }
  std::vector<ScoredRow> out;
  for (const MmrPick& pick : mmr_greedy(rel, pair, k, lambda)) {
    out.push_back({candidates[pick.position], pick.score});
  }
  return out;
}

}  // namespace quantelle
