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

// The rule that each converted type implements; parameter tables derive a parameter's rule from
// the type of its destination. The primary template is left undefined: a type without a rule
// does not compile.
template <class T> struct RuleOf;
template <Rule R> struct RuleIs { static constexpr Rule value = R; };
template <> struct RuleOf<std::uint64_t> : RuleIs<Rule::Count> {};
template <> struct RuleOf<double> : RuleIs<Rule::Real64> {};
template <> struct RuleOf<float> : RuleIs<Rule::Real32> {};
template <> struct RuleOf<bool> : RuleIs<Rule::Flag> {};
template <> struct RuleOf<std::string_view> : RuleIs<Rule::Text> {};
template <> struct RuleOf<TextList> : RuleIs<Rule::TextList> {};
template <> struct RuleOf<std::vector<std::uint64_t>> : RuleIs<Rule::IndexList> {};
template <> struct RuleOf<IdMap> : RuleIs<Rule::IdMap> {};
template <> struct RuleOf<Held<MatrixF32>> : RuleIs<Rule::F32Matrix> {};
template <> struct RuleOf<Held<VectorF32>> : RuleIs<Rule::F32Vector> {};
template <> struct RuleOf<Held<VectorF64>> : RuleIs<Rule::F64Vector> {};
template <> struct RuleOf<Held<BoolVector>> : RuleIs<Rule::BoolVector> {};
template <class T> inline constexpr Rule kRuleOf = RuleOf<T>::value;

// Walks the bound slots in parameter order. Each call converts one parameter into its
// destination (left at its default when absent) and returns false once a conversion failed.
class Converter {
 public:
  Converter(const Signature& sig, std::span<PyObject* const> slots) : sig_(sig), slots_(slots) {}

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
  Pins pins_;
};

}  // namespace quantelle::py
