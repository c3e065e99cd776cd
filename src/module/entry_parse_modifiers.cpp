#include <array>
#include <optional>

#include "module/converters.h"
#include "module/entries.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

constexpr std::array kParams{Param{"modifier_str", Rule::Text, false, true}};
constexpr Signature kSignature{"parse_modifiers", kParams};

}  // namespace

PyResult<PyRef> parse_modifiers_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slots{};
  if (auto r = bind(kSignature, args, nargs, kwnames, slots); !r) return kErrorSet;
  std::optional<std::string_view> text;
  Converter convert(kSignature, slots);
  if (!convert(0, text)) return kErrorSet;
  return modifiers_dict(parse_modifiers(text.value_or(std::string_view{})));
}

}  // namespace quantelle::py
