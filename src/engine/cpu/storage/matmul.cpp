// Batched matrix product and its gradient (placeholder until the GEMM lands).
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

Result<CpuStorage> CpuStorage::matmul(const CpuStorage&) const {
  return internal_error("matrix multiplication is not built yet");
}

Result<StoragePair> CpuStorage::backward_matmul(const CpuStorage&, const CpuStorage&) const {
  return internal_error("matrix multiplication is not built yet");
}

}  // namespace norva::engine::cpu::storage
