"""Hostile sizes: shapes whose element count overflows the machine word or whose data no address
space holds, and extremely deep graphs. Each case must end in an ordinary exception
(ValueError, RuntimeError, OverflowError, IndexError or MemoryError) and leave the interpreter
and the library working.

Sizes are chosen so that no machine can allocate them (at least 2^48 bytes, beyond a 47-bit
user address space): a case that regressed into really allocating would fail on every machine
instead of filling this one. Outside the sanitizer build each test also runs under an address-space
limit, so even a regression that allocates a little at a time stops at a MemoryError instead of
pushing the shared machine out of memory.
"""

import json
import os
import resource

import numpy as np
import pytest

import norva_core
from helpers import run_python
from norva_core import Tensor

relu = norva_core.nn.functional.relu
HUGE = 2**24  # two operands of this many elements broadcast to 2^48 elements


def _sanitized() -> bool:
    """True when AddressSanitizer's runtime is loaded (it reserves terabytes of address space, so
    an address-space limit cannot be used there)."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.fixture(autouse=True)
def bounded_address_space():
    """Caps the address space at what the process maps now plus 3 GiB for the test's duration."""
    Tensor.clear_graph()
    if not os.path.exists("/proc/self/statm") or _sanitized():
        yield
        Tensor.clear_graph()
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * resource.getpagesize()
    limit = mapped + 3 * 2**30
    if hard != resource.RLIM_INFINITY:
        limit = min(limit, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        Tensor.clear_graph()


def assert_still_working():
    """The interpreter and the library still compute and differentiate correctly."""
    x = Tensor([[1.0, -2.0], [3.0, 4.0]], requires_grad=True)
    y = relu(x * x - 2.0) @ x.transpose(0, 1)
    y.backward()
    xs = np.array([[1.0, -2.0], [3.0, 4.0]], np.float32)
    np.testing.assert_array_equal(y.to_numpy(), np.maximum(xs * xs - 2.0, 0) @ xs.T)
    assert x.grad().shape == (2, 2)
    Tensor.clear_graph()


def empty(shape, dtype=np.float32):
    """A tensor with no elements whose extents may be enormous (NumPy allows them as long as the
    product of the non-zero extents fits its own limit)."""
    return Tensor(np.empty(shape, dtype), dtype=np.dtype(dtype).name)


def big_pair(dtype):
    """Two small operands whose broadcast holds 2^48 elements (2^49 bytes and more)."""
    a = np.ones((HUGE, 1), np.float32)
    b = np.ones((1, HUGE), np.float32)
    if dtype == "bool":
        a, b = a.astype(bool), b.astype(bool)
    return Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)


ELEMENTWISE = {
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "div": lambda a, b: a / b,
    "lt": lambda a, b: a < b,
    "eq": lambda a, b: a == b,
    "ne": lambda a, b: a != b,
}
LOGICAL = {"and": lambda a, b: a & b, "or": lambda a, b: a | b, "xor": lambda a, b: a ^ b}


# --- broadcasting ----------------------------------------------------------------------------


@pytest.mark.parametrize("op", list(ELEMENTWISE), ids=list(ELEMENTWISE))
@pytest.mark.parametrize("requires_grad", [False, True])
def test_broadcast_count_overflowing_the_word(op, requires_grad):
    # [0, 2^60, 1] against [1, 1, 16]: the common shape's non-zero extents multiply to 2^64.
    a = Tensor(np.empty((0, 2**60, 1), np.float32), requires_grad=requires_grad)
    b = Tensor(np.ones((1, 1, 16), np.float32))
    with pytest.raises(RuntimeError, match=r"Broadcast failed for A: \[0, 1152921504606846976, 1\] -> "
                                           r"\[0, 1152921504606846976, 16\]"):
        ELEMENTWISE[op](a, b)
    assert_still_working()


@pytest.mark.parametrize("op", list(LOGICAL), ids=list(LOGICAL))
def test_logical_broadcast_count_overflowing_the_word(op):
    a = empty((0, 2**62, 1), np.bool_)
    b = Tensor(np.ones((1, 1, 4), bool), dtype="bool")
    with pytest.raises(RuntimeError, match="Broadcast failed for A"):
        LOGICAL[op](a, b)
    assert_still_working()


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("op", list(ELEMENTWISE), ids=list(ELEMENTWISE))
def test_broadcast_result_beyond_memory(dtype, op):
    a, b = big_pair(dtype)
    with pytest.raises(MemoryError):
        ELEMENTWISE[op](a, b)
    assert_still_working()


@pytest.mark.parametrize("op", list(LOGICAL), ids=list(LOGICAL))
def test_logical_result_beyond_memory(op):
    a, b = big_pair("bool")
    with pytest.raises(MemoryError):
        LOGICAL[op](a, b)
    assert_still_working()


def test_recorded_broadcast_beyond_memory_keeps_the_tape_usable():
    a, b = big_pair("f32")
    x = Tensor(np.ones((HUGE, 1), np.float32), requires_grad=True)
    with pytest.raises(MemoryError):
        x * b
    with pytest.raises(MemoryError):
        1.0 / b + x
    # The failed operations left their nodes; a later graph in the same tape still works.
    w = Tensor([2.0], requires_grad=True)
    (w * w).backward()
    np.testing.assert_array_equal(w.grad(), [4.0])
    assert_still_working()


def test_empty_broadcast_with_enormous_extents_differentiates():
    """Zero elements over extents near the word size: every kernel and the gradient reduction
    must walk nothing, not 2^60 empty rows."""
    x = Tensor(np.empty((0, 2**60, 1), np.float32), requires_grad=True)
    b = Tensor(np.ones((1, 1, 2), np.float32), requires_grad=True)
    for y in (x + b, x - b, x * b, x / b, b / x, relu(x) * 3.0 + b, x @ b):
        assert y.shape == [0, 2**60, 2]
        assert y.zeros_like().shape == y.ones_like().shape == [0, 2**60, 2]
        y.backward()
        assert x.grad().shape == (0, 2**60, 1)
        np.testing.assert_array_equal(b.grad(), np.zeros((1, 1, 2), np.float32))
    assert_still_working()


# --- construction ----------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_constructor_from_a_huge_broadcast_view(dtype):
    # A stride-0 NumPy view of 2^46 elements costs nothing until it is copied.
    view = np.broadcast_to(np.float32(1.0), (2**46,))
    with pytest.raises(MemoryError):
        Tensor(view, dtype=dtype)
    assert_still_working()


def test_constructor_with_enormous_empty_extents():
    t = empty((2**40, 0, 2**20))
    assert t.shape == [2**40, 0, 2**20] and t.strides == [0, 0, 0]
    assert t.to_numpy().shape == (2**40, 0, 2**20)
    assert (t * 2.0).transpose(0, 2).shape == [2**20, 0, 2**40]
    assert_still_working()


# --- reshape and transpose -------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, error",
    [
        ([2**62, 4], ValueError),  # 2^64 elements: wraps to 0 in a careless product
        ([2**32, 2**32], ValueError),
        ([2**63, 2], ValueError),
        ([0, 2**62, 4], ValueError),  # the non-zero extents alone overflow
        ([2**64], OverflowError),  # does not fit the size type
        ([-1], OverflowError),
        ([2**62, -4], OverflowError),
    ],
)
@pytest.mark.parametrize("source", ["empty", "one"])
def test_reshape_to_overflowing_shapes(shape, error, source):
    t = empty((0,)) if source == "empty" else Tensor([1.0], requires_grad=True)
    with pytest.raises(error):
        t.reshape(shape)
    assert_still_working()


def test_reshape_empty_to_the_largest_extent():
    # Zero elements, and the one non-zero extent is the largest signed word: allowed here, while
    # NumPy refuses the array (its byte count overflows), so converting back raises ValueError.
    t = empty((0,)).reshape([0, 2**63 - 1])
    assert t.shape == [0, 2**63 - 1]
    assert (t + 1.0).shape == (t * t).shape == t.zeros_like().shape == [0, 2**63 - 1]
    with pytest.raises(ValueError):
        t.to_numpy()
    with pytest.raises(RuntimeError, match="Broadcast failed for A"):
        t + Tensor(np.ones((2, 1, 1), np.float32))
    assert_still_working()


@pytest.mark.parametrize("dims, error", [((2**63, 0), IndexError), ((0, 2**64 - 1), IndexError),
                                         ((2**64, 0), OverflowError), ((0, -(2**63)), OverflowError)])
def test_transpose_with_extreme_axes(dims, error):
    t = Tensor(np.ones((2, 3), np.float32), requires_grad=True)
    with pytest.raises(error):
        t.transpose(*dims)
    assert_still_working()


def test_hundred_thousand_axes():
    """Shapes are kept on the heap: 100,000 axes of extent 1 work in every operation; only NumPy
    refuses such an array."""
    x = Tensor([2.0], requires_grad=True)
    r = x.reshape([1] * 100_000)
    y = relu(r * r) @ r.transpose(0, 99_999) + r / 2.0
    assert y.ndim == 100_000
    y.backward()
    np.testing.assert_array_equal(x.grad(), [3 * 2.0**2 + 0.5])  # d(x^3 + x/2)/dx
    with pytest.raises(ValueError):
        y.to_numpy()
    assert_still_working()


# --- matrix multiplication -------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize(
    "a_shape, b_shape",
    [((HUGE, 1, 1, 1), (1, HUGE, 1, 1)),  # batches broadcast to 2^48 products
     ((HUGE, 1), (1, HUGE))],  # one product of 2^48 elements
    ids=["batch", "matrix"],
)
def test_matmul_result_beyond_memory(dtype, a_shape, b_shape):
    a = Tensor(np.ones(a_shape, np.float32), dtype=dtype, requires_grad=True)
    b = Tensor(np.ones(b_shape, np.float32), dtype=dtype)
    with pytest.raises(MemoryError):
        a @ b
    assert_still_working()


def test_matmul_batch_count_overflowing_the_word():
    # Empty operands whose broadcast batches have 2^63 and more elements.
    a = empty((2**30, 2**30, 0))
    b = empty((0, 2**33))
    with pytest.raises((RuntimeError, MemoryError)):
        a @ b
    c = empty((0, 2**60, 1))
    with pytest.raises((RuntimeError, MemoryError)):
        c @ c.transpose(1, 2)  # [0, 2^60, 2^60]
    assert_still_working()


# --- deep graphs -----------------------------------------------------------------------------



def test_million_node_graph_of_every_node_kind():
    """A million nodes of every kind in one chain, on a thread with a 256 KiB stack: the backward
    pass, clear_graph and the destruction of a full tape at the thread's end must not recurse."""
    out = run_python(
        """
        import json
        import threading
        import numpy as np
        import norva_core
        from norva_core import Tensor

        relu = norva_core.nn.functional.relu
        STEPS = 100_000  # ten nodes per step
        result = {}

        def chain():
            x = Tensor(np.ones((2, 2), np.float32), requires_grad=True)
            eye = Tensor(np.eye(2, dtype=np.float32))
            y = x
            for _ in range(STEPS):
                y = relu(y @ eye).transpose(0, 1).reshape([4]).reshape([2, 2]) * 1.0
                y = (y / 1.0 - 0.0 + 0.0) - x + x
            y.backward()
            result["chain"] = x.grad().tolist()
            Tensor.clear_graph()
            # Leave a full tape behind for the thread's end to destroy.
            y = x = Tensor(np.ones((2, 2), np.float32), requires_grad=True)
            for _ in range(STEPS * 5):
                y = y * 1.0 + 0.0
            y.backward()
            result["again"] = x.grad().tolist()

        threading.stack_size(256 * 1024)
        t = threading.Thread(target=chain)
        t.start()
        t.join()
        print(json.dumps(result))
        """
    )
    # Every step's `- x + x` cancels; the chain itself is the identity on a tensor of ones.
    assert json.loads(out) == {"chain": [[1.0, 1.0], [1.0, 1.0]], "again": [[1.0, 1.0], [1.0, 1.0]]}


def test_wide_fan_in_graph():
    """A million-node graph in which one leaf feeds every node: its gradient slot receives a
    million contributions within one pass."""
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 0.0
    for _ in range(500_000):
        y = y + x * 1.0
    y.backward()
    np.testing.assert_array_equal(x.grad(), [500_000.0, 500_000.0])
    Tensor.clear_graph()
    assert_still_working()


# --- callbacks into the library while it converts arguments ----------------------------------


class ClearingIndex:
    """An extent whose conversion empties the tape."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Tensor.clear_graph()
        return self.value


class RecordingNumber:
    """A number whose conversion records and differentiates a graph of its own."""

    def __float__(self):
        w = Tensor([3.0], requires_grad=True)
        (w * w).backward()
        return float(w.grad()[0])  # 6.0


class FailingNumber:
    def __float__(self):
        raise KeyError("no number here")


def test_conversion_that_clears_the_graph():
    x = Tensor([[1.0, 2.0]], requires_grad=True)
    # The extents are converted before the operation records: by then x's graph is gone.
    with pytest.raises(RuntimeError, match="graph is gone"):
        x.reshape([ClearingIndex(2), 1])
    y = Tensor([[1.0, 2.0]], requires_grad=True)
    z = y.reshape([2, 1]) * 2.0
    z.backward()
    np.testing.assert_array_equal(y.grad(), [[2.0, 2.0]])
    assert_still_working()


def test_conversion_that_records_its_own_graph():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * RecordingNumber()
    np.testing.assert_array_equal(y.to_numpy(), [6.0, 12.0])
    y.backward()
    np.testing.assert_array_equal(x.grad(), [6.0, 6.0])
    np.testing.assert_array_equal(x.__rgt__(RecordingNumber()).to_numpy(), [True, True])
    assert_still_working()


def test_conversion_that_raises():
    x = Tensor([1.0], requires_grad=True)
    with pytest.raises(TypeError):
        x + FailingNumber()  # the operator declines the operand
    with pytest.raises(KeyError):
        x.__req__(FailingNumber())  # an explicit method passes the conversion's own error on
    assert_still_working()


def test_array_conversion_that_uses_the_library():
    class Source:
        def __array__(self, dtype=None, copy=None):
            inner = Tensor([1.0, -1.0], requires_grad=True)
            relu(inner).backward()
            return np.asarray(inner.grad(), dtype=dtype)

    x = Tensor(Source(), requires_grad=True)
    np.testing.assert_array_equal(x.to_numpy(), [1.0, 0.0])
    (x * x).backward()
    np.testing.assert_array_equal(x.grad(), [2.0, 0.0])
    assert_still_working()
