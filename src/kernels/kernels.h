#pragma once
// Float32 dot-product kernels: one portable scalar reference and SIMD variants with the same
// signatures, chosen once at run time. Kernels take contiguous, float-aligned data. The AVX2 and
// AVX-512 tables compute the same bits (the scalar reference its own), so the choice between
// them is one of speed alone.
#include <cstddef>
#include <span>

namespace quantelle {

// Rows scored per dot_block call. A kernel may score neighbouring rows of a block side by side
// (sharing each query load among them); scan_rows fills a block with rows of four separate runs
// of the matrix, which the hardware prefetchers follow as four streams.
inline constexpr std::size_t kBlockRows = 16;
inline constexpr std::size_t kMaxQueries = 3;
// Queries one dot_tile call scores each row against.
inline constexpr std::size_t kTileQueries = 64;

struct KernelTable {
  const char* name;
  // Sum of a[i] * b[i] in float32; the accumulation order is the variant's own.
  float (*dot)(const float* a, const float* b, std::size_t n);
  // out[r * nq + q] = dot(rows[r], queries[q], d) for r < count (<= kBlockRows) and
  // q < nq (1..kMaxQueries), bit-identical to this table's dot, so that a row's score never
  // depends on its neighbours.
  void (*dot_block)(const float* const* rows, std::size_t count, const float* const* queries,
                    std::size_t nq, std::size_t d, float* out);
  // out[q * nrows + r] = dot(rows[r], queries[q], d) for r < nrows and q < nq (<= kTileQueries),
  // bit-identical to this table's dot: a query's scores never depend on the queries (or rows)
  // scored beside it. Register tiles of several rows by several queries, each row read once.
  void (*dot_tile)(const float* const* rows, std::size_t nrows, const float* const* queries,
                   std::size_t nq, std::size_t d, float* out);
  // out (m x m, row-major) = e * e^T for e contiguous m x d row-major; computed once per pair
  // of rows and mirrored, so the result is exactly symmetric.
  void (*gram)(const float* e, std::size_t m, std::size_t d, float* out);
};

extern const KernelTable kScalarTable;

// The tables this build has and this CPU runs, narrowest (the scalar reference) first.
[[nodiscard]] std::span<const KernelTable* const> supported_kernels() noexcept;

// Which table kernels() returns, and why.
struct KernelChoice {
  enum class Reason : unsigned char { forced, only, measured };
  const KernelTable* table;
  Reason reason;
  // For `measured`: the best time of each SIMD table over the same scan, seconds.
  const KernelTable* timed[2];
  double seconds[2];
};

// The environment variable that names the table to use, for tests and benchmarks; a name this
// CPU does not run is ignored.
inline constexpr const char* kKernelVariable = "QUANTELLE_KERNEL";

// The table QUANTELLE_KERNEL names, else the one SIMD table this CPU runs, else (both the AVX2
// and AVX-512 ones) the faster in a scan of 1.5 MiB, about a millisecond; the scalar
// reference where no SIMD table runs. Measures anew on every call.
[[nodiscard]] KernelChoice choose_kernels() noexcept;

// choose_kernels() once per process, on first use.
[[nodiscard]] const KernelTable& kernels() noexcept;

}  // namespace quantelle
