#pragma once
// Many queries against a row range in one read of the rows: blocks of rows scored by the
// table's dot_tile and handed to the caller one block at a time, so that a caller keeping the
// best rows per query never holds more than one block of scores (kTileBlockRows x nq floats).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/fault.h"
#include "core/views.h"
#include "kernels/kernels.h"
#include "kernels/scan.h"
#include "kernels/vector_ops.h"

namespace quantelle {

// Rows per block: a multiple of every table's tile height (4 and 6), and few enough that a
// block's scores for 64 queries (60 KiB) stay in L2 for the caller.
inline constexpr std::size_t kTileBlockRows = 240;

// The queries copied to 64-byte boundaries, one every whole number of cache lines (a load that
// splits a line costs two).
struct TileQueries {
  std::vector<float> storage;
  std::vector<const float*> at;

  TileQueries(std::span<const float* const> queries, std::size_t d)
      : storage(float_buffer(queries.size() + 1, (d + 15) / 16 * 16)), at(queries.size()) {
    const std::size_t stride = (d + 15) / 16 * 16;
    const auto misalign = reinterpret_cast<std::uintptr_t>(storage.data()) % 64;
    float* base = storage.data() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
    for (std::size_t q = 0; q < queries.size(); ++q) {
      at[q] = base + q * stride;
      std::copy(queries[q], queries[q] + d, base + q * stride);
    }
  }
};

// Working rows [first, last) of ws against every query (ws.matrix.cols floats each, at most
// kTileQueries of them), in ascending blocks of up to kTileBlockRows rows: fn(j0, count, scores)
// with scores[q * count + r] = dot(working row j0 + r, queries[q]) as kernels().dot computes it.
// The scores are valid until fn returns. Rows read through odd strides are copied first.
template <class Fn>
void scan_tiles(const WorkingSet& ws, std::size_t first, std::size_t last,
                std::span<const float* const> queries, Fn&& fn) {
  const MatrixF32& m = ws.matrix;
  expect(first <= last && last <= ws.size(), "scan_tiles: rows outside the matrix");
  expect(queries.size() <= kTileQueries, "dot_tile: more queries than the kernel takes");
  if (first == last || queries.empty()) return;
  const KernelTable& k = kernels();
  const std::size_t d = m.cols, nq = queries.size();
  const TileQueries qs(queries, d);
  const bool direct = m.rows_contiguous();
  std::vector<float> copies = direct ? std::vector<float>() : float_buffer(kTileBlockRows, d);
  std::vector<float> scores = float_buffer(kTileBlockRows, nq);
  const float* rows[kTileBlockRows];
  for (std::size_t j0 = first; j0 < last; j0 += kTileBlockRows) {
    const std::size_t count = std::min(kTileBlockRows, last - j0);
    for (std::size_t r = 0; r < count; ++r) {
      const std::uint64_t row = ws.row(j0 + r);
      if (direct) {
        rows[r] = m.row_ptr(row);
      } else {
        m.copy_row(row, copies.data() + r * d);
        rows[r] = copies.data() + r * d;
      }
    }
    k.dot_tile(rows, count, qs.at.data(), nq, d, scores.data());
    fn(j0, count, static_cast<const float*>(scores.data()));
  }
}

// Rows [first, last) of the whole matrix m.
template <class Fn>
void scan_tiles(const MatrixF32& m, std::size_t first, std::size_t last,
                std::span<const float* const> queries, Fn&& fn) {
  scan_tiles(WorkingSet::whole(m), first, last, queries, std::forward<Fn>(fn));
}

}  // namespace quantelle
