#include "kernels/vector_ops.h"

#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "core/fault.h"
#include "kernels/kernels.h"

namespace quantelle {

std::vector<float> float_buffer(std::size_t rows, std::size_t cols) {
  if (cols != 0 && rows > std::vector<float>().max_size() / cols) throw std::bad_alloc();
  return std::vector<float>(rows * cols);
}

DenseMatrix select_rows(const MatrixF32& m, std::span<const std::uint64_t> positions) {
  DenseMatrix out{float_buffer(positions.size(), m.cols), positions.size(), m.cols};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    expect_row(positions[i], m.rows);
    m.copy_row(positions[i], out.values.data() + i * m.cols);
  }
  return out;
}

float l2_normalize(std::span<float> v) {
  const float norm2 = dot(v, v);
  if (norm2 > 0.0f) {
    const float norm = std::sqrt(norm2);
    for (float& x : v) x /= norm;  // a true division, not a product with 1/norm
  }
  return norm2;
}

float dot(std::span<const float> a, std::span<const float> b) {
  expect(a.size() == b.size(), "dot product of vectors of different lengths");
  return kernels().dot(a.data(), b.data(), a.size());
}

void expect_matvec_compatible(std::size_t rows, std::size_t cols, std::size_t len) {
  if (len != cols) {
    raise_fault("inputs " + std::to_string(rows) + " \u00d7 " + std::to_string(cols) + " and " +
                std::to_string(len) + " \u00d7 1 are not compatible for matrix multiplication");
  }
}

std::vector<float> mean_of_rows(const MatrixF32& m, std::span<const std::uint64_t> positions) {
  std::vector<float> c(m.cols, 0.0f);
  for (const std::uint64_t p : positions) {
    expect_row(p, m.rows);
    for (std::size_t j = 0; j < m.cols; ++j) c[j] += m.at(p, j);
  }
  const auto count = static_cast<float>(positions.size());
  for (float& x : c) x /= count;
  return c;
}

std::vector<float> scale(std::span<const float> v, float c) {
  std::vector<float> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] * c;
  return out;
}

std::vector<float> add(std::span<const float> a, std::span<const float> b) {
  expect(a.size() == b.size(), "add of vectors of different lengths");
  std::vector<float> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
  return out;
}

std::vector<float> sub(std::span<const float> a, std::span<const float> b) {
  if (a.size() == b.size()) {
    std::vector<float> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] - b[i];
    return out;
  }
  if (b.size() == 1) {
    std::vector<float> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] - b[0];
    return out;
  }
  if (a.size() == 1) {
    std::vector<float> out(b.size());
    for (std::size_t i = 0; i < b.size(); ++i) out[i] = a[0] - b[i];
    return out;
  }
  raise_fault("shapes are incompatible for subtraction: " + std::to_string(a.size()) + " and " +
              std::to_string(b.size()));
}

}  // namespace quantelle
