// The constructor Tensor(data, dtype=None, device="cpu", requires_grad=False) and to_numpy().
#include <string>
#include <string_view>

#include "engine/cpu/numeric/ops/unary.hpp"
#include "engine/cpu/storage/numpy_dtype.hpp"
#include "tensor/api/binding.hpp"
#include "tensor/api/members.hpp"
#include "util/numpy.hpp"
#include <numpy/arrayscalars.h>

namespace norva::api {

namespace {

using engine::cpu::storage::CpuStorage;
using engine::cpu::storage::DType;

struct DTypeName {
  const char* accepted;
  const char* numpy_name;
};
constexpr DTypeName kAccepted[] = {
    {"f32", "float32"},   {"float32", "float32"},   {"f16", "float16"}, {"float16", "float16"},
    {"bf16", "bfloat16"}, {"bfloat16", "bfloat16"}, {"bool", "bool"},
};

std::optional<bool> convert_requires_grad(PyObject* o) {
  if (PyBool_Check(o)) return o == Py_True;
  if (PyArray_IsScalar(o, Bool)) return PyArrayScalar_VAL(o, Bool) != 0;
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", Py_TYPE(o)->tp_name);
  add_arg_note("requires_grad");
  return std::nullopt;
}

// The device, lower-cased with full Unicode rules, must be exactly "cpu".
bool check_device(PyObject* device) {
  if (PyUnicode_CompareWithASCIIString(device, "cpu") != 0) {
    // str.lower itself, not an override of a str subclass.
    PyRef lower = PyRef::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", device));
    if (!lower) return false;
    if (PyUnicode_CompareWithASCIIString(lower.get(), "cpu") != 0) {
      PyErr_SetString(PyExc_ValueError, "The device string is invalid or not supported.");
      return false;
    }
  }
  return true;
}

// The dtype argument as a name: None -> "float32"; a str -> its text; otherwise its __name__, or
// failing that numpy.dtype(obj).name.
PyRef resolve_dtype_name(PyObject* dtype) {
  if (!dtype || dtype == Py_None) return PyRef::steal(PyUnicode_FromString("float32"));
  if (PyUnicode_Check(dtype)) return PyRef::borrow(dtype);
  PyRef name = PyRef::steal(PyObject_GetAttrString(dtype, "__name__"));
  if (name) {
    if (!PyUnicode_Check(name.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                   Py_TYPE(name.get())->tp_name);
      return {};
    }
    return name;
  }
  PyErr_Clear();
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return {};
  PyRef descr = PyRef::steal(PyObject_CallMethod(numpy.get(), "dtype", "O", dtype));
  if (!descr) return {};
  PyRef np_name = PyRef::steal(PyObject_GetAttrString(descr.get(), "name"));
  if (np_name && !PyUnicode_Check(np_name.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(np_name.get())->tp_name);
    return {};
  }
  return np_name;
}

// True when `data` is a plain, aligned NumPy array already of the requested element type (native
// byte order): what numpy.array would return for it is an identical copy.
bool already_converted(PyObject* data, std::string_view numpy_name) {
  if (!PyArray_CheckExact(data)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(data);
  if (!(PyArray_FLAGS(arr) & NPY_ARRAY_ALIGNED)) return false;
  PyArray_Descr* have = PyArray_DESCR(arr);
  if (numpy_name == "bfloat16") {
    auto want = bfloat16_descr();
    return want && PyArray_EquivTypes(have, *want);
  }
  int type = numpy_name == "float32"   ? NPY_FLOAT32
             : numpy_name == "float16" ? NPY_FLOAT16
                                       : NPY_BOOL;
  return have->type_num == type && PyArray_ISNBO(have->byteorder);
}

PyObject* construct(PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"data", "dtype", "device", "requires_grad", nullptr};
  PyObject *data = nullptr, *dtype = nullptr, *device = nullptr, *rg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOO:Tensor", const_cast<char**>(kwlist), &data,
                                   &dtype, &device, &rg))
    return nullptr;
  if (device && !PyUnicode_Check(device)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(device)->tp_name);
    add_arg_note("device");
    return nullptr;
  }
  bool requires_grad = false;
  if (rg) {
    auto v = convert_requires_grad(rg);
    if (!v) return nullptr;
    requires_grad = *v;
  }
  if (device && !check_device(device)) return nullptr;

  PyRef name = resolve_dtype_name(dtype);
  if (!name) return nullptr;
  // Compared as text, so a name that has no UTF-8 form (a lone surrogate) is simply not accepted.
  const DTypeName* entry = nullptr;
  for (const auto& e : kAccepted)
    if (PyUnicode_CompareWithASCIIString(name.get(), e.accepted) == 0) entry = &e;
  if (!entry) {
    PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name.get());
    return nullptr;
  }

  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  if (std::string_view(entry->numpy_name) == "bfloat16") {
    // NumPy knows the name only once a package has registered it.
    if (auto d = bfloat16_descr(); !d) return raise(d.error());
  }
  PyRef array;
  if (already_converted(data, entry->numpy_name)) {
    // numpy.array would only make an identical copy that the storage then copies again.
    array = PyRef::borrow(data);
  } else {
    PyRef kw = PyRef::steal(Py_BuildValue("{s:s}", "dtype", entry->numpy_name));
    if (!kw) return nullptr;
    PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
    if (!array_fn) return nullptr;
    PyRef pos = PyRef::steal(PyTuple_Pack(1, data));
    if (!pos) return nullptr;
    array = PyRef::steal(PyObject_Call(array_fn.get(), pos.get(), kw.get()));
    if (!array) return nullptr;
  }

  auto storage = CpuStorage::from_numpy(array.get(), entry->accepted);
  if (!storage) return raise(storage.error());
  return wrap(Tensor::leaf(std::move(*storage), requires_grad));
}

template <class T>
PyObject* array_from(const engine::cpu::NdArray<T>& a, PyArray_Descr* descr) {
  using namespace engine::cpu;
  // Block copy for row- or column-major storages, keeping their strides; any other layout is
  // copied in logical row-major order.
  const NdArray<T>* src = &a;
  NdArray<T> packed;
  if (!is_row_major(a.shape(), a.strides()) && !is_col_major(a.shape(), a.strides())) {
    packed = numeric::ops::copy_to_row_major(a.view());
    src = &packed;
  }
  int nd = static_cast<int>(src->ndim());
  SmallVec<npy_intp, 8> dims(src->ndim()), strides(src->ndim());
  for (std::size_t i = 0; i < src->ndim(); ++i) {
    dims[i] = static_cast<npy_intp>(src->shape()[i]);
    strides[i] = static_cast<npy_intp>(src->strides()[i] * static_cast<std::ptrdiff_t>(sizeof(T)));
  }
  Py_INCREF(descr);  // PyArray_NewFromDescr steals it
  PyObject* out = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims.data(), strides.data(),
                                       nullptr, 0, nullptr);
  if (!out) return nullptr;
  if (src->numel())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), src->data(),
                src->numel() * sizeof(T));
  return out;
}

}  // namespace

PyObject* storage_to_numpy(const CpuStorage& s) {
  auto descr = engine::cpu::storage::numpy_descr(s.dtype());
  if (!descr) return raise(descr.error());
  auto* d = reinterpret_cast<PyArray_Descr*>(descr->get());
  return engine::cpu::storage::visit(s, [&](const auto& a) { return array_from(a, d); });
}

PyObject* tensor_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  return guard([&] { return construct(args, kwds); });
}

PyObject* tensor_to_numpy(PyObject* self, PyObject*) {
  return guard([&] { return storage_to_numpy(tensor_of(self).cpu()); });
}

}  // namespace norva::api
