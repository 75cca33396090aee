// Inner loops compiled for the avx2 instruction-set level (flags set by the build).
#define NORVA_LOOPS_NS avx2
#define NORVA_LOOPS_NAME "avx2"
#define NORVA_LOOPS_F16C 1
#include "engine/cpu/loops/loops_impl.inc"
