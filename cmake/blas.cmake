# The single-threaded OpenBLAS that provides the f32 GEMM (CBLAS sgemm).
add_library(norva_blas INTERFACE)
set(BLA_VENDOR OpenBLAS)
find_package(BLAS REQUIRED)
target_link_libraries(norva_blas INTERFACE ${BLAS_LIBRARIES})
