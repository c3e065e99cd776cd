#include "module/binder.h"

#include <string>
#include <vector>

namespace quantelle::py {
namespace {

std::size_t required_count(const Signature& sig) {
  std::size_t n = 0;
  for (const Param& p : sig.params) n += p.required ? 1 : 0;
  return n;
}

ErrorSet too_many_positional(const Signature& sig, Py_ssize_t given) {
  const std::size_t total = sig.params.size();
  const std::size_t required = required_count(sig);
  const char* verb = given == 1 ? "was" : "were";
  std::string msg = std::string(sig.function) + "() takes ";
  if (required == total) {
    msg += std::to_string(total);
  } else {
    msg += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  msg += " positional arguments but " + std::to_string(given) + " " + verb + " given";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return {};
}

ErrorSet missing_required(const Signature& sig, std::span<PyObject*> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && slots[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list.append(1, '\'').append(missing[i]).append(1, '\'');
  }
  std::string msg = std::string(sig.function) + "() missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": " + list;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return {};
}

}  // namespace

PyResult<void> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > total) return std::unexpected(too_many_positional(sig, nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (utf8 == nullptr) PyErr_Clear();  // a name that is not UTF-8 matches no parameter
    std::size_t slot = sig.params.size();
    if (utf8 != nullptr) {
      const std::string_view name(utf8, static_cast<std::size_t>(len));
      for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].name == name) {
          slot = i;
          break;
        }
      }
    }
    if (slot == sig.params.size()) {
      PyErr_Format(PyExc_TypeError, "%.*s() got an unexpected keyword argument '%U'",
                   static_cast<int>(sig.function.size()), sig.function.data(), key);
      return kErrorSet;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%.*s() got multiple values for argument '%U'",
                   static_cast<int>(sig.function.size()), sig.function.data(), key);
      return kErrorSet;
    }
    slots[slot] = args[nargs + k];
  }

  if (static_cast<std::size_t>(nargs) < required_count(sig)) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (sig.params[i].required && slots[i] == nullptr) {
        return std::unexpected(missing_required(sig, slots));
      }
    }
  }
  return {};
}

}  // namespace quantelle::py
