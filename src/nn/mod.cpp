#include "nn/mod.hpp"

#include "nn/functional/relu.hpp"
#include "util/pyref.hpp"

namespace norva::nn {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int init_submodule(PyObject* parent) {
  PyRef nn = PyRef::steal(PyModule_New("nn"));
  if (!nn) return -1;
  PyRef functional = PyRef::steal(PyModule_New("functional"));
  if (!functional) return -1;
  PyRef relu = PyRef::steal(PyCFunction_NewEx(&functional::kReluDef, nullptr, functional.get()));
  if (!relu) return -1;
  if (add_to_module(functional.get(), "relu", relu.get()) < 0) return -1;
  if (add_to_module(nn.get(), "functional", functional.get()) < 0) return -1;
  return add_to_module(parent, "nn", nn.get());
}

}  // namespace norva::nn
