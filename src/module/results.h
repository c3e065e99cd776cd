#pragma once
// Python results built from the logic's plain values. A result object that cannot be created is
// a fault ("Python API call failed"); a failed insertion or append is CPython's exception.
#include <span>

#include "mmr/mmr.h"
#include "modifiers/modifiers.h"
#include "module/errors.h"

namespace quantelle::py {

// [{"id": str, "score": float}, ...]; ids are the chosen rows' id objects, already held.
[[nodiscard]] PyResult<PyRef> record_list(std::span<const PyRef> ids,
                                          std::span<const double> scores);

// [(index, mmr_score), ...]
[[nodiscard]] PyResult<PyRef> scored_row_list(std::span<const ScoredRow> rows);

// The nine keys, always in the same order.
[[nodiscard]] PyResult<PyRef> modifiers_dict(const Modifiers& m);

}  // namespace quantelle::py
