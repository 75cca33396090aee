"""Round-trips tensors of every element type through NumPy and differentiates a small graph."""

import ml_dtypes  # noqa: F401  (registers bfloat16 with NumPy)
import numpy as np

from norva_core import Tensor

for dtype in ("f32", "f16", "bf16", "bool"):
    data = np.arange(6).reshape(2, 3) % 2 if dtype == "bool" else np.arange(6.0).reshape(2, 3)
    t = Tensor(data, dtype=dtype)
    back = t.to_numpy()
    print(f"{dtype:>4}: shape={t.shape} strides={t.strides} numpy dtype={back.dtype} values={back.tolist()}")

x = Tensor([[1.0, 2.0, 3.0]], requires_grad=True)
y = x * x + 2.0
y.backward()
print("d(x*x + 2)/dx at", x.to_numpy().tolist(), "=", x.grad().tolist())
