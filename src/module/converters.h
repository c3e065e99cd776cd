#pragma once
// The conversion rules, one overload per converted type, and the driver that applies them in
// parameter order: the first failure wins and names its parameter.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/views.h"
#include "module/binder.h"
#include "module/id_map.h"
#include "module/pins.h"
#include "module/text_list.h"

namespace quantelle::py {

// An exact int's value where it is compact and not negative, read without a call.
[[nodiscard]] inline std::optional<std::uint64_t> compact_count(PyObject* o) noexcept {
  const auto* number = reinterpret_cast<PyLongObject*>(o);
  if (!PyUnstable_Long_IsCompact(number)) return std::nullopt;
  const Py_ssize_t v = PyUnstable_Long_CompactValue(number);
  if (v < 0) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

// The value of an exact int that the Count rule has accepted: it cannot fail.
[[nodiscard]] inline std::uint64_t accepted_count(PyObject* o) noexcept {
  if (const auto v = compact_count(o)) return *v;
  return static_cast<std::uint64_t>(PyLong_AsUnsignedLongLong(o));
}

[[nodiscard]] PyResult<std::uint64_t> to_count(PyObject* o, Pins& pins);

// Whether o is exactly NumPy's bool scalar (false while NumPy's API is not loaded).
[[nodiscard]] bool is_numpy_bool_scalar(PyObject* o) noexcept;

// One overload per destination type: the type of a row's destination picks its converter. The
// array views read the caller's buffer in place; the Converter keeps the array alive.
[[nodiscard]] PyResult<void> convert(PyObject* o, std::uint64_t& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, double& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, float& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, bool& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, std::string_view& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, TextList& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, std::vector<std::uint64_t>& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, IdMap& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, MatrixF32& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, VectorF32& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, VectorF64& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, BoolVector& out, Pins& pins);

// Walks the bound slots in parameter order. Each call converts one parameter into its
// destination (left at its default when absent) and returns false once a conversion failed.
// refs[i] takes a reference to argument i once converted, so that the views into it stay valid
// (and an array cannot be resized) for as long as the call holds refs.
class Converter {
 public:
  // pins: where the containers read in place are held, when they must stay valid beyond this
  // call's conversions (several calls bound in turn share one); else the converter's own.
  Converter(const Signature& sig, std::span<PyObject* const> slots, std::span<PyRef> refs,
            Pins* pins = nullptr)
      : sig_(sig), slots_(slots), refs_(refs), pins_(pins != nullptr ? *pins : own_pins_) {}

  template <class T>
  [[nodiscard]] bool operator()(std::size_t i, T& out) {
    PyObject* o = present(i);
    return o == nullptr || run(i, convert(o, out, pins_));
  }
  template <class T>
  [[nodiscard]] bool operator()(std::size_t i, std::optional<T>& out) {
    PyObject* o = present(i);
    return o == nullptr || run(i, convert(o, out.emplace(), pins_));
  }

 private:
  PyObject* present(std::size_t i) const;
  bool run(std::size_t i, PyResult<void> converted);

  const Signature& sig_;
  std::span<PyObject* const> slots_;
  std::span<PyRef> refs_;
  Pins own_pins_;
  Pins& pins_;
};

}  // namespace quantelle::py
