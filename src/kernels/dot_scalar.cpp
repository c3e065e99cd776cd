// Portable reference kernels: what "correct" means for every SIMD variant. Products and sums
// are rounded to float32 one by one (no FMA); only the summation order is ours.
#include <cstddef>

#include "core/fault.h"
#include "kernels/kernels.h"

namespace quantelle {
namespace {

// Four partial sums, element i going to sum i % 4: the same shape as a 4-lane vector, so
// the compiler may vectorise it without changing a single rounding.
float dot_scalar(const float* a, const float* b, std::size_t n) {
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  if (i < n) s0 += a[i] * b[i];
  if (i + 1 < n) s1 += a[i + 1] * b[i + 1];
  if (i + 2 < n) s2 += a[i + 2] * b[i + 2];
  return (s0 + s1) + (s2 + s3);
}

// The reference block is literally one dot per pair, which is the contract the SIMD blocks
// must meet bit for bit.
void dot_block_scalar(const float* const* rows, std::size_t count, const float* const* queries,
                      std::size_t nq, std::size_t d, float* out) {
  expect(count <= kBlockRows && nq <= kMaxQueries, "dot_block: block larger than the kernel");
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t q = 0; q < nq; ++q) out[r * nq + q] = dot_scalar(rows[r], queries[q], d);
}

void dot_tile_scalar(const float* const* rows, std::size_t nrows, const float* const* queries,
                     std::size_t nq, std::size_t d, float* out) {
  expect(nq <= kTileQueries, "dot_tile: more queries than the kernel takes");
  for (std::size_t q = 0; q < nq; ++q)
    for (std::size_t r = 0; r < nrows; ++r) out[q * nrows + r] = dot_scalar(rows[r], queries[q], d);
}

void gram_scalar(const float* e, std::size_t m, std::size_t d, float* out) {
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j)
      out[i * m + j] = out[j * m + i] = dot_scalar(e + i * d, e + j * d, d);
}

}  // namespace

const KernelTable kScalarTable{"scalar", dot_scalar, dot_block_scalar, dot_tile_scalar, gram_scalar};

}  // namespace quantelle
