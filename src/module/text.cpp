#include "module/text.h"

namespace quantelle::py {

PyResult<void> check_text(PyObject* o) noexcept {
  if (!PyUnicode_Check(o)) return std::unexpected(cannot_convert(o, "PyString"));
  // ASCII text is its own UTF-8; anything else is encoded (and cached) once, or raises
  // UnicodeEncodeError for a lone surrogate.
  if (!PyUnicode_IS_ASCII(o) && PyUnicode_AsUTF8AndSize(o, nullptr) == nullptr) {
    return kErrorSet;
  }
  return {};
}

}  // namespace quantelle::py
