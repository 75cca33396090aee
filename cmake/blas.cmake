# The single-threaded OpenBLAS that provides the f32 GEMM (CBLAS sgemm). Debian's serial build is
# looked for in its own directory first, so that a threaded OpenBLAS chosen as the system default
# cannot slip in; CMake's generic BLAS lookup is the fallback.
add_library(norva_blas INTERFACE)
find_library(NORVA_OPENBLAS_SERIAL NAMES openblas
  PATHS /usr/lib/x86_64-linux-gnu/openblas-serial /usr/lib/aarch64-linux-gnu/openblas-serial
  NO_DEFAULT_PATH)
set(NORVA_BLAS_RPATH "")
if(NORVA_OPENBLAS_SERIAL)
  target_link_libraries(norva_blas INTERFACE ${NORVA_OPENBLAS_SERIAL})
  # The installed modules load the serial build from its directory, not the system default.
  get_filename_component(NORVA_BLAS_RPATH ${NORVA_OPENBLAS_SERIAL} DIRECTORY)
else()
  set(BLA_VENDOR OpenBLAS)
  find_package(BLAS REQUIRED)
  target_link_libraries(norva_blas INTERFACE ${BLAS_LIBRARIES})
endif()
