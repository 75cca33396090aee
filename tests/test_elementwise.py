"""Element-wise arithmetic, comparisons, operations with a number and logical operations, for all
four element types, against NumPy / ml_dtypes references computed the way 16-bit arithmetic is
defined (widen to binary32, operate once, round once)."""

import operator

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from norva_core import Tensor
from helpers import (
    ALL_DTYPES,
    ARITH_OPS,
    BF16,
    CMP_OPS,
    CMP_SYMBOL,
    FLOAT_DTYPES,
    MESSAGE_NAME,
    NP_DTYPE,
    assert_tensor_equal,
    bits,
    layout_tensor,
    operand_pairs,
    scalar_widened,
    single_operands,
    widened,
)

LOGIC_OPS = {"and": operator.and_, "or": operator.or_, "xor": operator.xor}
SCALAR_NUMBERS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-4, max_value=4),
    st.sampled_from([0.0, -0.0, 1.0, 0.1, 0.00390625, 1e-4, 65504.0, 65520.0, 70000.0, 3.4e38, 1e39]),
)


def tensors(draw_result, requires_grad=False):
    dtype, x, px, y, py = draw_result
    return dtype, x, y, layout_tensor(x, dtype, px, requires_grad), layout_tensor(y, dtype, py)


# ---- random shapes, layouts and values ----

@given(st.data())
def test_arithmetic_matches_reference(data):
    dtype, x, y, a, b = tensors(data.draw(operand_pairs()))
    for name, op in ARITH_OPS.items():
        assert_tensor_equal(op(a, b), widened(op, x, y, dtype))


@given(st.data())
def test_comparisons_match_reference(data):
    dtype, x, y, a, b = tensors(data.draw(operand_pairs(dtypes=ALL_DTYPES)))
    for name, op in CMP_OPS.items():
        assert_tensor_equal(op(a, b), widened(op, x, y, dtype), "bool")


@given(st.data())
def test_logical_operations_match_reference(data):
    _, x, y, a, b = tensors(data.draw(operand_pairs(dtypes=("bool",))))
    for name, op in LOGIC_OPS.items():
        assert_tensor_equal(op(a, b), op(x, y))
    assert_tensor_equal(~a, ~x)


@given(st.data())
def test_scalar_operations_match_reference(data):
    dtype, x, perm = data.draw(single_operands())
    number = data.draw(SCALAR_NUMBERS)
    a = layout_tensor(x, dtype, perm)
    for name in ("add", "sub", "mul"):
        r = ARITH_OPS[name](a, number)
        assert_tensor_equal(r, scalar_widened(ARITH_OPS[name], x, number, dtype))
        assert r.strides == a.strides
    for name, op in CMP_OPS.items():
        r = op(a, number)
        assert_tensor_equal(r, scalar_widened(op, x, number, dtype), "bool")
        assert r.strides == a.strides


# ---- long runs: the blocked 16-bit loops and the vector loops ----

@pytest.fixture(scope="module")
def long_operands():
    rng = np.random.default_rng(1234)
    out = {}
    for dtype in FLOAT_DTYPES:
        if dtype == "f32":
            x = rng.standard_normal((3, 1031)).astype(np.float32) * 100
            y = rng.standard_normal((1, 1031)).astype(np.float32)
        else:
            # Random encodings: every class of value, including subnormals, infinities and NaNs.
            x = rng.integers(0, 1 << 16, (3, 1031), dtype=np.uint16).view(NP_DTYPE[dtype])
            y = rng.integers(0, 1 << 16, (1, 1031), dtype=np.uint16).view(NP_DTYPE[dtype])
        out[dtype] = (x, y)
    return out


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("layout", ["row", "transposed", "broadcast", "scalar"])
def test_long_runs(long_operands, dtype, layout):
    x, y = long_operands[dtype]
    if layout == "row":
        a, b, yy = Tensor(x, dtype=dtype), Tensor(np.broadcast_to(y, x.shape), dtype=dtype), np.broadcast_to(y, x.shape)
    elif layout == "transposed":
        yy = np.broadcast_to(y, x.shape)
        a, b = layout_tensor(x, dtype, (1, 0)), layout_tensor(np.array(yy), dtype, (1, 0))
    elif layout == "broadcast":
        a, b, yy = layout_tensor(x, dtype, (1, 0)), Tensor(y, dtype=dtype), y
    else:
        a, b, yy = Tensor(x, dtype=dtype), Tensor(y[0, 7], dtype=dtype), y[0, 7]
    for name, op in ARITH_OPS.items():
        assert_tensor_equal(op(a, b), widened(op, x, yy, dtype))
    for name, op in CMP_OPS.items():
        assert_tensor_equal(op(a, b), widened(op, x, yy, dtype), "bool")


@pytest.mark.parametrize("dtype", ["f32", "f16", "bool"])
@pytest.mark.parametrize(
    "shape_a,perm_a,shape_b,perm_b",
    [
        ((130, 200), (1, 0), (130, 200), None),  # transposed with row-major: walked in tiles
        ((200, 130), None, (200, 130), (1, 0)),
        ((3, 150, 129), (0, 2, 1), (150, 129), None),
        ((257, 131), (1, 0), (131,), None),  # transposed with a broadcast row
        ((129, 300), (1, 0), (129, 1), None),
        ((2, 140, 3, 135), (3, 1, 2, 0), (2, 140, 3, 135), (0, 2, 1, 3)),
    ],
)
def test_large_mixed_layouts(dtype, shape_a, perm_a, shape_b, perm_b):
    rng = np.random.default_rng(7)
    x = (rng.standard_normal(shape_a) * 8).round().astype(NP_DTYPE[dtype])
    y = (rng.standard_normal(shape_b) * 8).round().astype(NP_DTYPE[dtype])
    a, b = layout_tensor(x, dtype, perm_a), layout_tensor(y, dtype, perm_b)
    if dtype == "bool":
        assert_tensor_equal(a ^ b, x ^ y)
        assert_tensor_equal(b & a, y & x)
    else:
        assert_tensor_equal(a - b, widened(operator.sub, x, y, dtype))
        assert_tensor_equal(b / a, widened(operator.truediv, y, x, dtype))
    assert_tensor_equal(a < b, widened(operator.lt, x, y, dtype), "bool")
    # Copies into row-major order walk the same way.
    assert_tensor_equal(a.reshape([x.size]), x.reshape(-1))
    assert_tensor_equal(a, x)


# ---- values the rounding rules decide ----

def f16(*v):
    return np.array(v, np.float16)


def bf16(*v):
    return np.array(v, dtype=BF16)


@pytest.mark.parametrize(
    "dtype,x,y,op,expected",
    [
        ("f32", [1, 2, 3], [[10], [20]], operator.add, [[11, 12, 13], [21, 22, 23]]),
        ("f32", [1, -1, 0], [0, 0, 0], operator.truediv, [np.inf, -np.inf, np.nan]),
        ("f16", [65504], [8], operator.add, [65504]),
        ("f16", [65504], [16], operator.add, [np.inf]),  # 65520 is half-way and rounds up
        ("f16", [65504], [15], operator.add, [65504]),
        ("f16", [-65504], [-16], operator.add, [-np.inf]),
        ("bf16", [1.0], [0.00390625], operator.add, [1.0]),  # tie to even
        ("bf16", [1.0], [0.01171875], operator.add, [1.015625]),
        ("bf16", [1.0078125], [0.00390625], operator.add, [1.015625]),  # tie to even, upwards
        ("f16", [1.0], [3.0], operator.truediv, [0.333251953125]),
        ("f16", [6e-8], [0.5], operator.mul, [0.0]),  # the smallest subnormal halved: tie to even zero
        ("f16", [1e-4], [1e-4], operator.mul, [0.0]),
        ("bf16", [3e38], [10.0], operator.mul, [np.inf]),
    ],
)
def test_rounding_cases(dtype, x, y, op, expected):
    a, b = Tensor(x, dtype=dtype), Tensor(y, dtype=dtype)
    with np.errstate(all="ignore"):
        assert_tensor_equal(op(a, b), np.array(expected, dtype=NP_DTYPE[dtype]))
        assert_tensor_equal(op(a, b), widened(op, a.to_numpy(), b.to_numpy(), dtype))


@pytest.mark.parametrize(
    "dtype,x,number,op,expected",
    [
        ("f16", [1.0], 0.0001, operator.add, [1.0]),
        ("f16", [1.0, -np.inf, 3.0], 70000, operator.add, [np.inf, np.nan, np.inf]),
        ("bf16", [1.0], 0.00390625, operator.add, [1.0]),
        ("f32", [5.0], 2, operator.sub, [3.0]),
        ("f16", [0.1], 0.1, operator.eq, [True]),  # the number is rounded to binary16 first
        ("bf16", [0.1], 0.1, operator.eq, [True]),
        ("f32", [1.0, np.nan, -1.0], float("nan"), operator.lt, [False, False, False]),
        ("f32", [-0.0], 0, operator.eq, [True]),
        ("f32", [-0.0], 0, operator.lt, [False]),
        ("f16", [2.0, -3.0], float("nan"), operator.mul, [np.nan, np.nan]),
    ],
)
def test_scalar_rounding_cases(dtype, x, number, op, expected):
    a = Tensor(x, dtype=dtype)
    r = op(a, number)
    out_dtype = "bool" if r.dtype == "bool" else dtype
    assert_tensor_equal(r, np.array(expected, dtype=NP_DTYPE[out_dtype]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_signed_zero_and_nan_comparisons(dtype):
    a = Tensor([np.nan, -0.0, -0.0, 0.0, -1.0, -2.0, np.inf, -np.inf], dtype=dtype)
    b = Tensor([np.nan, 0.0, -0.0, -0.0, -2.0, -1.0, np.inf, np.inf], dtype=dtype)
    assert_tensor_equal(a == b, np.array([False, True, True, True, False, False, True, False]))
    assert_tensor_equal(a < b, np.array([False, False, False, False, False, True, False, True]))
    assert_tensor_equal(a <= b, np.array([False, True, True, True, False, True, True, True]))
    assert_tensor_equal(a > b, np.array([False, False, False, False, True, False, False, False]))
    assert_tensor_equal(a >= b, np.array([False, True, True, True, True, False, True, False]))


def test_bool_comparisons_order_false_below_true():
    f = Tensor([False, False, True, True], dtype=bool)
    g = Tensor([False, True, False, True], dtype=bool)
    assert_tensor_equal(f < g, np.array([False, True, False, False]))
    assert_tensor_equal(f >= g, np.array([True, False, True, True]))
    assert_tensor_equal(f == g, np.array([True, False, False, True]))


@pytest.mark.parametrize(
    "dtype,encodings,quiet",
    [("f16", [0x7C01, 0xFC01, 0x7D55, 0x7E00], 0x0200), ("bf16", [0x7F81, 0xFF81, 0x7FAA, 0x7FC0], 0x0040)],
)
def test_nan_payload_is_kept_and_quieted(dtype, encodings, quiet):
    enc = np.array(encodings, np.uint16)
    a = Tensor(enc.view(NP_DTYPE[dtype]), dtype=dtype)
    for r in (a + 0.0, a * 1.0, a + a.zeros_like(), a * a.ones_like()):
        np.testing.assert_array_equal(bits(r.to_numpy()), enc | quiet)


# ---- element-type checks, messages and exception kinds ----

@pytest.mark.parametrize("op", sorted(ARITH_OPS))
@pytest.mark.parametrize("left", ALL_DTYPES)
@pytest.mark.parametrize("right", ALL_DTYPES)
def test_arithmetic_type_checks(op, left, right):
    # Shapes that would not broadcast either: the element types are checked first.
    a, b = Tensor([1, 2], dtype=left), Tensor([1, 2, 3], dtype=right)
    if left == right == "bool":
        with pytest.raises(TypeError) as e:
            ARITH_OPS[op](a, b)
        assert str(e.value) == (
            "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
        )
    elif left != right:
        with pytest.raises(ValueError) as e:
            ARITH_OPS[op](a, b)
        assert str(e.value) == (
            "Tensor DType mismatch during binary execution. "
            f"Cannot operate between {MESSAGE_NAME[left]} and {MESSAGE_NAME[right]}."
        )
    else:
        with pytest.raises(RuntimeError) as e:
            ARITH_OPS[op](a, b)
        assert str(e.value) == "Shape mismatch: cannot broadcast [2] and [3]"


@pytest.mark.parametrize("op", sorted(CMP_OPS))
@pytest.mark.parametrize("left", ALL_DTYPES)
@pytest.mark.parametrize("right", ALL_DTYPES)
def test_comparison_type_checks(op, left, right):
    a, b = Tensor([[1, 0, 1], [0, 0, 1]], dtype=left), Tensor([[1, 0], [1, 1], [0, 0]], dtype=right)
    with pytest.raises(RuntimeError) as e:
        CMP_OPS[op](a, b)
    if left != right:
        assert str(e.value) == f"Tensor device or dtype mismatch for element-wise {CMP_SYMBOL[op]} operation."
    else:
        assert str(e.value) == "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"


@pytest.mark.parametrize(
    "op,exc,message",
    [
        (operator.add, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
        (operator.sub, ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
        (operator.mul, ValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        (operator.truediv, ValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    ]
    + [(CMP_OPS[n], RuntimeError, f"Tensor device or dtype mismatch for scalar {CMP_SYMBOL[n]} operation.")
       for n in sorted(CMP_OPS)],
)
def test_bool_with_number(op, exc, message):
    b = Tensor([True, False], dtype=bool)
    with pytest.raises(exc) as e:
        op(b, 2.0)
    assert str(e.value) == message


@pytest.mark.parametrize("op", sorted(LOGIC_OPS))
def test_logical_checks(op):
    for left, right in [("f32", "bool"), ("bool", "bf16"), ("f16", "f16")]:
        with pytest.raises(RuntimeError) as e:
            LOGIC_OPS[op](Tensor([1, 0], dtype=left), Tensor([1, 0, 1], dtype=right))
        assert str(e.value) == "Logical operations are only supported for Bool data types."
    with pytest.raises(RuntimeError) as e:
        LOGIC_OPS[op](Tensor([True, False], dtype=bool), Tensor([True, False, True], dtype=bool))
    assert str(e.value) == "Shape mismatch: cannot broadcast [2] and [3]"


# ---- recording ----

@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_which_results_require_gradients(dtype):
    x = Tensor([1.0, 2.0], dtype=dtype, requires_grad=True)
    c = Tensor([3.0, 4.0], dtype=dtype)
    for r in (x + c, c - x, x * c, c / x, x + 1, x - 1, x * 2, x / 2, 2 / x, 1 + x, 3 * x):
        assert r.requires_grad is True
    for r in (c + c, c * 2, 2 / c, x == c, x < 1, x != c, x.zeros_like(), x.ones_like()):
        assert r.requires_grad is False
    m = Tensor([True, False], dtype=bool)
    assert (m & m).requires_grad is False and (~m).requires_grad is False


def test_operands_are_not_changed():
    x = np.array([[1.0, 2.0], [3.0, 4.0]], np.float32)
    a = layout_tensor(x, "f32", (1, 0))
    strides = a.strides
    for r in (a + a, a * 3, a == 1.0, a / a, a.reshape([4]), a.transpose(0, 1)):
        del r
    assert a.strides == strides
    assert_tensor_equal(a, x)
