#include "module/results.h"

#include "module/text_list.h"

namespace quantelle::py {
namespace {

PyRef new_bool(bool v) { return PyRef::borrow(v ? Py_True : Py_False); }

PyRef none() { return PyRef::borrow(Py_None); }

PyRef key(const char* text) { return created(PyUnicode_InternFromString(text)); }

[[nodiscard]] PyResult<void> set_item(PyObject* dict, const PyRef& k, PyRef value) {
  if (PyDict_SetItem(dict, k.get(), value.get()) < 0) return std::unexpected(fetch_error());
  return {};
}

[[nodiscard]] PyResult<void> append(PyObject* list, PyRef item) {
  if (PyList_Append(list, item.get()) < 0) return std::unexpected(fetch_error());
  return {};
}

}  // namespace

PyResult<PyRef> record_list(std::span<const PyRef> ids, std::span<const double> scores) {
  PyRef list = created(PyList_New(0));
  const PyRef id_key = key("id");
  const PyRef score_key = key("score");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyRef record = created(PyDict_New());
    if (auto r = set_item(record.get(), id_key, new_str(utf8_of(ids[i].get()))); !r) {
      return std::unexpected(r.error());
    }
    if (auto r = set_item(record.get(), score_key, created(PyFloat_FromDouble(scores[i]))); !r) {
      return std::unexpected(r.error());
    }
    if (auto r = append(list.get(), std::move(record)); !r) return std::unexpected(r.error());
  }
  return list;
}

PyResult<PyRef> scored_row_list(std::span<const ScoredRow> rows) {
  PyRef list = created(PyList_New(0));
  for (const ScoredRow& row : rows) {
    PyRef index = created(PyLong_FromUnsignedLongLong(row.row));
    PyRef score = created(PyFloat_FromDouble(row.score));
    PyRef pair = created(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, index.release());
    PyTuple_SET_ITEM(pair.get(), 1, score.release());
    if (auto r = append(list.get(), std::move(pair)); !r) return std::unexpected(r.error());
  }
  return list;
}

PyResult<PyRef> modifiers_dict(const Modifiers& m) {
  PyRef dict = created(PyDict_New());
  PyRef like = none();
  if (m.like) {
    like = created(PyList_New(0));
    for (const std::string& piece : *m.like) {
      if (auto r = append(like.get(), new_str(piece)); !r) return std::unexpected(r.error());
    }
  }
  auto optional_str = [](const std::optional<std::string>& s) { return s ? new_str(*s) : none(); };
  const std::pair<const char*, PyRef> items[] = {
      {"recent", new_bool(m.recent)},
      {"recent_days", m.recent_days ? created(PyLong_FromLongLong(*m.recent_days)) : none()},
      {"unlike", optional_str(m.unlike)},
      {"diverse", new_bool(m.diverse)},
      {"limit", m.limit ? created(PyLong_FromUnsignedLongLong(*m.limit)) : none()},
      {"like", std::move(like)},
      {"trajectory_from", optional_str(m.trajectory_from)},
      {"trajectory_to", optional_str(m.trajectory_to)},
      {"local_communities", new_bool(m.local_communities)},
  };
  for (const auto& [name, value] : items) {
    if (auto r = set_item(dict.get(), key(name), PyRef::borrow(value.get())); !r) {
      return std::unexpected(r.error());
    }
  }
  return dict;
}

}  // namespace quantelle::py
