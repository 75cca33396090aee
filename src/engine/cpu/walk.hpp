// The iteration plan shared by every element-wise kernel.
//
// K operands of one common shape (outputs and inputs alike, each with its own strides, 0 on
// broadcast axes) are walked in lockstep. The plan drops axes of extent 1, orders the axes by the
// first operand's strides (the first operand is the fresh output, so its fastest axis becomes the
// inner loop), and merges neighbouring axes wherever every operand steps through them as one run.
// The walk then calls an inner-loop function once per row of the innermost axis; for dense
// operands of one layout that is a single call over the whole buffer.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "engine/cpu/array.hpp"

namespace norva::engine::cpu {

template <std::size_t K>
struct WalkPlan {
  SmallVec<std::size_t, 8> extents;  // outermost first; never empty unless empty_ is set
  std::array<SmallVec<std::ptrdiff_t, 8>, K> strides;
  bool empty = false;  // some extent is 0: nothing to visit
};

template <std::size_t K>
WalkPlan<K> make_plan(std::span<const std::size_t> shape,
                      const std::array<std::span<const std::ptrdiff_t>, K>& strides) {
  WalkPlan<K> p;
  std::size_t n = shape.size();
  SmallVec<std::size_t, 8> axes;
  for (std::size_t i = 0; i < n; ++i) {
    if (shape[i] == 0) {
      p.empty = true;
      return p;
    }
    if (shape[i] != 1) axes.push_back(i);
  }
  // Order axes by decreasing |stride| of operand 0 (stable insertion sort; ranks are small).
  auto key = [&](std::size_t ax) {
    std::ptrdiff_t s = strides[0][ax];
    return s < 0 ? -s : s;
  };
  for (std::size_t i = 1; i < axes.size(); ++i) {
    std::size_t v = axes[i];
    std::size_t j = i;
    while (j > 0 && key(axes[j - 1]) < key(v)) {
      axes[j] = axes[j - 1];
      --j;
    }
    axes[j] = v;
  }
  // Merge from the inside out: an outer axis joins the inner run when every operand's stride
  // on it equals the run's stride times the run's extent.
  SmallVec<std::size_t, 8> ext;
  std::array<SmallVec<std::ptrdiff_t, 8>, K> str;
  for (std::size_t idx = axes.size(); idx-- > 0;) {
    std::size_t ax = axes[idx];
    std::size_t m = ext.size();
    if (m > 0) {
      bool merge = true;
      for (std::size_t k = 0; k < K && merge; ++k)
        merge = strides[k][ax] == str[k][m - 1] * static_cast<std::ptrdiff_t>(ext[m - 1]);
      if (merge) {
        ext[m - 1] *= shape[ax];
        continue;
      }
    }
    ext.push_back(shape[ax]);
    for (std::size_t k = 0; k < K; ++k) str[k].push_back(strides[k][ax]);
  }
  if (ext.empty()) {
    ext.push_back(1);
    for (std::size_t k = 0; k < K; ++k) str[k].push_back(0);
  }
  std::size_t d = ext.size();
  p.extents.resize(d);
  for (std::size_t k = 0; k < K; ++k) p.strides[k].resize(d);
  for (std::size_t i = 0; i < d; ++i) {
    p.extents[i] = ext[d - 1 - i];
    for (std::size_t k = 0; k < K; ++k) p.strides[k][i] = str[k][d - 1 - i];
  }
  return p;
}

// Runs inner(ptrs, inner_strides, n) once per innermost run. Pointers are byte pointers to the
// run's first element; strides are in elements. esize[k] is operand k's element width.
//
// When some operand steps through the innermost axis with a stride other than 0 or 1 (a
// transposed operand next to a row-major one), the last two axes are walked in square tiles, so
// that every operand stays within a few pages and cache lines while a tile is done.
template <std::size_t K, class Inner>
void run_plan(const WalkPlan<K>& p, std::array<char*, K> base,
              const std::array<std::size_t, K>& esize, Inner&& inner) {
  if (p.empty) return;
  std::size_t d = p.extents.size();
  std::array<std::ptrdiff_t, K> istr;
  for (std::size_t k = 0; k < K; ++k) istr[k] = p.strides[k][d - 1];
  std::size_t cols = p.extents[d - 1];
  if (d == 1) {
    inner(base, istr, cols);
    return;
  }
  constexpr std::size_t kTile = 64;
  std::size_t rows = p.extents[d - 2];
  std::array<std::ptrdiff_t, K> rstep, cstep;
  bool tile = false;
  for (std::size_t k = 0; k < K; ++k) {
    rstep[k] = p.strides[k][d - 2] * static_cast<std::ptrdiff_t>(esize[k]);
    cstep[k] = istr[k] * static_cast<std::ptrdiff_t>(esize[k]);
    tile |= istr[k] != 0 && istr[k] != 1;
  }
  tile = tile && rows >= 2 * kTile && cols >= 2 * kTile;
  auto plane = [&](const std::array<char*, K>& origin) {
    if (!tile) {
      std::array<char*, K> ptr = origin;
      for (std::size_t i = 0; i < rows; ++i) {
        inner(ptr, istr, cols);
        for (std::size_t k = 0; k < K; ++k) ptr[k] += rstep[k];
      }
      return;
    }
    for (std::size_t i0 = 0; i0 < rows; i0 += kTile) {
      std::size_t i1 = i0 + kTile < rows ? i0 + kTile : rows;
      for (std::size_t j0 = 0; j0 < cols; j0 += kTile) {
        std::size_t len = j0 + kTile < cols ? kTile : cols - j0;
        std::array<char*, K> ptr;
        for (std::size_t k = 0; k < K; ++k)
          ptr[k] = origin[k] + static_cast<std::ptrdiff_t>(i0) * rstep[k] +
                   static_cast<std::ptrdiff_t>(j0) * cstep[k];
        for (std::size_t i = i0; i < i1; ++i) {
          inner(ptr, istr, len);
          for (std::size_t k = 0; k < K; ++k) ptr[k] += rstep[k];
        }
      }
    }
  };
  if (d == 2) {
    plane(base);
    return;
  }
  // Outer axes 0 .. d-3, odometer order.
  SmallVec<std::size_t, 8> idx(d - 2, 0);
  std::array<char*, K> ptr = base;
  for (;;) {
    plane(ptr);
    std::size_t ax = d - 2;
    for (;;) {
      if (ax == 0) return;
      --ax;
      for (std::size_t k = 0; k < K; ++k)
        ptr[k] += p.strides[k][ax] * static_cast<std::ptrdiff_t>(esize[k]);
      if (++idx[ax] < p.extents[ax]) break;
      for (std::size_t k = 0; k < K; ++k)
        ptr[k] -= p.strides[k][ax] * static_cast<std::ptrdiff_t>(esize[k] * p.extents[ax]);
      idx[ax] = 0;
    }
  }
}

}  // namespace norva::engine::cpu
