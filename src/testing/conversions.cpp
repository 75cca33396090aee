// Test access to the 16-bit element conversions: the scalar definitions (elements.hpp), the
// whole-run conversions of every inner-loop table this processor can run, and exhaustive
// comparisons of all of them over every binary32 encoding, done here because Python would take
// minutes for what takes seconds in C++.
//
// Conversion results are exchanged as raw encodings (uint16 for the 16-bit types, uint32 for
// binary32) so that NaN payloads stay visible.
#include <bit>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <xmmintrin.h>

#include "engine/cpu/elements.hpp"
#include "engine/cpu/loops/loops.hpp"
#include "tensor/api/binding.hpp"
#include "testing/testing.hpp"
#include "util/numpy.hpp"

namespace norva::testing {
namespace {

namespace cpu = engine::cpu;
namespace loops = engine::cpu::loops;
using api::bind_args;
using api::guard;

constexpr int kMaxTables = 8;
constexpr std::uint64_t kAllPatterns = std::uint64_t{1} << 32;
constexpr std::size_t kChunk = std::size_t{1} << 14;

// The 16-bit type, as the index of the loop tables' widen/narrow entries.
enum Kind : int { kF16 = 0, kBF16 = 1 };

// A conversion level: one loop table, or (table == nullptr) the scalar definitions.
struct Level {
  const char* name;
  const loops::LoopTable* table;
};
constexpr const char* kScalar = "scalar";

int tables(const loops::LoopTable** out) {
  return loops::available_tables(out, kMaxTables);
}

std::optional<Kind> kind_arg(PyObject* o) {
  auto s = text_arg(o, "kind");
  if (!s) return std::nullopt;
  if (*s == "f16") return kF16;
  if (*s == "bf16") return kBF16;
  PyErr_Format(PyExc_ValueError, "unknown 16-bit type %R (expected 'f16' or 'bf16')", o);
  return std::nullopt;
}

std::optional<Level> level_arg(PyObject* o) {
  auto s = text_arg(o, "level");
  if (!s) return std::nullopt;
  if (*s == kScalar) return Level{kScalar, nullptr};
  const loops::LoopTable* t[kMaxTables];
  for (int i = 0, n = tables(t); i < n; ++i)
    if (*s == t[i]->isa) return Level{t[i]->isa, t[i]};
  PyErr_Format(PyExc_ValueError, "level %R is not available on this processor", o);
  return std::nullopt;
}

std::optional<std::uint64_t> u64_arg(PyObject* o, const char* name) {
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    api::add_arg_note(name);
    return std::nullopt;
  }
  return v;
}

void widen_with(Level level, Kind kind, const std::uint16_t* in, float* out, std::size_t n) {
  if (level.table) {
    level.table->widen[kind](in, out, n);
  } else if (kind == kF16) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cpu::f16_to_f32(in[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = cpu::bf16_to_f32(in[i]);
  }
}

void narrow_with(Level level, Kind kind, const float* in, std::uint16_t* out, std::size_t n) {
  if (level.table) {
    level.table->narrow[kind](in, out, n);
  } else if (kind == kF16) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cpu::f32_to_f16(in[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = cpu::f32_to_bf16(in[i]);
  }
}

// The binary32 values whose encodings are first, first + 1, ..., first + kChunk - 1 (wrapping
// past 2^32 - 1). A fixed length lets the compiler vectorise the loop.
void fill_patterns(std::uint32_t first, float* out) {
  for (std::size_t i = 0; i < kChunk; ++i)
    out[i] = std::bit_cast<float>(static_cast<std::uint32_t>(first + i));
}

// The number of worker threads for whole-range runs.
unsigned worker_count() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1u : (n > 4u ? 4u : n);
}

// Runs work(w) for w = 0 .. n-1 on n threads (the calling one among them) with the interpreter
// lock released; work must not throw or touch Python objects. If a thread cannot be started, the
// work it would have done runs on the calling thread.
template <class F>
void run_workers(unsigned n, const F& work) {
  struct Unlocked {
    PyThreadState* state = PyEval_SaveThread();
    ~Unlocked() { PyEval_RestoreThread(state); }
  } unlocked;
  std::vector<std::jthread> threads;
  unsigned w = 1;
  try {
    threads.reserve(n);
    for (; w < n; ++w) threads.emplace_back([&work, w] { work(w); });
  } catch (...) {
    for (; w < n; ++w) work(w);
  }
  work(0);
}

PyObject* new_1d(npy_intp n, int npy_type) {
  return PyArray_SimpleNew(1, &n, npy_type);
}

// Checks that [start, start + count) lies within the 2^32 binary32 encodings.
bool pattern_range_ok(std::uint64_t start, std::uint64_t count) {
  if (start > kAllPatterns || count > kAllPatterns - start) {
    PyErr_SetString(PyExc_ValueError, "the range must lie within the 2**32 binary32 encodings");
    return false;
  }
  return true;
}

// levels() -> tuple of the loop levels this processor can run, lowest first.
PyObject* levels(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    const loops::LoopTable* t[kMaxTables];
    int n = tables(t);
    PyRef out = PyRef::steal(PyTuple_New(n));
    if (!out) return nullptr;
    for (int i = 0; i < n; ++i) {
      PyObject* name = PyUnicode_FromString(t[i]->isa);
      if (!name) return nullptr;
      PyTuple_SET_ITEM(out.get(), i, name);
    }
    return out.release();
  });
}

// selected_level() -> the level the engine uses on this processor.
PyObject* selected_level(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* { return PyUnicode_FromString(loops::table().isa); });
}

// The floating-point control state (rounding mode, flush-to-zero, denormals-are-zero) set for
// the duration of one conversion, to show that no conversion depends on it.
std::optional<unsigned> mode_arg(PyObject* o) {
  auto s = text_arg(o, "mode");
  if (!s) return std::nullopt;
  constexpr unsigned kDown = 0x2000, kUp = 0x4000, kZero = 0x6000, kFtzDaz = 0x8040;
  if (*s == "nearest") return 0u;
  if (*s == "down") return kDown;
  if (*s == "up") return kUp;
  if (*s == "zero") return kZero;
  if (*s == "ftz-daz") return kFtzDaz;
  if (*s == "zero-ftz-daz") return kZero | kFtzDaz;
  PyErr_Format(PyExc_ValueError, "unknown floating-point mode %R", o);
  return std::nullopt;
}

class FpMode {
 public:
  explicit FpMode(unsigned bits) : saved_(_mm_getcsr()) { _mm_setcsr((saved_ & ~0xE040u) | bits); }
  FpMode(const FpMode&) = delete;
  FpMode& operator=(const FpMode&) = delete;
  ~FpMode() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
};

// widen/narrow of one array: a = (kind, bits, level[, mode]).
PyObject* convert_array(bool to_f32, PyObject* const* a, bool with_mode) {
  auto kind = kind_arg(a[0]);
  if (!kind) return nullptr;
  PyRef in = array_arg(a[1], to_f32 ? NPY_UINT16 : NPY_UINT32, "bits");
  if (!in) return nullptr;
  auto level = level_arg(a[2]);
  if (!level) return nullptr;
  auto mode = with_mode ? mode_arg(a[3]) : std::optional<unsigned>(0u);
  if (!mode) return nullptr;
  auto* arr = reinterpret_cast<PyArrayObject*>(in.get());
  npy_intp n = PyArray_SIZE(arr);
  PyRef out = PyRef::steal(new_1d(n, to_f32 ? NPY_UINT32 : NPY_UINT16));
  if (!out) return nullptr;
  const void* src = PyArray_DATA(arr);
  void* dst = PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()));
  FpMode fp(*mode);
  if (to_f32)
    widen_with(*level, *kind, static_cast<const std::uint16_t*>(src), static_cast<float*>(dst),
               static_cast<std::size_t>(n));
  else
    narrow_with(*level, *kind, static_cast<const float*>(src), static_cast<std::uint16_t*>(dst),
                static_cast<std::size_t>(n));
  return out.release();
}

// widen(kind, bits, level) -> uint32 array: the binary32 encodings of the uint16 encodings `bits`.
PyObject* widen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args("widen", args, nargs, kwnames, {"kind", "bits", "level"}, a)) return nullptr;
    return convert_array(true, a, false);
  });
}

// narrow(kind, bits, level) -> uint16 array: the 16-bit encodings of the uint32 encodings `bits`.
PyObject* narrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args("narrow", args, nargs, kwnames, {"kind", "bits", "level"}, a)) return nullptr;
    return convert_array(false, a, false);
  });
}

// widen_in_mode / narrow_in_mode(kind, bits, level, mode): the same with the floating-point
// control state `mode` in force during the conversion.
PyObject* widen_in_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args("widen_in_mode", args, nargs, kwnames, {"kind", "bits", "level", "mode"}, a))
      return nullptr;
    return convert_array(true, a, true);
  });
}

PyObject* narrow_in_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args("narrow_in_mode", args, nargs, kwnames, {"kind", "bits", "level", "mode"}, a))
      return nullptr;
    return convert_array(false, a, true);
  });
}

// narrow_range(kind, level, start, count) -> uint16 array: the 16-bit encodings of the binary32
// encodings start, start + 1, ..., start + count - 1 (for walking all 2^32 inputs in chunks).
PyObject* narrow_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args("narrow_range", args, nargs, kwnames, {"kind", "level", "start", "count"}, a))
      return nullptr;
    auto kind = kind_arg(a[0]);
    if (!kind) return nullptr;
    auto level = level_arg(a[1]);
    if (!level) return nullptr;
    auto start = u64_arg(a[2], "start");
    if (!start) return nullptr;
    auto count = u64_arg(a[3], "count");
    if (!count || !pattern_range_ok(*start, *count)) return nullptr;
    PyRef out = PyRef::steal(new_1d(static_cast<npy_intp>(*count), NPY_UINT16));
    if (!out) return nullptr;
    auto* o =
        static_cast<std::uint16_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    // Workers take interleaved chunks.
    std::uint64_t first = *start, total = *count;
    Level lv = *level;
    Kind k = *kind;
    unsigned nw = worker_count();
    std::vector<std::vector<float>> in(nw, std::vector<float>(kChunk));
    run_workers(nw, [&](unsigned w) {
      for (std::uint64_t done = std::uint64_t{w} * kChunk; done < total;
           done += std::uint64_t{nw} * kChunk) {
        std::size_t m = static_cast<std::size_t>(total - done < kChunk ? total - done : kChunk);
        fill_patterns(static_cast<std::uint32_t>(first + done), in[w].data());
        narrow_with(lv, k, in[w].data(), o + done, m);
      }
    });
    return out.release();
  });
}

// check_narrow(kind, start, count) -> {level: (mismatches, first mismatching encoding or None)}:
// every available level against the scalar definition over the binary32 encodings
// [start, start + count).
PyObject* check_narrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args("check_narrow", args, nargs, kwnames, {"kind", "start", "count"}, a))
      return nullptr;
    auto kind = kind_arg(a[0]);
    if (!kind) return nullptr;
    auto start = u64_arg(a[1], "start");
    if (!start) return nullptr;
    auto count = u64_arg(a[2], "count");
    if (!count || !pattern_range_ok(*start, *count)) return nullptr;

    const loops::LoopTable* t[kMaxTables];
    int nt = tables(t);
    struct Worker {
      std::vector<float> in = std::vector<float>(kChunk);
      std::vector<std::uint16_t> ref = std::vector<std::uint16_t>(kChunk);
      std::vector<std::uint16_t> got = std::vector<std::uint16_t>(kChunk);
      std::uint64_t mismatches[kMaxTables] = {};
      std::int64_t first[kMaxTables];
    };
    unsigned nw = worker_count();
    std::vector<Worker> workers(nw);
    for (Worker& wk : workers)
      for (int j = 0; j < nt; ++j) wk.first[j] = -1;
    std::uint64_t from = *start, total = *count;
    Kind k = *kind;
    run_workers(nw, [&](unsigned w) {
      Worker& wk = workers[w];
      for (std::uint64_t done = std::uint64_t{w} * kChunk; done < total;
           done += std::uint64_t{nw} * kChunk) {
        std::size_t m = static_cast<std::size_t>(total - done < kChunk ? total - done : kChunk);
        std::uint32_t base = static_cast<std::uint32_t>(from + done);
        fill_patterns(base, wk.in.data());
        narrow_with(Level{kScalar, nullptr}, k, wk.in.data(), wk.ref.data(), m);
        for (int j = 0; j < nt; ++j) {
          t[j]->narrow[k](wk.in.data(), wk.got.data(), m);
          if (std::memcmp(wk.ref.data(), wk.got.data(), m * sizeof(std::uint16_t)) == 0) continue;
          for (std::size_t i = 0; i < m; ++i) {
            if (wk.ref[i] == wk.got[i]) continue;
            if (wk.first[j] < 0)
              wk.first[j] = static_cast<std::int64_t>(base) + static_cast<std::int64_t>(i);
            ++wk.mismatches[j];
          }
        }
      }
    });
    // Each worker meets its chunks in increasing order, so the first mismatch overall is the
    // smallest of the workers' first ones.
    std::uint64_t mismatches[kMaxTables] = {};
    std::int64_t first[kMaxTables];
    for (int j = 0; j < nt; ++j) {
      first[j] = -1;
      for (const Worker& wk : workers) {
        mismatches[j] += wk.mismatches[j];
        if (wk.first[j] >= 0 && (first[j] < 0 || wk.first[j] < first[j])) first[j] = wk.first[j];
      }
    }

    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    for (int k = 0; k < nt; ++k) {
      PyRef entry =
          first[k] < 0
              ? PyRef::steal(
                    Py_BuildValue("(KO)", static_cast<unsigned long long>(mismatches[k]), Py_None))
              : PyRef::steal(Py_BuildValue("(KL)", static_cast<unsigned long long>(mismatches[k]),
                                           static_cast<long long>(first[k])));
      if (!entry || PyDict_SetItemString(out.get(), t[k]->isa, entry.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

// binary_loop(level, op, dtype, a, b, b_step): runs one element-wise inner loop of a loop level
// over a and b (raw encodings: float32, uint16 for f16/bf16, uint8 for bool), b stepping by
// b_step elements (1, or 0 for a broadcast first element), and returns the raw result (uint8 for
// comparisons and logical operations). Lets the suite compare every level with the selected one.
PyObject* binary_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[6];
    if (!bind_args("binary_loop", args, nargs, kwnames,
                   {"level", "op", "dtype", "a", "b", "b_step"}, a))
      return nullptr;
    auto level = level_arg(a[0]);
    if (!level) return nullptr;
    if (!level->table) {
      PyErr_SetString(PyExc_ValueError, "binary_loop needs a loop level, not 'scalar'");
      return nullptr;
    }
    auto op = text_arg(a[1], "op");
    auto dtype = text_arg(a[2], "dtype");
    if (!op || !dtype) return nullptr;
    static constexpr const char* kArith[] = {"add", "sub", "mul", "div"};
    static constexpr const char* kCmp[] = {"eq", "ne", "lt", "le", "gt", "ge"};
    static constexpr const char* kLogic[] = {"and", "or", "xor"};
    int type = *dtype == "f32"    ? loops::kF32
               : *dtype == "f16"  ? loops::kF16
               : *dtype == "bf16" ? loops::kBF16
               : *dtype == "bool" ? loops::kBool
                                  : -1;
    if (type < 0) {
      PyErr_Format(PyExc_ValueError, "unknown element type %R", a[2]);
      return nullptr;
    }
    const loops::LoopTable& t = *level->table;
    loops::BinaryLoop loop = nullptr;
    bool to_bool = true;
    for (int i = 0; i < 4; ++i)
      if (*op == kArith[i] && type != loops::kBool) loop = t.arith[type][i], to_bool = false;
    for (int i = 0; i < 6; ++i)
      if (*op == kCmp[i]) loop = t.cmp[type][i];
    for (int i = 0; i < 3; ++i)
      if (*op == kLogic[i] && type == loops::kBool) loop = t.logic[i];
    if (!loop) {
      PyErr_Format(PyExc_ValueError, "no %R loop for %R", a[1], a[2]);
      return nullptr;
    }
    int in_type = type == loops::kF32 ? NPY_FLOAT32 : type == loops::kBool ? NPY_UINT8 : NPY_UINT16;
    PyRef x = array_arg(a[3], in_type, "a");
    if (!x) return nullptr;
    PyRef y = array_arg(a[4], in_type, "b");
    if (!y) return nullptr;
    long step = PyLong_AsLong(a[5]);
    if (step == -1 && PyErr_Occurred()) return nullptr;
    auto* xa = reinterpret_cast<PyArrayObject*>(x.get());
    auto* ya = reinterpret_cast<PyArrayObject*>(y.get());
    npy_intp n = PyArray_SIZE(xa);
    if ((step != 0 && step != 1) || (step == 1 && PyArray_SIZE(ya) != n) ||
        (step == 0 && PyArray_SIZE(ya) < 1)) {
      PyErr_SetString(PyExc_ValueError, "b must match a (b_step 1) or hold one element (b_step 0)");
      return nullptr;
    }
    PyRef out = PyRef::steal(new_1d(n, to_bool ? NPY_UINT8 : in_type));
    if (!out) return nullptr;
    if (n)
      loop(PyArray_DATA(xa), 1, PyArray_DATA(ya), step,
           PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), 1,
           static_cast<std::size_t>(n));
    return out.release();
  });
}

}  // namespace

PyMethodDef kConversionMethods[] = {
    {"levels", levels, METH_NOARGS, "The inner-loop levels this processor can run, lowest first."},
    {"selected_level", selected_level, METH_NOARGS, "The inner-loop level the engine uses here."},
    {"widen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(widen)),
     METH_FASTCALL | METH_KEYWORDS,
     "widen(kind, bits, level): binary32 encodings (uint32) of 16-bit encodings (uint16); level is "
     "a loop level or 'scalar'."},
    {"narrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(narrow)),
     METH_FASTCALL | METH_KEYWORDS,
     "narrow(kind, bits, level): 16-bit encodings (uint16) of binary32 encodings (uint32)."},
    {"widen_in_mode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(widen_in_mode)),
     METH_FASTCALL | METH_KEYWORDS,
     "widen_in_mode(kind, bits, level, mode): widen with the floating-point mode 'nearest', "
     "'down', "
     "'up', 'zero', 'ftz-daz' or 'zero-ftz-daz' in force."},
    {"narrow_in_mode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(narrow_in_mode)),
     METH_FASTCALL | METH_KEYWORDS,
     "narrow_in_mode(kind, bits, level, mode): narrow under a floating-point mode."},
    {"narrow_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(narrow_range)),
     METH_FASTCALL | METH_KEYWORDS,
     "narrow_range(kind, level, start, count): 16-bit encodings of the binary32 encodings "
     "start .. start + count - 1."},
    {"check_narrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_narrow)),
     METH_FASTCALL | METH_KEYWORDS,
     "check_narrow(kind, start, count): {level: (mismatches, first mismatching encoding or None)} "
     "of every loop level against the scalar definition."},
    {"binary_loop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(binary_loop)),
     METH_FASTCALL | METH_KEYWORDS,
     "binary_loop(level, op, dtype, a, b, b_step): one element-wise inner loop of a loop level "
     "over raw encodings."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace norva::testing
