// Selection of the inner-loop level for this processor, made once per process.
#include "engine/cpu/loops/loops.hpp"

namespace norva::engine::cpu::loops {
namespace base {
extern const LoopTable kTable;
}
namespace avx2 {
extern const LoopTable kTable;
}
namespace avx512 {
extern const LoopTable kTable;
}

namespace {
bool has_avx2() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("f16c");
}
bool has_avx512() {
  return has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}
const LoopTable* select() {
  __builtin_cpu_init();
  if (has_avx512()) return &avx512::kTable;
  if (has_avx2()) return &avx2::kTable;
  return &base::kTable;
}
}  // namespace

const LoopTable& table() {
  static const LoopTable* const t = select();
  return *t;
}

int available_tables(const LoopTable** out, int max) {
  int n = 0;
  if (n < max) out[n++] = &base::kTable;
  if (has_avx2() && n < max) out[n++] = &avx2::kTable;
  if (has_avx512() && n < max) out[n++] = &avx512::kTable;
  return n;
}

}  // namespace norva::engine::cpu::loops
