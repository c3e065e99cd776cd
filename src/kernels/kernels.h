#pragma once
// Float32 dot-product kernels: one portable scalar reference and SIMD variants with the same
// signatures, chosen once at run time. Kernels take contiguous, float-aligned data.
#include <cstddef>

namespace quantelle {

// Rows scored per dot_block call. They are walked one after another (rows side by side defeat
// the stride prefetchers on a matrix far larger than the caches); a block amortises the call and
// lets a kernel hint the next block of an evenly spaced scan into cache. 16 rows ran measurably
// closer to the read bandwidth than 4.
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
extern const KernelTable kAvx2Table;
extern const KernelTable kAvx512Table;

[[nodiscard]] bool cpu_has_avx2_fma() noexcept;
[[nodiscard]] bool cpu_has_avx512() noexcept;

// The best table this CPU runs, picked on first use.
[[nodiscard]] const KernelTable& kernels() noexcept;

}  // namespace quantelle
