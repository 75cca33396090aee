// Inner loops compiled for the avx512 instruction-set level (flags set by the build).
#define NORVA_LOOPS_NS avx512
#define NORVA_LOOPS_NAME "avx512"
#define NORVA_LOOPS_F16C 1
#include "engine/cpu/loops/loops_impl.inc"
