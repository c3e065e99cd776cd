#include <optional>
#include <tuple>

#include "candidates/pipeline.h"
#include "module/docstrings.h"
#include "module/entries.h"
#include "module/params.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

// Everything the call converted; it owns the references and lives until the call returns.
// Defaults live in kRows alone.
struct Arguments {
  Held<MatrixF32> matrix;
  TextList ids;
  IdMap id_to_idx;
  Held<VectorF32> query_vec;
  std::optional<Held<VectorF64>> timestamps;
  std::optional<TextList> pre_filter_ids;
  std::optional<Held<VectorF32>> not_like_vec;
  bool diverse;
  std::uint64_t limit;
  std::uint64_t oversample;
  float threshold;
  double mmr_lambda;
  bool recent;
  std::optional<double> recent_days;
  std::optional<TextList> like_ids;
  std::optional<Held<VectorF32>> traj_from_vec;
  std::optional<Held<VectorF32>> traj_to_vec;
  std::optional<Held<BoolVector>> mask;
};

using A = Arguments;
constexpr std::tuple kRows{
    required("matrix", &A::matrix),
    required("ids", &A::ids),
    required("id_to_idx", &A::id_to_idx),
    required("query_vec", &A::query_vec),
    none_default("timestamps", &A::timestamps),
    none_default("pre_filter_ids", &A::pre_filter_ids),
    none_default("not_like_vec", &A::not_like_vec),
    with_default("diverse", &A::diverse, false),
    with_default("limit", &A::limit, 10),
    with_default("oversample", &A::oversample, 200),
    with_default("threshold", &A::threshold, 0.0f),
    with_default("mmr_lambda", &A::mmr_lambda, 0.7),
    with_default("recent", &A::recent, false),
    none_default("recent_days", &A::recent_days),
    none_default("like_ids", &A::like_ids),
    none_default("traj_from_vec", &A::traj_from_vec),
    none_default("traj_to_vec", &A::traj_to_vec),
    none_default("mask", &A::mask),
};
constexpr auto kParams = params_of(kRows);
constexpr Signature kSignature{"score_candidates", kParams};
static_assert(signature_agrees(kScoreCandidatesDoc, kSignature.function, kRows));

template <class View>
std::optional<View> view_of(const std::optional<Held<View>>& held) {
  return held ? std::optional<View>(held->view) : std::nullopt;
}

}  // namespace

PyResult<PyRef> score_candidates_impl(PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  Arguments a{};
  // A user's id map is typically built from the ids list in its order: keys already checked as
  // ids need not be read again.
  constexpr std::size_t kIdMap = index_of(kParams, "id_to_idx");
  auto hint = [](Arguments& converted, std::size_t i) {
    if (i == kIdMap) converted.id_to_idx.assume_checked(converted.ids);
  };
  if (!bind_and_convert(kSignature, kRows, args, nargs, kwnames, a, hint)) return kErrorSet;

  ScoreRequest request{
      .matrix = a.matrix.view,
      .ids_len = a.ids.size(),
      .query = a.query_vec.view,
      .timestamps = view_of(a.timestamps),
      .pre_filter_rows = std::nullopt,
      .not_like = view_of(a.not_like_vec),
      .diverse = a.diverse,
      .limit = a.limit,
      .oversample = a.oversample,
      .threshold = a.threshold,
      .mmr_lambda = a.mmr_lambda,
      .recent = a.recent,
      .recent_days = a.recent_days,
      .like_rows = std::nullopt,
      .traj_from = view_of(a.traj_from_vec),
      .traj_to = view_of(a.traj_to_vec),
      .mask = view_of(a.mask),
  };
  // Resolving ids has no faults and no visible effect, so it is done here, before the logic;
  // with no ids the logic returns at once and nothing needs resolving.
  if (a.ids.size() > 0) {
    if (a.pre_filter_ids) {
      auto rows = a.id_to_idx.find_all(*a.pre_filter_ids);
      if (!rows) return kErrorSet;
      request.pre_filter_rows = std::move(*rows);
    }
    if (a.like_ids) {
      auto rows = a.id_to_idx.find_all(*a.like_ids);
      if (!rows) return kErrorSet;
      request.like_rows = std::move(*rows);
    }
  }

  Outcome<std::vector<ScoredId>> picks = score_candidates(request);
  if (!picks) return std::unexpected(raise_failure(picks.error()));
  // Hold the chosen ids before any object is created: a collection triggered by an allocation
  // could run a finalizer that empties the caller's list.
  std::vector<PyRef> ids;
  std::vector<double> scores;
  ids.reserve(picks->size());
  scores.reserve(picks->size());
  for (const ScoredId& pick : *picks) {
    ids.push_back(PyRef::borrow(a.ids.item(pick.id_index)));
    scores.push_back(pick.score);
  }
  return record_list(ids, scores);
}

}  // namespace quantelle::py
