#pragma once
// The walk over a Gram matrix shared by the SIMD variants: register tiles of TI x TJ row
// pairs, only those on or above the diagonal, each result written to (i, j) and (j, i). The
// "j" rows are taken in panels of about PanelBytes so that they stay in L2 while every "i"
// tile up to the panel's end passes over them. No ISA of its own: Tile carries it.
#include <algorithm>
#include <cstddef>

namespace quantelle {

// Tile(ri, rj, d, vals): vals[t][u] = dot(ri[t], rj[u]) over d elements.
template <std::size_t TI, std::size_t TJ, std::size_t PanelBytes, auto Tile>
void gram_by_tiles(const float* e, std::size_t m, std::size_t d, float* out) {
  const std::size_t row_bytes = std::max<std::size_t>(d * sizeof(float), 1);
  const std::size_t panel = std::max(TJ, PanelBytes / row_bytes / TJ * TJ);
  const float* ri[TI];
  const float* rj[TJ];
  float vals[TI][TJ];
  for (std::size_t jc = 0; jc < m; jc += panel) {
    const std::size_t jend = std::min(m, jc + panel);
    for (std::size_t i0 = 0; i0 < jend; i0 += TI) {
      // Rows past the edge repeat a valid row; their results are dropped below.
      for (std::size_t t = 0; t < TI; ++t) ri[t] = e + std::min(i0 + t, m - 1) * d;
      // Tiles wholly below the diagonal are skipped: start at the one that holds (i0, i0).
      std::size_t j0 = i0 > jc ? jc + (i0 - jc) / TJ * TJ : jc;
      for (; j0 < jend; j0 += TJ) {
        for (std::size_t u = 0; u < TJ; ++u) rj[u] = e + std::min(j0 + u, jend - 1) * d;
        Tile(ri, rj, d, vals);
        if (i0 + TI <= j0 + 1 && j0 + TJ <= jend) {  // wholly on or above the diagonal, inside
          for (std::size_t t = 0; t < TI; ++t)
            for (std::size_t u = 0; u < TJ; ++u) out[(i0 + t) * m + j0 + u] = vals[t][u];
          for (std::size_t u = 0; u < TJ; ++u)
            for (std::size_t t = 0; t < TI; ++t) out[(j0 + u) * m + i0 + t] = vals[t][u];
          continue;
        }
        for (std::size_t t = 0; t < TI && i0 + t < m; ++t)
          for (std::size_t u = 0; u < TJ && j0 + u < jend; ++u) {
            const std::size_t i = i0 + t, j = j0 + u;
            if (j >= i) out[i * m + j] = out[j * m + i] = vals[t][u];
          }
      }
    }
  }
}

}  // namespace quantelle
