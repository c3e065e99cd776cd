#pragma once
// Float32 vector arithmetic over the caller's matrix and the call's own vectors. Faults (a row
// past the matrix, lengths that do not fit) are thrown, not returned.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/views.h"

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
// themselves are computed by scan_rows (kernels/scan.h), several vectors per row in one pass.
void expect_matvec_compatible(std::size_t rows, std::size_t cols, std::size_t len);

// The float32 mean of rows positions (added in list order); positions is not empty.
[[nodiscard]] std::vector<float> mean_of_rows(const MatrixF32& m,
                                              std::span<const std::uint64_t> positions);

[[nodiscard]] std::vector<float> scale(std::span<const float> v, float c);
[[nodiscard]] std::vector<float> add(std::span<const float> a, std::span<const float> b);
// Element-wise a - b; a length-1 operand is broadcast over the other.
[[nodiscard]] std::vector<float> sub(std::span<const float> a, std::span<const float> b);

}  // namespace quantelle
