// Element types of the CPU engine and their scalar conversions.
//
// f16 is IEEE binary16 and bf16 is bfloat16, both held as their 16-bit encodings; Bool8 is one
// byte holding 0 or 1. The conversions here are the software definitions, used element by element
// by generic kernels; whole runs go through the vectorised conversions of the inner-loop table
// (loops/loops.hpp: F16C when the processor has it, branch-free integer forms otherwise), which
// give bit-identical results for every input.
#pragma once

#include <bit>
#include <cstdint>

namespace norva::engine::cpu {

struct f16 {
  std::uint16_t bits;
};
struct bf16 {
  std::uint16_t bits;
};
struct Bool8 {
  std::uint8_t v;
};

inline float bits_to_f32(std::uint32_t u) {
  return std::bit_cast<float>(u);
}
inline std::uint32_t f32_to_bits(float f) {
  return std::bit_cast<std::uint32_t>(f);
}

// binary16 -> binary32: exact; NaNs become quiet with their payload moved to the top.
inline float f16_to_f32(std::uint16_t h) {
  std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  std::uint32_t exp = (h >> 10) & 0x1Fu;
  std::uint32_t man = h & 0x3FFu;
  std::uint32_t out;
  if (exp == 0x1F) {
    out = sign | 0x7F800000u | (man << 13);
    if (man) out |= 0x00400000u;  // quiet NaN
  } else if (exp == 0) {
    if (man == 0) {
      out = sign;
    } else {
      // subnormal: normalise
      int shift = std::countl_zero(static_cast<std::uint32_t>(man)) - 21;  // bring bit 10 to top
      man = (man << shift) & 0x3FFu;
      out = sign | (static_cast<std::uint32_t>(113 - shift) << 23) | (man << 13);
    }
  } else {
    out = sign | ((exp + 112) << 23) | (man << 13);
  }
  return bits_to_f32(out);
}

// binary32 -> binary16, round to nearest even; NaNs keep the top 10 mantissa bits and get the
// quiet bit.
inline std::uint16_t f32_to_f16(float f) {
  std::uint32_t x = f32_to_bits(f);
  std::uint16_t sign = static_cast<std::uint16_t>((x >> 16) & 0x8000u);
  std::uint32_t ax = x & 0x7FFFFFFFu;
  if (ax > 0x7F800000u) return static_cast<std::uint16_t>(sign | 0x7E00u | ((ax >> 13) & 0x3FFu));
  if (ax >= 0x477FF000u) return static_cast<std::uint16_t>(sign | 0x7C00u);  // rounds to >= 65520
  if (ax >= 0x38800000u) {                                                   // normal half
    std::uint32_t r = ax - 0x38000000u;  // rebias exponent (127-15)<<23
    std::uint32_t half = r >> 13;
    std::uint32_t rem = r & 0x1FFFu;
    if (rem > 0x1000u || (rem == 0x1000u && (half & 1u))) ++half;
    return static_cast<std::uint16_t>(sign | half);
  }
  if (ax < 0x33000000u) return sign;  // below half of the smallest subnormal (2^-25): zero
  // subnormal half: value = m * 2^-24
  std::uint32_t e = ax >> 23;
  std::uint32_t m = (ax & 0x7FFFFFu) | 0x800000u;
  std::uint32_t shift = 126 - e;  // 14 + (113 - e) - 1 ... m * 2^(e-150) / 2^-24
  std::uint32_t half = m >> shift;
  std::uint32_t rem = m & ((1u << shift) - 1u);
  std::uint32_t mid = 1u << (shift - 1u);
  if (rem > mid || (rem == mid && (half & 1u))) ++half;
  return static_cast<std::uint16_t>(sign | half);
}

// bfloat16 -> binary32: the upper half of the encoding; NaNs get the quiet bit.
inline float bf16_to_f32(std::uint16_t b) {
  std::uint32_t v = b;
  if ((v & 0x7FFFu) > 0x7F80u) v |= 0x0040u;
  return bits_to_f32(v << 16);
}

// binary32 -> bfloat16, round to nearest even; NaNs keep their upper half with the quiet bit.
inline std::uint16_t f32_to_bf16(float f) {
  std::uint32_t x = f32_to_bits(f);
  if ((x & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<std::uint16_t>((x >> 16) | 0x0040u);
  std::uint32_t lsb = (x >> 16) & 1u;
  return static_cast<std::uint16_t>((x + 0x7FFFu + lsb) >> 16);
}

// Widening and narrowing by element type, for generic kernels.
inline float widen(float x) {
  return x;
}
inline float widen(f16 x) {
  return f16_to_f32(x.bits);
}
inline float widen(bf16 x) {
  return bf16_to_f32(x.bits);
}
template <class T>
inline T narrow(float x);
template <>
inline float narrow<float>(float x) {
  return x;
}
template <>
inline f16 narrow<f16>(float x) {
  return f16{f32_to_f16(x)};
}
template <>
inline bf16 narrow<bf16>(float x) {
  return bf16{f32_to_bf16(x)};
}

}  // namespace norva::engine::cpu
