"""Ad-hoc timing of the matrix product against NumPy's matmul with its BLAS on one thread.

    PYTHONPATH=$(scripts/dev-build.sh NAME) .venv/bin/python bench/matmul_probe.py

Needs threadpoolctl (measuring only). Prints the best of N runs, timed as CPU time of the calling
thread (every product here runs on it), which a busy shared machine disturbs less than wall time.
Not a benchmark harness.
"""

import sys
import time

import ml_dtypes
import numpy as np
from threadpoolctl import threadpool_limits

from norva_core import Tensor


def best(fn, reps):
    fn()
    t = float("inf")
    for _ in range(reps):
        s = time.thread_time()
        fn()
        t = min(t, time.thread_time() - s)
    return t


def main():
    rng = np.random.default_rng(0)
    only = set(sys.argv[1:])
    with threadpool_limits(1):
        if not only or "square" in only:
            for n in (256, 512, 1024, 2048):
                a = rng.standard_normal((n, n), dtype=np.float32)
                b = rng.standard_normal((n, n), dtype=np.float32)
                ta, tb = Tensor(a), Tensor(b)
                reps = 30 if n <= 512 else (6 if n == 1024 else 3)
                tn = best(lambda: a @ b, reps)
                to = best(lambda: ta @ tb, reps)
                fl = 2.0 * n**3
                print(f"f32 {n:5d}: norva {fl / to / 1e9:6.1f} GFLOP/s  numpy {fl / tn / 1e9:6.1f} GFLOP/s"
                      f"  ratio {tn / to:.2f}")
        if not only or "batched" in only:
            for batch, m in ((4096, 8), (1024, 32), (4096, 4), (2048, 16)):
                a = rng.standard_normal((batch, m, m), dtype=np.float32)
                b = rng.standard_normal((batch, m, m), dtype=np.float32)
                ta, tb = Tensor(a), Tensor(b)
                tn = best(lambda: a @ b, 50)
                to = best(lambda: ta @ tb, 50)
                print(f"batched {batch}x({m}x{m}): norva {to * 1e6:8.1f} us  numpy {tn * 1e6:8.1f} us")
        if not only or "half" in only:
            n = 1024
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            ta, tb = Tensor(a), Tensor(b)
            t32 = best(lambda: ta @ tb, 6)
            for name in ("float16", "bfloat16"):
                h1, h2 = Tensor(a, dtype=name), Tensor(b, dtype=name)
                th = best(lambda: h1 @ h2, 6)
                print(f"{name} {n}: {th * 1e3:.2f} ms vs f32 {t32 * 1e3:.2f} ms  ratio {th / t32:.2f}")
        if not only or "transposed" in only:
            for n in (512, 1024):
                a = rng.standard_normal((n, n), dtype=np.float32)
                b = rng.standard_normal((n, n), dtype=np.float32)
                ta, tb = Tensor(a), Tensor(b)
                tat, tbt = ta.transpose(0, 1), tb.transpose(0, 1)
                reps = 20 if n == 512 else 6
                tc = best(lambda: ta @ tb, reps)
                t1 = best(lambda: tat @ tb, reps)
                t2 = best(lambda: ta @ tbt, reps)
                print(f"transposed {n}: contiguous {tc * 1e3:.2f} ms  A^T {t1 * 1e3:.2f} ms ({t1 / tc:.2f}x)"
                      f"  B^T {t2 * 1e3:.2f} ms ({t2 / tc:.2f}x)")


if __name__ == "__main__":
    main()
