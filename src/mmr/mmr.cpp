#include "mmr/mmr.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "core/fault.h"
#include "kernels/kernels.h"
#include "kernels/row_blocks.h"
#include "kernels/scan.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

// The whole pair matrix is worth computing only when most of its rows will be read: one blocked
// symmetric product runs near the FMA peak, where the pass of a pick is bound by the reads of the
// rows, so it pays once about a kGramShare-th of the candidates are picked (measured at
// 2,000 x 768 on AVX2: the product took 60 ms, 300 passes 64 ms). Beyond kGramMaxBytes the
// memory would outweigh the time saved.
constexpr std::size_t kGramShare = 3;
constexpr std::size_t kGramMaxBytes = std::size_t{256} << 20;
// Candidates whose rows fit in L2 are visited in list order: there the sort by row cost more than
// it saved (about 2 % of a diverse call at 1,000 x 384 with its pool of 200).
constexpr std::size_t kSortedBytes = std::size_t{512} << 10;

// A candidate not picked yet. Its max_sim covers the first `seen` picks, in pick order, and
// score is its score against them.
struct Candidate {
  double score;
  double relevance;  // lambda * rel, rounded once
  double max_sim;
  std::size_t position;  // into the candidate list
  std::uint64_t rank;     // the candidate list's order: ties go to the lower rank
  std::size_t seen;
  const float* row;  // on the pass-per-pick paths
};

// maxNum, given that max_sim is never NaN: a NaN pair value fails the comparison, so it never
// raises the maximum. Then two products and a difference, each rounded on its own (no fused
// multiply-add).
inline void raise_to(Candidate& c, float value, double redundancy_weight) noexcept {
  const double v = value;
  c.max_sim = v > c.max_sim ? v : c.max_sim;
  const double redundancy = redundancy_weight * c.max_sim;
  c.score = c.relevance - redundancy;
}

// Scan order: higher score first, ties to the lower rank. NaN scores never get here.
inline bool ranks_below(const Candidate& a, const Candidate& b) noexcept {
  return a.score < b.score || (a.score == b.score && a.rank > b.rank);
}

void sift_down(std::vector<Candidate>& heap, std::size_t at) noexcept {
  const std::size_t n = heap.size();
  const Candidate moving = heap[at];
  for (std::size_t child = 2 * at + 1; child < n; child = 2 * at + 1) {
    if (child + 1 < n && ranks_below(heap[child], heap[child + 1])) ++child;
    if (!ranks_below(moving, heap[child])) break;
    heap[at] = heap[child];
    at = child;
  }
  heap[at] = moving;
}

void pop_top(std::vector<Candidate>& heap) noexcept {
  heap.front() = heap.back();
  heap.pop_back();
  if (!heap.empty()) sift_down(heap, 0);
}

// Pairs: pick(c) records the candidate just picked; pass(live, fn) calls fn(i, value) for every
// live[i] with its pair value with the latest pick; where pair values are computed on demand,
// against(c, first, count, out) gives out[j] = that of c with pick first + j (count <=
// kMaxQueries).

// With a positive, finite redundancy weight a score only falls as picks are added (max_sim only
// rises, and rounding is monotonic), so a score against the first picks bounds every later one
// from above. The candidates wait in a heap by those bounds; the top is brought up to date
// against the picks it has not seen, and once the top is up to date no other can beat it (nor
// tie it from a lower rank). A pair value is computed only when a candidate reaches the top
// between two picks, not for every candidate at every pick, and each candidate still meets the
// picks in pick order, so every score is the one a full scan would compute. A score that is NaN
// or -inf stays so and never wins: such candidates leave.
template <class Pairs>
void pick_by_bounds(std::vector<Candidate>& heap, std::vector<MmrPick>& picks, std::size_t wanted,
                    double redundancy_weight, Pairs& pairs) {
  std::size_t kept = 0;
  for (Candidate& c : heap) {
    if (c.score > kMinusInf) heap[kept++] = c;
  }
  heap.resize(kept);
  std::make_heap(heap.begin(), heap.end(),
                 [](const Candidate& a, const Candidate& b) { return ranks_below(a, b); });
  float values[kMaxQueries];
  while (!heap.empty()) {
    Candidate& top = heap.front();
    const std::size_t known = picks.size();
    if (top.seen == known) {
      picks.push_back({top.position, top.score});
      if (picks.size() == wanted) return;
      pairs.pick(top);
      pop_top(heap);
      continue;
    }
    for (std::size_t s = top.seen; s < known; s += kMaxQueries) {
      const std::size_t count = std::min(kMaxQueries, known - s);
      pairs.against(top, s, count, values);
      for (std::size_t j = 0; j < count; ++j) raise_to(top, values[j], redundancy_weight);
    }
    top.seen = known;
    if (top.score > kMinusInf) sift_down(heap, 0);
    else pop_top(heap);
  }
}

// Any other weight: after each pick one pass over the unpicked candidates raises their max_sim
// and finds the next pick (a score depends on its own max_sim alone, so the update and the scan
// share the pass). The order of the candidates is free (the scan breaks ties by rank), so a
// pick leaves by trading places with the last one.
template <class Pairs>
void pick_by_passes(std::vector<Candidate>& live, std::vector<MmrPick>& picks, std::size_t wanted,
                    double redundancy_weight, Pairs& pairs) {
  for (;;) {
    double best = kMinusInf;
    std::size_t best_i = 0;
    std::uint64_t best_rank = std::numeric_limits<std::uint64_t>::max();
    pairs.pass(live, [&](std::size_t i, float value) {
      Candidate& c = live[i];
      raise_to(c, value, redundancy_weight);
      const double score = c.score;
      // The first strictly greatest in rank order; NaN never wins.
      if (score > best || (score == best && c.rank < best_rank)) [[unlikely]] {
        best = score;
        best_i = i;
        best_rank = c.rank;
      }
    });
    if (best == kMinusInf) return;  // every remaining score is NaN or -inf
    picks.push_back({live[best_i].position, best});
    if (picks.size() == wanted) return;  // the last pick's pair values are never needed
    pairs.pick(live[best_i]);
    live[best_i] = live.back();
    live.pop_back();
  }
}

// The first candidate is trusted to be the most relevant and taken unconditionally; one pass
// against it gives every other candidate its first score, then the bounds or the passes go on.
// Bounds pay where a pair value costs a dot product; from the whole product, a pass that reads
// one row of it in order is cheaper than lookups scattered over many rows.
template <class Pairs>
std::vector<MmrPick> greedy(std::vector<Candidate>& live, std::size_t wanted, double lambda,
                            Pairs& pairs) {
  const auto by_rank = [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; };
  const auto first = std::min_element(live.begin(), live.end(), by_rank);
  std::vector<MmrPick> picks{{first->position, first->relevance}};
  picks.reserve(wanted);
  pairs.pick(*first);
  *first = live.back();
  live.pop_back();
  const double redundancy_weight = 1.0 - lambda;
  if constexpr (Pairs::kComputed) {
    if (redundancy_weight > 0.0 && std::isfinite(redundancy_weight)) {
      pairs.pass(live, [&](std::size_t i, float value) {
        raise_to(live[i], value, redundancy_weight);
        live[i].seen = 1;
      });
      pick_by_bounds(live, picks, wanted, redundancy_weight, pairs);
      return picks;
    }
  }
  pick_by_passes(live, picks, wanted, redundancy_weight, pairs);
  return picks;
}

// Pair values from the whole P x P product, computed once. The product writes every value, so
// its memory is not cleared first.
struct GramPairs {
  static constexpr bool kComputed = false;
  std::unique_ptr<float[]> pair;
  std::size_t n;
  std::size_t latest = 0;  // the position of the latest pick

  GramPairs(const MatrixF32& m, std::span<const std::uint64_t> rows)
      : pair(new float[rows.size() * rows.size()]), n(rows.size()) {
    kernels().gram(select_rows(m, rows).values.data(), n, m.cols, pair.get());
  }

  void pick(const Candidate& c) { latest = c.position; }
  template <class Fn>
  void pass(const std::vector<Candidate>& live, Fn&& fn) const {
    const float* row = pair.get() + latest * n;
    for (std::size_t i = 0; i < live.size(); ++i) fn(i, row[live[i].position]);
  }
};

// Pair values as float32 dot products of candidate rows, computed when needed.
struct RowPairs {
  static constexpr bool kComputed = true;
  const KernelTable& kernel = kernels();
  std::size_t d;
  std::vector<const float*> picked;
  AlignedVectors latest;  // the latest pick's row, copied to a cache-line boundary

  explicit RowPairs(std::size_t cols) : d(cols), latest(1, cols) {}
  void pick(const Candidate& c) {
    picked.push_back(c.row);
    latest.assign(0, c.row, d);
  }
  // A pass reads the candidates as the scan reads the matrix, in blocks from runs side by side;
  // each run's row a block ahead is hinted, for candidate lists with gaps.
  template <class Fn>
  void pass(const std::vector<Candidate>& live, Fn&& fn) const {
    const std::size_t n = live.size();
    const float* rows[kBlockRows];
    std::size_t at[kBlockRows];
    float values[kBlockRows];
    const float* q = latest.at(0);
    for_each_run_block(
        n, true, [&](std::size_t ahead) { __builtin_prefetch(live[ahead].row); },
        [&](std::size_t slot, std::size_t i) {
          rows[slot] = live[i].row;
          at[slot] = i;
        },
        [&](std::size_t filled, std::size_t /*first*/) {
          kernel.dot_block(rows, filled, &q, 1, d, values);
          for (std::size_t j = 0; j < filled; ++j) fn(at[j], values[j]);
        });
  }
  void against(const Candidate& c, std::size_t first, std::size_t count, float* out) const {
    kernel.dot_block(&c.row, 1, picked.data() + first, count, d, out);
  }
};

// The candidates in the order a pass visits them. By row: in matrix order, so that a pass sweeps
// the matrix one way (the stride prefetchers and the TLB follow that) where the candidates in
// relevance order jump about. Otherwise by position (the order of the product's rows).
std::vector<Candidate> candidates(const MatrixF32& m, std::span<const std::uint64_t> rows,
                                  std::span<const double> rel, std::span<const std::uint64_t> ranks,
                                  double lambda, bool by_row) {
  const std::size_t n = rows.size();
  std::vector<Candidate> out(n);
  const std::vector<std::uint32_t> order =
      by_row ? positions_by_row(rows, m.rows) : std::vector<std::uint32_t>();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t p = order.empty() ? i : order[i];
    out[i] = {0.0, lambda * rel[p], kMinusInf, p, ranks.empty() ? p : ranks[p], 0, nullptr};
  }
  return out;
}

}  // namespace

std::vector<MmrPick> mmr_greedy(const MatrixF32& m, std::span<const std::uint64_t> rows,
                                std::span<const double> rel, std::uint64_t k, double lambda,
                                std::span<const std::uint64_t> ranks) {
  const std::size_t n = rows.size();
  if (n == 0) return {};
  if (k < 2 || n == 1) {
    const auto lowest = std::min_element(ranks.begin(), ranks.end());
    const auto first = ranks.empty() ? 0 : static_cast<std::size_t>(lowest - ranks.begin());
    return {{first, lambda * rel[first]}};
  }
  const std::size_t wanted = k < n ? static_cast<std::size_t>(k) : n;
  const bool gram_fits = n <= kGramMaxBytes / sizeof(float) / n;
  if (gram_fits && (wanted - 1) * kGramShare >= n) {
    std::vector<Candidate> live = candidates(m, rows, rel, ranks, lambda, false);
    GramPairs pairs(m, rows);
    return greedy(live, wanted, lambda, pairs);
  }
  const bool by_row = n > kSortedBytes / sizeof(float) / std::max<std::size_t>(m.cols, 1);
  std::vector<Candidate> live = candidates(m, rows, rel, ranks, lambda, by_row);
  // Rows are read in place where a kernel can read them; gathered once where it cannot.
  DenseMatrix copies;
  if (m.rows_contiguous()) {
    for (Candidate& c : live) c.row = m.row_ptr(rows[c.position]);
  } else {
    std::vector<std::uint64_t> visit(n);
    for (std::size_t i = 0; i < n; ++i) visit[i] = rows[live[i].position];
    copies = select_rows(m, visit);
    for (std::size_t i = 0; i < n; ++i) live[i].row = copies.values.data() + i * m.cols;
  }
  RowPairs pairs(m.cols);
  return greedy(live, wanted, lambda, pairs);
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
