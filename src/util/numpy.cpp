#define NORVA_NUMPY_IMPORT
#include "util/numpy.hpp"

#include <atomic>

#include "util/pyref.hpp"

namespace norva {

bool init_numpy() {
  // import_array() returns from the calling function on failure; wrap it.
  auto import = []() -> int {
    import_array1(-1);
    return 0;
  };
  return import() == 0;
}

namespace {
std::atomic<PyArray_Descr*> g_bf16{nullptr};

PyArray_Descr* lookup_by_name() {
  PyRef name = PyRef::steal(PyUnicode_FromString("bfloat16"));
  if (!name) return nullptr;
  PyArray_Descr* d = nullptr;
  if (!PyArray_DescrConverter(name.get(), &d)) return nullptr;
  return d;
}
}  // namespace

Result<PyArray_Descr*> bfloat16_descr() {
  if (PyArray_Descr* d = g_bf16.load(std::memory_order_acquire)) return d;
  PyArray_Descr* d = lookup_by_name();
  if (!d) {
    PyErr_Clear();
    // Importing ml_dtypes registers bfloat16 with NumPy.
    PyRef mod = PyRef::steal(PyImport_ImportModule("ml_dtypes"));
    if (mod) d = lookup_by_name();
    if (!d) {
      PyErr_Clear();
      return type_error(
          "bfloat16 needs a NumPy bfloat16 data type, and none is registered: install the "
          "ml_dtypes package (pip install ml_dtypes)");
    }
  }
  PyArray_Descr* expected = nullptr;
  if (!g_bf16.compare_exchange_strong(expected, d, std::memory_order_acq_rel)) {
    Py_DECREF(d);  // another thread resolved it first; keep theirs
    return expected;
  }
  return d;  // the cache keeps this reference for the life of the process
}

}  // namespace norva
