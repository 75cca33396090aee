"""A linear layer whose bias is broadcast over the batch, and its gradients.

y = x @ w + b with x of shape [4, 3], w [3, 2] and b [2]: b is added to every row of x @ w.
backward() gives every parameter a gradient of its own shape; for b the batch axis it was
broadcast over is summed back. The script checks the gradients against the textbook formulas.
"""

import numpy as np

from norva_core import Tensor

rng = np.random.default_rng(0)
x_np = rng.normal(size=(4, 3)).astype(np.float32)
w_np = rng.normal(size=(3, 2)).astype(np.float32)
b_np = np.array([0.5, -1.0], dtype=np.float32)
g_np = rng.normal(size=(4, 2)).astype(np.float32)  # an upstream gradient dL/dy

x = Tensor(x_np)  # data: no gradient needed
w = Tensor(w_np, requires_grad=True)
b = Tensor(b_np, requires_grad=True)

y = x @ w + b
print(f"y = x @ w + b, shape {y.shape}:\n{y.to_numpy().round(3)}")

# backward() differentiates the sum of a tensor's elements, so L = sum(y * g) has dL/dy = g.
(y * Tensor(g_np)).backward()
print(f"dL/dw, shape {list(w.grad().shape)}:\n{w.grad().round(3)}")
print(f"dL/db, shape {list(b.grad().shape)}: {b.grad().round(3)}")

np.testing.assert_allclose(y.to_numpy(), x_np @ w_np + b_np, rtol=1e-5)
np.testing.assert_allclose(w.grad(), x_np.T @ g_np, rtol=1e-5)
np.testing.assert_allclose(b.grad(), g_np.sum(axis=0), rtol=1e-5)  # summed over the batch
assert x.grad() is None  # x does not require gradients
print("gradients match x.T @ g and the batch sum of g")

Tensor.clear_graph()
