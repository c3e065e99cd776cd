// The run-time choice of the kernel table, alone in its file: the test probe links its own
// definition of kernels() in place of this one, to run the whole pipeline under each variant,
// while the shipped module makes its choice once (kernels/choice.cpp).
#include "kernels/kernels.h"

namespace quantelle {

const KernelTable& kernels() noexcept {
  static const KernelTable& table = *choose_kernels().table;  // a static: chosen once
  return table;
}

}  // namespace quantelle
