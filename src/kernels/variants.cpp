// Which kernel tables this CPU runs. libgcc's feature bits already include the OS check
// (XGETBV) that the wide register state is saved, so a "yes" here is safe to execute. Only x86
// builds have the SIMD tables; elsewhere the scalar reference is the one table.
#include "kernels/kernels.h"

namespace quantelle {

#if defined(__x86_64__) || defined(__i386__)

extern const KernelTable kAvx2Table;
extern const KernelTable kAvx512Table;

namespace {

bool cpu_has_avx2_fma() noexcept {
  __builtin_cpu_init();  // harmless when libgcc's constructor already ran; needed if it did not
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The AVX-512 kernels use AVX-512F, VL for masked 256-bit loads, and the AVX2 table's
// reduction trees (kernels/sums8.h).
bool cpu_has_avx512() noexcept {
  return cpu_has_avx2_fma() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl");
}

struct Supported {
  const KernelTable* tables[3];
  std::size_t count;
};

Supported find_supported() noexcept {
  Supported s{{&kScalarTable, nullptr, nullptr}, 1};
  if (cpu_has_avx2_fma()) s.tables[s.count++] = &kAvx2Table;
  if (cpu_has_avx512()) s.tables[s.count++] = &kAvx512Table;
  return s;
}

}  // namespace

std::span<const KernelTable* const> supported_kernels() noexcept {
  static const Supported s = find_supported();
  return {s.tables, s.count};
}

#else

std::span<const KernelTable* const> supported_kernels() noexcept {
  static const KernelTable* const tables[] = {&kScalarTable};
  return tables;
}

#endif

}  // namespace quantelle
