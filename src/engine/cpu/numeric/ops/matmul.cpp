#include "engine/cpu/numeric/ops/matmul.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <immintrin.h>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/cpu/loops/loops.hpp"
#include "engine/cpu/numeric/ops/mod.hpp"
#include "engine/cpu/numeric/ops/unary.hpp"

// CBLAS sgemm of OpenBLAS (row-major convention; the enumerations are plain ints in the C ABI).
extern "C" void cblas_sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha,
                            const float* a, int lda, const float* b, int ldb, float beta, float* c,
                            int ldc);

namespace norva::engine::cpu::numeric::ops {

namespace {

constexpr int kRowMajor = 101, kNoTrans = 111, kTrans = 112;
constexpr std::ptrdiff_t kIntMax = INT_MAX;

using Index = std::ptrdiff_t;

// ---------------------------------------------------------------------------------------------
// The small-matrix kernel: C = A · B for matrices of a few hundred elements, where the fixed cost
// of a GEMM call outweighs the arithmetic. It needs AVX-512 (one 16-float register per row piece
// of up to 16 columns, masked at the right edge); without it every product goes to sgemm.
// Rows of C are accumulated in registers, several rows at a time, as fused multiply-adds
// A[i, p] · B[p, :] in order of p. B and C must have unit column step (the caller packs B
// otherwise); A takes any strides.

struct Tiny {
  std::size_t m, n, k;
  Index a_rs, a_cs, b_rs, c_rs;
};

#define NORVA_TINY_TARGET __attribute__((target("avx512f,fma")))

// Rows [i, i + R) of C, columns in C pieces of 16 (the last one masked by `tail`).
template <int R, int C>
NORVA_TINY_TARGET __attribute__((always_inline)) inline void tiny_block(
    const Tiny& t, const float* a, const float* b, float* c, std::size_t i, __mmask16 tail) {
  __m512 acc[R][C];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (int q = 0; q < C; ++q) acc[r][q] = _mm512_setzero_ps();
  const float* ar = a + static_cast<Index>(i) * t.a_rs;
  const float* bp = b;
  for (std::size_t p = 0; p < t.k; ++p, bp += t.b_rs, ar += t.a_cs) {
    __m512 bv[C];
#pragma GCC unroll 4
    for (int q = 0; q + 1 < C; ++q) bv[q] = _mm512_loadu_ps(bp + 16 * q);
    bv[C - 1] = _mm512_maskz_loadu_ps(tail, bp + 16 * (C - 1));
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      __m512 av = _mm512_set1_ps(ar[r * t.a_rs]);
#pragma GCC unroll 4
      for (int q = 0; q < C; ++q) acc[r][q] = _mm512_fmadd_ps(av, bv[q], acc[r][q]);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
    float* cr = c + static_cast<Index>(i + r) * t.c_rs;
#pragma GCC unroll 4
    for (int q = 0; q + 1 < C; ++q) _mm512_storeu_ps(cr + 16 * q, acc[r][q]);
    _mm512_mask_storeu_ps(cr + 16 * (C - 1), tail, acc[r][C - 1]);
  }
}

// All rows: blocks of R rows, then blocks of 4, 2 and 1 for the rest. R·C accumulators stay within
// the register file.
template <int R, int C>
NORVA_TINY_TARGET __attribute__((always_inline)) inline void tiny_rows(const Tiny& t,
                                                                       const float* a,
                                                                       const float* b, float* c) {
  const __mmask16 tail = static_cast<__mmask16>(0xFFFFu >> (16 * C - t.n));
  std::size_t i = 0;
  for (; i + R <= t.m; i += R) tiny_block<R, C>(t, a, b, c, i, tail);
  if constexpr (R > 4) {
    if (i + 4 <= t.m) {
      tiny_block<4, C>(t, a, b, c, i, tail);
      i += 4;
    }
  }
  if constexpr (R > 2) {
    if (i + 2 <= t.m) {
      tiny_block<2, C>(t, a, b, c, i, tail);
      i += 2;
    }
  }
  if (i < t.m) tiny_block<1, C>(t, a, b, c, i, tail);
}

NORVA_TINY_TARGET void tiny_avx512(const Tiny& t, const float* a, const float* b, float* c) {
  if (t.n <= 16)
    tiny_rows<8, 1>(t, a, b, c);
  else
    tiny_rows<4, 2>(t, a, b, c);
}

#undef NORVA_TINY_TARGET

using TinyFn = void (*)(const Tiny&, const float*, const float*, float*);

// The small-matrix kernel of this processor, or null.
TinyFn tiny_kernel() {
  static const TinyFn fn =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma") ? tiny_avx512 : nullptr;
  return fn;
}

// Products of up to this many multiply-adds, with rows of at most kTinyMaxN columns, take the
// small-matrix kernel: measured against single-threaded sgemm, it is faster up to about 24×24×24
// and even around 32×32×32.
constexpr std::size_t kTinyMaxWork = 16384;
constexpr std::size_t kTinyMaxN = 32;

bool is_tiny(std::size_t m, std::size_t n, std::size_t k) {
  std::size_t work;
  if (n > kTinyMaxN || __builtin_mul_overflow(m, n, &work) ||
      __builtin_mul_overflow(work, k, &work))
    return false;
  return work <= kTinyMaxWork;
}

// ---------------------------------------------------------------------------------------------
// How sgemm reads one matrix operand.

enum class Access : unsigned char { NoTrans, Trans, Pack };

struct Layout {
  Access how;
  Index ld;
};

// A rows×cols matrix with row step rs and column step cs. sgemm (row-major convention) takes it
// as is when its columns are adjacent (cs == 1, ld = rs), transposed when its rows are (rs == 1,
// ld = cs); the step of an axis of extent 1 is free, and the leading dimension must be at least
// max(1, the contiguous extent) and fit the interface's int.
Layout blas_layout(std::size_t rows, std::size_t cols, Index rs, Index cs) {
  const Index r1 = static_cast<Index>(std::max<std::size_t>(rows, 1));
  const Index c1 = static_cast<Index>(std::max<std::size_t>(cols, 1));
  {
    Index c = cols <= 1 ? 1 : cs;
    Index ld = rows <= 1 ? c1 : rs;
    if (c == 1 && ld >= c1 && ld <= kIntMax) return {Access::NoTrans, ld};
  }
  {
    Index r = rows <= 1 ? 1 : rs;
    Index ld = cols <= 1 ? r1 : cs;
    if (r == 1 && ld >= r1 && ld <= kIntMax) return {Access::Trans, ld};
  }
  return {Access::Pack, c1};
}

// Copies a strided rows×cols matrix into a dense row-major one.
void pack(const float* src, std::size_t rows, std::size_t cols, Index rs, Index cs, float* dst) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* s = src + static_cast<Index>(i) * rs;
    float* d = dst + i * cols;
    for (std::size_t j = 0; j < cols; ++j) d[j] = s[static_cast<Index>(j) * cs];
  }
}

float* buffer_floats(Buffer& b, std::size_t n) {
  if (b.bytes() < n * sizeof(float)) b = Buffer(checked_bytes(n, sizeof(float)));
  return static_cast<float*>(b.get());
}

// ---------------------------------------------------------------------------------------------
// One 2-D product C = A · B with fixed extents and steps, applied to many base addresses (one per
// batch element). The choice of kernel, transpose flags and packing is made once.

class SliceProduct {
 public:
  SliceProduct(std::size_t m, std::size_t n, std::size_t k, Index a_rs, Index a_cs, Index b_rs,
               Index b_cs, Index c_rs, Index c_cs)
      : m_(m),
        n_(n),
        k_(k),
        a_rs_(a_rs),
        a_cs_(a_cs),
        b_rs_(b_rs),
        b_cs_(b_cs),
        c_rs_(c_rs),
        c_cs_(c_cs) {
    if (m == 0 || n == 0) {
      kind_ = Kind::Empty;
    } else if (k == 0) {
      kind_ = Kind::Zero;
    } else if (tiny_kernel() && (n == 1 || c_cs == 1) && is_tiny(m, n, k)) {
      kind_ = Kind::Tiny;
      tiny_ = Tiny{m, n, k, a_rs, a_cs, n == 1 || b_cs == 1 ? b_rs : static_cast<Index>(n), c_rs};
      pack_b_ = n > 1 && b_cs != 1;
      fn_ = tiny_kernel();
    } else if (m > static_cast<std::size_t>(kIntMax) || n > static_cast<std::size_t>(kIntMax) ||
               k > static_cast<std::size_t>(kIntMax)) {
      kind_ = Kind::Plain;
    } else {
      kind_ = Kind::Gemm;
      plan_gemm();
    }
  }

  bool uses_blas() const { return kind_ == Kind::Gemm; }

  void operator()(const float* a, const float* b, float* c) {
    switch (kind_) {
      case Kind::Empty:
        return;
      case Kind::Zero:
        for (std::size_t i = 0; i < m_; ++i)
          for (std::size_t j = 0; j < n_; ++j)
            c[static_cast<Index>(i) * c_rs_ + static_cast<Index>(j) * c_cs_] = 0.0f;
        return;
      case Kind::Tiny:
        if (pack_b_) {
          float* pb = buffer_floats(buf_b_, k_ * n_);
          pack(b, k_, n_, b_rs_, b_cs_, pb);
          b = pb;
        }
        fn_(tiny_, a, b, c);
        return;
      case Kind::Plain:
        plain(a, b, c);
        return;
      case Kind::Gemm:
        gemm(a, b, c);
        return;
    }
  }

 private:
  enum class Kind : unsigned char { Empty, Zero, Tiny, Gemm, Plain };

  // sgemm writes C with adjacent columns; any other C is computed into a dense temporary first.
  void plan_gemm() {
    Layout lc = blas_layout(m_, n_, c_rs_, c_cs_);
    pack_c_ = lc.how != Access::NoTrans;
    ldc_ = pack_c_ ? static_cast<Index>(n_) : lc.ld;
    la_ = blas_layout(m_, k_, a_rs_, a_cs_);
    lb_ = blas_layout(k_, n_, b_rs_, b_cs_);
  }

  void gemm(const float* a, const float* b, float* c) {
    if (la_.how == Access::Pack) {
      float* p = buffer_floats(buf_a_, m_ * k_);
      pack(a, m_, k_, a_rs_, a_cs_, p);
      a = p;
    }
    if (lb_.how == Access::Pack) {
      float* p = buffer_floats(buf_b_, k_ * n_);
      pack(b, k_, n_, b_rs_, b_cs_, p);
      b = p;
    }
    float* out = pack_c_ ? buffer_floats(buf_c_, m_ * n_) : c;
    cblas_sgemm(kRowMajor, la_.how == Access::Trans ? kTrans : kNoTrans,
                lb_.how == Access::Trans ? kTrans : kNoTrans, static_cast<int>(m_),
                static_cast<int>(n_), static_cast<int>(k_), 1.0f, a, static_cast<int>(la_.ld), b,
                static_cast<int>(lb_.ld), 0.0f, out, static_cast<int>(ldc_));
    if (pack_c_)
      for (std::size_t i = 0; i < m_; ++i)
        for (std::size_t j = 0; j < n_; ++j)
          c[static_cast<Index>(i) * c_rs_ + static_cast<Index>(j) * c_cs_] = out[i * n_ + j];
  }

  // Extents beyond the GEMM interface's int: a plain triple loop with binary32 sums.
  void plain(const float* a, const float* b, float* c) const {
    for (std::size_t i = 0; i < m_; ++i)
      for (std::size_t j = 0; j < n_; ++j) {
        float s = 0.0f;
        for (std::size_t p = 0; p < k_; ++p)
          s += a[static_cast<Index>(i) * a_rs_ + static_cast<Index>(p) * a_cs_] *
               b[static_cast<Index>(p) * b_rs_ + static_cast<Index>(j) * b_cs_];
        c[static_cast<Index>(i) * c_rs_ + static_cast<Index>(j) * c_cs_] = s;
      }
  }

  std::size_t m_, n_, k_;
  Index a_rs_, a_cs_, b_rs_, b_cs_, c_rs_, c_cs_;
  Kind kind_;
  Tiny tiny_{};
  TinyFn fn_ = nullptr;
  bool pack_b_ = false;
  bool pack_c_ = false;
  Layout la_{}, lb_{};
  Index ldc_ = 0;
  Buffer buf_a_, buf_b_, buf_c_;
};

// The single-threaded OpenBLAS keeps its work buffers in one unlocked pool, so two threads must
// not be inside it at once. With the interpreter lock this never contends; an interpreter without
// one runs the products of different threads one after the other.
std::mutex& blas_mutex() {
  static std::mutex m;
  return m;
}

// Batch axes after dropping extent-1 axes and merging neighbours that every operand steps
// through as one run.
struct BatchAxis {
  std::size_t extent;
  Index sa, sb, sc;
};

template <class F>
void walk_batch(const BatchAxis* axes, std::size_t count, const float* a, const float* b, float* c,
                F& f) {
  const BatchAxis& ax = axes[0];
  if (count == 1) {
    for (std::size_t i = 0; i < ax.extent; ++i, a += ax.sa, b += ax.sb, c += ax.sc) f(a, b, c);
    return;
  }
  for (std::size_t i = 0; i < ax.extent; ++i, a += ax.sa, b += ax.sb, c += ax.sc)
    walk_batch(axes + 1, count - 1, a, b, c, f);
}

std::string not_2d(const Shape& shape) {
  return "expected 2 axes, found " + std::to_string(shape.size()) + " in shape " + shape_str(shape);
}

}  // namespace

KResult<void> batched_matmul_recursive(const MutView<float>& out, const ArrayView<float>& a,
                                       const ArrayView<float>& b) {
  const std::size_t nd = out.ndim();
  if (nd < 2) return kfail("Failed to view Out as 2D: " + not_2d(out.shape));
  if (a.ndim() != nd) return kfail("Failed to view A as 2D: " + not_2d(a.shape));
  if (b.ndim() != nd) return kfail("Failed to view B as 2D: " + not_2d(b.shape));
  const std::size_t m = out.shape[nd - 2], n = out.shape[nd - 1], k = a.shape[nd - 1];
  bool fits = a.shape[nd - 2] == m && b.shape[nd - 2] == k && b.shape[nd - 1] == n;
  for (std::size_t i = 0; i + 2 < nd; ++i)
    fits = fits && a.shape[i] == out.shape[i] && b.shape[i] == out.shape[i];
  if (!fits)
    return kfail("Matmul operands do not fit the output: A " + shape_str(a.shape) + ", B " +
                 shape_str(b.shape) + ", Out " + shape_str(out.shape));

  Index a_rs = a.strides[nd - 2], a_cs = a.strides[nd - 1];
  Index b_rs = b.strides[nd - 2], b_cs = b.strides[nd - 1];
  Index c_rs = out.strides[nd - 2], c_cs = out.strides[nd - 1];

  // Batch axes, innermost first while merging.
  SmallVec<BatchAxis, 8> rev;
  for (std::size_t i = nd - 2; i-- > 0;) {
    std::size_t e = out.shape[i];
    if (e == 0) return {};
    if (e == 1) continue;
    BatchAxis ax{e, a.strides[i], b.strides[i], out.strides[i]};
    if (!rev.empty()) {
      BatchAxis& in = rev.back();
      Index ie = static_cast<Index>(in.extent);
      if (ax.sa == in.sa * ie && ax.sb == in.sb * ie && ax.sc == in.sc * ie) {
        in.extent *= e;
        continue;
      }
    }
    rev.push_back(ax);
  }
  if (m == 0 || n == 0) return {};

  // A right factor shared by the innermost batch run (stride 0), with the left factor's and the
  // output's rows continuing from one batch element to the next, is one product with
  // extent·m rows.
  std::size_t rows = m;
  std::size_t skip = 0;
  if (!rev.empty()) {
    const BatchAxis& in = rev[0];
    Index ra = m == 1 ? in.sa : a_rs, rc = m == 1 ? in.sc : c_rs;
    Index mm = static_cast<Index>(m);
    if (in.sb == 0 && ra != 0 && rc != 0 && in.sa == ra * mm && in.sc == rc * mm &&
        in.extent <= static_cast<std::size_t>(kIntMax) / m) {
      rows = m * in.extent;
      a_rs = ra;
      c_rs = rc;
      skip = 1;
    }
  }

  SliceProduct product(rows, n, k, a_rs, a_cs, b_rs, b_cs, c_rs, c_cs);
  std::unique_lock<std::mutex> lock;
  if (product.uses_blas()) lock = std::unique_lock<std::mutex>(blas_mutex());
  if (rev.size() == skip) {
    product(a.data, b.data, out.data);
    return {};
  }
  SmallVec<BatchAxis, 8> axes;
  for (std::size_t i = rev.size(); i-- > skip;) axes.push_back(rev[i]);
  walk_batch(axes.data(), axes.size(), a.data, b.data, out.data, product);
  return {};
}

KResult<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a,
                                               const ArrayView<float>& b) {
  const std::size_t na = a.ndim(), nb = b.ndim();
  if (na < 2 || nb < 2)
    return kfail("Matmul requires at least 2D tensors. A: " + std::to_string(na) +
                 "D, B: " + std::to_string(nb) + "D");
  const std::size_t m = a.shape[na - 2], k = a.shape[na - 1], k2 = b.shape[nb - 2];
  if (k != k2)
    return kfail("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                 std::to_string(k2));
  const std::size_t n = b.shape[nb - 1];
  auto batch = broadcast_shapes(std::span<const std::size_t>(a.shape.data(), na - 2),
                                std::span<const std::size_t>(b.shape.data(), nb - 2));
  if (!batch) return std::unexpected(std::move(batch.error()));

  auto target = [&](std::size_t r, std::size_t c) {
    Shape s = *batch;
    s.push_back(r);
    s.push_back(c);
    return s;
  };
  Shape ta = target(m, k), tb = target(k, n), tc = target(m, n);
  if (!checked_numel(ta)) return kfail("Broadcast failed for A to " + shape_str(ta));
  ArrayView<float> va = broadcast_view(a, ta);
  if (!checked_numel(tb)) return kfail("Broadcast failed for B to " + shape_str(tb));
  ArrayView<float> vb = broadcast_view(b, tb);
  // A result that no address space holds is an allocation failure, like any other.
  if (!checked_numel(tc)) throw std::bad_alloc();

  // Every element of the result is written by the product (k = 0 writes zeros).
  NdArray<float> out = NdArray<float>::row_major(std::move(tc));
  if (auto r = batched_matmul_recursive(out.mut_view(), va, vb); !r)
    return std::unexpected(std::move(r.error()));
  return out;
}

// ---------------------------------------------------------------------------------------------
// 16-bit products.

namespace {

// True when the view covers exactly numel(shape) consecutive elements (in some axis order)
// starting at its data pointer.
bool is_dense_block(const Shape& shape, const Strides& strides) {
  struct Axis {
    Index stride;
    std::size_t extent;
  };
  SmallVec<Axis, 8> axes;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return true;
    if (shape[i] == 1) continue;
    if (strides[i] <= 0) return false;
    axes.push_back({strides[i], shape[i]});
  }
  std::sort(axes.begin(), axes.end(),
            [](const Axis& x, const Axis& y) { return x.stride < y.stride; });
  Index expect = 1;
  for (const Axis& ax : axes) {
    if (ax.stride != expect) return false;
    expect *= static_cast<Index>(ax.extent);
  }
  return true;
}

template <class T>
void widen_run(const T* in, float* out, std::size_t n) {
  const auto* bits = reinterpret_cast<const std::uint16_t*>(in);
  if constexpr (std::is_same_v<T, f16>)
    loops::widen_f16(bits, out, n);
  else
    loops::widen_bf16(bits, out, n);
}

// The binary32 values of a 16-bit view. A dense view keeps its layout (one vectorised pass over
// its block); any other is copied in row-major order first.
template <class T>
NdArray<float> widen_view(const ArrayView<T>& v) {
  if (is_dense_block(v.shape, v.strides)) {
    NdArray<float> w(v.shape, v.strides);
    widen_run(v.data, w.data(), w.numel());
    return w;
  }
  NdArray<T> dense = copy_to_row_major(v);
  NdArray<float> w(dense.shape(), dense.strides());
  widen_run(dense.data(), w.data(), w.numel());
  return w;
}

// The row-major 16-bit rounding of a row-major binary32 array, one rounding per element.
template <class T>
NdArray<T> narrow_array(const NdArray<float>& x) {
  NdArray<T> out(x.shape(), x.strides());
  auto* bits = reinterpret_cast<std::uint16_t*>(out.data());
  if constexpr (std::is_same_v<T, f16>)
    loops::narrow_f16(x.data(), bits, x.numel());
  else
    loops::narrow_bf16(x.data(), bits, x.numel());
  return out;
}

template <class T>
KResult<NdArray<T>> widened_matmul(const ArrayView<T>& a, const ArrayView<T>& b) {
  NdArray<float> wa = widen_view(a);
  NdArray<float> wb = widen_view(b);
  auto r = internal_linalg_matmul(wa.view(), wb.view());
  if (!r) return std::unexpected(std::move(r.error()));
  return narrow_array<T>(*r);
}

}  // namespace

KResult<NdArray<f16>> MatmulOps<f16>::do_matmul(const ArrayView<f16>& a, const ArrayView<f16>& b) {
  return widened_matmul(a, b);
}

KResult<NdArray<bf16>> MatmulOps<bf16>::do_matmul(const ArrayView<bf16>& a,
                                                  const ArrayView<bf16>& b) {
  return widened_matmul(a, b);
}

}  // namespace norva::engine::cpu::numeric::ops
