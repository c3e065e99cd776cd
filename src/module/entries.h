#pragma once
// The three functions' implementations behind entry(): bind, convert, run the logic, build.
#include "module/errors.h"

namespace quantelle::py {

PyResult<PyRef> parse_modifiers_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> score_candidates_impl(PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
PyResult<PyRef> mmr_select_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quantelle::py
