#pragma once
// Binding of fast-call arguments to a function's parameter slots, driven by a parameter table.
#include <span>
#include <string_view>

#include "module/errors.h"

namespace quantelle::py {

// What binding needs of a parameter; params.h derives it from the parameter's row.
struct Param {
  std::string_view name;
  bool required;
  bool none_is_absent;  // None means "not given" (the None-default parameters)
};

struct Signature {
  std::string_view function;  // as it appears in messages, without "()"
  std::span<const Param> params;
};

// Fills slots (one per parameter, borrowed, nullptr when absent) from positionals, then keywords
// in the caller's order; sets the binding TypeError on failure.
[[nodiscard]] PyResult<void> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace quantelle::py
