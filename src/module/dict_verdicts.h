#pragma once
// Verdicts on id maps kept from one call to the next.
//
// The module otherwise keeps no data between calls. This is the one exception, and it is
// invisible: a verdict says only "this dict, as it stands, passes the in-place check" (every key
// an exact str of valid UTF-8, every value an exact int within the unsigned 64-bit range), which
// depends on nothing but the dict's storage, since exact strs and ints never change. A dict
// watcher drops it before any addition, change, deletion, clear, clone or deallocation of that
// dict, so a stale verdict is never read and a new dict at a reused address never inherits one.
// No reference is taken: a verdict is an address and a use stamp, dereferenced only to unwatch a
// dict that is still alive (a dead one has already dropped its verdict). Verdicts are recorded
// only for checks that ran no Python code, and only for dicts whose every change is announced
// (not an instance's split __dict__); any other dict is checked in full on every call.
// Without a watcher id (eight per interpreter) nothing is kept and every call checks in full.
#include "module/py_ref.h"

namespace quantelle::py {

// Whether dict passed the in-place check in an earlier call and is unchanged since.
[[nodiscard]] bool known_plain(PyObject* dict) noexcept;

// Records that dict has just passed the in-place check, with no Python code run since.
void remember_plain(PyObject* dict) noexcept;

}  // namespace quantelle::py
