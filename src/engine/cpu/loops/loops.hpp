// Inner loops of the element-wise engine, compiled once per instruction-set level (baseline
// x86-64, AVX2+FMA+F16C, AVX-512) and chosen once per process from what the processor offers.
//
// Every loop handles one run of n elements; a and b step by sa and sb elements (0 for a
// broadcast value), the output by so. 16-bit element types are widened to binary32 in blocks,
// operated on once and rounded back to nearest even.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norva::engine::cpu::loops {

enum class Arith : int { Add = 0, Sub, Mul, Div, kCount };
enum class Cmp : int { Eq = 0, Ne, Lt, Le, Gt, Ge, kCount };
enum class Logic : int { And = 0, Or, Xor, kCount };

// Element type index, matching DType codes.
constexpr int kF16 = 0, kBF16 = 1, kF32 = 2, kBool = 3;

using BinaryLoop = void (*)(const void* a, std::ptrdiff_t sa, const void* b, std::ptrdiff_t sb,
                            void* out, std::ptrdiff_t so, std::size_t n);
using WidenLoop = void (*)(const std::uint16_t* in, float* out, std::size_t n);
using NarrowLoop = void (*)(const float* in, std::uint16_t* out, std::size_t n);

struct LoopTable {
  const char* isa;
  BinaryLoop arith[3][static_cast<int>(Arith::kCount)];  // [f16, bf16, f32][op]
  BinaryLoop cmp[4][static_cast<int>(Cmp::kCount)];      // [f16, bf16, f32, bool][op]
  BinaryLoop logic[static_cast<int>(Logic::kCount)];     // on Bool8
  WidenLoop widen[2];                                    // [f16, bf16] -> f32
  NarrowLoop narrow[2];                                  // f32 -> [f16, bf16]
};

// The table for this processor, selected on first use.
const LoopTable& table();

// Every table this processor can run (for tests that compare the levels with each other).
int available_tables(const LoopTable** out, int max);

// Whole-array conversions through the selected table.
inline void widen_f16(const std::uint16_t* in, float* out, std::size_t n) {
  table().widen[0](in, out, n);
}
inline void widen_bf16(const std::uint16_t* in, float* out, std::size_t n) {
  table().widen[1](in, out, n);
}
inline void narrow_f16(const float* in, std::uint16_t* out, std::size_t n) {
  table().narrow[0](in, out, n);
}
inline void narrow_bf16(const float* in, std::uint16_t* out, std::size_t n) {
  table().narrow[1](in, out, n);
}

}  // namespace norva::engine::cpu::loops
