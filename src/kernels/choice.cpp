// Which kernel table a process uses. Where both the AVX2 and the AVX-512 table run, which is
// faster depends on the core (a Sapphire Rapids ran an earlier 16-lane scan 1.46 x slower than
// the 8-lane one on 1,000 rows; cores that execute 512-bit operations as two halves gain little
// from them), and as both compute the same bits, a short scan at first use decides.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "kernels/kernels.h"

namespace quantelle {
namespace {

// A small corpus: 1,024 rows of 384 floats (1.5 MiB), past L1 (and L2 where it is 1 MiB), so a
// pass is neither served by L1 alone nor a wait for memory. Rows are read as scan_rows reads
// a whole matrix: blocks of 16 from four runs side by side. Timed on an AMD EPYC Zen 3 guest
// (AVX2 against itself), the whole choice took 2.3 ms the first time in a process, most of it
// faulting the buffer's pages in, and 0.9 ms after that.
constexpr std::size_t kDim = 384, kRows = 1024;
constexpr std::size_t kRunsSideBySide = 4, kRounds = 3;

struct Bench {
  static constexpr std::size_t kSize = (kRows + 1) * kDim + 16;
  std::unique_ptr<float[]> storage = std::make_unique_for_overwrite<float[]>(kSize);
  const float* matrix;
  const float* query;

  Bench() {
    // Written, not only allocated: untouched pages all map to one zero page, which reads fast.
    for (std::size_t i = 0; i < kSize; ++i) storage[i] = static_cast<float>(i & 7) * 0.125f - 0.5f;
    const auto misalign = reinterpret_cast<std::uintptr_t>(storage.get()) % 64;
    query = storage.get() + (misalign == 0 ? 0 : (64 - misalign) / sizeof(float));
    matrix = query + kDim;
  }

  // Seconds for one pass; a score goes to `sink` so that no pass is optimised out.
  double pass(const KernelTable& k, volatile float& sink) const {
    const std::size_t run = kRows / kRunsSideBySide;
    const float* rows[kBlockRows];
    float out[kBlockRows];
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t t0 = 0; t0 < run; t0 += kBlockRows / kRunsSideBySide) {
      std::size_t filled = 0;
      for (std::size_t t = t0; t < std::min(run, t0 + kBlockRows / kRunsSideBySide); ++t)
        for (std::size_t s = 0; s < kRunsSideBySide; ++s) rows[filled++] = matrix + (s * run + t) * kDim;
      k.dot_block(rows, filled, &query, 1, kDim, out);
      sink = out[0];
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

const KernelTable* named(std::span<const KernelTable* const> tables, const char* name) {
  if (name == nullptr) return nullptr;
  for (const KernelTable* t : tables)
    if (std::string_view(t->name) == name) return t;
  return nullptr;
}

}  // namespace

KernelChoice choose_kernels() noexcept {
  const std::span<const KernelTable* const> tables = supported_kernels();
  if (const KernelTable* t = named(tables, std::getenv(kKernelVariable)))
    return {t, KernelChoice::Reason::forced, {}, {}};
  // Narrowest first: the scalar reference, then AVX2, then AVX-512.
  if (tables.size() < 3) return {tables.back(), KernelChoice::Reason::only, {}, {}};
  KernelChoice c{nullptr, KernelChoice::Reason::measured, {tables[1], tables[2]}, {1e30, 1e30}};
  try {
    const Bench bench;
    volatile float sink = 0.0f;
    // Alternating, so that a clock ramping up or a neighbour's burst falls on both alike.
    for (std::size_t round = 0; round <= kRounds; ++round)
      for (std::size_t i = 0; i < 2; ++i) {
        const double s = bench.pass(*c.timed[i], sink);
        if (round > 0) c.seconds[i] = std::min(c.seconds[i], s);  // round 0 warms up
      }
    c.table = c.seconds[1] <= c.seconds[0] ? c.timed[1] : c.timed[0];
  } catch (...) {  // no memory for the scan: the widest table, unmeasured
    return {tables.back(), KernelChoice::Reason::only, {}, {}};
  }
  return c;
}

}  // namespace quantelle
