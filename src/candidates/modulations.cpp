#include "candidates/modulations.h"

#include <ctime>

#include "core/fault.h"
#include "core/float32.h"
#include "kernels/vector_ops.h"

namespace quantelle {

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

void Decay::apply(const double* ts, std::size_t n, float* scores) const noexcept {
  const double at = now;
  const float half_life = days;
  for (std::size_t j = 0; j < n; ++j) {
    double age = (at - ts[j]) / 86400.0;
    age = age < 0.0 ? 0.0 : age;  // a timestamp in the future
    const float factor = 1.0f / (static_cast<float>(age) / half_life + 1.0f);
    // 1 * score is score itself, NaN and infinities included.
    scores[j] = (ts[j] > 0.0 ? factor : 1.0f) * scores[j];
  }
}

}  // namespace quantelle
