#include <array>
#include <optional>

#include "candidates/pipeline.h"
#include "module/converters.h"
#include "module/entries.h"
#include "module/results.h"

namespace quantelle::py {
namespace {

constexpr std::array kParams{
    Param{"matrix", Rule::F32Matrix, true, false},
    Param{"ids", Rule::TextList, true, false},
    Param{"id_to_idx", Rule::IdMap, true, false},
    Param{"query_vec", Rule::F32Vector, true, false},
    Param{"timestamps", Rule::F64Vector, false, true},
    Param{"pre_filter_ids", Rule::TextList, false, true},
    Param{"not_like_vec", Rule::F32Vector, false, true},
    Param{"diverse", Rule::Flag, false, false},
    Param{"limit", Rule::Count, false, false},
    Param{"oversample", Rule::Count, false, false},
    Param{"threshold", Rule::Real32, false, false},
    Param{"mmr_lambda", Rule::Real64, false, false},
    Param{"recent", Rule::Flag, false, false},
    Param{"recent_days", Rule::Real64, false, true},
    Param{"like_ids", Rule::TextList, false, true},
    Param{"traj_from_vec", Rule::F32Vector, false, true},
    Param{"traj_to_vec", Rule::F32Vector, false, true},
    Param{"mask", Rule::BoolVector, false, true},
};
constexpr Signature kSignature{"score_candidates", kParams};

// Everything the call converted; it owns the references and lives until the call returns.
struct Arguments {
  Held<MatrixF32> matrix;
  TextList ids;
  IdMap id_to_idx;
  Held<VectorF32> query_vec;
  std::optional<Held<VectorF64>> timestamps;
  std::optional<TextList> pre_filter_ids;
  std::optional<Held<VectorF32>> not_like_vec;
  bool diverse = false;
  std::uint64_t limit = 10;
  std::uint64_t oversample = 200;
  float threshold = 0.0f;
  double mmr_lambda = 0.7;
  bool recent = false;
  std::optional<double> recent_days;
  std::optional<TextList> like_ids;
  std::optional<Held<VectorF32>> traj_from_vec;
  std::optional<Held<VectorF32>> traj_to_vec;
  std::optional<Held<BoolVector>> mask;
};

[[nodiscard]] bool convert_all(Converter& c, Arguments& a) {
  if (!c(0, a.matrix) || !c(1, a.ids)) return false;
  a.id_to_idx.assume_checked(a.ids);
  return c(2, a.id_to_idx) && c(3, a.query_vec) &&
         c(4, a.timestamps) && c(5, a.pre_filter_ids) && c(6, a.not_like_vec) &&
         c(7, a.diverse) && c(8, a.limit) && c(9, a.oversample) && c(10, a.threshold) &&
         c(11, a.mmr_lambda) && c(12, a.recent) && c(13, a.recent_days) && c(14, a.like_ids) &&
         c(15, a.traj_from_vec) && c(16, a.traj_to_vec) && c(17, a.mask);
}

// Ids of a list resolved through the id map, in list order; unknown ids are skipped.
[[nodiscard]] PyResult<std::vector<std::uint64_t>> resolve(const TextList& list,
                                                           const IdMap& map) {
  std::vector<std::uint64_t> rows;
  rows.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i + kFetchAhead < list.size()) __builtin_prefetch(list.item(i + kFetchAhead));  // its hash
    auto row = map.find(list.item(i));
    if (!row) return std::unexpected(row.error());
    if (*row) rows.push_back(**row);
  }
  return rows;
}

template <class View>
std::optional<View> view_of(const std::optional<Held<View>>& held) {
  return held ? std::optional<View>(held->view) : std::nullopt;
}

}  // namespace

PyResult<PyRef> score_candidates_impl(PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slots{};
  if (auto r = bind(kSignature, args, nargs, kwnames, slots); !r) return kErrorSet;
  Arguments a;
  Converter converter(kSignature, slots);
  if (!convert_all(converter, a)) return kErrorSet;

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
      auto rows = resolve(*a.pre_filter_ids, a.id_to_idx);
      if (!rows) return kErrorSet;
      request.pre_filter_rows = std::move(*rows);
    }
    if (a.like_ids) {
      auto rows = resolve(*a.like_ids, a.id_to_idx);
      if (!rows) return kErrorSet;
      request.like_rows = std::move(*rows);
    }
  }

  Outcome<std::vector<ScoredId>> picks = score_candidates(request);
  if (!picks) {
    PyErr_SetString(PyExc_ValueError, picks.error().message.c_str());
    return kErrorSet;
  }
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
