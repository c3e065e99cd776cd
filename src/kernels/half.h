#pragma once
// Float16 dot-product kernels: the scan reads rows stored as IEEE binary16 and converts them to
// float32 on the fly (exactly: every float16 is a float32), then multiplies and adds in float32
// as the float32 kernels do. One portable scalar reference and an F16C variant, chosen once.
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/kernels.h"

namespace quantelle {

struct HalfKernel {
  const char* name;
  // out[q * kBlockRows + r] = the float32 sum of rows[r][i] * queries[q][i] over i < d, for
  // r < count (<= kBlockRows) and q < nq (1..kMaxQueries): a query's dots side by side, as the
  // scan's per-row interval work reads them. The accumulation order is the variant's own.
  void (*dot_block)(const std::uint16_t* const* rows, std::size_t count,
                    const float* const* queries, std::size_t nq, std::size_t d, float* out);
};

// The value of a binary16 bit pattern, exactly.
[[nodiscard]] float half_to_float(std::uint16_t h) noexcept;

extern const HalfKernel kHalfScalar;
extern const HalfKernel kHalfF16c;  // x86 builds only

// The variants this build has and this CPU runs, the scalar reference first.
[[nodiscard]] std::span<const HalfKernel* const> supported_half_kernels() noexcept;

// The variant QUANTELLE_KERNEL names ("scalar" forces the reference), else the widest; chosen
// once per process, on first use.
[[nodiscard]] const HalfKernel& half_kernel() noexcept;

}  // namespace quantelle
