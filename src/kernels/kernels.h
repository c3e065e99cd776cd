#pragma once
// Float32 dot-product kernels: one portable scalar reference and SIMD variants with the same
// signatures, chosen once at run time. Kernels take contiguous, float-aligned data.
#include <cstddef>
#include <span>

namespace quantelle {

// Rows scored per dot_block call. A kernel may score neighbouring rows of a block side by side
// (sharing each query load among them); scan_rows fills a block with rows of four separate runs
// of the matrix, which the hardware prefetchers follow as four streams.
inline constexpr std::size_t kBlockRows = 16;
inline constexpr std::size_t kMaxQueries = 3;

struct KernelTable {
  const char* name;
  // Sum of a[i] * b[i] in float32; the accumulation order is the variant's own.
  float (*dot)(const float* a, const float* b, std::size_t n);
  // out[r * nq + q] = dot(rows[r], queries[q], d) for r < count (<= kBlockRows) and
  // q < nq (1..kMaxQueries), bit-identical to this table's dot, so that a row's score never
  // depends on its neighbours.
  void (*dot_block)(const float* const* rows, std::size_t count, const float* const* queries,
                    std::size_t nq, std::size_t d, float* out);
  // out (m x m, row-major) = e * e^T for e contiguous m x d row-major; computed once per pair
  // of rows and mirrored, so the result is exactly symmetric.
  void (*gram)(const float* e, std::size_t m, std::size_t d, float* out);
};

extern const KernelTable kScalarTable;

// The tables this build has and this CPU runs, narrowest (the scalar reference) first.
[[nodiscard]] std::span<const KernelTable* const> supported_kernels() noexcept;

// The widest supported table, picked on first use.
[[nodiscard]] const KernelTable& kernels() noexcept;

}  // namespace quantelle
