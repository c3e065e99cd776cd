#pragma once
// The two failure channels at the boundary. Python errors travel as ErrorSet (the indicator is
// already set); internal faults are thrown as Fault and become the panic exception only in
// entry(), after unwinding has released every reference the call held.
#include <cxxabi.h>

#include <exception>
#include <expected>
#include <new>
#include <stdexcept>
#include <source_location>
#include <string_view>

#include "core/fault.h"
#include "core/outcome.h"
#include "module/py_ref.h"

namespace quantelle::py {

struct ErrorSet {};
template <class T>
using PyResult = std::expected<T, ErrorSet>;
inline constexpr std::unexpected<ErrorSet> kErrorSet{ErrorSet{}};

// Sets the panic exception (created on first use) with message as its only argument.
void raise_panic(std::string_view message) noexcept;

// Writes the diagnostic of an internal fault to standard error.
void report_fault(const Fault& fault) noexcept;

// For a CPython call that reported failure: keeps its exception, or sets the SystemError of a
// failure without one.
[[nodiscard]] ErrorSet fetch_error() noexcept;

// A Python object could not be created: prints CPython's pending exception and faults.
[[noreturn]] void object_creation_failed(
    std::source_location where = std::source_location::current());

// Owns o, or faults with "Python API call failed" when the creation returned NULL.
inline PyRef created(PyObject* o, std::source_location where = std::source_location::current()) {
  if (o == nullptr) [[unlikely]] object_creation_failed(where);
  return PyRef::steal(o);
}

// Sets the Python exception that a refusal of the logic names, with its message.
[[nodiscard]] ErrorSet raise_failure(const Failure& failure) noexcept;

// Sets TypeError "'{qualname of type(obj)}' object cannot be converted to '{target}'".
[[nodiscard]] ErrorSet cannot_convert(PyObject* obj, const char* target) noexcept;

// Replaces a pending exception whose type is exactly TypeError by
// TypeError("argument '{param}': {message}") with the same __cause__; others stay.
[[nodiscard]] ErrorSet name_type_error(std::string_view param) noexcept;

// Runs fn, which returns PyResult<PyRef>: the only place where faults and C++ exceptions become
// Python ones, after unwinding has released everything the call held. Nothing else leaves it
// but the unwinding of a thread that the interpreter ends while the call waits for its lock
// (a daemon thread at exit): that must go on to the thread's end.
template <class Fn>
PyObject* guarded(Fn&& fn) {
  try {
    PyResult<PyRef> out = fn();
    if (out) return out->release();
    (void)fetch_error();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const Fault& f) {
    report_fault(f);
    raise_panic(f.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a container larger than memory can ever hold
    PyErr_NoMemory();
  } catch (const std::exception& e) {  // a library precondition broke: also a fault
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal fault without a message");
  }
  return nullptr;  // never throw for a Python error, never return a value for a fault
}

// The fast-call entry point of a function implemented by Impl.
template <PyResult<PyRef> (*Impl)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guarded([&] { return Impl(args, nargs, kwnames); });
}

}  // namespace quantelle::py
