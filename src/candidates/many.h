#pragma once
// Many score_candidates calls in few reads of the rows: the calls that share a matrix and a
// working set are scored together, each block of rows against the vectors of up to
// kTileQueries slots at once, and each call keeps only its best rows as the blocks pass.
// Every call's result is the one score_candidates gives it alone.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "candidates/pipeline.h"

namespace quantelle {

// One planned call: its request and the plan made from it (both outlive the call).
struct ManyCall {
  const ScoreRequest* request;
  const ScorePlan* plan;
};

struct RankedRow {
  float score;
  std::uint64_t position;  // in the call's working set
};

// The k best rows under score_order among those offered, leaving out -inf and NaN (which never
// rank before a finite score, so the selection drops them anyway). Which rows they are does not
// depend on the order they come in.
class BestRows {
 public:
  // k best of at most m rows: room for min(k, m).
  BestRows(std::uint64_t k, std::size_t m);

  // Working rows begin .. begin + n - 1 with their final scores, each position above every one
  // offered before.
  void offer_run(std::size_t begin, const float* scores, std::size_t n);

  // The rows of another selection over other positions.
  void merge(const BestRows& other);

  // Best first.
  [[nodiscard]] std::vector<RankedRow> ranked() &&;

 private:
  void push(RankedRow row);
  void replace_worst(RankedRow row);

  std::size_t k_;
  std::vector<RankedRow> heap_;  // the worst on top
};

// For each call, its k best rows (limit, or oversample when diverse) over its whole working
// set. Each group of calls reads its rows once per kTileQueries slots (plan_slots), split into
// contiguous ranges over the thread pool when the work is large enough to gain.
[[nodiscard]] std::vector<BestRows> best_rows_many(std::span<const ManyCall> calls);

// The records select_scored chooses for the call, from its best rows alone.
[[nodiscard]] std::vector<ScoredId> select_best(const ManyCall& call, BestRows&& best);

}  // namespace quantelle
