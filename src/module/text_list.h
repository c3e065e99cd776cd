#pragma once
// A converted Text list, held without copying strings.
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
#include "module/text.h"

namespace quantelle::py {

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
  // How many items the list holds now: fewer than size() if code that ran meanwhile (another
  // thread, while the lock was released) shrank it.
  [[nodiscard]] std::size_t current_size() const noexcept {
    return live_ != nullptr ? static_cast<std::size_t>(PySequence_Fast_GET_SIZE(live_)) : size_;
  }
  // Takes a reference to every item of a list read in place.
  void pin();
  [[nodiscard]] bool reads_in_place(PyObject* o) const noexcept { return live_ == o; }

 private:
  friend PyResult<void> convert(PyObject* o, TextList& out, class Pins& pins);
  PyObject* live_ = nullptr;  // an exact list or tuple read in place (borrowed from the caller)
  std::vector<PyRef> owned_;
  std::size_t size_ = 0;
  bool all_exact_ = false;
};

}  // namespace quantelle::py
