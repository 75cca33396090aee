// backward(), grad() and the static clear_graph().
#include "autograd/engine.hpp"
#include "tensor/api/binding.hpp"
#include "tensor/api/members.hpp"

namespace norva::api {

PyObject* tensor_backward(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Tensor& t = tensor_of(self);
    if (!t.requires_grad)
      return raise({ErrorKind::Value, "backward() called on tensor that does not require grad"});
    if (!t.node)
      return raise({ErrorKind::Value, "backward() called on a constant tensor with no node_id"});
    if (auto ok = autograd::run_backward(*t.node, t.cpu().ones_like()); !ok)
      return raise(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* tensor_grad(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Tensor& t = tensor_of(self);
    if (!t.node) Py_RETURN_NONE;
    auto array =
        autograd::with_grad(*t.node, [](const engine::cpu::storage::CpuStorage* g) -> PyObject* {
          if (!g) Py_RETURN_NONE;
          return storage_to_numpy(*g);
        });
    if (!array) return raise(array.error());
    return *array;
  });
}

PyObject* tensor_clear_graph(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    if (auto ok = autograd::clear_graph(); !ok) return raise(ok.error());
    Py_RETURN_NONE;
  });
}

}  // namespace norva::api
