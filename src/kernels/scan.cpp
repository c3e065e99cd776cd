#include "kernels/scan.h"

#include <algorithm>
#include <limits>

namespace quantelle {

std::vector<std::uint32_t> positions_by_row(std::span<const std::uint64_t> rows, std::size_t n) {
  const std::size_t m = rows.size();
  if (m >= std::numeric_limits<std::uint32_t>::max()) return {};
  // A counting sort on buckets of 2^shift rows, no more buckets than positions, then a sort
  // inside each bucket: linear for rows spread over the matrix, n log n at worst.
  unsigned shift = 0;
  while ((n >> shift) > m) ++shift;
  const std::size_t buckets = (n >> shift) + 1;  // rows are below n
  std::vector<std::uint32_t> start(buckets + 1, 0);
  for (const std::uint64_t r : rows) ++start[(r >> shift) + 1];
  for (std::size_t b = 1; b <= buckets; ++b) start[b] += start[b - 1];
  std::vector<std::uint32_t> order(m);
  for (std::size_t j = 0; j < m; ++j)
    order[start[rows[j] >> shift]++] = static_cast<std::uint32_t>(j);
  // Now start[b] is where bucket b ends; its entries are in ascending j.
  const auto before = [rows](std::uint32_t a, std::uint32_t b) {
    return rows[a] != rows[b] ? rows[a] < rows[b] : a < b;
  };
  for (std::size_t b = 0, begin = 0; b < buckets; begin = start[b++]) {
    if (start[b] - begin > 1) {
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin),
                order.begin() + static_cast<std::ptrdiff_t>(start[b]), before);
    }
  }
  return order;
}

}  // namespace quantelle
