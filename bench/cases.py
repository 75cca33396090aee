"""The benchmark cases: norva next to NumPy and PyTorch doing the same work.

Each builder makes its inputs from the same NumPy data, so that all libraries see equal values.
16-bit NumPy arrays are numpy.float16 and ml_dtypes.bfloat16. PyTorch runs on one thread and
NumPy's BLAS is limited to one thread by the runner.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any, Callable

import numpy as np

from harness import Case, Impl, Target

# Element counts of the element-wise cases and the square matrix shape that holds them.
SIZES = {"1K": 32, "64K": 256, "4M": 2048}
MATMUL_SIZES = (64, 128, 256, 512, 1024, 2048)
CHAIN_LENGTH = 10_000
# Executions per sample of a case that records onto norva's tape; the tape is cleared between
# samples, outside the timed region.
GRAD_BATCH = 20_000


def libraries() -> SimpleNamespace:
    """Import the libraries; missing ones are None."""
    import ml_dtypes
    import norva_core
    from norva_core import Tensor

    relu = norva_core.nn.functional.relu

    try:
        import torch
    except ImportError:
        torch = None
    return SimpleNamespace(np=np, ml_dtypes=ml_dtypes, Tensor=Tensor, relu=relu, torch=torch)


def np_dtype(lib: SimpleNamespace, dtype: str) -> Any:
    return {"f32": np.float32, "f16": np.float16, "bf16": lib.ml_dtypes.bfloat16}[dtype]


def torch_dtype(lib: SimpleNamespace, dtype: str) -> Any:
    t = lib.torch
    return {"f32": t.float32, "f16": t.float16, "bf16": t.bfloat16}[dtype]


def to_torch(lib: SimpleNamespace, array: np.ndarray, dtype: str) -> Any:
    """A PyTorch tensor of `array` (given in float32) rounded to `dtype`."""
    return lib.torch.from_numpy(np.ascontiguousarray(array, dtype=np.float32)).to(torch_dtype(lib, dtype))


def random(shape: tuple[int, ...], seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def tolerance(dtype: str, reduce: bool = False) -> float:
    """Relative tolerance of the value check: element-wise results round alike in all libraries,
    sums of products depend on the order of accumulation."""
    if dtype == "f32":
        return 1e-4 if reduce else 1e-6
    return 2e-2 if reduce else 1e-2


# ---------------------------------------------------------------------------------------------
# Per-operation overhead on one-element tensors


def overhead_cases(lib: SimpleNamespace) -> list[Case]:
    T, torch = lib.Tensor, lib.torch
    ops = {
        # name: (statement, needs a 2-D operand, statement for NumPy if it differs)
        "a + b": ("a + b", False, None),
        "a * 2.0": ("a * 2.0", False, None),
        "a == b": ("a == b", False, None),
        "reshape": ("a.reshape((1, 1))", False, None),
        "transpose": ("a.transpose(0, 1)", True, "a.transpose(1, 0)"),
    }
    cases = []
    for grad in (False, True):
        for name, (stmt, two_d, np_stmt) in ops.items():
            shape = (1, 1) if two_d else (1,)
            data_a = np.full(shape, 1.5, np.float32)
            data_b = np.full(shape, 2.5, np.float32)

            def norva(stmt=stmt, a=data_a, b=data_b, grad=grad) -> Impl:
                if not grad:
                    return Impl(stmt, {"a": T(a), "b": T(b)})

                def fresh(ns: dict) -> None:
                    # Clearing the tape invalidates recorded tensors: make new operands.
                    T.clear_graph()
                    ns["a"] = T(a, requires_grad=True)
                    ns["b"] = T(b, requires_grad=True)

                ns: dict = {}
                fresh(ns)
                return Impl(stmt, ns, prepare=fresh, reset=lambda ns: T.clear_graph(),
                            max_number=GRAD_BATCH)

            def numpy(stmt=np_stmt or stmt, a=data_a, b=data_b) -> Impl:
                return Impl(stmt, {"a": a.copy(), "b": b.copy()})

            def pytorch(stmt=stmt, a=data_a, b=data_b, grad=grad) -> Impl:
                return Impl(stmt, {"a": torch.tensor(a, requires_grad=grad),
                                   "b": torch.tensor(b, requires_grad=grad)})

            targets = []
            if name == "a + b" and not grad:
                targets = [Target("numpy", 0.35), Target("torch", 0.1)]
            elif name == "a + b":
                targets = [Target("torch", 0.15)]
            suffix = "grad" if grad else "no grad"
            cases.append(Case(
                id=f"one-element {name}, {suffix}", group="overhead",
                builders={"norva": norva, "numpy": numpy, "torch": pytorch}, targets=targets,
                note="operands require grad (NumPy: plain operation)" if grad else ""))
    return cases


# ---------------------------------------------------------------------------------------------
# Element-wise a + b


def elementwise_cases(lib: SimpleNamespace) -> list[Case]:
    T = lib.Tensor
    cases = []
    for dtype in ("f32", "f16", "bf16"):
        for size, side in SIZES.items():
            for layout in ("contiguous", "broadcast", "transposed"):
                a32 = random((side,) if layout == "broadcast" else (side, side), 1)
                b32 = random((side, side), 2)
                npd = np_dtype(lib, dtype)

                def norva(a32=a32, b32=b32, dtype=dtype, layout=layout) -> Impl:
                    a = T(a32.astype(np_dtype(lib, dtype)), dtype=dtype)
                    if layout == "transposed":
                        a = a.transpose(0, 1)
                    return Impl("a + b", {"a": a, "b": T(b32.astype(np_dtype(lib, dtype)), dtype=dtype)},
                                value="a + b")

                def numpy(a32=a32, b32=b32, npd=npd, layout=layout) -> Impl:
                    a = a32.astype(npd)
                    if layout == "transposed":
                        a = a.T
                    return Impl("a + b", {"a": a, "b": b32.astype(npd)}, value="a + b")

                def pytorch(a32=a32, b32=b32, dtype=dtype, layout=layout) -> Impl:
                    a = to_torch(lib, a32, dtype)
                    if layout == "transposed":
                        a = a.transpose(0, 1)
                    return Impl("a + b", {"a": a, "b": to_torch(lib, b32, dtype)}, value="a + b")

                targets = []
                if size == "4M" and dtype == "f32":
                    targets = [Target("numpy", {"contiguous": 1.0, "broadcast": 1.1, "transposed": 1.2}[layout])]
                elif size == "4M" and layout == "contiguous":
                    targets = [Target("torch", 1.0), Target("case:" + elementwise_id("f32", size, layout), 2.0)]
                note = {"contiguous": "", "broadcast": "row [n] + matrix [n, n]",
                        "transposed": "transposed view + row-major matrix"}[layout]
                cases.append(Case(
                    id=elementwise_id(dtype, size, layout), group="element-wise",
                    builders={"norva": norva, "numpy": numpy, "torch": pytorch}, targets=targets,
                    note=note, tolerance=tolerance(dtype)))
    return cases


def elementwise_id(dtype: str, size: str, layout: str) -> str:
    return f"{dtype} a + b {size} {layout}"


# ---------------------------------------------------------------------------------------------
# Matrix multiplication


def matmul_case(lib: SimpleNamespace, case_id: str, a32: np.ndarray, b32: np.ndarray, dtype: str,
                targets: list[Target], note: str = "") -> Case:
    T = lib.Tensor

    def norva() -> Impl:
        npd = np_dtype(lib, dtype)
        return Impl("a @ b", {"a": T(a32.astype(npd), dtype=dtype), "b": T(b32.astype(npd), dtype=dtype)},
                    value="a @ b")

    def numpy() -> Impl:
        npd = np_dtype(lib, dtype)
        # NumPy's 16-bit products are slow loops: the reference value is the float32 product of
        # the same rounded factors, which is also the more exact one.
        value = "a @ b" if dtype == "f32" else "a.astype(np.float32) @ b.astype(np.float32)"
        return Impl("a @ b", {"a": a32.astype(npd), "b": b32.astype(npd), "np": np}, value=value)

    def pytorch() -> Impl:
        return Impl("a @ b", {"a": to_torch(lib, a32, dtype), "b": to_torch(lib, b32, dtype)}, value="a @ b")

    return Case(id=case_id, group="matmul", builders={"norva": norva, "numpy": numpy, "torch": pytorch},
                targets=targets, note=note, tolerance=tolerance(dtype, reduce=True))


def matmul_cases(lib: SimpleNamespace) -> list[Case]:
    cases = []
    for n in MATMUL_SIZES:
        targets = [Target("torch", 1.1)] if n == 1024 else []
        cases.append(matmul_case(lib, f"f32 matmul {n}", random((n, n), 3), random((n, n), 4), "f32", targets))
    for batch, n, targets in ((4096, 8, [Target("torch", 0.5)]), (1024, 32, [])):
        cases.append(matmul_case(lib, f"f32 matmul {batch} x {n}x{n}", random((batch, n, n), 5),
                                 random((batch, n, n), 6), "f32", targets, note="batched"))
    for dtype in ("f16", "bf16"):
        cases.append(matmul_case(lib, f"{dtype} matmul 1024", random((1024, 1024), 7),
                                 random((1024, 1024), 8), dtype, []))
    return cases


# ---------------------------------------------------------------------------------------------
# Autograd: a long chain of scalar operations, and a training step


def chain_case(lib: SimpleNamespace) -> Case:
    T, torch = lib.Tensor, lib.torch

    def build(x: Any) -> Any:
        y = x
        for i in range(CHAIN_LENGTH // 2):
            y = y * 1.0001
            y = y + 0.0001
        return y

    def norva() -> Impl:
        def fresh(ns: dict) -> None:
            T.clear_graph()
            ns["y"] = build(T(np.ones(1, np.float32), requires_grad=True))

        ns: dict = {}
        return Impl("y.backward()", ns, prepare=fresh, reset=lambda ns: T.clear_graph(), single=True)

    def pytorch() -> Impl:
        def fresh(ns: dict) -> None:
            ns["y"] = build(torch.ones(1, requires_grad=True))

        return Impl("y.backward()", {}, prepare=fresh, single=True)

    return Case(id=f"backward over a {CHAIN_LENGTH:,}-node chain", group="autograd",
                builders={"norva": norva, "torch": pytorch}, targets=[Target("torch", 0.25)],
                note="y = y * 1.0001 and y = y + 0.0001 alternately on a one-element tensor; backward() only")


def training_case(lib: SimpleNamespace) -> Case:
    T, relu, torch = lib.Tensor, lib.relu, lib.torch
    batch, n_in, n_hidden, n_out = 64, 784, 256, 10
    x = random((batch, n_in), 10)
    target = random((batch, n_out), 11)
    w1 = random((n_in, n_hidden), 12) * 0.05
    b1 = random((n_hidden,), 13) * 0.05
    w2 = random((n_hidden, n_out), 14) * 0.05
    b2 = random((n_out,), 15) * 0.05

    def norva_step() -> tuple:
        W1, B1 = T(w1, requires_grad=True), T(b1, requires_grad=True)
        W2, B2 = T(w2, requires_grad=True), T(b2, requires_grad=True)
        h = relu(T(x) @ W1 + B1)
        d = h @ W2 + B2 - T(target)
        (d * d).backward()
        grads = (W1.grad(), B1.grad(), W2.grad(), B2.grad())
        T.clear_graph()
        return grads

    def numpy_step() -> tuple:
        # The same step with hand-written gradients.
        pre = x @ w1 + b1
        h = np.maximum(pre, 0)
        d = h @ w2 + b2 - target
        loss = d * d  # noqa: F841  (computed as the other libraries do)
        g = 2 * d
        gh = g @ w2.T
        gh[pre <= 0] = 0
        return (x.T @ gh, gh.sum(0), h.T @ g, g.sum(0))

    def torch_step() -> tuple:
        W1, B1 = torch.from_numpy(w1).requires_grad_(), torch.from_numpy(b1).requires_grad_()
        W2, B2 = torch.from_numpy(w2).requires_grad_(), torch.from_numpy(b2).requires_grad_()
        h = torch.relu(torch.from_numpy(x) @ W1 + B1)
        d = h @ W2 + B2 - torch.from_numpy(target)
        (d * d).sum().backward()
        return (W1.grad.numpy(), B1.grad.numpy(), W2.grad.numpy(), B2.grad.numpy())

    def impl(step: Callable[[], tuple]) -> Callable[[], Impl]:
        return lambda: Impl("step()", {"step": step}, value="step()[0]")

    return Case(id="training step 784-256-10, batch 64", group="autograd",
                builders={"norva": impl(norva_step), "numpy": impl(numpy_step), "torch": impl(torch_step)},
                targets=[Target("torch", 1.0)], tolerance=1e-4,
                note="new parameters from NumPy, forward, backward, every gradient read "
                     "(PyTorch: from_numpy, no copy; NumPy: hand-written gradients)")


# ---------------------------------------------------------------------------------------------
# NumPy interchange


def interchange_cases(lib: SimpleNamespace) -> list[Case]:
    T, torch = lib.Tensor, lib.torch
    data = random((2048, 2048), 20)
    construct = Case(
        id="from NumPy f32 4M", group="interchange",
        builders={"norva": lambda: Impl("T(a)", {"T": T, "a": data}, value="T(a).to_numpy()"),
                  "numpy": lambda: Impl("np.array(a)", {"np": np, "a": data}, value="np.array(a)"),
                  "torch": lambda: Impl("torch.tensor(a)", {"torch": torch, "a": data},
                                        value="torch.tensor(a)")},
        note="copying constructors: Tensor(a), numpy.array(a), torch.tensor(a)")
    convert = Case(
        id="to NumPy f32 4M", group="interchange",
        builders={"norva": lambda: Impl("t.to_numpy()", {"t": T(data)}, value="t.to_numpy()"),
                  "numpy": lambda: Impl("a.copy()", {"a": data.copy()}, value="a.copy()"),
                  "torch": lambda: Impl("t.numpy().copy()", {"t": torch.from_numpy(data.copy())},
                                        value="t.numpy().copy()")},
        note="copying conversions: to_numpy(), a.copy(), t.numpy().copy()")
    return [construct, convert]


def all_cases(lib: SimpleNamespace) -> list[Case]:
    return [*overhead_cases(lib), *elementwise_cases(lib), *matmul_cases(lib), chain_case(lib),
            training_case(lib), *interchange_cases(lib)]
