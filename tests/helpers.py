"""Shared test oracles: NumPy / ml_dtypes references for norva results, builders for tensors with
chosen memory layouts, and hypothesis strategies for shapes and element data.

Typical use::

    from helpers import assert_tensor_equal, widened, layout_tensor, NP_DTYPE

    a = layout_tensor(x, "f16", perm=(1, 0))      # a tensor of x's values stored column-major
    assert_tensor_equal(a + b, widened(np.add, x, y, "f16"))
"""

from __future__ import annotations

import itertools
import operator
import os
import subprocess
import sys
import textwrap
import threading

import ml_dtypes
import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from norva_core import Tensor

# Element type names as the dtype property reports them, and their NumPy dtypes.
BF16 = np.dtype(ml_dtypes.bfloat16)
NP_DTYPE = {
    "f32": np.dtype(np.float32),
    "f16": np.dtype(np.float16),
    "bf16": BF16,
    "bool": np.dtype(np.bool_),
}
FLOAT_DTYPES = ("f32", "f16", "bf16")
ALL_DTYPES = FLOAT_DTYPES + ("bool",)
# The names element-type mismatch messages use.
MESSAGE_NAME = {"f32": "F32", "f16": "F16", "bf16": "BF16", "bool": "Bool"}
_UINT = {1: np.uint8, 2: np.uint16, 4: np.uint32}


def dtype_name(np_dtype) -> str:
    """The norva element type name of a NumPy dtype."""
    np_dtype = np.dtype(np_dtype)
    for name, d in NP_DTYPE.items():
        if d == np_dtype:
            return name
    raise KeyError(f"no norva element type for {np_dtype}")


def bits(a: np.ndarray) -> np.ndarray:
    """The encodings of the elements of a float array, as unsigned integers."""
    a = np.array(a, order="C")  # keeps 0-d arrays 0-d
    return a.view(_UINT[a.dtype.itemsize])


def assert_values_equal(got: np.ndarray, expected: np.ndarray) -> None:
    """Element-wise identity: equal encodings (so -0 differs from +0), except that any two NaNs
    match. Both arrays must have the same dtype and shape."""
    assert got.dtype == expected.dtype, (got.dtype, expected.dtype)
    assert got.shape == expected.shape, (got.shape, expected.shape)
    if got.dtype == np.bool_:
        bad = got != expected
    else:
        both_nan = np.isnan(got.astype(np.float32)) & np.isnan(expected.astype(np.float32))
        bad = (bits(got) != bits(expected)) & ~both_nan
    if bad.any():
        idx = tuple(int(i) for i in np.argwhere(bad)[0])
        raise AssertionError(
            f"{int(bad.sum())} of {bad.size} elements differ; first at {idx}: "
            f"got {got[idx]!r} expected {expected[idx]!r}\ngot={got!r}\nexpected={expected!r}"
        )


def assert_tensor_equal(result, expected, dtype: str | None = None) -> None:
    """Checks a norva result against a NumPy reference: it is a Tensor with the reference's shape
    and element type (`dtype`, or the reference's own dtype) and holds the same values."""
    assert type(result) is Tensor, type(result)
    expected = np.asarray(expected)
    name = dtype or dtype_name(expected.dtype)
    expected = expected.astype(NP_DTYPE[name])
    assert result.dtype == name, (result.dtype, name)
    assert result.shape == list(expected.shape), (result.shape, expected.shape)
    assert result.ndim == expected.ndim
    got = result.to_numpy()
    assert_values_equal(got, expected)


# ---- reference arithmetic ----

def widened(op, x, y, dtype: str) -> np.ndarray:
    """op on two arrays of one float element type the way 16-bit arithmetic is defined: both
    operands widened to binary32, one binary32 operation, one rounding back to the element type.
    For f32 this is plain binary32 arithmetic."""
    with np.errstate(all="ignore"):
        r = op(np.asarray(x).astype(np.float32), np.asarray(y).astype(np.float32))
        if r.dtype == np.bool_:
            return r
        return r.astype(NP_DTYPE[dtype])


def f32(number) -> np.float32:
    """A Python number as the binding hands it to the core: float conversion, then binary32."""
    with np.errstate(over="ignore"):
        return np.float32(float(number))


def scalar_in(number, dtype: str):
    """A Python number after both roundings: to binary32, then to the element type."""
    with np.errstate(over="ignore"):
        return np.asarray(f32(number)).astype(NP_DTYPE[dtype])


def scalar_widened(op, x, number, dtype: str) -> np.ndarray:
    """Reference for `tensor (op) number`: the number rounded to the element type first."""
    x = np.asarray(x)
    return widened(op, x, np.broadcast_to(scalar_in(number, dtype), x.shape), dtype)


ARITH_OPS = {"add": operator.add, "sub": operator.sub, "mul": operator.mul, "div": operator.truediv}
CMP_OPS = {
    "eq": operator.eq,
    "ne": operator.ne,
    "lt": operator.lt,
    "le": operator.le,
    "gt": operator.gt,
    "ge": operator.ge,
}
CMP_SYMBOL = {"eq": "==", "ne": "!=", "lt": "<", "le": "<=", "gt": ">", "ge": ">="}


# ---- layouts ----

def row_major_strides(shape) -> list[int]:
    """Row-major strides in elements; all zero when an extent is 0."""
    if 0 in shape:
        return [0] * len(shape)
    out, acc = [], 1
    for e in reversed(shape):
        out.append(acc)
        acc *= e
    return out[::-1]


def col_major_strides(shape) -> list[int]:
    if 0 in shape:
        return [0] * len(shape)
    out, acc = [], 1
    for e in shape:
        out.append(acc)
        acc *= e
    return out


def layout_tensor(values, dtype: str, perm=None, requires_grad: bool = False) -> Tensor:
    """A tensor holding `values` whose storage lays the axes out in memory in the order `perm`
    (outermost first; None: row-major). It is built from a row-major storage of the permuted
    array and a sequence of transposes that bring the axes back to their logical positions, so
    its strides are the row-major strides of the permuted shape, permuted back."""
    values = np.asarray(values)
    n = values.ndim
    perm = tuple(range(n)) if perm is None else tuple(perm)
    t = Tensor(np.array(values.transpose(perm), order="C"), dtype=dtype, requires_grad=requires_grad)
    current = list(perm)  # current[i]: the logical axis held at position i
    for i in range(n):
        j = current.index(i)
        if j != i:
            t = t.transpose(i, j)
            current[i], current[j] = current[j], current[i]
    return t


def broadcast_view_strides(shape, strides, target) -> list[int]:
    """An operand's strides viewed at the common shape: 0 on broadcast and missing axes."""
    lead = len(target) - len(shape)
    out = [0] * len(target)
    for i, (e, s) in enumerate(zip(shape, strides)):
        out[lead + i] = s if e == target[lead + i] else 0
    return out


def _contiguous(shape, strides, axes) -> bool:
    if 0 in shape:
        return True
    acc = 1
    for i in axes:
        if shape[i] == 1:
            continue
        if strides[i] != acc:
            return False
        acc *= shape[i]
    return True


def _classify(shape, strides):
    n = len(shape)
    big = sum(e > 1 for e in shape)
    row = _contiguous(shape, strides, reversed(range(n)))
    if row and big <= 1:
        return True, True, 0
    if row:
        return True, False, 2
    if n >= 2 and _contiguous(shape, strides, range(n)):
        return False, True, -2
    if n >= 2 and shape[0] > 1 and strides[0] == 1:
        return False, False, -1
    if n >= 2 and shape[-1] > 1 and strides[-1] == 1:
        return False, False, 1
    return False, False, 0


def two_operand_strides(a: Tensor, b: Tensor) -> list[int]:
    """The strides the layout rule gives the fresh result of an element-wise operation of a and b:
    row-major when both views are row-major, column-major when both are column-major, otherwise
    column-major exactly when the operands' tendencies sum to a negative number."""
    target = list(np.broadcast_shapes(tuple(a.shape), tuple(b.shape)))
    ra, ca, ta = _classify(target, broadcast_view_strides(a.shape, a.strides, target))
    rb, cb, tb = _classify(target, broadcast_view_strides(b.shape, b.strides, target))
    if ra and rb:
        row = True
    elif ca and cb:
        row = False
    else:
        row = ta + tb >= 0
    return row_major_strides(target) if row else col_major_strides(target)


# ---- hypothesis strategies ----

def element_arrays(dtype: str, shape) -> st.SearchStrategy:
    """Arrays of `shape` and the element type's NumPy dtype covering the whole value range: every
    16-bit encoding (subnormals, infinities, NaNs with payloads) is reachable, binary32 draws any
    float including specials, booleans both values."""
    if dtype == "bool":
        return hnp.arrays(np.bool_, shape)
    if dtype == "f32":
        return hnp.arrays(np.float32, shape, elements=st.floats(width=32))
    encodings = st.one_of(
        st.integers(0, 0xFFFF),
        # small values near 1, where the widen-operate-round sequence is easiest to get wrong
        st.sampled_from([0x3C00, 0x3C01, 0x3BFF, 0x3F80, 0x3F81, 0x3F7F, 0x0000, 0x8000, 0x0001, 0x8001]),
    )
    return hnp.arrays(np.uint16, shape, elements=encodings).map(lambda a: a.view(NP_DTYPE[dtype]))


def permutations_of(ndim: int) -> st.SearchStrategy:
    return st.permutations(range(ndim)).map(tuple)


@st.composite
def operand_pairs(draw, dtypes=FLOAT_DTYPES, max_dims=4, max_side=4):
    """(dtype, x, perm_x, y, perm_y): two arrays of one element type with mutually broadcastable
    shapes (0-d and zero extents included) and a memory order for each."""
    dtype = draw(st.sampled_from(dtypes))
    shapes = draw(
        hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=max_dims, min_side=0, max_side=max_side)
    )
    sx, sy = shapes.input_shapes
    x = draw(element_arrays(dtype, sx))
    y = draw(element_arrays(dtype, sy))
    return dtype, x, draw(permutations_of(len(sx))), y, draw(permutations_of(len(sy)))


@st.composite
def single_operands(draw, dtypes=FLOAT_DTYPES, max_dims=4, max_side=4):
    """(dtype, x, perm): one array with a memory order."""
    dtype = draw(st.sampled_from(dtypes))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=max_side))
    x = draw(element_arrays(dtype, shape))
    return dtype, x, draw(permutations_of(len(shape)))


def all_permutations(ndim: int):
    return list(itertools.permutations(range(ndim)))


# ---- running code elsewhere ----


def run_in_thread(fn, stack_size=None):
    """Runs fn in a new thread (with a fresh tape) and returns its result, re-raising what it
    raised in the calling thread."""
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the calling thread
            box["error"] = e

    old = threading.stack_size(stack_size) if stack_size else None
    try:
        t = threading.Thread(target=body)
        t.start()
    finally:
        if stack_size:
            threading.stack_size(old)
    t.join()
    if "error" in box:
        raise box["error"]
    return box["value"]


def run_python(code, timeout=900):
    """Runs code in a fresh interpreter with this one's module path (so that a crash is a test
    failure, not the end of the run) and returns its standard output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, (
        f"exit status {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc.stdout
