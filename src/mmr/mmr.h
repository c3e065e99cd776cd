#pragma once
// Greedy Maximal Marginal Relevance: repeatedly pick the candidate whose relevance minus its
// redundancy with the picks so far is highest.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/views.h"

namespace quantelle {

struct ScoredRow {
  std::uint64_t row;
  double score;
};

struct MmrPick {
  std::size_t position;  // into the candidate list
  double score;
};

// The selection over the candidates m[rows[p]] (every row below m.rows) with relevances rel[p],
// ranked by p, or by ranks[p] (distinct) where given. The first in rank is taken first,
// unconditionally; k < 2 stops there; equal scores go to the lower rank. A pair value is the
// float32 dot product of two candidate rows, computed when it is needed.
[[nodiscard]] std::vector<MmrPick> mmr_greedy(const MatrixF32& m,
                                              std::span<const std::uint64_t> rows,
                                              std::span<const double> rel, std::uint64_t k,
                                              double lambda,
                                              std::span<const std::uint64_t> ranks = {});

// mmr_select_py: candidates are row indices of matrix; relevance is similarities[row].
[[nodiscard]] std::vector<ScoredRow> mmr_select(std::span<const std::uint64_t> candidates,
                                                const VectorF32& similarities,
                                                const MatrixF32& matrix, std::uint64_t k,
                                                double lambda);

}  // namespace quantelle
