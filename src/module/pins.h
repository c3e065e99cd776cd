#pragma once
// Pins: the containers of a call that are read in place (text_list.h, id_map.h) and must take
// their own references before any foreign code (a caller's __index__, __iter__, ...) can run.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace quantelle::py {

class TextList;
class IdMap;

// Containers read in place, made to own their items before foreign code runs (text_list.h).
class Pins {
 public:
  void hold(TextList& list) { lists_.push_back(&list); }
  void hold(IdMap& map) { maps_.push_back(&map); }
  // A verdict kept elsewhere (the engine's checked ids): answered by reading() but never
  // pinned, and dropped before foreign code runs, which could free its keeper.
  void trust(const TextList& list) { trusted_.push_back(&list); }
  void before_foreign_code();
  // A list held here that reads o in place: o has been checked, and no foreign code has run
  // since (that would have pinned and dropped it). nullptr when there is none.
  [[nodiscard]] const TextList* reading(PyObject* o) const noexcept;

 private:
  std::vector<TextList*> lists_;
  std::vector<IdMap*> maps_;
  std::vector<const TextList*> trusted_;
};

}  // namespace quantelle::py
