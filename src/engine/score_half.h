#pragma once
// score_f16(half_rows, row_errors, /, *args, **kwargs): score_candidates over a float16 copy of
// the matrix, with score_candidates' records (candidates/half_scan.h).
#include "module/errors.h"

namespace quantelle::py {

PyObject* py_score_f16(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

inline constexpr const char* kScoreF16Doc =
    "score_f16(half_rows, row_errors, /, *args, **kwargs)\n--\n\n"
    "score_candidates(*args, **kwargs) with the rows scanned in float16 and the candidates "
    "re-scored in float32: the same records. half_rows is the (n, dim) C-contiguous float16 "
    "copy of the matrix, row_errors each row's float32 error bound (quantelle.half). Returns "
    "(records, rescored), rescored being the number of rows scored again in float32.";

}  // namespace quantelle::py
