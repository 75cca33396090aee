// The private test-only module _norva_testing: engine internals that the public Python surface
// cannot reach, exposed for the test suite alone. Nothing here is part of the library.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "engine/cpu/array.hpp"
#include "util/pyref.hpp"

namespace norva::testing {

// Method tables of the two halves of the module, each ending with a null entry.
extern PyMethodDef kConversionMethods[];
extern PyMethodDef kInternalsMethods[];

// A text argument as a view of its UTF-8 form (valid while the object lives), or nullopt with
// TypeError set.
std::optional<std::string_view> text_arg(PyObject* o, const char* name);

// A C-contiguous, aligned NumPy array of exactly the given element type, or an empty PyRef with
// an exception set.
PyRef array_arg(PyObject* o, int npy_type, const char* name);

// A sequence of Python integers as a shape (non-negative) or strides (signed); nullopt with an
// exception set.
std::optional<engine::cpu::Shape> shape_arg(PyObject* o);
std::optional<engine::cpu::Strides> strides_arg(PyObject* o);

}  // namespace norva::testing
