#include "candidates/many.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "candidates/output.h"
#include "candidates/ranking.h"
#include "core/thread_pool.h"
#include "kernels/tile_scan.h"

namespace quantelle {
namespace {

constexpr auto before = [](const RankedRow& a, const RankedRow& b) noexcept {
  return score_order(a.score, a.position, b.score, b.position);
};

// Whether any of kSkipRun scores beats t: a loop that vectorises, so that the runs none of whose
// scores enter a full selection (nearly all of them) cost a compare each.
constexpr std::size_t kSkipRun = 32;
inline bool any_above(const float* s, float t) noexcept {
  unsigned any = 0;
  for (std::size_t j = 0; j < kSkipRun; ++j) any |= s[j] > t ? 1u : 0u;
  return any != 0;
}

// A range of rows is worth a task of its own from this many multiply-adds (rows x slots x d):
// about half a millisecond of one core's tiles, against the tens of microseconds a hand-over
// to the pool costs.
constexpr std::size_t kMinTaskFmas = std::size_t{1} << 23;
// Ranges per thread, taken as threads come free: with one each, a thread slowed by anything
// else on its core held the whole call back.
constexpr std::size_t kTasksPerThread = 4;

bool same_rows(const WorkingSet& a, const WorkingSet& b) noexcept {
  const MatrixF32 &x = a.matrix, &y = b.matrix;
  if (x.data != y.data || x.rows != y.rows || x.cols != y.cols || x.row_stride != y.row_stride ||
      x.col_stride != y.col_stride || a.consecutive != b.consecutive || a.size() != b.size()) {
    return false;
  }
  return a.consecutive ? a.first == b.first : std::ranges::equal(a.positions, b.positions);
}

std::uint64_t wanted(const ScoreRequest& r) noexcept { return r.diverse ? r.oversample : r.limit; }

// Calls over the same rows whose slots fit one tile pass.
struct Chunk {
  const WorkingSet* rows;
  std::vector<std::size_t> calls;     // indices into the calls
  std::vector<std::size_t> first;     // each call's first slot
  std::vector<const float*> slots;    // every call's vectors, in call order
};

std::vector<Chunk> chunks_of(std::span<const ManyCall> calls) {
  std::vector<Chunk> chunks;
  std::vector<bool> placed(calls.size(), false);
  for (std::size_t c = 0; c < calls.size(); ++c) {
    if (placed[c]) continue;
    const WorkingSet& rows = calls[c].plan->working;
    chunks.push_back({&rows, {}, {}, {}});
    for (std::size_t o = c; o < calls.size(); ++o) {
      if (placed[o] || !same_rows(rows, calls[o].plan->working)) continue;
      const float* slots[kMaxQueries];
      const std::size_t n = plan_slots(*calls[o].plan, slots);
      if (chunks.back().slots.size() + n > kTileQueries) chunks.push_back({&rows, {}, {}, {}});
      Chunk& chunk = chunks.back();
      chunk.calls.push_back(o);
      chunk.first.push_back(chunk.slots.size());
      chunk.slots.insert(chunk.slots.end(), slots, slots + n);
      placed[o] = true;
    }
  }
  return chunks;
}

// Rows [begin, end) of one chunk.
struct Task {
  std::size_t chunk, begin, end;
};

std::vector<Task> tasks_of(std::span<const Chunk> chunks) {
  std::vector<Task> tasks;
  const std::size_t threads = pool_threads();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const Chunk& chunk = chunks[i];
    const std::size_t m = chunk.rows->size();
    const std::size_t fmas = m * chunk.slots.size() * std::max<std::size_t>(chunk.rows->matrix.cols, 1);
    const std::size_t parts =
        std::clamp<std::size_t>(fmas / kMinTaskFmas, 1, threads == 1 ? 1 : threads * kTasksPerThread);
    // Whole blocks per range but the last, so each range's tiles are as full as one scan's.
    const std::size_t blocks = (m + kTileBlockRows - 1) / kTileBlockRows;
    for (std::size_t p = 0; p < parts; ++p) {
      const std::size_t begin = std::min(m, blocks * p / parts * kTileBlockRows);
      const std::size_t end = std::min(m, blocks * (p + 1) / parts * kTileBlockRows);
      if (begin < end) tasks.push_back({i, begin, end});
    }
  }
  return tasks;
}

std::vector<BestRows> run_task(std::span<const ManyCall> calls, const Chunk& chunk,
                               const Task& task) {
  std::vector<BestRows> best;
  best.reserve(chunk.calls.size());
  // Calls whose final scores are their dot products are offered the tile's scores in place.
  std::vector<bool> raw;
  raw.reserve(chunk.calls.size());
  for (const std::size_t c : chunk.calls) {
    best.emplace_back(wanted(*calls[c].request), task.end - task.begin);
    const ScoreRequest& r = *calls[c].request;
    const ScorePlan& plan = *calls[c].plan;
    raw.push_back(!plan.direction && !plan.negative && !plan.decay && !r.mask &&
                  !(r.threshold > 0.0f));
  }
  float scores[kTileBlockRows];
  scan_tiles(*chunk.rows, task.begin, task.end, chunk.slots,
             [&](std::size_t j0, std::size_t count, const float* dots) {
               for (std::size_t i = 0; i < chunk.calls.size(); ++i) {
                 const ManyCall& call = calls[chunk.calls[i]];
                 if (raw[i]) {
                   best[i].offer_run(j0, dots + chunk.first[i] * count, count);
                   continue;
                 }
                 const float* slot_dots[kMaxQueries];
                 for (std::size_t s = 0; s < kMaxQueries; ++s)
                   slot_dots[s] = dots + std::min(chunk.first[i] + s, chunk.slots.size() - 1) * count;
                 finish_scores(*call.request, *call.plan, j0, count, slot_dots, scores);
                 best[i].offer_run(j0, scores, count);
               }
             });
  return best;
}

}  // namespace

BestRows::BestRows(std::uint64_t k, std::size_t m) : k_(static_cast<std::size_t>(k)) {
  heap_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(k, m)));
}

void BestRows::push(RankedRow row) {
  heap_.push_back(row);
  std::push_heap(heap_.begin(), heap_.end(), before);
}

void BestRows::replace_worst(RankedRow row) {
  std::pop_heap(heap_.begin(), heap_.end(), before);
  heap_.back() = row;
  std::push_heap(heap_.begin(), heap_.end(), before);
}

void BestRows::offer_run(std::size_t begin, const float* s, std::size_t n) {
  constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
  std::size_t j = 0;
  for (; j < n && heap_.size() < k_; ++j) {
    if (s[j] > kMinusInf) push({s[j], begin + j});
  }
  if (heap_.size() < k_ || k_ == 0) return;
  // Full: a later position enters only with a higher score than the worst (an equal one ranks
  // after it), and NaN never does.
  while (j < n) {
    if (j + kSkipRun <= n && !any_above(s + j, heap_.front().score)) {
      j += kSkipRun;
      continue;
    }
    for (const std::size_t end = std::min(j + kSkipRun, n); j < end; ++j) {
      if (s[j] > heap_.front().score) replace_worst({s[j], begin + j});
    }
  }
}

void BestRows::merge(const BestRows& other) {
  for (const RankedRow& row : other.heap_) {
    if (heap_.size() < k_) push(row);
    else if (before(row, heap_.front())) replace_worst(row);
  }
}

std::vector<RankedRow> BestRows::ranked() && {
  std::sort(heap_.begin(), heap_.end(), before);
  return std::move(heap_);
}

std::vector<BestRows> best_rows_many(std::span<const ManyCall> calls) {
  const std::vector<Chunk> chunks = chunks_of(calls);
  const std::vector<Task> tasks = tasks_of(chunks);
  std::vector<std::vector<BestRows>> found(tasks.size());
  const auto run = [&](std::size_t t) { found[t] = run_task(calls, chunks[tasks[t].chunk], tasks[t]); };
  if (tasks.size() == 1) run(0);
  else if (!tasks.empty()) run_parallel(tasks.size(), run);

  std::vector<BestRows> out;
  out.reserve(calls.size());
  for (const ManyCall& call : calls) out.emplace_back(wanted(*call.request), call.plan->working.size());
  for (std::size_t t = 0; t < tasks.size(); ++t) {
    const Chunk& chunk = chunks[tasks[t].chunk];
    for (std::size_t i = 0; i < chunk.calls.size(); ++i) out[chunk.calls[i]].merge(found[t][i]);
  }
  return out;
}

std::vector<ScoredId> select_best(const ManyCall& call, BestRows&& best) {
  const ScoreRequest& r = *call.request;
  std::vector<RankedRow> ranked = std::move(best).ranked();
  std::erase_if(ranked, [](const RankedRow& row) { return !std::isfinite(row.score); });
  // select_output over the chosen rows alone, as a working set of their own in working order,
  // so that positions keep their order and every tie breaks as it does over all the rows.
  std::vector<std::size_t> by_position(ranked.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) by_position[i] = i;
  std::sort(by_position.begin(), by_position.end(), [&](std::size_t a, std::size_t b) {
    return ranked[a].position < ranked[b].position;
  });
  std::vector<std::uint64_t> rows(ranked.size()), pool(ranked.size());
  std::vector<float> scores(ranked.size());
  for (std::size_t c = 0; c < by_position.size(); ++c) {
    const RankedRow& row = ranked[by_position[c]];
    rows[c] = call.plan->working.row(row.position);
    scores[c] = row.score;
    pool[by_position[c]] = c;  // rank order, which a plain selection keeps
  }
  const WorkingSet chosen = WorkingSet::gathered(call.plan->working.matrix, rows);
  return select_output(r, chosen, scores, pool);
}

}  // namespace quantelle
