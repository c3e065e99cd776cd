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
#include "kernels/vector_ops.h"

namespace quantelle {

// The rows one call scores: working row j is matrix row positions[j], or row j of the whole
// matrix when there are no positions. Positions are below matrix.rows (checked by the caller).
struct WorkingSet {
  const MatrixF32& matrix;
  std::span<const std::uint64_t> positions;  // empty: all rows of matrix
  bool all_rows = true;

  [[nodiscard]] static WorkingSet whole(const MatrixF32& m) noexcept { return {m, {}, true}; }
  [[nodiscard]] static WorkingSet gathered(const MatrixF32& m,
                                           std::span<const std::uint64_t> rows) noexcept {
    return {m, rows, false};
  }
  [[nodiscard]] std::size_t size() const noexcept {
    return all_rows ? matrix.rows : positions.size();
  }
  [[nodiscard]] std::uint64_t row(std::size_t j) const noexcept {
    return all_rows ? j : positions[j];
  }
};

// The order in which scan_rows hands working rows to its callback. A whole matrix is always
// visited in ascending j; a gathered set may instead be read in ascending matrix row, which
// turns random reads of scattered rows into forward walks (a callback that only writes slot j
// gives the same result either way).
enum class Visit : std::uint8_t { in_order, by_row };

// Working positions 0..m-1 ordered by rows[j] (equal rows by j), or empty when the set is too
// large for 32-bit positions (then it is visited in order). O(m) for rows spread over n.
[[nodiscard]] std::vector<std::uint32_t> positions_by_row(std::span<const std::uint64_t> rows,
                                                          std::size_t n);

// Rows per run in a scan window: four runs of this many rows are read side by side.
inline constexpr std::size_t kRunRows = 256;
inline constexpr std::size_t kRuns = 4;

// Calls fn(j, dots) once for each working row j, with dots[q] = dot(row, queries[q]) as the
// kernel table computes it. Queries have matrix.cols elements. Rows are read in windows of up
// to kRuns runs, side by side (four streams, and rows that share query loads); the callback
// still sees the window's rows in visit order.
template <class Fn>
void scan_rows(const WorkingSet& ws, std::span<const float* const> queries, Fn&& fn,
               Visit visit = Visit::in_order) {
  const KernelTable& k = kernels();
  const MatrixF32& m = ws.matrix;
  const std::size_t d = m.cols, nq = queries.size();
  const std::size_t count = ws.size();
  const bool direct = m.rows_contiguous();
  // The queries side by side on cache-line boundaries: a load that splits a line costs twice.
  const std::size_t stride = (d + 15) / 16 * 16;
  std::vector<float> aligned(nq * stride + 16);
  const auto misalign = reinterpret_cast<std::uintptr_t>(aligned.data()) % 64;
  float* base = aligned.data() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
  const float* qs[kMaxQueries];
  for (std::size_t q = 0; q < nq; ++q) {
    std::copy(queries[q], queries[q] + d, base + q * stride);
    qs[q] = base + q * stride;
  }
  const std::vector<std::uint32_t> order = !ws.all_rows && visit == Visit::by_row
                                               ? positions_by_row(ws.positions, m.rows)
                                               : std::vector<std::uint32_t>();
  const auto at = [&](std::size_t v) -> std::size_t { return order.empty() ? v : order[v]; };
  // Rows read through odd strides are copied here first.
  std::vector<float> copies = direct ? std::vector<float>() : float_buffer(kBlockRows, d);
  std::vector<float> window(kRuns * kRunRows * nq);
  const float* rows[kBlockRows];
  std::size_t slots[kBlockRows];  // where each block row's dots go in the window
  float dots[kBlockRows * kMaxQueries];
  const auto flush = [&](std::size_t n) {
    k.dot_block(rows, n, qs, nq, d, dots);
    for (std::size_t r = 0; r < n; ++r)
      std::copy(dots + r * nq, dots + (r + 1) * nq, window.data() + slots[r] * nq);
  };
  for (std::size_t w0 = 0; w0 < count; w0 += kRuns * kRunRows) {
    const std::size_t wn = std::min(count - w0, kRuns * kRunRows);
    std::size_t starts[kRuns + 1];  // run s holds visits w0 + starts[s] .. w0 + starts[s + 1]
    for (std::size_t s = 0; s <= kRuns; ++s) starts[s] = wn * s / kRuns;
    std::size_t filled = 0;
    for (std::size_t t = 0; t < (wn + kRuns - 1) / kRuns; ++t) {  // the longest run
      for (std::size_t s = 0; s < kRuns; ++s) {
        const std::size_t slot = starts[s] + t;
        if (slot >= starts[s + 1]) continue;
        const std::uint64_t row = ws.row(at(w0 + slot));
        if (direct) {
          rows[filled] = m.row_ptr(row);
          // Scattered rows defeat the hardware prefetchers: fetch this run's row one block on.
          if (!ws.all_rows && slot + kBlockRows / kRuns < starts[s + 1]) {
            const std::byte* p = m.row_bytes(ws.row(at(w0 + slot + kBlockRows / kRuns)));
            for (std::size_t off = 0; off < d * sizeof(float); off += 64)
              __builtin_prefetch(p + off);
          }
        } else {
          m.copy_row(row, copies.data() + filled * d);
          rows[filled] = copies.data() + filled * d;
        }
        slots[filled++] = slot;
        if (filled == kBlockRows) flush(std::exchange(filled, 0));
      }
    }
    if (filled != 0) flush(filled);
    for (std::size_t v = 0; v < wn; ++v) fn(at(w0 + v), window.data() + v * nq);
  }
}

}  // namespace quantelle
