#pragma once
// A score_candidates call with its rows scored in contiguous ranges on the pool's threads. Each
// range scores its rows into its part of one score vector and ranks its own best; the union of
// those lists is ranked again in the same total order (score, then working position), so the
// result never depends on the number of threads or on how the rows were split.
#include <cstddef>
#include <vector>

#include "candidates/pipeline.h"

namespace quantelle {

// Scans that read fewer bytes of rows than this stay on the calling thread. Waking the workers
// costs about 5 us a call; below 4 MiB that is a tenth of the scan or more, and there two threads
// gained nothing on a two-core AMD EPYC (Zen 3) guest (rows cached; 1M x 384 gained 1.36 x).
inline constexpr std::size_t kParallelBytes = std::size_t{4} << 20;

// The records of score_candidates for a planned call, its rows scored on up to pool_threads()
// threads. Touches no Python object, so the interpreter lock may be released around it.
[[nodiscard]] std::vector<ScoredId> score_in_ranges(const ScoreRequest& request,
                                                    const ScorePlan& plan);

}  // namespace quantelle
