// Properties and shape methods of Tensor.
#include "tensor/api/binding.hpp"
#include "tensor/api/members.hpp"

namespace norva::api {

namespace {

template <class V>
PyObject* int_list(const V& values, bool is_signed) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = is_signed ? PyLong_FromSsize_t(static_cast<Py_ssize_t>(values[i]))
                            : PyLong_FromSize_t(static_cast<std::size_t>(values[i]));
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

// A shape argument: any sequence (not a str) of non-negative integers.
std::optional<engine::cpu::Shape> to_shape(PyObject* o) {
  const char* name = "shape";
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(o)->tp_name);
    add_arg_note(name);
    return std::nullopt;
  }
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    add_arg_note(name);
    return std::nullopt;
  }
  engine::cpu::Shape shape;
  shape.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(o, i));
    if (!item) {
      add_arg_note(name);
      return std::nullopt;
    }
    auto v = to_size(item.get(), name);
    if (!v) return std::nullopt;
    shape.push_back(*v);
  }
  return shape;
}

}  // namespace

PyObject* tensor_shape(PyObject* self, void*) {
  return guard([&] { return int_list(tensor_of(self).cpu().shape(), false); });
}
PyObject* tensor_ndim(PyObject* self, void*) {
  return PyLong_FromSize_t(tensor_of(self).cpu().ndim());
}
PyObject* tensor_strides(PyObject* self, void*) {
  return guard([&] { return int_list(tensor_of(self).cpu().strides(), true); });
}
PyObject* tensor_dtype(PyObject* self, void*) {
  auto name = engine::cpu::storage::dtype_lower_name(tensor_of(self).cpu().dtype());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* tensor_device(PyObject*, void*) {
  return PyUnicode_FromString("cpu");
}
PyObject* tensor_requires_grad(PyObject* self, void*) {
  return PyBool_FromLong(tensor_of(self).requires_grad);
}

PyObject* tensor_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* arg[1];
    if (!bind_args("reshape", args, nargs, kwnames, {"shape"}, arg)) return nullptr;
    auto shape = to_shape(arg[0]);
    if (!shape) return nullptr;
    return wrap(Tensor::reshape(tensor_of(self), *shape));
  });
}

PyObject* tensor_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind_args("transpose", args, nargs, kwnames, {"dim0", "dim1"}, arg)) return nullptr;
    auto d0 = to_size(arg[0], "dim0");
    if (!d0) return nullptr;
    auto d1 = to_size(arg[1], "dim1");
    if (!d1) return nullptr;
    return wrap(Tensor::transpose(tensor_of(self), *d0, *d1));
  });
}

PyObject* tensor_zeros_like(PyObject* self, PyObject*) {
  return guard([&] { return wrap(Tensor::zeros_like(tensor_of(self))); });
}
PyObject* tensor_ones_like(PyObject* self, PyObject*) {
  return guard([&] { return wrap(Tensor::ones_like(tensor_of(self))); });
}

}  // namespace norva::api
