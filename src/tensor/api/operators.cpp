// Number-protocol slots, rich comparison and the explicit reflected comparisons.
//
// One slot serves both operand orders: the forward half runs when the left operand is a tensor,
// the reflected half (only for +, * and /) when the right one is and the left is a number. An
// operand that cannot be used gives NotImplemented, so the interpreter raises its own TypeError.
#include "tensor/api/binding.hpp"
#include "tensor/api/members.hpp"

namespace norva::api {

namespace {

using TT = Result<Tensor> (*)(const Tensor&, const Tensor&);
using TS = Result<Tensor> (*)(const Tensor&, float);

PyObject* not_implemented() {
  Py_RETURN_NOTIMPLEMENTED;
}

// tensor (op) tensor-or-number, with an optional reflected form number (op) tensor.
template <TT tensor_op, TS scalar_op, class Reflected>
PyObject* arithmetic(PyObject* a, PyObject* b, Reflected reflected) {
  return guard([&]() -> PyObject* {
    if (is_tensor(a)) {
      if (is_tensor(b)) return wrap(tensor_op(tensor_of(a), tensor_of(b)));
      if (auto s = number_as_f32(b)) return wrap(scalar_op(tensor_of(a), *s));
      return not_implemented();
    }
    if constexpr (!std::is_same_v<Reflected, std::nullptr_t>) {
      if (is_tensor(b))
        if (auto s = number_as_f32(a)) return wrap(reflected(*s, tensor_of(b)));
    }
    return not_implemented();
  });
}

// tensor (op) tensor only.
template <TT tensor_op>
PyObject* tensor_only(PyObject* a, PyObject* b) {
  return guard([&]() -> PyObject* {
    if (is_tensor(a) && is_tensor(b)) return wrap(tensor_op(tensor_of(a), tensor_of(b)));
    return not_implemented();
  });
}

// __req__ and friends: `other` must be a number.
template <TS scalar_op>
PyObject* explicit_compare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, const char* name) {
  return guard([&]() -> PyObject* {
    PyObject* arg[1];
    if (!bind_args(name, args, nargs, kwnames, {"other"}, arg)) return nullptr;
    auto s = to_f32(arg[0], "other");
    if (!s) return nullptr;
    return wrap(scalar_op(tensor_of(self), *s));
  });
}

}  // namespace

PyObject* nb_add(PyObject* a, PyObject* b) {
  return arithmetic<Tensor::add, Tensor::scalar_add>(
      a, b, [](float s, const Tensor& t) { return Tensor::scalar_add(t, s); });
}
PyObject* nb_subtract(PyObject* a, PyObject* b) {
  return arithmetic<Tensor::sub, Tensor::scalar_sub>(a, b, nullptr);
}
PyObject* nb_multiply(PyObject* a, PyObject* b) {
  return arithmetic<Tensor::mul, Tensor::scalar_mul>(
      a, b, [](float s, const Tensor& t) { return Tensor::scalar_mul(t, s); });
}
PyObject* nb_true_divide(PyObject* a, PyObject* b) {
  return arithmetic<Tensor::div, Tensor::scalar_div>(a, b, Tensor::scalar_rdiv);
}
PyObject* nb_matrix_multiply(PyObject* a, PyObject* b) {
  return tensor_only<Tensor::matmul>(a, b);
}
PyObject* nb_and(PyObject* a, PyObject* b) {
  return tensor_only<Tensor::logical_and>(a, b);
}
PyObject* nb_or(PyObject* a, PyObject* b) {
  return tensor_only<Tensor::logical_or>(a, b);
}
PyObject* nb_xor(PyObject* a, PyObject* b) {
  return tensor_only<Tensor::logical_xor>(a, b);
}
PyObject* nb_invert(PyObject* a) {
  return guard([&] { return wrap(Tensor::logical_not(tensor_of(a))); });
}

PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op) {
  return guard([&]() -> PyObject* {
    static constexpr TT tensor_ops[] = {Tensor::lt, Tensor::le, Tensor::eq,
                                        Tensor::ne, Tensor::gt, Tensor::ge};
    static constexpr TS scalar_ops[] = {Tensor::scalar_lt, Tensor::scalar_le, Tensor::scalar_eq,
                                        Tensor::scalar_ne, Tensor::scalar_gt, Tensor::scalar_ge};
    if (op < Py_LT || op > Py_GE) return not_implemented();
    const Tensor& t = tensor_of(self);
    if (is_tensor(other)) return wrap(tensor_ops[op](t, tensor_of(other)));
    if (auto s = number_as_f32(other)) return wrap(scalar_ops[op](t, *s));
    return not_implemented();
  });
}

PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return explicit_compare<Tensor::scalar_eq>(self, args, nargs, kwnames, "__req__");
}
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return explicit_compare<Tensor::scalar_lt>(self, args, nargs, kwnames, "__rgt__");
}
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return explicit_compare<Tensor::scalar_gt>(self, args, nargs, kwnames, "__rlt__");
}

}  // namespace norva::api
