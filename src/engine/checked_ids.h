#pragma once
// CheckedIds: an ids tuple checked once by the Text list rule, for a caller (the layer) that
// passes the same ids to every search of a corpus. A CheckedIds whose tuple passed holds it, so
// no other object can take its address while the verdict is kept; a call given that very tuple
// takes the verdict instead of reading a million items again. Sound because a tuple never
// changes and neither does an exact str; a tuple with anything else in it is never remembered.
#include "module/errors.h"
#include "module/pins.h"

namespace quantelle::py {

// The CheckedIds type, created once per process; nullptr with the error set when it cannot be.
[[nodiscard]] PyTypeObject* checked_ids_type() noexcept;

// Lets `pins` answer for each argument of a call that is the tuple of a live CheckedIds, as
// for a list it checked itself (Pins::reading); the arguments as the fast call passes them.
void hold_checked_ids(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Pins& pins);

}  // namespace quantelle::py
