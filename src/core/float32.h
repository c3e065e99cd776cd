#pragma once
#include <cmath>
#include <limits>

namespace quantelle {

// double -> float32, rounding to nearest even; beyond the float32 range it becomes an infinity
// (a plain cast of an out-of-range value is undefined behaviour in C++).
[[nodiscard]] inline float narrow_to_float(double v) noexcept {
  // Half an ulp above FLT_MAX: from here on the nearest float32 is infinity (ties go to the even
  // significand, which FLT_MAX's is not).
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::fabs(v) >= kOverflow) return v > 0 ? std::numeric_limits<float>::infinity()
                                               : -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

}  // namespace quantelle
