// Test access to engine internals that the Python surface only shows indirectly: the memory-order
// rules for fresh results, and the per-thread tape (node ids, gradient slots and the access guard)
// of this module's own copy of the engine.
#include <memory>

#include "autograd/graph.hpp"
#include "engine/cpu/array.hpp"
#include "engine/cpu/layout.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "tensor/api/binding.hpp"
#include "testing/testing.hpp"
#include "util/numpy.hpp"

namespace norva::testing {
namespace {

namespace cpu = engine::cpu;
using api::bind_args;
using api::guard;
using autograd::TapeAccess;

PyObject* strides_tuple(const cpu::Strides& s) {
  PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(s.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < s.size(); ++i) {
    PyObject* v = PyLong_FromSsize_t(s[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), v);
  }
  return out.release();
}

// Reads (shape, strides...) arguments and checks that every strides list has one entry per axis.
bool layout_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::initializer_list<const char*> names, cpu::Shape& shape,
                 cpu::Strides* strides) {
  PyObject* a[3];
  if (!bind_args(fname, args, nargs, kwnames, names, a)) return false;
  auto sh = shape_arg(a[0]);
  if (!sh) return false;
  shape = std::move(*sh);
  for (std::size_t k = 1; k < names.size(); ++k) {
    auto st = strides_arg(a[k]);
    if (!st) return false;
    if (st->size() != shape.size()) {
      PyErr_Format(PyExc_ValueError, "%s(): strides need one entry per axis", fname);
      return false;
    }
    strides[k - 1] = std::move(*st);
  }
  return true;
}

// ---- layout ----

PyObject* two_operand_row_major(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    cpu::Shape shape;
    cpu::Strides s[2];
    if (!layout_args("two_operand_row_major", args, nargs, kwnames, {"shape", "a", "b"}, shape, s))
      return nullptr;
    return PyBool_FromLong(cpu::two_operand_result_row_major(shape, s[0], s[1]));
  });
}

PyObject* is_row_major(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    cpu::Shape shape;
    cpu::Strides s[1];
    if (!layout_args("is_row_major", args, nargs, kwnames, {"shape", "strides"}, shape, s))
      return nullptr;
    return PyBool_FromLong(cpu::is_row_major(shape, s[0]));
  });
}

PyObject* is_col_major(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    cpu::Shape shape;
    cpu::Strides s[1];
    if (!layout_args("is_col_major", args, nargs, kwnames, {"shape", "strides"}, shape, s))
      return nullptr;
    return PyBool_FromLong(cpu::is_col_major(shape, s[0]));
  });
}

PyObject* row_major_strides(PyObject*, PyObject* shape_obj) {
  return guard([&]() -> PyObject* {
    auto shape = shape_arg(shape_obj);
    if (!shape) return nullptr;
    return strides_tuple(cpu::row_major_strides(*shape));
  });
}

PyObject* col_major_strides(PyObject*, PyObject* shape_obj) {
  return guard([&]() -> PyObject* {
    auto shape = shape_arg(shape_obj);
    if (!shape) return nullptr;
    return strides_tuple(cpu::col_major_strides(*shape));
  });
}

// ---- tape ----

std::optional<std::size_t> id_arg(PyObject* o) {
  std::size_t v = PyLong_AsSize_t(o);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
  return v;
}

PyObject* tape_size(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    auto access = TapeAccess::shared();
    if (!access) return api::raise(access.error());
    return PyLong_FromSize_t((*access)->size());
  });
}

PyObject* tape_push_leaf(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    auto access = TapeAccess::exclusive();
    if (!access) return api::raise(access.error());
    return PyLong_FromSize_t((*access)->push_node(std::make_unique<autograd::LeafNode>()));
  });
}

PyObject* tape_clear(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    auto access = TapeAccess::exclusive();
    if (!access) return api::raise(access.error());
    (*access)->clear();
    Py_RETURN_NONE;
  });
}

// tape_set_grad(id, array): stores a float32 copy of the NumPy array in slot id.
PyObject* tape_set_grad(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args("tape_set_grad", args, nargs, kwnames, {"id", "array"}, a)) return nullptr;
    auto id = id_arg(a[0]);
    if (!id) return nullptr;
    auto g = cpu::storage::CpuStorage::from_numpy(a[1], "float32");
    if (!g) return api::raise(g.error());
    auto access = TapeAccess::exclusive();
    if (!access) return api::raise(access.error());
    (*access)->set_grad(*id, std::make_unique<cpu::storage::CpuStorage>(std::move(*g)));
    Py_RETURN_NONE;
  });
}

// tape_grad(id): a NumPy copy of slot id, or None.
PyObject* tape_grad(PyObject*, PyObject* id_obj) {
  return guard([&]() -> PyObject* {
    auto id = id_arg(id_obj);
    if (!id) return nullptr;
    std::optional<cpu::storage::CpuStorage> g;
    {
      auto access = TapeAccess::shared();
      if (!access) return api::raise(access.error());
      g = (*access)->grad(*id);
    }
    if (!g) Py_RETURN_NONE;
    return api::storage_to_numpy(*g);
  });
}

// tape_access_conflict(first, second): takes `second` access ("exclusive" or "shared") while
// `first` is held. Returns None when both could be had, raises the internal error otherwise; both
// accesses are released on return either way.
PyObject* tape_access_conflict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args("tape_access_conflict", args, nargs, kwnames, {"first", "second"}, a))
      return nullptr;
    bool exclusive[2];
    for (int k = 0; k < 2; ++k) {
      auto s = text_arg(a[k], k == 0 ? "first" : "second");
      if (!s) return nullptr;
      if (*s != "exclusive" && *s != "shared") {
        PyErr_Format(PyExc_ValueError, "access must be 'exclusive' or 'shared', not %R", a[k]);
        return nullptr;
      }
      exclusive[k] = *s == "exclusive";
    }
    auto take = [](bool ex) { return ex ? TapeAccess::exclusive() : TapeAccess::shared(); };
    auto held = take(exclusive[0]);
    if (!held) return api::raise(held.error());
    auto second = take(exclusive[1]);
    if (!second) return api::raise(second.error());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef kInternalsMethods[] = {
    {"two_operand_row_major",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(two_operand_row_major)),
     METH_FASTCALL | METH_KEYWORDS,
     "two_operand_row_major(shape, a, b): whether a fresh result of two operands with these "
     "strides "
     "(at the common shape) is row-major."},
    {"is_row_major", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_row_major)),
     METH_FASTCALL | METH_KEYWORDS, "is_row_major(shape, strides)"},
    {"is_col_major", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_col_major)),
     METH_FASTCALL | METH_KEYWORDS, "is_col_major(shape, strides)"},
    {"row_major_strides", row_major_strides, METH_O, "row_major_strides(shape)"},
    {"col_major_strides", col_major_strides, METH_O, "col_major_strides(shape)"},
    {"tape_size", tape_size, METH_NOARGS, "The number of nodes on this thread's tape."},
    {"tape_push_leaf", tape_push_leaf, METH_NOARGS, "Records a leaf node; returns its id."},
    {"tape_clear", tape_clear, METH_NOARGS, "Empties this thread's tape."},
    {"tape_set_grad", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tape_set_grad)),
     METH_FASTCALL | METH_KEYWORDS,
     "tape_set_grad(id, array): stores a float32 gradient in slot id."},
    {"tape_grad", tape_grad, METH_O, "tape_grad(id): a copy of slot id, or None."},
    {"tape_access_conflict",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tape_access_conflict)),
     METH_FASTCALL | METH_KEYWORDS,
     "tape_access_conflict(first, second): takes the second access while the first is held."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace norva::testing
