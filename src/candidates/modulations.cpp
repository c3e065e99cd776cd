#include "candidates/modulations.h"

#include <algorithm>
#include <ctime>
#include <limits>

#include "core/fault.h"
#include "core/float32.h"
#include "kernels/vector_ops.h"

namespace quantelle {
namespace {

constexpr std::size_t kDecayRows = 256;

}  // namespace

void blend_centroid(std::vector<float>& q, float query_norm2, const MatrixF32& matrix,
                    std::span<const std::uint64_t> liked_rows) {
  std::vector<float> centroid = mean_of_rows(matrix, liked_rows);
  l2_normalize(centroid);
  if (query_norm2 > 0.0f) {
    q = add(scale(q, kBlendWeight), scale(centroid, kBlendWeight));
    l2_normalize(q);
  } else {  // a zero query, or one holding NaN: search by the liked documents alone
    q = std::move(centroid);
  }
}

std::vector<float> trajectory_direction(const VectorF32& from, const VectorF32& to) {
  std::vector<float> dir = sub(to.to_vector(), from.to_vector());
  l2_normalize(dir);
  return dir;
}

Decay Decay::starting_now(std::optional<double> recent_days) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) raise_fault("system clock reads a time before 1970-01-01 00:00:00 UTC");
  const double now = static_cast<double>(ts.tv_nsec) / 1000000000.0 + static_cast<double>(ts.tv_sec);
  return Decay{now, recent_days ? narrow_to_float(*recent_days) : kDefaultHalfLifeDays};
}

void Decay::apply(double* ts, std::size_t n, float* scores) const noexcept {
  // Separate loops, because GCC keeps a select as a branch in a loop that also narrows double to
  // float or divides (either may trap), and a branch stops it from vectorising: the ages in
  // double (NaN marks a row to leave unchanged: no timestamp > 0 gives a NaN age), narrowed,
  // the factors, then the select.
  const double at = now;
  for (std::size_t j = 0; j < n; ++j) {
    double age = (at - ts[j]) / 86400.0;
    age = age < 0.0 ? 0.0 : age;  // a timestamp in the future
    ts[j] = ts[j] > 0.0 ? age : std::numeric_limits<double>::quiet_NaN();
  }
  const float half_life = days;
  float ages[kDecayRows], factors[kDecayRows];
  for (std::size_t c = 0; c < n; c += kDecayRows) {
    const std::size_t cn = std::min(kDecayRows, n - c);
    for (std::size_t j = 0; j < cn; ++j) ages[j] = static_cast<float>(ts[c + j]);
    for (std::size_t j = 0; j < cn; ++j) factors[j] = 1.0f / (ages[j] / half_life + 1.0f);
    float* s = scores + c;
    for (std::size_t j = 0; j < cn; ++j)  // 1 * score is score, NaN included
      s[j] = (ages[j] == ages[j] ? factors[j] : 1.0f) * s[j];
  }
}

}  // namespace quantelle
