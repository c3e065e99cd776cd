// NumPy array arguments: the C API table is loaded at the first array argument (never at
// import, so the module works without NumPy), then arrays are checked and viewed in place.
#include "module/converters.h"

#include "module/numpy_api.h"  // before NumPy's header: the table's one symbol per extension
#include <numpy/arrayobject.h>

#include <string>

namespace quantelle::py {
namespace {

// The table and the builtin descriptors are process-wide and never released.
PyArray_Descr* g_float32 = nullptr;
PyArray_Descr* g_float64 = nullptr;
PyArray_Descr* g_bool = nullptr;

PyResult<void> capsule_failure(std::string why) {
  PyErr_Clear();
  raise_panic("Failed to access NumPy array API capsule: " + why);
  return kErrorSet;
}

}  // namespace

PyResult<void> load_numpy_api() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return capsule_failure("numpy cannot be imported");
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
  if (!version || !lib) return capsule_failure("numpy has no version");
  PyRef parsed = PyRef::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  PyRef major_obj = parsed ? PyRef::steal(PyObject_GetAttrString(parsed.get(), "major")) : PyRef();
  const long major = major_obj ? PyLong_AsLong(major_obj.get()) : -1;
  if (major < 0) return capsule_failure("numpy's version cannot be read");
  const char* multiarray = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef module = PyRef::steal(PyImport_ImportModule(multiarray));
  PyRef capsule =
      module ? PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API")) : PyRef();
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
    return capsule_failure(std::string(multiarray) + "._ARRAY_API is not a capsule");
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return capsule_failure("the capsule holds no table");
  PyArray_API = static_cast<void**>(table);
  // The checks NumPy's own import makes: an ABI we were not built for, or a NumPy older than
  // the API we target, must not be used.
  if (PyArray_GetNDArrayCVersion() > NPY_ABI_VERSION ||
      PyArray_GetNDArrayCFeatureVersion() < NPY_FEATURE_VERSION) {
    PyArray_API = nullptr;
    return capsule_failure("incompatible NumPy C API version");
  }
  g_float32 = PyArray_DescrFromType(NPY_FLOAT);
  g_float64 = PyArray_DescrFromType(NPY_DOUBLE);
  g_bool = PyArray_DescrFromType(NPY_BOOL);
  if (g_float32 == nullptr || g_float64 == nullptr || g_bool == nullptr) {
    PyArray_API = nullptr;
    return capsule_failure("builtin descriptors are missing");
  }
  Py_INCREF(capsule.get());  // the table lives in the capsule: keep it for the process
  return {};
}

bool numpy_api_loaded() noexcept { return PyArray_API != nullptr; }

namespace {

// The three checks; a failure is the one TypeError of every array rule.
PyResult<PyArrayObject*> checked_array(PyObject* o, int ndim, PyArray_Descr* const& want,
                                       Pins& pins) {
  if (PyArray_API == nullptr) {
    pins.before_foreign_code();  // importing NumPy runs Python code
    if (auto r = load_numpy_api(); !r) return std::unexpected(r.error());
  }  // want is read only now: the descriptors exist once the table is loaded
  if (!PyArray_Check(o)) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
  auto* array = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(array) != ndim) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (descr != want) {
    pins.before_foreign_code();  // the equivalence test may build NumPy cast objects
    if (!PyArray_EquivTypes(descr, want)) {
      return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
    }
  }
  return array;
}

template <class T>
PyResult<void> to_vector(PyObject* o, PyArray_Descr* const& want, StridedVector<T>& out,
                         Pins& pins) {
  auto array = checked_array(o, 1, want, pins);
  if (!array) return std::unexpected(array.error());
  out.data = static_cast<const std::byte*>(PyArray_DATA(*array));
  out.size = static_cast<std::size_t>(PyArray_DIM(*array, 0));
  out.stride = PyArray_STRIDE(*array, 0);
  return {};
}

}  // namespace

bool is_numpy_bool_scalar(PyObject* o) noexcept {
  return PyArray_API != nullptr && Py_TYPE(o) == &PyBoolArrType_Type;
}

PyResult<void> convert(PyObject* o, MatrixF32& out, Pins& pins) {
  auto array = checked_array(o, 2, g_float32, pins);
  if (!array) return std::unexpected(array.error());
  out.data = static_cast<const std::byte*>(PyArray_DATA(*array));
  out.rows = static_cast<std::size_t>(PyArray_DIM(*array, 0));
  out.cols = static_cast<std::size_t>(PyArray_DIM(*array, 1));
  out.row_stride = PyArray_STRIDE(*array, 0);
  out.col_stride = PyArray_STRIDE(*array, 1);
  return {};
}

PyResult<void> convert(PyObject* o, VectorF32& out, Pins& pins) {
  return to_vector(o, g_float32, out, pins);
}
PyResult<void> convert(PyObject* o, VectorF64& out, Pins& pins) {
  return to_vector(o, g_float64, out, pins);
}
PyResult<void> convert(PyObject* o, BoolVector& out, Pins& pins) {
  return to_vector(o, g_bool, out, pins);
}

}  // namespace quantelle::py
