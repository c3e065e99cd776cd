#include <array>

#include "module/converters.h"
#include "module/entries.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

constexpr std::array kParams{
    Param{"candidates", Rule::IndexList, true, false},
    Param{"similarities", Rule::F32Vector, true, false},
    Param{"matrix", Rule::F32Matrix, true, false},
    Param{"k", Rule::Count, true, false},
    Param{"lambda_", Rule::Real64, true, false},
};
constexpr Signature kSignature{"mmr_select_py", kParams};

}  // namespace

PyResult<PyRef> mmr_select_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slots{};
  if (auto r = bind(kSignature, args, nargs, kwnames, slots); !r) return kErrorSet;
  std::vector<std::uint64_t> candidates;
  Held<VectorF32> similarities;
  Held<MatrixF32> matrix;
  std::uint64_t k = 0;
  double lambda = 0.0;
  Converter convert(kSignature, slots);
  if (!convert(0, candidates) || !convert(1, similarities) || !convert(2, matrix) ||
      !convert(3, k) || !convert(4, lambda)) {
    return kErrorSet;
  }
  return scored_row_list(mmr_select(candidates, similarities.view, matrix.view, k, lambda));
}

}  // namespace quantelle::py
