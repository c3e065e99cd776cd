#include <array>
#include <tuple>

#include "module/docstrings.h"
#include "module/entries.h"
#include "module/params.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

struct Arguments {
  std::vector<std::uint64_t> candidates;
  VectorF32 similarities;
  MatrixF32 matrix;
  std::uint64_t k;
  double lambda_;
};

using A = Arguments;
constexpr std::tuple kRows{
    required("candidates", &A::candidates),
    required("similarities", &A::similarities),
    required("matrix", &A::matrix),
    required("k", &A::k),
    required("lambda_", &A::lambda_),
};
constexpr auto kParams = params_of(kRows);
constexpr Signature kSignature{"mmr_select_py", kParams};
static_assert(signature_agrees(kMmrSelectDoc, kSignature.function, kRows));

}  // namespace

PyResult<PyRef> mmr_select_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a{};
  std::array<PyRef, kParams.size()> refs;
  if (!bind_and_convert(kSignature, kRows, args, nargs, kwnames, a, refs)) return kErrorSet;
  return scored_row_list(mmr_select(a.candidates, a.similarities, a.matrix, a.k, a.lambda_));
}

}  // namespace quantelle::py
