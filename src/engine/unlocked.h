#pragma once
// The interpreter lock released for a scope, when asked: other Python threads run meanwhile, so
// the scope must touch no Python object. It is taken back on every way out, an exception's
// included, before the caller builds any result or error.
//
// A thread that comes back while the interpreter is shutting down (a daemon thread at exit) is
// never given the lock again: CPython ends it instead, by unwinding its stack. It waits here for
// the process to end rather than unwind a call half-done; should shutdown begin just after that
// check, the unwinding passes through (noexcept(false), and guarded() lets it go on).
#include <Python.h>
#include <unistd.h>

namespace quantelle::py {

class Unlocked {
 public:
  explicit Unlocked(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~Unlocked() noexcept(false) {
    if (saved_ == nullptr) return;
    while (Py_IsFinalizing()) pause();
    PyEval_RestoreThread(saved_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace quantelle::py
