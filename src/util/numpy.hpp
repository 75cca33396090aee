// Access to NumPy's C array API from every translation unit of the engine. Each extension module
// that links the engine calls init_numpy() once during its initialisation.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL NORVA_ARRAY_API
#ifndef NORVA_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "util/error.hpp"

namespace norva {

// Imports NumPy's C API; returns false with a Python exception set on failure.
bool init_numpy();

// The NumPy data type for bfloat16 (a borrowed, process-lifetime reference), resolved once:
// NumPy's name lookup first, then from ml_dtypes. Fails with a TypeError that says how to get one.
Result<PyArray_Descr*> bfloat16_descr();

}  // namespace norva
