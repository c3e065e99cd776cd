#pragma once
// score_many: many score_candidates calls, those over the same rows scored in one pass.
#include "module/errors.h"

namespace quantelle::py {

// calls: a sequence of dicts, each the keyword arguments of one score_candidates call. The list
// of their results in call order: each the records score_candidates returns, or the exception
// it raises, as an object (the caller decides which to raise).
[[nodiscard]] PyResult<PyRef> score_many(PyObject* calls);

}  // namespace quantelle::py
