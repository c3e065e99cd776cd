#include "engine/checked_ids.h"

#include <new>
#include <unordered_map>

#include "module/converters.h"
#include "module/text_list.h"

namespace quantelle::py {
namespace {

struct CheckedIds {
  PyObject_HEAD
  PyObject* ids;  // owned while remembered, else nullptr
  TextList list;  // the tuple as the Text list rule converted it
};

CheckedIds* as_checked(PyObject* o) { return reinterpret_cast<CheckedIds*>(o); }

// The tuple of each live CheckedIds that passed. Only read and changed with the interpreter
// lock held (the engine never touches it while a scan runs unlocked).
std::unordered_map<PyObject*, CheckedIds*>& remembered() {
  static auto* map = new std::unordered_map<PyObject*, CheckedIds*>;  // outlives every object
  return *map;
}

PyObject* checked_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"ids", nullptr};
  PyObject* ids = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:CheckedIds", const_cast<char**>(names),
                                   &PyTuple_Type, &ids)) {
    return nullptr;
  }
  if (!PyTuple_CheckExact(ids)) {
    PyErr_Format(PyExc_TypeError, "CheckedIds takes an exact tuple, not %T", ids);
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  CheckedIds* c = as_checked(self);
  c->ids = nullptr;
  new (&c->list) TextList();
  // Checking a tuple runs no Python code. Ids the rule refuses, or that are not all exact str,
  // are left to each call, which then fails or reads them exactly as it would without this.
  Pins pins;
  const bool passed = static_cast<bool>(convert(ids, c->list, pins));
  if (!passed) PyErr_Clear();
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(ids));
  if (passed && c->list.exact_items().size() == n) {
    try {
      remembered().emplace(ids, c);
      c->ids = Py_NewRef(ids);
    } catch (const std::bad_alloc&) {  // not remembered: each call checks
    }
  }
  return self;
}

void checked_dealloc(PyObject* self) {
  CheckedIds* c = as_checked(self);
  if (c->ids != nullptr) {
    remembered().erase(c->ids);
    Py_DECREF(c->ids);
  }
  c->list.~TextList();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // a heap type's instances own a reference to it
}

PyObject* checked_remembered(PyObject* self, void*) {
  return PyBool_FromLong(as_checked(self)->ids != nullptr);
}

PyGetSetDef g_getset[] = {
    {"remembered", checked_remembered, nullptr,
     "Whether calls given this tuple skip checking it (all exact str that the rule accepts).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CheckedIds(ids)\n--\n\nAn ids tuple checked once: while this object lives, "
                    "score_candidates calls given that tuple do not check it again.")},
    {Py_tp_new, reinterpret_cast<void*>(&checked_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&checked_dealloc)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

// Not collected: a remembered tuple holds exact str only, which refer to nothing.
PyType_Spec g_spec = {"quantelle._engine.CheckedIds", sizeof(CheckedIds), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* checked_ids_type() noexcept {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
  return g_type;
}

void hold_checked_ids(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Pins& pins) {
  const auto& map = remembered();
  if (map.empty()) return;
  const Py_ssize_t total = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (!PyTuple_CheckExact(args[i]) || pins.reading(args[i]) != nullptr) continue;
    if (auto it = map.find(args[i]); it != map.end()) pins.trust(it->second->list);
  }
}

}  // namespace quantelle::py
