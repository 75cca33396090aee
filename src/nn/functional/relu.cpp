#include "nn/functional/relu.hpp"

#include "tensor/api/binding.hpp"

namespace norva::nn::functional {

namespace {

PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using namespace norva::api;
  return guard([&]() -> PyObject* {
    PyObject* arg[1];
    if (!bind_args("relu", args, nargs, kwnames, {"py_tensor"}, arg)) return nullptr;
    if (!is_tensor(arg[0])) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Tensor'",
                   Py_TYPE(arg[0])->tp_name);
      add_arg_note("py_tensor");
      return nullptr;
    }
    return wrap(Tensor::relu(tensor_of(arg[0])));
  });
}

}  // namespace

PyMethodDef kReluDef = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
                        METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace norva::nn::functional
