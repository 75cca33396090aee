"""Leaks: memory that mixed work leaves behind once its graphs are cleared, and the reference
counts of every object an operation is handed, on success and on every error path."""

import ctypes
import gc
import os
import sys
import tracemalloc

import ml_dtypes
import numpy as np
import pytest

import norva_core
from norva_core import Tensor

relu = norva_core.nn.functional.relu
linux_only = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")


def sanitized() -> bool:
    """AddressSanitizer keeps freed memory in quarantine, so resident size says nothing there."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


_malloc_trim = getattr(ctypes.CDLL(None), "malloc_trim", None)  # glibc


def rss_bytes() -> int:
    # Free heap memory kept by the allocator (after earlier tests freed large arrays) would absorb
    # later growth; hand it back first so that the resident size follows live memory.
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


# --- the mixed workload ------------------------------------------------------------------------

rng = np.random.default_rng(7)
A = rng.standard_normal((8, 16)).astype(np.float32)
B = rng.standard_normal((16, 8)).astype(np.float32)
V = rng.standard_normal(16).astype(np.float32)


def expect(exc, fn, *args):
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def one_round(stale):
    """Makes OPS_PER_ROUND calls into the library: recorded and plain arithmetic in every element
    type, matrix products, shape methods, comparisons, logical operations, conversions, a backward
    pass, gradient reads, and a refusal on each error path (dtype and shape mismatches, stale
    graphs, bad arguments, operands the operators decline)."""
    x = Tensor(A, requires_grad=True)
    w = Tensor(B, requires_grad=True)
    v = Tensor(V)
    h = Tensor(A, dtype="f16", requires_grad=True)
    bh = Tensor(V, dtype="bf16")
    m = Tensor(A > 0, dtype="bool")
    y = relu(x @ w) * 2.0 - 1.0
    z = (x.reshape([16, 8]).transpose(0, 1) + v / 3.0) * x
    loss = (y @ z).transpose(0, 1) / (1.0 + z.ones_like().transpose(0, 1))
    loss.backward()
    x.grad(), w.grad(), loss.grad(), v.grad()
    hh = relu(h * h + 1.0) / h - 0.5
    hh.backward()
    h.grad()
    q = (bh * 2.0 + bh) < bh
    r = (m & q.reshape([1, 16])) ^ ~m | (m == m)
    r.to_numpy(), hh.to_numpy(), bh.to_numpy(), q.zeros_like()
    (y != y), (2.0 > y), y.__rgt__(0.5), x.__req__(1)
    y.shape, y.strides, y.dtype, y.ndim, y.requires_grad
    # Error paths.
    expect(ValueError, lambda: x + h)  # dtype mismatch
    expect(RuntimeError, lambda: x + w)  # shapes do not broadcast
    expect(RuntimeError, lambda: x @ x)  # inner dimensions
    expect(TypeError, lambda: m + m)  # arithmetic on booleans
    expect(TypeError, lambda: relu(m))
    expect(RuntimeError, lambda: ~x)
    expect(ValueError, lambda: x.reshape([5]))
    expect(OverflowError, lambda: x.reshape([-1]))
    expect(IndexError, lambda: x.transpose(0, 9))
    expect(TypeError, lambda: x + "text")  # declined by the operator
    expect(TypeError, lambda: Tensor([1.0], device=None))
    expect(ValueError, lambda: Tensor([[1.0], [2.0, 3.0]]))  # NumPy's refusal
    expect(ValueError, lambda: Tensor([1.0], dtype="int8"))
    expect(RuntimeError, lambda: stale * 2.0)
    expect(RuntimeError, lambda: stale.backward())
    expect(ValueError, lambda: v.backward())
    stale.grad()


OPS_PER_ROUND = 72  # counted from the body above: 6 constructions, 50 operations, 16 refusals
ROUNDS = 100_000 // OPS_PER_ROUND + 1


@linux_only
def test_mixed_operations_do_not_accumulate_memory():
    stale = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    # Tracing starts before the warm-up: blocks that the interpreter's caches hand out and take
    # back are replaced by traced ones during it, which would otherwise look like growth later.
    tracemalloc.start()
    try:
        for _ in range(ROUNDS // 4):  # caches, allocator pools and the tape's capacity settle
            one_round(stale)
            Tensor.clear_graph()
        gc.collect()
        rss_before = rss_bytes()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            one_round(stale)
            Tensor.clear_graph()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_after = rss_bytes()
    finally:
        tracemalloc.stop()
    ops = ROUNDS * OPS_PER_ROUND
    print(f"\n{ops} operations; resident {rss_before / 2**20:.1f} MiB -> {rss_after / 2**20:.1f} MiB; "
          f"Python objects grew by {traced_growth} bytes")
    # One leaked object of 24 bytes per round would exceed this; the noise is a few KiB. With
    # the sanitizer every Python object is a heap block of its own and the noise some 30 KiB
    # (that run finds leaked blocks by itself).
    assert traced_growth < (128 if sanitized() else 32) * 1024, traced_growth
    if not sanitized():
        # One leaked node or storage per round would add several MiB: a round's buffers are
        # 128 to 512 bytes each and a node at least 32.
        assert rss_after - rss_before < 2 * 2**20, (rss_before, rss_after)


@linux_only
@pytest.mark.skipif("sanitized()")
def test_the_resident_size_measurement_sees_a_tape_that_is_not_cleared():
    """The bound above can fail: the same rounds without clear_graph() grow the resident size."""
    stale = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    for _ in range(50):
        one_round(stale)
        Tensor.clear_graph()
    gc.collect()
    before = rss_bytes()
    for _ in range(200):
        one_round(stale)
    assert rss_bytes() - before > 2 * 2**20


# --- reference counts ------------------------------------------------------------------------

# Objects handed to operations; their counts must be the same after each call as before.
F32 = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3), requires_grad=True)
F32_PLAIN = Tensor(np.ones((2, 3), np.float32))
F16 = Tensor(np.ones((2, 3), np.float32), dtype="f16", requires_grad=True)
BF16 = Tensor(np.ones((3, 2), np.float32), dtype="bf16")
BOOL = Tensor(np.ones((2, 3), bool), dtype="bool")
ROW = Tensor(np.ones(3, np.float32))
MAT = Tensor(np.ones((3, 4), np.float32), requires_grad=True)
NUMBER = 2.5e-3  # a float that is not cached or immortal
BIG_INT = 10**400  # does not fit a double
ARRAY = np.arange(6, dtype=np.float64).reshape(2, 3)
INT_ARRAY = np.arange(6, dtype=np.int16)
BF16_ARRAY = np.ones(4, ml_dtypes.bfloat16)
SHAPE = [3, 2]
SHAPE_TUPLE = (6, 1)
SHAPE_ARRAY = np.array([1, 6])
BAD_SHAPE = [3, 2.0]
NEG_SHAPE = [2, -3]
TEXT = "some text"
DTYPE_OBJ = np.dtype(np.float16)
BF16_DTYPE = np.dtype(ml_dtypes.bfloat16)
NESTED = [[1.0, 2.0], [3.0, 4.0]]
RAGGED = [[1.0], [2.0, 3.0]]
DEVICE = "CPU"
BAD_DEVICE = "gpu"
NP_TRUE = np.bool_(True)


class Opaque:
    """An object no conversion accepts."""


OPAQUE = Opaque()

OPERATIONS = {
    # results
    "add": lambda: F32 + F32_PLAIN,
    "add broadcast": lambda: F32 + ROW,
    "sub number": lambda: F32 - NUMBER,
    "mul reflected": lambda: NUMBER * F32,
    "div reflected": lambda: NUMBER / F16,
    "div number": lambda: F16 / NUMBER,
    "matmul": lambda: F32 @ MAT,
    "compare": lambda: F32 < NUMBER,
    "not equal": lambda: F32 != F32_PLAIN,
    "reflected compare": lambda: F32.__rlt__(NUMBER),
    "logical": lambda: BOOL ^ BOOL,
    "invert": lambda: ~BOOL,
    "relu": lambda: relu(F16),
    "relu keyword": lambda: relu(py_tensor=F32),
    "reshape list": lambda: F32.reshape(SHAPE),
    "reshape tuple": lambda: F32.reshape(shape=SHAPE_TUPLE),
    "reshape array": lambda: F32.reshape(SHAPE_ARRAY),
    "transpose": lambda: F32.transpose(1, 0),
    "zeros_like": lambda: F16.zeros_like(),
    "to_numpy": lambda: BF16.to_numpy(),
    "shape": lambda: F32.shape,
    "strides": lambda: BF16.strides,
    "construct nested": lambda: Tensor(NESTED, DTYPE_OBJ),
    "construct array": lambda: Tensor(ARRAY, dtype="bf16", device=DEVICE, requires_grad=NP_TRUE),
    "construct int array": lambda: Tensor(INT_ARRAY, dtype=BF16_DTYPE),
    "construct bfloat16 array": lambda: Tensor(BF16_ARRAY, dtype=ml_dtypes.bfloat16),
    "backward": lambda: (F32 * F32).backward(),
    "grad": lambda: F32.grad(),
    # errors raised by the library
    "dtype mismatch": lambda: F32 + F16,
    "broadcast mismatch": lambda: F32 * BF16,
    "bool arithmetic": lambda: BOOL + BOOL,
    "bool scalar": lambda: BOOL * NUMBER,
    "compare mismatch": lambda: F32 == BOOL,
    "matmul inner": lambda: F32 @ F32,
    "logical on floats": lambda: F32 & BOOL,
    "invert floats": lambda: ~F16,
    "relu bool": lambda: relu(BOOL),
    "reshape count": lambda: F32.reshape(SHAPE_TUPLE + SHAPE_TUPLE),
    "reshape item type": lambda: F32.reshape(BAD_SHAPE),
    "reshape negative": lambda: F32.reshape(NEG_SHAPE),
    "reshape text": lambda: F32.reshape(TEXT),
    "transpose axis": lambda: F32.transpose(0, 7),
    "transpose type": lambda: F32.transpose(TEXT, 0),
    "backward constant": lambda: F32_PLAIN.backward(),
    "construct device": lambda: Tensor(ARRAY, device=BAD_DEVICE),
    "construct dtype": lambda: Tensor(ARRAY, dtype=TEXT),
    "construct dtype object": lambda: Tensor(ARRAY, dtype=OPAQUE),
    "construct ragged": lambda: Tensor(RAGGED),
    "construct text": lambda: Tensor(TEXT),
    "construct opaque": lambda: Tensor(OPAQUE),
    "construct requires_grad": lambda: Tensor(ARRAY, requires_grad=NUMBER),
    "construct arguments": lambda: Tensor(ARRAY, None, DEVICE, False, TEXT),
    "explicit compare type": lambda: F32.__req__(TEXT),
    "relu type": lambda: relu(ARRAY),
    # operands the operators decline (the interpreter raises)
    "add text": lambda: F32 + TEXT,
    "sub reflected": lambda: NUMBER - F32,
    "add huge int": lambda: F32 + BIG_INT,
    "matmul number": lambda: F32 @ NUMBER,
    "and opaque": lambda: BOOL & OPAQUE,
    "lt opaque": lambda: F32 < OPAQUE,
    "eq opaque": lambda: F32 == OPAQUE,
}

WATCHED = [F32, F32_PLAIN, F16, BF16, BOOL, ROW, MAT, NUMBER, BIG_INT, ARRAY, INT_ARRAY, BF16_ARRAY, SHAPE,
           SHAPE_TUPLE, SHAPE_ARRAY, BAD_SHAPE, NEG_SHAPE, TEXT, DTYPE_OBJ, BF16_DTYPE, NESTED, RAGGED, DEVICE,
           BAD_DEVICE, NP_TRUE, OPAQUE, Tensor, norva_core.InternalError, Opaque, relu]


def counts():
    return [sys.getrefcount(o) for o in WATCHED]


def call(op):
    """Calls op and returns its result or None; the exception (with its traceback, which refers to
    the frames) is dropped before the caller looks at reference counts."""
    try:
        return op()
    except (TypeError, ValueError, RuntimeError, IndexError, OverflowError):
        return None


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_reference_counts_are_unchanged(name):
    op = OPERATIONS[name]
    for _ in range(3):  # first calls may cache (NumPy's dtype lookups, the bfloat16 descriptor)
        call(op)
    gc.collect()
    gc.disable()  # nothing but the calls themselves may change a count
    try:
        before = counts()
        for _ in range(20):
            result = call(op)
            if isinstance(result, Tensor):
                # Nobody else holds the new object: this name and getrefcount's argument.
                assert sys.getrefcount(result) == 2
            del result
        after = counts()
    finally:
        gc.enable()
    changed = {i: (b, a) for i, (b, a) in enumerate(zip(before, after)) if b != a}
    assert not changed, {repr(WATCHED[i])[:40]: ba for i, ba in changed.items()}


def test_dropping_tensors_releases_the_class_reference():
    """Each instance holds a reference to its heap type; deallocation must give it back."""
    gc.collect()
    before = sys.getrefcount(Tensor)
    made = [Tensor([1.0]) * 2.0 for _ in range(1000)]
    assert sys.getrefcount(Tensor) >= before + 1000
    del made
    gc.collect()
    assert sys.getrefcount(Tensor) == before


def test_gradient_arrays_own_their_data():
    """A gradient or converted array holds no hidden reference back into the library."""
    x = Tensor(np.ones(4, np.float32), dtype="bf16", requires_grad=True)
    (x * x).backward()
    g = x.grad()
    a = x.to_numpy()
    assert sys.getrefcount(g) == sys.getrefcount(a) == 2
    assert g.base is None and a.base is None and g.flags.owndata and a.flags.owndata
