#pragma once
// Float32 vector arithmetic over the caller's matrix and the call's own vectors. Faults (a row
// past the matrix, lengths that do not fit) are thrown, not returned.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "candidates/kernels.h"
#include "candidates/views.h"

namespace quantelle {

// A contiguous row-major float32 matrix owned by the logic.
struct DenseMatrix {
  std::vector<float> values;
  std::size_t rows = 0, cols = 0;
};

// rows x cols, refusing sizes whose element count does not fit in memory at all.
[[nodiscard]] std::vector<float> float_buffer(std::size_t rows, std::size_t cols);

// Rows positions[i] of m, in order; a position not below m.rows faults.
[[nodiscard]] DenseMatrix select_rows(const MatrixF32& m, std::span<const std::uint64_t> positions);

// Divides v by its norm when the squared norm is > 0; returns the squared norm.
float l2_normalize(std::span<float> v);

[[nodiscard]] float dot(std::span<const float> a, std::span<const float> b);

// Faults unless a vector of length len can multiply a rows x cols matrix. The products
// themselves are computed by scan_rows, several vectors per row in one pass.
void check_matvec_shape(std::size_t rows, std::size_t cols, std::size_t len);

// e * e^T, m x m.
[[nodiscard]] std::vector<float> gram_matrix(const DenseMatrix& e);

// The float32 mean of rows positions (added in list order); positions is not empty.
[[nodiscard]] std::vector<float> mean_of_rows(const MatrixF32& m,
                                              std::span<const std::uint64_t> positions);

[[nodiscard]] std::vector<float> scale(std::span<const float> v, float c);
[[nodiscard]] std::vector<float> add(std::span<const float> a, std::span<const float> b);
// Element-wise a - b; a length-1 operand is broadcast over the other.
[[nodiscard]] std::vector<float> sub(std::span<const float> a, std::span<const float> b);

// The scoring scan: for each working row j < count (matrix row positions[j], or j when positions
// is null) calls fn(j, dots) with dots[q] = dot(row, queries[q]), while the row is in cache.
// Queries have m.cols elements; positions are below m.rows.
template <class Fn>
void scan_rows(const MatrixF32& m, const std::uint64_t* positions, std::size_t count,
               std::span<const float* const> queries, Fn&& fn) {
  const KernelTable& k = kernels();
  const std::size_t d = m.cols;
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
    if (positions != nullptr && direct) {
      for (std::size_t r = j + kAhead; r < j + kAhead + n && r < count; ++r) {
        const std::byte* p = m.row_bytes(positions[r]);
        for (std::size_t off = 0; off < d * sizeof(float); off += 64) __builtin_prefetch(p + off);
      }
    }
    for (std::size_t r = 0; r < n; ++r) {
      const std::size_t row = positions != nullptr ? positions[j + r] : j + r;
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
