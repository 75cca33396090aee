// The Tensor class: its slots, methods and properties, and wrapping of core values.
#include "tensor/api/binding.hpp"
#include "tensor/api/members.hpp"

namespace norva::api {

namespace {

void tensor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyTensor*>(self)->value.~Tensor();
  PyObject_Free(self);
  Py_DECREF(type);
}

#define NORVA_SIG(sig) sig "\n--\n\n"

PyMethodDef kMethods[] = {
    {"grad", tensor_grad, METH_NOARGS, NORVA_SIG("grad($self)")},
    {"__req__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_req)),
     METH_FASTCALL | METH_KEYWORDS, NORVA_SIG("__req__($self, other)")},
    {"__rlt__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_rlt)),
     METH_FASTCALL | METH_KEYWORDS, NORVA_SIG("__rlt__($self, other)")},
    {"__rgt__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_rgt)),
     METH_FASTCALL | METH_KEYWORDS, NORVA_SIG("__rgt__($self, other)")},
    {"to_numpy", tensor_to_numpy, METH_NOARGS, NORVA_SIG("to_numpy($self)")},
    {"zeros_like", tensor_zeros_like, METH_NOARGS, NORVA_SIG("zeros_like($self)")},
    {"ones_like", tensor_ones_like, METH_NOARGS, NORVA_SIG("ones_like($self)")},
    {"reshape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_reshape)),
     METH_FASTCALL | METH_KEYWORDS, NORVA_SIG("reshape($self, shape)")},
    {"transpose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_transpose)),
     METH_FASTCALL | METH_KEYWORDS, NORVA_SIG("transpose($self, dim0, dim1)")},
    {"backward", tensor_backward, METH_NOARGS, NORVA_SIG("backward($self)")},
    {"clear_graph", tensor_clear_graph, METH_NOARGS | METH_STATIC, NORVA_SIG("clear_graph()")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"shape", tensor_shape, nullptr, nullptr, nullptr},
    {"ndim", tensor_ndim, nullptr, nullptr, nullptr},
    {"strides", tensor_strides, nullptr, nullptr, nullptr},
    {"dtype", tensor_dtype, nullptr, nullptr, nullptr},
    {"device", tensor_device, nullptr, nullptr, nullptr},
    {"requires_grad", tensor_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(NORVA_SIG("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)"))},
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_richcompare, reinterpret_cast<void*>(tensor_richcompare)},
    {Py_nb_add, reinterpret_cast<void*>(nb_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(nb_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(nb_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(nb_true_divide)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(nb_matrix_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(nb_and)},
    {Py_nb_or, reinterpret_cast<void*>(nb_or)},
    {Py_nb_xor, reinterpret_cast<void*>(nb_xor)},
    {Py_nb_invert, reinterpret_cast<void*>(nb_invert)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "norva.Tensor", sizeof(PyTensor), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots,
};

PyTypeObject* create_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
}

}  // namespace

PyTypeObject* tensor_type() {
  // Created once (normally during module execution) and kept for the life of the process.
  static PyTypeObject* const type = create_type();
  return type;
}

PyObject* wrap(Tensor&& t) {
  PyTypeObject* type = tensor_type();
  void* mem = PyObject_Malloc(sizeof(PyTensor));
  if (!mem) return PyErr_NoMemory();
  PyObject* o = PyObject_Init(static_cast<PyObject*>(mem), type);
  new (&reinterpret_cast<PyTensor*>(o)->value) Tensor(std::move(t));
  return o;
}

}  // namespace norva::api
