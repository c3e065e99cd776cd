#pragma once
// NumPy's C API table: loaded at the first array argument (never at import, so the module works
// without NumPy) and shared by the translation units of one extension; each extension built
// from these sources has its own. Include this before <numpy/arrayobject.h>; every unit but
// arrays.cpp also defines NO_IMPORT_ARRAY first.
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quantelle_numpy_api

#include "module/errors.h"

namespace quantelle::py {

// Loads the table, or panics with "Failed to access NumPy array API capsule: ..." (importing
// NumPy runs Python code: callers holding containers in place pin them first).
[[nodiscard]] PyResult<void> load_numpy_api();
[[nodiscard]] bool numpy_api_loaded() noexcept;

}  // namespace quantelle::py
