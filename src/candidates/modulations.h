#pragma once
// The query and score modulations: centroid blending, trajectory, temporal decay, contrastive
// penalty. Every product and sum is float32, rounded on its own.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/views.h"

namespace quantelle {

inline constexpr float kBlendWeight = 0.5f;
inline constexpr float kTrajectoryQueryWeight = 0.7f;      // 0x3F333333
inline constexpr float kTrajectoryDirectionWeight = 0.3f;  // 0x3E99999A
inline constexpr float kContrastWeight = 0.5f;
inline constexpr float kDefaultHalfLifeDays = 30.0f;

// Blends the normalised query q with the normalised centroid of the liked rows (not empty);
// a query whose squared norm was not > 0 is replaced by the centroid.
void blend_centroid(std::vector<float>& q, float query_norm2, const MatrixF32& matrix,
                    std::span<const std::uint64_t> liked_rows);

// Normalised to - from.
[[nodiscard]] std::vector<float> trajectory_direction(const VectorF32& from, const VectorF32& to);

// Hyperbolic decay by age, with the wall clock read once.
struct Decay {
  double now;  // seconds since 1970-01-01 UTC
  float days;  // half-life

  // Faults when the clock reads a time before 1970.
  [[nodiscard]] static Decay starting_now(std::optional<double> recent_days);

  // scores[j] of a row with timestamp ts[j] (seconds), decayed in place; ts <= 0 or NaN leaves
  // it unchanged. ts is scratch: its values are lost. One pass without a branch per row, so
  // that it runs in vector lanes.
  void apply(double* ts, std::size_t n, float* scores) const noexcept;

  // What a row with timestamp ts (seconds) multiplies its score by; 1 for ts <= 0 or NaN. The
  // same operations as apply, one row at a time.
  [[nodiscard]] float factor(double ts) const noexcept {
    if (!(ts > 0.0)) return 1.0f;
    double age = (now - ts) / 86400.0;
    if (age < 0.0) age = 0.0;  // a timestamp in the future
    return 1.0f / (static_cast<float>(age) / days + 1.0f);
  }
};

}  // namespace quantelle
