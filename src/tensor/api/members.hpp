// The members of the Tensor class, defined across the binding's files and assembled into the
// class in tensor_type.cpp.
#pragma once

#include <Python.h>

namespace norva::api {

// construction.cpp
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
PyObject* tensor_to_numpy(PyObject* self, PyObject*);

// properties.cpp
PyObject* tensor_shape(PyObject* self, void*);
PyObject* tensor_ndim(PyObject* self, void*);
PyObject* tensor_strides(PyObject* self, void*);
PyObject* tensor_dtype(PyObject* self, void*);
PyObject* tensor_device(PyObject* self, void*);
PyObject* tensor_requires_grad(PyObject* self, void*);
PyObject* tensor_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* tensor_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* tensor_zeros_like(PyObject* self, PyObject*);
PyObject* tensor_ones_like(PyObject* self, PyObject*);

// operators.cpp
PyObject* nb_add(PyObject* a, PyObject* b);
PyObject* nb_subtract(PyObject* a, PyObject* b);
PyObject* nb_multiply(PyObject* a, PyObject* b);
PyObject* nb_true_divide(PyObject* a, PyObject* b);
PyObject* nb_matrix_multiply(PyObject* a, PyObject* b);
PyObject* nb_and(PyObject* a, PyObject* b);
PyObject* nb_or(PyObject* a, PyObject* b);
PyObject* nb_xor(PyObject* a, PyObject* b);
PyObject* nb_invert(PyObject* a);
PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op);
PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// autograd.cpp
PyObject* tensor_backward(PyObject* self, PyObject*);
PyObject* tensor_grad(PyObject* self, PyObject*);
PyObject* tensor_clear_graph(PyObject*, PyObject*);

}  // namespace norva::api
