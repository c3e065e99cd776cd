#include <array>
#include <optional>
#include <string_view>
#include <tuple>

#include "module/docstrings.h"
#include "module/entries.h"
#include "module/params.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

struct Arguments {
  std::optional<std::string_view> modifier_str;
};

constexpr std::tuple kRows{none_default("modifier_str", &Arguments::modifier_str)};
constexpr auto kParams = params_of(kRows);
constexpr Signature kSignature{"parse_modifiers", kParams};
static_assert(signature_agrees(kParseModifiersDoc, kSignature.function, kRows));

}  // namespace

PyResult<PyRef> parse_modifiers_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a{};
  std::array<PyRef, kParams.size()> refs;
  if (!bind_and_convert(kSignature, kRows, args, nargs, kwnames, a, refs)) return kErrorSet;
  return modifiers_dict(parse_modifiers(a.modifier_str.value_or(std::string_view{})));
}

}  // namespace quantelle::py
