#pragma once
// The conversion rules, one overload per converted type, and the driver that applies them in
// parameter order: the first failure wins and names its parameter.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "candidates/views.h"
#include "module/binder.h"
#include "module/id_map.h"
#include "module/text_list.h"

namespace quantelle::py {

// Containers read in place, made to own their items before foreign code runs (text_list.h).
class Pins {
 public:
  void hold(TextList& list) { lists_.push_back(&list); }
  void hold(IdMap& map) { maps_.push_back(&map); }
  void before_foreign_code();

 private:
  std::vector<TextList*> lists_;
  std::vector<IdMap*> maps_;
};

// An array argument: the view the logic reads, and the reference that keeps it alive (and, with
// the extra reference, unresizable) until the call ends.
template <class View>
struct Held {
  PyRef array;
  View view;
};

[[nodiscard]] PyResult<std::uint64_t> to_count(PyObject* o, Pins& pins);

// Whether o is exactly NumPy's bool scalar (false while NumPy's API is not loaded).
[[nodiscard]] bool is_numpy_bool_scalar(PyObject* o) noexcept;

[[nodiscard]] PyResult<void> convert(PyObject* o, std::uint64_t& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, double& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, float& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, bool& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, std::string_view& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, TextList& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, std::vector<std::uint64_t>& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, IdMap& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, Held<MatrixF32>& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, Held<VectorF32>& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, Held<VectorF64>& out, Pins& pins);
[[nodiscard]] PyResult<void> convert(PyObject* o, Held<BoolVector>& out, Pins& pins);

// The rule that each converted type implements, checked against the parameter table.
template <class T> inline constexpr Rule kRuleOf = Rule::Count;
template <> inline constexpr Rule kRuleOf<double> = Rule::Real64;
template <> inline constexpr Rule kRuleOf<float> = Rule::Real32;
template <> inline constexpr Rule kRuleOf<bool> = Rule::Flag;
template <> inline constexpr Rule kRuleOf<std::string_view> = Rule::Text;
template <> inline constexpr Rule kRuleOf<TextList> = Rule::TextList;
template <> inline constexpr Rule kRuleOf<std::vector<std::uint64_t>> = Rule::IndexList;
template <> inline constexpr Rule kRuleOf<IdMap> = Rule::IdMap;
template <> inline constexpr Rule kRuleOf<Held<MatrixF32>> = Rule::F32Matrix;
template <> inline constexpr Rule kRuleOf<Held<VectorF32>> = Rule::F32Vector;
template <> inline constexpr Rule kRuleOf<Held<VectorF64>> = Rule::F64Vector;
template <> inline constexpr Rule kRuleOf<Held<BoolVector>> = Rule::BoolVector;

// Walks the bound slots in parameter order. Each call converts one parameter into its
// destination (left at its default when absent) and returns false once a conversion failed.
class Converter {
 public:
  Converter(const Signature& sig, std::span<PyObject* const> slots) : sig_(sig), slots_(slots) {}

  template <class T>
  [[nodiscard]] bool operator()(std::size_t i, T& out) {
    PyObject* o = present(i, kRuleOf<T>);
    return o == nullptr || run(i, convert(o, out, pins_));
  }
  template <class T>
  [[nodiscard]] bool operator()(std::size_t i, std::optional<T>& out) {
    PyObject* o = present(i, kRuleOf<T>);
    return o == nullptr || run(i, convert(o, out.emplace(), pins_));
  }

 private:
  PyObject* present(std::size_t i, Rule rule) const;
  bool run(std::size_t i, PyResult<void> converted);

  const Signature& sig_;
  std::span<PyObject* const> slots_;
  Pins pins_;
};

}  // namespace quantelle::py
