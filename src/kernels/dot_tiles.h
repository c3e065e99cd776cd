#pragma once
// The walk of dot_tile shared by the SIMD variants: register tiles of R rows x Q queries, the
// rows outermost so that a tile's rows stay in L1 while every query passes over them (the rows
// come from memory once; the queries, nq x d floats, from L2). No ISA of its own: Tile has it.
// Prefetches change no result, only when the lines arrive.
#include <algorithm>
#include <cstddef>

#include "core/fault.h"
#include "kernels/kernels.h"

namespace quantelle {

inline constexpr std::size_t kLineBytes = 64;

// Tile(rows, queries, d, vals): vals[r][q] = dot(rows[r], queries[q]) over d elements. Edges
// repeat the last row or query and drop what it gives; every pair is computed on its own, so a
// repeated neighbour changes no bit of the others.
template <std::size_t R, std::size_t Q, auto Tile>
void dot_tile_by_tiles(const float* const* rows, std::size_t nrows, const float* const* queries,
                       std::size_t nq, std::size_t d, float* out) {
  expect(nq <= kTileQueries, "dot_tile: more queries than the kernel takes");
  if (nrows == 0 || nq == 0) return;
  const float* rr[R];
  const float* qq[Q];
  float vals[R][Q];
  const std::size_t lines = (d * sizeof(float) + kLineBytes - 1) / kLineBytes;  // per row
  const std::size_t qtiles = (nq + Q - 1) / Q;
  for (std::size_t r0 = 0; r0 < nrows; r0 += R) {
    for (std::size_t t = 0; t < R; ++t) rr[t] = rows[std::min(r0 + t, nrows - 1)];
    // The next tile's rows, a share of their lines before each query tile: left to the
    // hardware, each tile's first pass waited on memory (64 queries over 100,000 x 384 on a
    // Zen 3 took 54 % of the FMA peak so, 65 % with these).
    const std::size_t next = r0 + R;
    const std::size_t ahead = next < nrows ? std::min(R, nrows - next) * lines : 0;
    std::size_t fetched = 0;
    for (std::size_t q0 = 0, k = 1; q0 < nq; q0 += Q, ++k) {
      for (const std::size_t upto = ahead * k / qtiles; fetched < upto; ++fetched) {
        const auto* row = reinterpret_cast<const char*>(rows[next + fetched / lines]);
        __builtin_prefetch(row + fetched % lines * kLineBytes);
      }
      for (std::size_t u = 0; u < Q; ++u) qq[u] = queries[std::min(q0 + u, nq - 1)];
      Tile(rr, qq, d, vals);
      for (std::size_t u = 0; u < Q && q0 + u < nq; ++u)
        for (std::size_t t = 0; t < R && r0 + t < nrows; ++t)
          out[(q0 + u) * nrows + r0 + t] = vals[t][u];
    }
  }
}

}  // namespace quantelle
