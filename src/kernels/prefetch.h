#pragma once
// Prefetching for the AVX2 row scans of dot_block. When the rows of a block are equally spaced
// (a scan down a matrix), the same place in the next block is hinted into L2 while this one is
// scored. Without it, two or three queries per row made the scan bound by L1 loads at some
// query alignments, at half to two thirds of the memory bandwidth; with it every alignment
// measured ran at the bandwidth. Gathered rows are left to the caller, which knows their order.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

namespace quantelle {

// Bytes from each row of a full block to its counterpart in the next block, or 0.
[[nodiscard]] inline std::uintptr_t next_block_distance(const float* const* rows,
                                                        std::size_t count, std::size_t d) {
  if (count != kBlockRows) return 0;
  const auto at = [rows](std::size_t r) { return reinterpret_cast<std::uintptr_t>(rows[r]); };
  const std::uintptr_t step = at(1) - at(0);
  if (at(1) < at(0) || step < d * sizeof(float)) return 0;  // also rules out overlapping rows
  for (std::size_t r = 2; r < count; ++r)
    if (at(r) - at(r - 1) != step) return 0;
  return step * kBlockRows;
}

// A hint only: the address may lie past every object (the matrix's end), which a prefetch
// tolerates; it is never dereferenced. Covers 128 bytes: one AVX2 loop step.
inline void prefetch_ahead(const float* p, std::uintptr_t distance) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + distance;
  _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T2);
  _mm_prefetch(reinterpret_cast<const char*>(at + 64), _MM_HINT_T2);
}

}  // namespace quantelle
