#pragma once
// The engine's score_candidates: the module's own binding, logic and records, with the rows
// scored on the pool, and the interpreter lock released while they are when nobody can write
// the memory the scan reads.
#include "module/errors.h"
#include "module/score_call.h"

namespace quantelle::py {

// Whether no Python code can write, resize or free the memory of any array the call's scan
// reads (its matrix, and its timestamps and mask where they are read) while the call holds them.
[[nodiscard]] PyResult<bool> scan_inputs_frozen(const ScoreCall& call);

[[nodiscard]] PyResult<PyRef> engine_score_impl(PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames);

}  // namespace quantelle::py
