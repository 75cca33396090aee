// The extension module norva_core: multi-phase initialisation.
#include <Python.h>

#include "nn/mod.hpp"
#include "tensor/api/binding.hpp"
#include "util/numpy.hpp"

namespace {

int exec_module(PyObject* module) {
  return norva::api::guard<int>(
      [&]() -> int {
        if (!PyModule_Check(module)) {
          PyErr_SetString(PyExc_TypeError, "norva_core must be executed on a module object");
          return -1;
        }
        if (!norva::init_numpy()) return -1;
        PyTypeObject* type = norva::api::tensor_type();
        if (!type) return -1;
        if (norva::nn::add_to_module(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0)
          return -1;
        if (norva::nn::init_submodule(module) < 0) return -1;
        // The internal-error exception is reachable for callers that want to catch it, but it is
        // not part of the star-import surface.
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
    PyModuleDef_HEAD_INIT, "norva_core", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_norva_core() {
  return PyModuleDef_Init(&kModule);
}
