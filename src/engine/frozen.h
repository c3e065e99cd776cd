#pragma once
// Memory that nobody can write through Python: what the engine reads with the interpreter lock
// released. A FrozenBuffer owns cache-line-aligned memory and exports it read-only, so a NumPy
// array over it can never be made writeable again; the layer fills it through `write`, only
// past the part it has sealed (the part searches may read).
#include "module/errors.h"

namespace quantelle::py {

// The FrozenBuffer type, created once per process; nullptr with the error set when it cannot be.
[[nodiscard]] PyTypeObject* frozen_buffer_type() noexcept;

// Whether array is an ndarray whose memory no Python code can write: it is not writeable, and
// NumPy would refuse to make it so (no array on its chain of bases owns its memory or is
// writeable, and the object at the end of the chain exports no writable buffer).
[[nodiscard]] PyResult<bool> is_frozen(PyObject* array);

}  // namespace quantelle::py
