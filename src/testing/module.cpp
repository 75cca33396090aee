// The private test-only extension module _norva_testing: initialisation and argument helpers.
//
// It links its own copy of the engine, so its per-thread tape and its internal-error exception are
// separate from norva_core's; the tests use it only to observe the engine's internals directly.
#include "testing/testing.hpp"

#include <type_traits>

#include "tensor/api/binding.hpp"
#include "util/numpy.hpp"

namespace norva::testing {

std::optional<std::string_view> text_arg(PyObject* o, const char* name) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &len) : nullptr;
  if (!s) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'%s' must be a str", name);
    return std::nullopt;
  }
  return std::string_view(s, static_cast<std::size_t>(len));
}

PyRef array_arg(PyObject* o, int npy_type, const char* name) {
  if (!PyArray_Check(o) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != npy_type) {
    PyRef want = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(npy_type)));
    PyErr_Format(PyExc_TypeError, "'%s' must be a NumPy array of %R", name, want.get());
    return {};
  }
  return PyRef::steal(PyArray_FROMANY(o, npy_type, 0, 0, NPY_ARRAY_IN_ARRAY));
}

namespace {
template <class T>
std::optional<SmallVec<T, 6>> int_list(PyObject* o) {
  PyRef seq = PyRef::steal(PySequence_Fast(o, "expected a sequence of integers"));
  if (!seq) return std::nullopt;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  SmallVec<T, 6> out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if constexpr (std::is_same_v<T, std::size_t>) {
      std::size_t v = PyLong_AsSize_t(item);
      if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
      out.push_back(v);
    } else {
      Py_ssize_t v = PyLong_AsSsize_t(item);
      if (v == -1 && PyErr_Occurred()) return std::nullopt;
      out.push_back(static_cast<T>(v));
    }
  }
  return out;
}
}  // namespace

std::optional<engine::cpu::Shape> shape_arg(PyObject* o) {
  return int_list<std::size_t>(o);
}
std::optional<engine::cpu::Strides> strides_arg(PyObject* o) {
  return int_list<std::ptrdiff_t>(o);
}

}  // namespace norva::testing

namespace {

int exec_module(PyObject* module) {
  return norva::api::guard<int>(
      [&]() -> int {
        if (!norva::init_numpy()) return -1;
        if (PyModule_AddFunctions(module, norva::testing::kConversionMethods) < 0) return -1;
        if (PyModule_AddFunctions(module, norva::testing::kInternalsMethods) < 0) return -1;
        // This module's own copy of the internal-error exception (norva_core has another).
        PyObject* internal = norva::api::internal_error_type();
        if (!internal) return -1;
        return PyObject_SetAttrString(module, "InternalError", internal);
      },
      -1);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_norva_testing",
    "Private test-only access to norva's engine internals; not part of the library.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__norva_testing() {
  return PyModuleDef_Init(&kModule);
}
