#pragma once
// Read-only views of the caller's arrays, as the logic sees them. Strides are in bytes, not
// elements: NumPy permits strides that are not a multiple of the element size, and such arrays
// are read correctly (element by element through memcpy) instead of being rejected.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quantelle {

template <class T>
struct StridedVector {
  const std::byte* data = nullptr;  // logically first element
  std::size_t size = 0;
  std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(sizeof(T));

  [[nodiscard]] T operator[](std::size_t i) const noexcept {
    T v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
    return v;
  }
  [[nodiscard]] std::vector<T> to_vector() const {
    std::vector<T> out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = (*this)[i];
    return out;
  }
};

using VectorF32 = StridedVector<float>;
using VectorF64 = StridedVector<double>;
using BoolVector = StridedVector<std::uint8_t>;  // NumPy's bool bytes; any non-zero byte is true

struct MatrixF32 {
  const std::byte* data = nullptr;  // logically first element
  std::size_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;  // bytes

  [[nodiscard]] const std::byte* row_bytes(std::size_t r) const noexcept {
    return data + static_cast<std::ptrdiff_t>(r) * row_stride;
  }
  // True when every row is a run of aligned, adjacent floats that a kernel can read directly.
  [[nodiscard]] bool rows_contiguous() const noexcept {
    const auto addr = reinterpret_cast<std::uintptr_t>(data);
    return (cols <= 1 || col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) &&
           addr % alignof(float) == 0 && row_stride % static_cast<std::ptrdiff_t>(alignof(float)) == 0;
  }
  // Only valid when rows_contiguous().
  [[nodiscard]] const float* row_ptr(std::size_t r) const noexcept {
    return reinterpret_cast<const float*>(row_bytes(r));
  }
  [[nodiscard]] float at(std::size_t r, std::size_t c) const noexcept {
    float v;
    std::memcpy(&v, row_bytes(r) + static_cast<std::ptrdiff_t>(c) * col_stride, sizeof(float));
    return v;
  }
  void copy_row(std::size_t r, float* out) const noexcept {
    const std::byte* p = row_bytes(r);
    // Adjacent, perhaps misaligned. A zero-width row may have no buffer (and no out) at all.
    if (col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) && cols != 0) {
      std::memcpy(out, p, cols * sizeof(float));
      return;
    }
    for (std::size_t c = 0; c < cols; ++c, p += col_stride) std::memcpy(out + c, p, sizeof(float));
  }
};

}  // namespace quantelle
