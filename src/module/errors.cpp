#include "module/errors.h"

#include <cstdio>
#include <string>

namespace quantelle::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of _quantelle fails internally (a broken internal "
    "precondition).\n\nIt derives from BaseException, not Exception, so it typically "
    "propagates through the whole stack and ends the interpreter unless caught explicitly.";

// Process-wide, created on the first fault and never released.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() noexcept {
  if (g_panic_type == nullptr) {
    PyObject* t = PyErr_NewExceptionWithDoc("_quantelle.PanicException", kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (t != nullptr && g_panic_type == nullptr) {
      g_panic_type = t;
    } else {
      Py_XDECREF(t);  // a racing creation stored its type first
    }
  }
  return g_panic_type;
}

}  // namespace

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) return;  // the creation's own exception (MemoryError) stays set
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void report_fault(const Fault& fault) noexcept {
  std::string_view file = fault.where.file_name();
  if (auto at = file.rfind("src/"); at != std::string_view::npos) file.remove_prefix(at);
  std::fprintf(stderr, "_quantelle: internal fault at %.*s:%u: %s\n",
               static_cast<int>(file.size()), file.data(),
               static_cast<unsigned>(fault.where.line()), fault.message.c_str());
  std::fflush(stderr);
}

ErrorSet fetch_error() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return {};
}

void object_creation_failed(std::source_location where) {
  if (PyErr_Occurred()) PyErr_Print();  // prints and clears CPython's MemoryError
  raise_fault("Python API call failed", where);
}

ErrorSet raise_failure(const Failure& failure) noexcept {
  PyObject* type = PyExc_ValueError;
  switch (failure.kind) {
    case ExcKind::ValueError: type = PyExc_ValueError; break;
  }
  PyErr_SetString(type, failure.message.c_str());
  return {};
}

ErrorSet cannot_convert(PyObject* obj, const char* target) noexcept {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return fetch_error();
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
               target);
  return {};
}

ErrorSet name_type_error(std::string_view param) noexcept {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return fetch_error();
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return {};
  }
  PyRef message = PyRef::steal(PyObject_Str(exc.get()));
  if (!message) return {};
  PyRef named = PyRef::steal(PyUnicode_FromFormat(
      "argument '%.*s': %U", static_cast<int>(param.size()), param.data(), message.get()));
  if (!named) return {};
  PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, named.get()));
  if (!renamed) return {};
  if (PyObject* cause = PyException_GetCause(exc.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  PyErr_SetRaisedException(renamed.release());
  return {};
}

}  // namespace quantelle::py
