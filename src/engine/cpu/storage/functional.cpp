// The rectifier.
#include "engine/cpu/numeric/ops/unary.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace norva::engine::cpu::storage {

Result<CpuStorage> CpuStorage::relu() const {
  return visit(*this, [](const auto& a) -> Result<CpuStorage> {
    using T = typename std::remove_cvref_t<decltype(a)>::value_type;
    using numeric::ops::map_dense;
    if constexpr (std::is_same_v<T, float>) {
      // x > 0 keeps x bit for bit; negatives, both zeros and NaN give +0.
      return CpuStorage(map_dense<float>(a, [](float x) { return x > 0.0f ? x : 0.0f; }));
    } else if constexpr (std::is_same_v<T, f16>) {
      return CpuStorage(map_dense<f16>(a, [](f16 x) {
        bool keep = !(x.bits & 0x8000u) && (x.bits & 0x7FFFu) <= 0x7C00u;
        return f16{static_cast<std::uint16_t>(keep ? x.bits : 0)};
      }));
    } else if constexpr (std::is_same_v<T, bf16>) {
      return CpuStorage(map_dense<bf16>(a, [](bf16 x) {
        bool keep = !(x.bits & 0x8000u) && (x.bits & 0x7FFFu) <= 0x7F80u;
        return bf16{static_cast<std::uint16_t>(keep ? x.bits : 0)};
      }));
    } else {
      return type_error("Tensor Dtype not supported for this operation: relu");
    }
  });
}

}  // namespace norva::engine::cpu::storage
