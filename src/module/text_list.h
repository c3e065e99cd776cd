#pragma once
// A converted Text list or the texts of an Id map, held without copying strings.
//
// Validation touches every element once; after that, an exact list is read in place. That is
// safe only while no Python code runs: a later argument's __index__ (or a finalizer run by the
// garbage collector) could empty the list and free its strings. So every conversion that may run
// foreign code first calls Pins::before_foreign_code(), which makes the held containers take
// their own references. Ordinary calls (lists of str, dicts of int, floats, bools, arrays) never
// run foreign code and pay nothing.
#include <span>
#include <string_view>
#include <vector>

#include "module/errors.h"

namespace quantelle::py {

// The UTF-8 text of a str already validated by the Text rule.
[[nodiscard]] inline std::string_view utf8_of(PyObject* s) noexcept {
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &len);  // cached by validation: cannot fail
  return {data, static_cast<std::size_t>(len)};
}

// A new exact str holding text (valid UTF-8).
[[nodiscard]] inline PyRef new_str(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The Text rule on one object: str or a subclass, convertible to UTF-8.
[[nodiscard]] PyResult<void> check_text(PyObject* o) noexcept;

// The common case of the Text rule, inline: an exact str of ASCII is its own UTF-8.
[[nodiscard]] inline bool is_plain_text(PyObject* o) noexcept {
  return PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o);
}

// Validation walks a million elements per call: fetch the objects this far ahead, so that their
// cache misses overlap instead of queueing one behind the other.
inline constexpr std::size_t kFetchAhead = 16;

class TextList {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] PyObject* item(std::size_t i) const noexcept {  // borrowed
    return live_ != nullptr ? PySequence_Fast_ITEMS(live_)[i] : owned_[i].get();
  }
  // The items of a list or tuple read in place when all are exact str, valid until foreign
  // code runs; else empty.
  [[nodiscard]] std::span<PyObject* const> exact_items() const noexcept {
    if (live_ == nullptr || !all_exact_) return {};
    return {PySequence_Fast_ITEMS(live_), size_};
  }
  // Takes a reference to every item of a list read in place.
  void pin();

 private:
  friend PyResult<void> convert(PyObject* o, TextList& out, class Pins& pins);
  PyObject* live_ = nullptr;  // an exact list or tuple read in place (borrowed from the caller)
  std::vector<PyRef> owned_;
  std::size_t size_ = 0;
  bool all_exact_ = false;
};

}  // namespace quantelle::py
