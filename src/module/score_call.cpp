#include "module/score_call.h"

#include <tuple>
#include <utility>
#include <vector>

#include "module/docstrings.h"
#include "module/id_resolver.h"
#include "module/params.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

// One row per parameter: its defaults live here alone. A row's destination is the request's
// member where the logic reads the value, the call's where the boundary keeps an object.
using R = ScoreRequest;
using C = ScoreCall;
constexpr std::tuple kRows{
    required("matrix", &R::matrix),
    required("ids", &C::ids),
    required("id_to_idx", &C::id_to_idx),
    required("query_vec", &R::query),
    none_default("timestamps", &R::timestamps),
    none_default("pre_filter_ids", &C::pre_filter_ids),
    none_default("not_like_vec", &R::not_like),
    with_default("diverse", &R::diverse, false),
    with_default("limit", &R::limit, 10),
    with_default("oversample", &R::oversample, 200),
    with_default("threshold", &R::threshold, 0.0f),
    with_default("mmr_lambda", &R::mmr_lambda, 0.7),
    with_default("recent", &R::recent, false),
    none_default("recent_days", &R::recent_days),
    none_default("like_ids", &C::like_ids),
    none_default("traj_from_vec", &R::traj_from),
    none_default("traj_to_vec", &R::traj_to),
    none_default("mask", &R::mask),
};
constexpr auto kParams = params_of(kRows);
constexpr Signature kSignature{"score_candidates", kParams};
static_assert(signature_agrees(kScoreCandidatesDoc, kSignature.function, kRows));

// Resolving ids has no faults and no visible effect, so it is done here, before the logic; with
// no ids the logic returns at once and nothing needs resolving.
PyResult<void> resolve_ids(ScoreCall& call) {
  call.request.ids_len = call.ids.size();
  if (call.ids.size() == 0) return {};
  IdResolver resolver(call.id_to_idx);
  const auto resolve = [&](const std::optional<TextList>& list,
                           std::optional<std::vector<std::uint64_t>>& rows) -> PyResult<void> {
    if (!list) return {};
    auto found = resolver.find_all(*list);
    if (!found) return std::unexpected(found.error());
    rows = std::move(*found);
    return {};
  };
  if (auto r = resolve(call.pre_filter_ids, call.request.pre_filter_rows); !r) return r;
  return resolve(call.like_ids, call.request.like_rows);
}

}  // namespace

PyResult<void> bind_score_call(ScoreCall& call, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, Pins* pins) {
  // A user's id map is typically built from the ids list in its order: keys already checked as
  // ids need not be read again.
  constexpr std::size_t kIdMap = index_of(kParams, "id_to_idx");
  auto hint = [](ScoreCall& converted, std::size_t i) {
    if (i == kIdMap) converted.id_to_idx.assume_checked(converted.ids);
  };
  if (auto r = bind_and_convert(kSignature, kRows, args, nargs, kwnames, call, call.refs, hint,
                                pins);
      !r) {
    return r;
  }
  return resolve_ids(call);
}

ScannedArrays scanned_arrays(const ScoreCall& call) noexcept {
  constexpr std::size_t kMatrix = index_of(kParams, "matrix");
  constexpr std::size_t kTimestamps = index_of(kParams, "timestamps");
  constexpr std::size_t kMask = index_of(kParams, "mask");
  return {call.refs[kMatrix].get(), call.request.timestamps ? call.refs[kTimestamps].get() : nullptr,
          call.request.mask ? call.refs[kMask].get() : nullptr};
}

PyResult<PyRef> score_records(const ScoreCall& call, std::span<const ScoredId> picks) {
  // Hold the chosen ids before any object is created: a collection triggered by an allocation
  // could run a finalizer that empties the caller's list.
  std::vector<PyRef> ids;
  std::vector<double> scores;
  ids.reserve(picks.size());
  scores.reserve(picks.size());
  for (const ScoredId& pick : picks) {
    ids.push_back(PyRef::borrow(call.ids.item(pick.id_index)));
    scores.push_back(pick.score);
  }
  return record_list(ids, scores);
}

}  // namespace quantelle::py
