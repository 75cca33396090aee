"""Two threads training independently, each on its own graph.

Every thread records operations on a graph of its own: Tensor.clear_graph() in one thread leaves
the others alone, and a gradient computed in one thread is not seen in another. Here two threads
fit a line y = slope * x + intercept at the same time, each to different data, while the main
thread keeps a gradient of its own.
"""

import threading

import numpy as np

from norva_core import Tensor


def fit(slope, intercept, results, steps=200, lr=0.5):
    x_np = np.linspace(-1.0, 1.0, 32, dtype=np.float32)
    x, y = Tensor(x_np), Tensor(slope * x_np + intercept)
    w = Tensor([0.0], requires_grad=True)
    c = Tensor([0.0], requires_grad=True)
    for _ in range(steps):
        err = x * w + c - y  # w and c ([1]) broadcast over the 32 points
        (err * err / 32).backward()  # backward() sums the elements: the mean squared error
        w_next, c_next = w.to_numpy() - lr * w.grad(), c.to_numpy() - lr * c.grad()
        Tensor.clear_graph()  # this thread's graph only; the next leaves come after it
        w = Tensor(w_next, requires_grad=True)
        c = Tensor(c_next, requires_grad=True)
    results[(slope, intercept)] = (w.to_numpy().item(), c.to_numpy().item())


# A gradient in the main thread, computed before the workers start clearing their graphs.
m = Tensor([1.0, 2.0], requires_grad=True)
(m * 3.0).backward()

results = {}
workers = [threading.Thread(target=fit, args=(s, i, results)) for s, i in [(2.0, -1.0), (-0.5, 3.0)]]
for t in workers:
    t.start()
for t in workers:
    t.join()

for (slope, intercept), (w, c) in sorted(results.items()):
    print(f"fitted {w:+.3f} * x {c:+.3f}   (data: {slope:+.3f} * x {intercept:+.3f})")
    assert abs(w - slope) < 1e-3 and abs(c - intercept) < 1e-3

print("main thread's gradient is still", m.grad().tolist())
assert m.grad().tolist() == [3.0, 3.0]
Tensor.clear_graph()
