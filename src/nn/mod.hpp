// The nn submodule tree: norva_core.nn.functional.relu.
#pragma once

#include <Python.h>

namespace norva::nn {

// Builds nn and nn.functional and adds nn to `parent`; returns -1 with an exception set on
// failure.
int init_submodule(PyObject* parent);

// Appends `name` to the module's __all__ (creating it when absent), then sets the attribute.
// Steals nothing; returns -1 with an exception set on failure.
int add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace norva::nn
