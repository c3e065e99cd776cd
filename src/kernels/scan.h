#pragma once
// The scoring scan: every row of a working set against up to kMaxQueries vectors, in one pass
// that reads each row once while the kernel holds the queries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/views.h"
#include "kernels/kernels.h"
#include "kernels/row_blocks.h"
#include "kernels/vector_ops.h"

namespace quantelle {

// The rows one call scores: working row j is matrix row positions[j], or row first + j of the
// matrix when the set is a run of consecutive rows. Positions are below matrix.rows (checked by
// the caller).
struct WorkingSet {
  const MatrixF32& matrix;
  std::span<const std::uint64_t> positions;  // empty when consecutive
  bool consecutive = true;
  std::size_t first = 0, count = 0;

  [[nodiscard]] static WorkingSet whole(const MatrixF32& m) noexcept {
    return {m, {}, true, 0, m.rows};
  }
  [[nodiscard]] static WorkingSet gathered(const MatrixF32& m,
                                           std::span<const std::uint64_t> rows) noexcept {
    return {m, rows, false, 0, rows.size()};
  }
  // Working rows begin .. begin + n - 1 of this set, as a set of their own.
  [[nodiscard]] WorkingSet slice(std::size_t begin, std::size_t n) const noexcept {
    if (consecutive) return {matrix, {}, true, first + begin, n};
    return {matrix, positions.subspan(begin, n), false, 0, n};
  }
  [[nodiscard]] std::size_t size() const noexcept { return count; }
  [[nodiscard]] std::uint64_t row(std::size_t j) const noexcept {
    return consecutive ? first + j : positions[j];
  }
};

// The order in which scan_rows reads working rows. A whole matrix is always read in ascending
// j; a gathered set may instead be read in ascending matrix row, which turns random reads of
// scattered rows into a forward walk.
enum class Visit : std::uint8_t { in_order, by_row };

// Working positions 0..m-1 ordered by rows[j] (equal rows by j), or empty when the set is too
// large for 32-bit positions (then it is visited in order). O(m) for rows spread over n.
[[nodiscard]] std::vector<std::uint32_t> positions_by_row(std::span<const std::uint64_t> rows,
                                                          std::size_t n);

// Rows per run in a scan window: kRuns runs of this many rows are read side by side.
inline constexpr std::size_t kRunRows = 256;

// How far ahead, in bytes, a walk over scattered rows fetches them: a few rows, enough to cover
// a memory access while the rows in between are scored (from 2 to 10 rows of 384 floats ahead
// ran alike on an AMD EPYC Zen 3; more only fills the miss buffers).
inline constexpr std::size_t kGatherAheadBytes = 6 * 1024;

namespace scan_detail {

inline void fetch_row(const MatrixF32& m, std::uint64_t row) noexcept {
  const std::byte* p = m.row_bytes(row);
  for (std::size_t off = 0; off < m.cols * sizeof(float); off += 64) __builtin_prefetch(p + off);
}

}  // namespace scan_detail

// Working rows per window of an in-order scan.
inline constexpr std::size_t kScanWindow = kRuns * kRunRows;

namespace scan_detail {

struct NoWindowHook {
  void operator()(std::size_t, std::size_t) const noexcept {}
};

}  // namespace scan_detail

// Calls fn(j, dots) once for each working row j, with dots[q] = dot(row, queries[q]) as the
// kernel table computes it; the order of the calls is the scan's own (a callback that only
// writes slot j gives the same result in any order). Queries have matrix.cols elements.
// In order, rows are read in windows of kScanWindow (the last may be short), each in kRuns
// runs side by side (four streams, and rows that share query loads); after the calls for the
// window of rows w0 .. w0 + wn - 1, window_done(w0, wn). By row, a gathered set is read in one
// ascending walk over the matrix, fetched ahead by software (scattered rows defeat the
// hardware prefetchers), and window_done is never called.
template <class Fn, class Done = scan_detail::NoWindowHook>
void scan_rows(const WorkingSet& ws, std::span<const float* const> queries, Fn&& fn,
               Visit visit = Visit::in_order, Done&& window_done = {}) {
  const KernelTable& k = kernels();
  const MatrixF32& m = ws.matrix;
  const std::size_t d = m.cols, nq = queries.size();
  const std::size_t count = ws.size();
  if (count == 0) return;
  const bool direct = m.rows_contiguous();
  AlignedVectors aligned(nq, d);
  const float* qs[kMaxQueries] = {};
  for (std::size_t q = 0; q < nq; ++q) {
    aligned.assign(q, queries[q], d);
    qs[q] = aligned.at(q);
  }
  // Rows read through odd strides are copied here first.
  std::vector<float> copies = direct ? std::vector<float>() : float_buffer(kBlockRows, d);
  const float* rows[kBlockRows];
  const auto place = [&](std::size_t slot, std::uint64_t row) {
    if (direct) {
      rows[slot] = m.row_ptr(row);
    } else {
      m.copy_row(row, copies.data() + slot * d);
      rows[slot] = copies.data() + slot * d;
    }
  };

  if (!ws.consecutive && visit == Visit::by_row) {
    const std::vector<std::uint32_t> order = positions_by_row(ws.positions, m.rows);
    if (!order.empty()) {
      std::vector<std::uint64_t> sorted(count);  // the walk's rows, read in turn
      for (std::size_t v = 0; v < count; ++v) sorted[v] = ws.positions[order[v]];
      const std::size_t row_bytes = std::max<std::size_t>(d * sizeof(float), 1);
      const std::size_t ahead = std::clamp<std::size_t>(kGatherAheadBytes / row_bytes, 2, 64);
      float dots[kBlockRows * kMaxQueries];
      for (std::size_t v = 0; v < std::min(ahead, count) && direct; ++v)
        scan_detail::fetch_row(m, sorted[v]);
      for (std::size_t v0 = 0; v0 < count; v0 += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, count - v0);
        for (std::size_t r = 0; r < n; ++r) {
          if (direct && v0 + r + ahead < count) scan_detail::fetch_row(m, sorted[v0 + r + ahead]);
          place(r, sorted[v0 + r]);
        }
        k.dot_block(rows, n, qs, nq, d, dots);
        for (std::size_t r = 0; r < n; ++r) fn(std::size_t{order[v0 + r]}, dots + r * nq);
      }
      return;
    }
  }

  // Per window: the dots of its rows in the order they were read, and which row each is.
  constexpr std::size_t kWindow = kScanWindow;
  static_assert(kWindow <= 1u << 16);
  std::vector<float> window(kWindow * nq);
  std::uint16_t which[kWindow];  // visits within the window
  for (std::size_t w0 = 0; w0 < count; w0 += kWindow) {
    const std::size_t wn = std::min(count - w0, kWindow);
    std::size_t read = 0;
    // Scattered rows defeat the hardware prefetchers: fetch each run's row one block on.
    for_each_run_block(
        wn, !ws.consecutive && direct,
        [&](std::size_t v) { scan_detail::fetch_row(m, ws.row(w0 + v)); },
        [&](std::size_t slot, std::size_t v) {
          place(slot, ws.row(w0 + v));
          which[read++] = static_cast<std::uint16_t>(v);
        },
        [&](std::size_t filled, std::size_t first) {
          k.dot_block(rows, filled, qs, nq, d, window.data() + first * nq);
        });
    for (std::size_t i = 0; i < read; ++i) fn(w0 + which[i], window.data() + i * nq);
    window_done(w0, wn);
  }
}

}  // namespace quantelle
