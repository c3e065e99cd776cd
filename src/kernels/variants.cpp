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

// The AVX-512 kernels use AVX-512F, and AVX-512VL with FMA for 256-bit halves in 32 registers.
bool cpu_has_avx512() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("fma");
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
