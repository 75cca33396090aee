// Construction of a storage from a NumPy array, and the element-type names.
#include <cstring>

#include "engine/cpu/storage/dispatch.hpp"
#include "engine/cpu/storage/numpy_dtype.hpp"
#include "util/numpy.hpp"
#include "util/pyref.hpp"

namespace norva::engine::cpu::storage {

std::string_view dtype_name(DType d) {
  switch (d) {
    case DType::F16:
      return "F16";
    case DType::BF16:
      return "BF16";
    case DType::F32:
      return "F32";
    case DType::Bool:
      return "Bool";
  }
  return "?";
}

std::string_view dtype_lower_name(DType d) {
  switch (d) {
    case DType::F16:
      return "f16";
    case DType::BF16:
      return "bf16";
    case DType::F32:
      return "f32";
    case DType::Bool:
      return "bool";
  }
  return "?";
}

Result<PyRef> numpy_descr(DType d) {
  int type = NPY_BOOL;
  switch (d) {
    case DType::F32:
      type = NPY_FLOAT32;
      break;
    case DType::F16:
      type = NPY_FLOAT16;
      break;
    case DType::Bool:
      type = NPY_BOOL;
      break;
    case DType::BF16: {
      auto bf16 = bfloat16_descr();
      if (!bf16) return std::unexpected(std::move(bf16.error()));
      return PyRef::borrow(reinterpret_cast<PyObject*>(*bf16));
    }
  }
  PyRef descr = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
  if (!descr) return fail(ErrorKind::Python, "");
  return descr;
}

namespace {

std::unexpected<Error> not_an_array(PyObject* obj) {
  // The type's own name, without its module (as type(obj).__name__ shows it).
  std::string_view name = Py_TYPE(obj)->tp_name;
  if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  std::string message = "'";
  message.append(name).append("' object is not an instance of 'ndarray'");
  return type_error(std::move(message));
}

// Copies the elements of `arr` in logical row-major order (last index fastest) through its own
// byte strides, whatever they are.
void copy_strided(PyArrayObject* arr, char* dst, std::size_t width) {
  int nd = PyArray_NDIM(arr);
  const npy_intp* dims = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  const char* base = PyArray_BYTES(arr);
  if (PyArray_SIZE(arr) == 0) return;
  if (nd == 0) {
    std::memcpy(dst, base, width);
    return;
  }
  SmallVec<npy_intp, 8> idx(static_cast<std::size_t>(nd), 0);
  const char* src = base;
  npy_intp inner = dims[nd - 1];
  npy_intp istride = strides[nd - 1];
  for (;;) {
    const char* p = src;
    for (npy_intp i = 0; i < inner; ++i, p += istride, dst += width) std::memcpy(dst, p, width);
    int ax = nd - 1;
    for (;;) {
      if (ax == 0) return;
      --ax;
      src += strides[ax];
      if (++idx[static_cast<std::size_t>(ax)] < dims[ax]) break;
      src -= strides[ax] * dims[ax];
      idx[static_cast<std::size_t>(ax)] = 0;
    }
  }
}

template <class T>
Result<CpuStorage> build(PyArrayObject* arr, Shape shape) {
  NdArray<T> out = NdArray<T>::row_major(std::move(shape));
  std::size_t n = out.numel();
  if (n != static_cast<std::size_t>(PyArray_SIZE(arr)))
    return value_error(
        "Shape mismatch: element count does not match the shape: incompatible shapes");
  if (PyArray_FLAGS(arr) & NPY_ARRAY_C_CONTIGUOUS) {
    if (n > 0 && !(PyArray_FLAGS(arr) & NPY_ARRAY_ALIGNED))
      return type_error("The given array is not contiguous or is misaligned.");
    if (n) std::memcpy(out.data(), PyArray_DATA(arr), n * sizeof(T));
  } else {
    copy_strided(arr, reinterpret_cast<char*>(out.data()), sizeof(T));
  }
  if constexpr (std::is_same_v<T, Bool8>) {
    // NumPy booleans are 0 or 1 already; normalise any other byte so every kernel may rely on it.
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(out.data());
    for (std::size_t i = 0; i < n; ++i) p[i] = p[i] != 0;
  }
  return CpuStorage(std::move(out));
}

}  // namespace

Result<CpuStorage> CpuStorage::from_numpy(PyObject* array, std::string_view dtype) {
  if (!PyArray_Check(array)) return not_an_array(array);
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array);
  Shape shape(reinterpret_cast<const std::size_t*>(PyArray_DIMS(arr)),
              static_cast<std::size_t>(PyArray_NDIM(arr)));

  DType target;
  if (dtype == "f32" || dtype == "float32")
    target = DType::F32;
  else if (dtype == "f16" || dtype == "float16")
    target = DType::F16;
  else if (dtype == "bf16" || dtype == "bfloat16")
    target = DType::BF16;
  else if (dtype == "bool")
    target = DType::Bool;
  else
    return type_error("Unsupported data type '" + std::string(dtype) +
                      "'. Only float32, float16, bfloat16, and bool are supported.");

  auto want = numpy_descr(target);
  if (!want) return std::unexpected(std::move(want.error()));
  if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want->get())))
    return not_an_array(array);

  switch (target) {
    case DType::F32:
      return build<float>(arr, std::move(shape));
    case DType::F16:
      return build<f16>(arr, std::move(shape));
    case DType::BF16:
      return build<bf16>(arr, std::move(shape));
    case DType::Bool:
      return build<Bool8>(arr, std::move(shape));
  }
  return internal_error("unknown element type");
}

}  // namespace norva::engine::cpu::storage
