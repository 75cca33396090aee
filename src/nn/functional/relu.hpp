// nn.functional.relu(py_tensor).
#pragma once

#include <Python.h>

namespace norva::nn::functional {

extern PyMethodDef kReluDef;

}  // namespace norva::nn::functional
