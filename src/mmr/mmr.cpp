#include "mmr/mmr.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <utility>

#include "core/fault.h"
#include "kernels/kernels.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

// The whole pair matrix is worth computing only when most of its rows will be read: one blocked
// symmetric product runs near the FMA peak, where the pass of a pick is bound by the reads of the
// rows, so it pays once about a kGramShare-th of the candidates are picked (measured at
// 2,000 x 768 on AVX2: the product took 60 ms, 300 passes 64 ms). Beyond kGramMaxBytes the
// memory would outweigh the time saved.
constexpr std::size_t kGramShare = 6;
constexpr std::size_t kGramMaxBytes = std::size_t{256} << 20;

// The candidates not picked yet, with what their scores need side by side. A picked position's
// max_sim is never read again, so it is not maintained. The order is free (the scan breaks ties
// by position itself), so a pick leaves by trading places with the last entry.
struct Unpicked {
  std::vector<std::size_t> position;
  std::vector<double> relevance;  // lambda * rel, rounded once
  std::vector<double> max_sim;
  std::vector<const float*> row;  // the candidate's row, on the pass-per-pick path

  // order: the positions 0 .. n-1 in the order a pass visits them.
  Unpicked(std::span<const double> rel, double lambda, std::span<const std::size_t> order)
      : position(order.begin(), order.end()), relevance(rel.size()), max_sim(rel.size(), kMinusInf) {
    for (std::size_t i = 0; i < order.size(); ++i) relevance[i] = lambda * rel[order[i]];
  }
  [[nodiscard]] std::size_t size() const noexcept { return position.size(); }
  void remove(std::size_t i) noexcept {
    const auto drop = [i](auto& v) {
      if (v.empty()) return;
      v[i] = v.back();
      v.pop_back();
    };
    drop(position);
    drop(relevance);
    drop(max_sim);
    drop(row);
  }
};

// Pairs: pick(live, i) is told the unpicked entry i that was just picked, before it leaves;
// pairs(live, first, count, out) then gives out[j] = its pair value with entry first + j.
// After each pick one pass over the unpicked entries raises their max_sim (maxNum: a NaN pair
// value never raises it) and finds the next pick, so the update and the scan of the next step
// share the pass: a score depends on its own max_sim alone.
template <class Pairs>
std::vector<MmrPick> greedy(Unpicked& live, std::uint64_t k, double lambda, Pairs& pairs) {
  const std::size_t n = live.size();
  std::vector<MmrPick> picks;
  if (n == 0) return picks;
  // The first candidate is trusted to be the most relevant.
  const std::size_t first_i =
      static_cast<std::size_t>(std::find(live.position.begin(), live.position.end(), 0) -
                               live.position.begin());
  picks.push_back({0, live.relevance[first_i]});
  if (k < 2 || n == 1) return picks;
  const std::size_t wanted = k < n ? static_cast<std::size_t>(k) : n;
  picks.reserve(wanted);
  const double redundancy_weight = 1.0 - lambda;
  pairs.pick(live, first_i);
  live.remove(first_i);
  float values[kBlockRows];
  for (;;) {
    double best = kMinusInf;
    std::size_t best_i = 0, best_pos = n;
    for (std::size_t first = 0; first < live.size(); first += kBlockRows) {
      const std::size_t count = std::min(kBlockRows, live.size() - first);
      pairs(live, first, count, values);
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = first + j;
        // maxNum, given that max_sim is never NaN: a NaN pair value fails the comparison.
        const double value = values[j];
        const double sim = value > live.max_sim[i] ? value : live.max_sim[i];
        live.max_sim[i] = sim;
        // Two products and a difference, each rounded on its own (no fused multiply-add).
        const double redundancy = redundancy_weight * sim;
        const double score = live.relevance[i] - redundancy;
        // The first strictly greatest in position order; NaN never wins.
        if (score > best || (score == best && live.position[i] < best_pos)) {
          best = score;
          best_i = i;
          best_pos = live.position[i];
        }
      }
    }
    if (best == kMinusInf) break;  // every remaining score is NaN or -inf
    picks.push_back({best_pos, best});
    if (picks.size() == wanted) break;  // the last pick's pair values are never needed
    pairs.pick(live, best_i);
    live.remove(best_i);
  }
  return picks;
}

// Pair values from the whole P x P product, computed once.
struct GramPairs {
  std::vector<float> pair;
  std::size_t n;
  const float* pick_row = nullptr;

  void pick(const Unpicked& live, std::size_t i) { pick_row = pair.data() + live.position[i] * n; }
  void operator()(const Unpicked& live, std::size_t first, std::size_t count, float* out) const {
    for (std::size_t j = 0; j < count; ++j) out[j] = pick_row[live.position[first + j]];
  }
};

// Pair values as one pass of dot products of the picked row against the unpicked rows.
struct RowPairs {
  const KernelTable& kernel = kernels();
  std::size_t d;
  std::vector<float> buffer;  // the picked row, copied to a cache-line boundary
  float* query;

  explicit RowPairs(std::size_t cols) : d(cols), buffer(float_buffer(1, cols + 16)) {
    const auto misalign = reinterpret_cast<std::uintptr_t>(buffer.data()) % 64;
    query = buffer.data() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
  }
  void pick(const Unpicked& live, std::size_t i) {
    std::memcpy(query, live.row[i], d * sizeof(float));
  }
  void operator()(const Unpicked& live, std::size_t first, std::size_t count, float* out) const {
    const float* const* rows = live.row.data() + first;
    // Rows of a scattered candidate list are hinted a block ahead; the prefetchers follow
    // each row once its first lines are asked for.
    const std::size_t ahead_end = std::min(live.size(), first + count + kBlockRows);
    for (std::size_t r = first + count; r < ahead_end; ++r) __builtin_prefetch(live.row[r]);
    const float* q = query;
    kernel.dot_block(rows, count, &q, 1, d, out);
  }
};

}  // namespace

std::vector<MmrPick> mmr_greedy(const MatrixF32& m, std::span<const std::uint64_t> rows,
                                std::span<const double> rel, std::uint64_t k, double lambda) {
  const std::size_t n = rows.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const std::size_t wanted = k < n ? static_cast<std::size_t>(k) : n;
  const bool gram_fits = n <= kGramMaxBytes / sizeof(float) / std::max<std::size_t>(n, 1);
  if (wanted >= 2 && gram_fits && (wanted - 1) * kGramShare >= n) {
    Unpicked live(rel, lambda, order);
    GramPairs pairs{gram_matrix(select_rows(m, rows)), n};
    return greedy(live, k, lambda, pairs);
  }
  // A pass visits the rows in matrix order, so that it sweeps the matrix one way (the stride
  // prefetchers and the TLB follow that) where the candidates in relevance order jump about.
  if (wanted >= 2) {
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
    for (std::size_t p = 0; p < n; ++p) keyed[p] = {rows[p], p};
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
  }
  Unpicked live(rel, lambda, order);
  // Rows are read in place where a kernel can read them; gathered once where it cannot.
  DenseMatrix copies;
  live.row.resize(n);
  if (m.rows_contiguous()) {
    for (std::size_t i = 0; i < n; ++i) live.row[i] = m.row_ptr(rows[order[i]]);
  } else if (wanted >= 2) {
    std::vector<std::uint64_t> visit(n);
    for (std::size_t i = 0; i < n; ++i) visit[i] = rows[order[i]];
    copies = select_rows(m, visit);
    for (std::size_t i = 0; i < n; ++i) live.row[i] = copies.values.data() + i * m.cols;
  }
  RowPairs pairs(m.cols);
  return greedy(live, k, lambda, pairs);
}

std::vector<ScoredRow> mmr_select(std::span<const std::uint64_t> candidates,
                                  const VectorF32& similarities, const MatrixF32& matrix,
                                  std::uint64_t k, double lambda) {
  if (candidates.empty()) return {};
  for (const std::uint64_t row : candidates) expect_row(row, matrix.rows);  // before any relevance
  std::vector<double> rel(candidates.size());
  for (std::size_t p = 0; p < candidates.size(); ++p) {
    expect_index(candidates[p], similarities.size);
    rel[p] = double{similarities[candidates[p]]};
  }
  std::vector<ScoredRow> out;
  for (const MmrPick& pick : mmr_greedy(matrix, candidates, rel, k, lambda)) {
    out.push_back({candidates[pick.position], pick.score});
  }
  return out;
}

}  // namespace quantelle
