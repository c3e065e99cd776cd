#include "candidates/half_scan.h"

#include <algorithm>
#include <cmath>
#include <functional>
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

double norm(std::span<const float> v) noexcept {
  double s = 0.0;
  for (const float x : v) s += double{x} * double{x};
  return std::sqrt(s);
}

// n, raised by 2^-20 (more than float64's error in it) and rounded up to a float32, so that the
// float32 product of it and a row's error is not below the exact product.
float bound_up(double n) noexcept {
  n *= 1.0 + 0x1p-20;
  auto f = static_cast<float>(n);
  if (double{f} < n) f = std::nextafter(f, kInf);
  return f;
}

// Calls fn(filled, at, dots) for every block of working rows: their working positions and
// float16 dot products (dots[q * kBlockRows + r]), reading a window's rows in four runs side by
// side as scan_rows does (four streams for the hardware prefetchers), and fetching every row a
// block ahead, with what touch(row) fetches of the row's own data (its error, timestamp, mask
// byte: streams of their own): at half the bytes per row the kernel outruns the prefetchers alone.
template <class Touch, class Fn>
void scan_half(const WorkingSet& ws, const HalfRows& half, std::span<const float* const> queries,
               Touch&& touch, Fn&& fn) {
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
  std::size_t at[kBlockRows] = {};
  float dots[kBlockRows * kMaxQueries] = {};
  for (std::size_t w0 = 0; w0 < count; w0 += kWindow) {
    for_each_run_block(
        std::min(count - w0, kWindow), true,
        [&](std::size_t v) {
          const std::uint64_t row = ws.row(w0 + v);
          const auto* p = reinterpret_cast<const char*>(row_of(row));
          for (std::size_t off = 0; off < d * sizeof(std::uint16_t); off += 64) __builtin_prefetch(p + off);
          touch(row);
        },
        [&](std::size_t slot, std::size_t v) {
          rows[slot] = row_of(ws.row(w0 + v));
          at[slot] = w0 + v;
        },
        [&](std::size_t filled, std::size_t) {
          kernel.dot_block(rows, filled, qs, nq, d, dots);
          fn(filled, static_cast<const std::size_t*>(at), static_cast<const float*>(dots));
        });
  }
}

// What a stretch of the scan keeps: the k largest finite lower ends it saw (a min-heap), whether
// one was +inf (then no floor is trusted), and the working positions of the rows whose upper end
// reached its running floor, in the order scanned. That floor never exceeds the final one, so
// every row the final floor keeps is among them.
class Sieve {
 public:
  explicit Sieve(std::uint64_t k) : k_(k) {}

  [[nodiscard]] float floor() const noexcept {
    return best_.size() == k_ && !unbounded_ ? best_.front() : -kInf;
  }
  [[nodiscard]] float admits() const noexcept { return best_.size() < k_ ? -kInf : best_.front(); }

  // One block: n rows' working positions and interval ends.
  void take(std::size_t n, const std::size_t* at, const float* lo, const float* hi) {
    const float keep_from = floor(), admit = admits();
    bool any = false;
    for (std::size_t r = 0; r < n; ++r) {
      // Rows and queries that are not finite give NaN ends: those rows are always kept.
      if (!(hi[r] < keep_from) && hi[r] != -kInf) [[unlikely]] {
        at_.push_back(at[r]);
        his_.push_back(hi[r]);
      }
      any |= lo[r] > admit;
    }
    if (any) [[unlikely]] {
      for (std::size_t r = 0; r < n; ++r) offer(lo[r]);
    }
  }

  // k rows whose scores are at least the returned floor beat every row whose upper end is
  // below it, over all sieves (-inf where fewer than k lower ends are finite).
  [[nodiscard]] static float floor_of(std::span<const Sieve> all, std::uint64_t k) {
    std::vector<float> best;
    for (const Sieve& s : all) {
      if (s.unbounded_) return -kInf;
      best.insert(best.end(), s.best_.begin(), s.best_.end());
    }
    if (k == 0 || best.size() < k) return -kInf;
    const auto kth = best.begin() + static_cast<std::ptrdiff_t>(k - 1);
    std::nth_element(best.begin(), kth, best.end(), std::greater<>());
    return *kth;
  }

  void keep(float floor, std::vector<std::size_t>& out) const {
    for (std::size_t i = 0; i < at_.size(); ++i) {
      if (!(his_[i] < floor)) out.push_back(at_[i]);
    }
  }

 private:
  void offer(float lo) {
    if (!(lo > -kInf)) return;  // -inf and NaN rank last
    if (lo == kInf) unbounded_ = true;
    if (best_.size() < k_) {
      best_.push_back(lo);
      std::push_heap(best_.begin(), best_.end(), std::greater<>());
    } else if (lo > best_.front()) {
      std::pop_heap(best_.begin(), best_.end(), std::greater<>());
      best_.back() = lo;
      std::push_heap(best_.begin(), best_.end(), std::greater<>());
    }
  }

  std::uint64_t k_;
  std::vector<float> best_;
  bool unbounded_ = false;
  std::vector<std::size_t> at_;
  std::vector<float> his_;
};

}  // namespace

std::vector<std::uint64_t> half_candidates(const ScoreRequest& r, const ScorePlan& plan,
                                           const HalfRows& half) {
  expect(half.rows == r.matrix.rows && half.cols == r.matrix.cols &&
             half.errors.size() == half.rows && half.row_stride >= half.cols,
         "the float16 copy does not match the matrix");
  const WorkingSet& working = plan.working;
  const std::size_t m = working.size();
  const std::uint64_t k = r.diverse ? r.oversample : r.limit;
  std::vector<std::uint64_t> kept;
  if (k == 0) return kept;

  // The trajectory's blend is linear: its two vectors are scanned as one, c = fl(0.7 q + 0.3 dir)
  // element by element, whose bound's norm is (0.7 |q| + 0.3 |dir|) (1 + 3 / n), n = d + 16
  // (docs/half.md): three dot products per row become two.
  const bool trajectory = plan.direction.has_value(), contrast = plan.negative.has_value();
  std::vector<float> blend;
  const float* queries[kMaxQueries] = {plan.query.data()};
  float norms[kMaxQueries] = {bound_up(norm(plan.query))};
  if (trajectory) {
    const std::span<const float> q = plan.query, dir = *plan.direction;
    blend.resize(q.size());
    for (std::size_t i = 0; i < q.size(); ++i)
      blend[i] = kTrajectoryQueryWeight * q[i] + kTrajectoryDirectionWeight * dir[i];
    queries[0] = blend.data();
    const double n = static_cast<double>(half.cols) + 16.0;
    norms[0] = bound_up((double{kTrajectoryQueryWeight} * norm(q) +
                         double{kTrajectoryDirectionWeight} * norm(dir)) * (1.0 + 3.0 / n));
  }
  std::size_t nq = 1;
  const std::size_t negative_slot = contrast ? nq++ : 0;
  if (contrast) {
    queries[negative_slot] = plan.negative->data();
    norms[negative_slot] = bound_up(norm(*plan.negative));
  }
  const std::optional<Decay> decay = plan.decay;
  const bool cut = r.threshold > 0.0f;
  const float threshold = r.threshold;

  // Each row's interval passes through the float32 pipeline's own operations, applied to both
  // ends: rounding to nearest never reverses an order, so the exact pipeline's score of the
  // row stays inside (docs/half.md). A block at a time, in loops that the compiler runs in
  // vector lanes.
  constexpr std::size_t kB = kBlockRows;
  // Decay's factors lie in [0, 1] for a positive half-life, so no stage after the blend can
  // raise a row's upper end above max(hi, 0) less the penalty: a row whose bound stays below the
  // sieve's floor would be neither kept nor offered, and is dropped before its timestamp, mask
  // byte and factor are read (most rows, once the floor has risen). Without those stages the
  // sieve's own test is the same one.
  const bool drop_early = (decay || r.mask || cut) && (!decay || decay->days > 0.0f);
  const auto block = [&](Sieve& sieve, std::size_t begin, std::size_t n, const std::size_t* at,
                         const float* dots) {
    std::size_t pos[kB];
    std::uint64_t rows[kB];
    float error[kB], lo[kB], hi[kB], vl[kB], vh[kB];
    for (std::size_t j = 0; j < n; ++j) pos[j] = begin + at[j];
    for (std::size_t j = 0; j < n; ++j) rows[j] = working.row(pos[j]);
    for (std::size_t j = 0; j < n; ++j) error[j] = half.errors[rows[j]];
    const auto slot = [&](std::size_t q, float* l, float* h) {
      const float norm = norms[q];
      const float* dq = dots + q * kB;
      for (std::size_t j = 0; j < n; ++j) {
        const float b = norm * error[j] + kTiny;
        l[j] = below(dq[j] - b);
        h[j] = above(dq[j] + b);
      }
    };
    slot(0, lo, hi);  // the query's score, or the trajectory's blend of two
    if (contrast) slot(negative_slot, vl, vh);
    if (drop_early) {  // rounding is monotonic: each bound is at least the end it stands for
      const float keep_from = sieve.floor();
      float reach[kB];
      for (std::size_t j = 0; j < n; ++j) reach[j] = decay ? std::max(hi[j], 0.0f) : hi[j];
      if (contrast) {
        for (std::size_t j = 0; j < n; ++j) reach[j] = reach[j] - kContrastWeight * vl[j];
      }
      std::size_t left = 0;
      for (std::size_t j = 0; j < n; ++j) {
        if (reach[j] < keep_from) continue;  // NaN never drops a row
        pos[left] = pos[j], rows[left] = rows[j], lo[left] = lo[j], hi[left] = hi[j];
        if (contrast) vl[left] = vl[j], vh[left] = vh[j];
        ++left;
      }
      n = left;
      if (n == 0) return;
    }
    if (decay) {  // apply's own factors (1 * f is f); min and max hold for either sign of them
      double ts[kB];
      float f[kB];
      for (std::size_t j = 0; j < n; ++j) ts[j] = (*r.timestamps)[rows[j]];
      for (std::size_t j = 0; j < n; ++j) f[j] = 1.0f;
      decay->apply(ts, n, f);
      for (std::size_t j = 0; j < n; ++j) {
        const float a = f[j] * lo[j], b = f[j] * hi[j];
        lo[j] = std::min(a, b);
        hi[j] = std::max(a, b);
      }
    }
    if (r.mask) {
      for (std::size_t j = 0; j < n; ++j) {
        if ((*r.mask)[rows[j]] == 0) lo[j] = hi[j] = -kInf;
      }
    }
    if (cut) {  // cut or kept for certain, or only the upper end is known
      for (std::size_t j = 0; j < n; ++j) {
        const bool gone = hi[j] < threshold;
        lo[j] = gone || lo[j] < threshold ? -kInf : lo[j];
        hi[j] = gone ? -kInf : hi[j];
      }
    }
    if (contrast) {
      for (std::size_t j = 0; j < n; ++j) {
        lo[j] = lo[j] - kContrastWeight * vh[j];
        hi[j] = hi[j] - kContrastWeight * vl[j];
      }
    }
    sieve.take(n, pos, lo, hi);
  };
  // Every row's interval is its own: ranges of a fixed size, on as many threads as the pool has,
  // each with a sieve of its own; on one thread, one sieve for all, whose floor rises sooner.
  const std::size_t ranges = (m + kRangeRows - 1) / kRangeRows;
  const auto touch = [&](std::uint64_t row) {
    __builtin_prefetch(half.errors.data() + row);
    if (drop_early) return;  // few rows reach their timestamps and mask bytes
    if (decay) __builtin_prefetch(r.timestamps->data + static_cast<std::ptrdiff_t>(row) * r.timestamps->stride);
    if (r.mask) __builtin_prefetch(r.mask->data + static_cast<std::ptrdiff_t>(row) * r.mask->stride);
  };
  const auto range = [&](Sieve& sieve, std::size_t i) {
    const std::size_t begin = i * kRangeRows, n = std::min(kRangeRows, m - begin);
    scan_half(working.slice(begin, n), half, std::span(queries, nq), touch,
              [&](std::size_t filled, const std::size_t* at, const float* dots) {
                block(sieve, begin, filled, at, dots);
              });
  };
  std::vector<Sieve> sieves;
  if (pool_threads() == 1 || m * half.cols * sizeof(std::uint16_t) < kParallelBytes) {
    sieves.emplace_back(k);
    for (std::size_t i = 0; i < ranges; ++i) range(sieves.front(), i);
  } else {
    sieves.assign(ranges, Sieve(k));
    run_parallel(ranges, [&](std::size_t i) { range(sieves[i], i); });
  }
  const float floor = Sieve::floor_of(sieves, k);
  std::vector<std::size_t> at;
  for (const Sieve& s : sieves) s.keep(floor, at);
  std::sort(at.begin(), at.end());  // working order: the float32 pipeline's ties depend on it
  kept.reserve(at.size());
  for (const std::size_t j : at) kept.push_back(working.row(j));
  return kept;
}

ScorePlan plan_over(const ScoreRequest& r, const ScorePlan& plan,
                    std::span<const std::uint64_t> rows) {
  return ScorePlan{WorkingSet::gathered(r.matrix, rows), plan.query, plan.direction,
                   plan.negative, plan.decay};
}

}  // namespace quantelle
