#include <bit>
#include <cstdlib>
#include <string_view>

#include "kernels/half.h"

namespace quantelle {

float half_to_float(std::uint16_t h) noexcept {
  const std::uint32_t sign = std::uint32_t{h & 0x8000u} << 16;
  const std::uint32_t exponent = (h >> 10) & 0x1Fu, mantissa = h & 0x3FFu;
  if (exponent == 0) {  // zero or subnormal: mantissa * 2^-24, exact in float32
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    return sign != 0 ? -magnitude : magnitude;
  }
  const std::uint32_t bits = exponent == 0x1F ? sign | 0x7F800000u | mantissa << 13
                                              : sign | (exponent + 112u) << 23 | mantissa << 13;
  return std::bit_cast<float>(bits);
}

namespace {

void dot_block_scalar(const std::uint16_t* const* rows, std::size_t count,
                      const float* const* queries, std::size_t nq, std::size_t d, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t q = 0; q < nq; ++q) {
      float sum = 0.0f;
      for (std::size_t i = 0; i < d; ++i) sum += half_to_float(rows[r][i]) * queries[q][i];
      out[q * kBlockRows + r] = sum;
    }
  }
}

}  // namespace

const HalfKernel kHalfScalar{"scalar", &dot_block_scalar};

#if defined(__x86_64__) || defined(__i386__)
std::span<const HalfKernel* const> supported_half_kernels() noexcept {
  static const HalfKernel* const both[] = {&kHalfScalar, &kHalfF16c};
  __builtin_cpu_init();
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                           __builtin_cpu_supports("f16c");
  return {both, wide ? 2u : 1u};
}
#else
std::span<const HalfKernel* const> supported_half_kernels() noexcept {
  static const HalfKernel* const only[] = {&kHalfScalar};
  return only;
}
#endif

const HalfKernel& half_kernel() noexcept {
  static const HalfKernel& chosen = []() -> const HalfKernel& {
    const std::span<const HalfKernel* const> all = supported_half_kernels();
    const char* forced = std::getenv(kKernelVariable);
    if (forced != nullptr && std::string_view(forced) == kHalfScalar.name) return kHalfScalar;
    return *all.back();
  }();
  return chosen;
}

}  // namespace quantelle
