// Inner loops compiled for the base instruction-set level (flags set by the build).
#define NORVA_LOOPS_NS base
#define NORVA_LOOPS_NAME "base"

#include "engine/cpu/loops/loops_impl.inc"
