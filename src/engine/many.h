#pragma once
// score_many: many score_candidates calls, those over the same rows scored in one pass.
#include "module/errors.h"

namespace quantelle::py {

// calls: a sequence of dicts, each the keyword arguments of one score_candidates call. The
// records score_candidates returns for each, in call order. A call that fails raises what
// score_candidates raises for it: the first whose arguments or plan fail, and the calls after
// it are not read; else the first whose selection faults.
[[nodiscard]] PyResult<PyRef> score_many(PyObject* calls);

}  // namespace quantelle::py
