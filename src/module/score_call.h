#pragma once
// One score_candidates call at the boundary: its arguments bound, converted and resolved into the
// request the pipeline reads, beside the objects that keep the request's views valid. Every entry
// point with score_candidates' parameters starts here and ends with score_records.
#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "candidates/pipeline.h"
#include "module/errors.h"
#include "module/id_map.h"
#include "module/pins.h"
#include "module/text_list.h"

namespace quantelle::py {

// Room for the parameters' references: more rows than this do not compile (score_call.cpp).
inline constexpr std::size_t kMaxScoreParams = 24;

// The request holds views and plain values only; what it reads stays alive while the call does.
struct ScoreCall {
  ScoreRequest request;
  TextList ids;  // the id objects, named by the picks' positions
  IdMap id_to_idx;
  std::optional<TextList> pre_filter_ids;  // resolved into request.pre_filter_rows
  std::optional<TextList> like_ids;        // resolved into request.like_rows
  std::array<PyRef, kMaxScoreParams> refs;  // every argument the call read, by row

  ScoreCall() = default;
  ScoreCall(const ScoreCall&) = delete;  // the containers read in place point into it
  ScoreCall& operator=(const ScoreCall&) = delete;
};

// Binds the arguments as score_candidates does, converts them in parameter order and resolves
// the ids; then call.request is complete. On failure the function's TypeError (or the error of
// a failed lookup) is set. Calls bound in turn and used together share `pins`, so that foreign
// code run by a later call's conversion cannot change what an earlier one reads in place (and a
// list already checked since any such code ran is not checked again).
[[nodiscard]] PyResult<void> bind_score_call(ScoreCall& call, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames,
                                             Pins* pins = nullptr);

// The arrays whose memory the rows' stages read, as the caller passed them (nullptr where the
// request does not read one): what must stay unchanged while a scan runs without the lock.
struct ScannedArrays {
  PyObject* matrix = nullptr;
  PyObject* timestamps = nullptr;
  PyObject* mask = nullptr;
};
[[nodiscard]] ScannedArrays scanned_arrays(const ScoreCall& call) noexcept;

// [{"id": str, "score": float}, ...] of the picks, in their order.
[[nodiscard]] PyResult<PyRef> score_records(const ScoreCall& call,
                                            std::span<const ScoredId> picks);

}  // namespace quantelle::py
