#pragma once
// The scoring scan: every row of a working set against up to kMaxQueries vectors, in one pass
// that reads each row once while the kernel holds the queries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
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

// Calls fn(j, dots) for each working row j in order, with dots[q] = dot(row, queries[q]) as the
// kernel table computes it. Queries have matrix.cols elements.
template <class Fn>
void scan_rows(const WorkingSet& ws, std::span<const float* const> queries, Fn&& fn) {
  const KernelTable& k = kernels();
  const MatrixF32& m = ws.matrix;
  const std::size_t d = m.cols;
  const std::size_t count = ws.size();
  const bool direct = m.rows_contiguous();
  // The queries side by side on cache-line boundaries: a load that splits a line costs twice.
  const std::size_t stride = (d + 15) / 16 * 16;
  std::vector<float> aligned(queries.size() * stride + 16);
  const auto misalign = reinterpret_cast<std::uintptr_t>(aligned.data()) % 64;
  float* base = aligned.data() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
  const float* qs[kMaxQueries];
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::copy(queries[q], queries[q] + d, base + q * stride);
    qs[q] = base + q * stride;
  }
  // Rows read through odd strides are copied here first.
  std::vector<float> copies = direct ? std::vector<float>() : float_buffer(kBlockRows, d);
  const float* rows[kBlockRows];
  float dots[kBlockRows * kMaxQueries];
  constexpr std::size_t kAhead = kBlockRows;  // gathered rows are prefetched a block ahead
  for (std::size_t j = 0; j < count; j += kBlockRows) {
    const std::size_t n = count - j < kBlockRows ? count - j : kBlockRows;
    if (!ws.all_rows && direct) {
      for (std::size_t r = j + kAhead; r < j + kAhead + n && r < count; ++r) {
        const std::byte* p = m.row_bytes(ws.positions[r]);
        for (std::size_t off = 0; off < d * sizeof(float); off += 64) __builtin_prefetch(p + off);
      }
    }
    for (std::size_t r = 0; r < n; ++r) {
      const std::uint64_t row = ws.row(j + r);
      if (direct) {
        rows[r] = m.row_ptr(row);
      } else {
        m.copy_row(row, copies.data() + r * d);
        rows[r] = copies.data() + r * d;
      }
    }
    k.dot_block(rows, n, qs, queries.size(), d, dots);
    for (std::size_t r = 0; r < n; ++r) fn(j + r, dots + r * queries.size());
  }
}

}  // namespace quantelle
