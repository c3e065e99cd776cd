// Run-time choice of the kernel table. libgcc's feature bits already include the OS check
// (XGETBV) that the wide register state is saved, so a "yes" here is safe to execute.
#include "kernels/kernels.h"

namespace quantelle {

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

const KernelTable& kernels() noexcept {
  static const KernelTable& table = cpu_has_avx512()     ? kAvx512Table
                                    : cpu_has_avx2_fma() ? kAvx2Table
                                                         : kScalarTable;
  return table;
}

}  // namespace quantelle
