"""The operator protocol: number slots (forward and reflected halves), rich comparison and the
explicit reflected comparison methods."""

import operator
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from norva_core import Tensor
from helpers import (
    ARITH_OPS,
    CMP_OPS,
    CMP_SYMBOL,
    FLOAT_DTYPES,
    NP_DTYPE,
    assert_tensor_equal,
    element_arrays,
    f32,
    layout_tensor,
    scalar_in,
    scalar_widened,
    widened,
)
from hypothesis.extra import numpy as hnp

NOTE = "while processing '{}'"


@pytest.fixture
def t():
    return Tensor([[1.0, -2.0, 0.5], [4.0, 0.0, -0.0]])


def x_of(t):
    return t.to_numpy()


class Index:
    def __index__(self):
        return 3


class AsFloat:
    def __float__(self):
        return 0.25


# ---- numbers on either side ----

_FMAX = float(np.finfo(np.float32).max)
NUMBERS = [1, True, False, np.float32(1.5), np.float64(-2.25), np.int64(7), Index(), AsFloat(), Decimal("0.1"),
           Fraction(1, 3), np.array(2.5), 1e39, -1e39, 1e-50, 16777217, 2**128, float("inf"), float("nan"),
           # around the top of the binary32 range: half-way to 2**128 and above become infinity
           _FMAX + 2.0**103, -(_FMAX + 2.0**103), np.nextafter(_FMAX + 2.0**103, 0), _FMAX + 1.5 * 2.0**102,
           -(_FMAX + 2.0**102), 2**128 - 2**103, 2**128 - 2**103 - 1]


@pytest.mark.parametrize("number", NUMBERS, ids=repr)
@pytest.mark.parametrize("op", ["add", "sub", "mul"])
def test_tensor_with_number(t, op, number):
    # The number reaches the core as binary32 (1e39 becomes infinity, 16777217 becomes 2**24).
    r = ARITH_OPS[op](t, number)
    assert_tensor_equal(r, scalar_widened(ARITH_OPS[op], x_of(t), number, "f32"))


@pytest.mark.parametrize("number", NUMBERS, ids=repr)
def test_tensor_divided_by_number_multiplies_by_reciprocal(t, number):
    with np.errstate(all="ignore"):
        r = np.float32(1) / f32(number)
    assert_tensor_equal(t / number, scalar_widened(operator.mul, x_of(t), r, "f32"))


def test_reciprocal_differs_from_quotient():
    q = (Tensor(5.0) / 3).to_numpy()[()]
    assert q == np.float32(5) * (np.float32(1) / np.float32(3))
    assert float(q) == 1.6666667461395264
    with np.errstate(all="ignore"):
        assert_tensor_equal(Tensor([1.0, -1.0, 0.0]) / 0, np.array([np.inf, -np.inf, np.nan], np.float32))
        assert_tensor_equal(Tensor([1.0, -1.0]) / -0.0, np.array([-np.inf, np.inf], np.float32))


@pytest.mark.parametrize("number", [1, True, np.float32(1), 2.5, Index(), np.float64(-3.0)], ids=repr)
def test_reflected_add_and_mul_equal_forward(t, number):
    assert_tensor_equal(number + t, x_of(t + number))
    assert_tensor_equal(number * t, x_of(t * number))
    assert_tensor_equal(t.__radd__(number), x_of(t + number))
    assert_tensor_equal(t.__rmul__(number), x_of(t * number))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("number", [2.0, 1, -3.0, 0.1, 0.0, 1e39, float("nan")], ids=repr)
def test_reflected_division(dtype, number):
    x = np.array([[1, 4, -0.5], [0, -0.0, 3]], dtype=NP_DTYPE[dtype])
    tt = Tensor(x, dtype=dtype)
    filled = np.broadcast_to(scalar_in(number, dtype), x.shape)
    expected = widened(operator.truediv, filled, x, dtype)
    assert_tensor_equal(number / tt, expected)
    assert_tensor_equal(tt.__rtruediv__(number), expected)


def test_reflected_division_values_and_recording():
    np.testing.assert_array_equal((2.0 / Tensor([1.0, 4.0])).to_numpy(), [2.0, 0.5])
    x = Tensor([1.0, 4.0], requires_grad=True)
    y = 2.0 / x
    assert y.requires_grad
    y.backward()
    # d(2/x)/dx = -2/x**2: the division node has x as its right input.
    np.testing.assert_allclose(x.grad(), [-2.0, -0.125])


def test_reflected_division_of_a_bool_tensor_fails_like_bool_division():
    b = Tensor([True, False], dtype="bool")
    with pytest.raises(TypeError) as reflected:
        2.0 / b
    with pytest.raises(TypeError) as direct:
        b / b
    assert str(reflected.value) == str(direct.value)


def test_reflected_division_keeps_transposed_layout_rule():
    x = layout_tensor(np.arange(1.0, 7.0).reshape(2, 3), "f32", (1, 0))
    r = 1.0 / x
    np.testing.assert_array_equal(r.to_numpy(), np.float32(1.0) / np.arange(1.0, 7.0, dtype=np.float32).reshape(2, 3))


@pytest.mark.parametrize(
    "expr",
    [
        lambda t: 2.0 - t,
        lambda t: t - "a",
        lambda t: None + t,
        lambda t: t + None,
        lambda t: t * 1j,
        lambda t: t + 2**1024,  # too large for a 64-bit float
        lambda t: t @ 2,
        lambda t: 2 @ t,
        lambda t: t & True,
        lambda t: True | t,
        lambda t: t ^ 1,
        lambda t: t ** 2,
        lambda t: t // 2,
        lambda t: t % 2,
        lambda t: t << 1,
        lambda t: -t,
        lambda t: +t,
        lambda t: abs(t),
    ],
)
def test_unusable_operands_give_the_interpreters_type_error(t, expr):
    with pytest.raises(TypeError) as e:
        expr(t)
    assert "unsupported operand" in str(e.value) or "bad operand type" in str(e.value), str(e.value)


def test_forward_half_answers_not_implemented(t):
    assert t.__add__("a") is NotImplemented
    assert t.__sub__(None) is NotImplemented
    assert t.__rsub__(2.0) is NotImplemented
    assert t.__rmatmul__(2.0) is NotImplemented
    assert t.__and__(True) is NotImplemented
    assert t.__radd__("a") is NotImplemented
    assert t.__eq__("a") is NotImplemented
    assert t.__lt__(object()) is NotImplemented


def test_core_errors_come_from_the_forward_half():
    a = Tensor([1.0, 2.0])
    h = Tensor([1.0, 2.0], dtype="f16")
    with pytest.raises(ValueError) as e:
        a + h
    assert str(e.value) == "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."
    with pytest.raises(ValueError) as e:
        h * a
    assert str(e.value) == "Tensor DType mismatch during binary execution. Cannot operate between F16 and F32."
    with pytest.raises(ValueError):
        a.__truediv__(h)
    b = Tensor([True], dtype=bool)
    with pytest.raises(ValueError) as e:
        2.0 * b
    assert str(e.value) == "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."


def test_in_place_statements_bind_new_objects(t):
    before = x_of(t)
    a = t
    a += 1
    assert a is not t
    np.testing.assert_array_equal(x_of(t), before)
    np.testing.assert_array_equal(x_of(a), before + 1)
    a *= t
    a -= 2
    a /= 4
    np.testing.assert_array_equal(x_of(t), before)


# ---- hypothesis: numbers of every kind against the binary32 rule ----

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**130), 2**130),
    st.floats(min_value=-70000, max_value=70000),
)


@given(st.data())
def test_scalar_operators_follow_the_rounding_rule(data):
    dtype = data.draw(st.sampled_from(FLOAT_DTYPES))
    x = data.draw(element_arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)))
    number = data.draw(numbers)
    tt = Tensor(x, dtype=dtype)
    for name in ("add", "sub", "mul"):
        assert_tensor_equal(ARITH_OPS[name](tt, number), scalar_widened(ARITH_OPS[name], x, number, dtype))
    for name in ("eq", "ne", "lt", "le", "gt", "ge"):
        assert_tensor_equal(CMP_OPS[name](tt, number), scalar_widened(CMP_OPS[name], x, number, dtype), "bool")
    with np.errstate(all="ignore"):
        r = np.float32(1) / f32(number)
    assert_tensor_equal(tt / number, scalar_widened(operator.mul, x, r, dtype))


# ---- rich comparison ----

@pytest.mark.parametrize("name", sorted(CMP_OPS))
def test_comparisons_with_tensor_and_number(t, name):
    op = CMP_OPS[name]
    u = Tensor([[1.0, 2.0, 0.5], [np.nan, -0.0, 0.0]])
    assert_tensor_equal(op(t, u), widened(op, x_of(t), x_of(u), "f32"), "bool")
    assert_tensor_equal(op(t, 0.5), widened(op, x_of(t), np.float32(0.5), "f32"), "bool")


@pytest.mark.parametrize(
    "swapped,direct",
    [(lambda t: 2 < t, lambda t: t > 2), (lambda t: 2 <= t, lambda t: t >= 2), (lambda t: 2 == t, lambda t: t == 2),
     (lambda t: 2 > t, lambda t: t < 2), (lambda t: 2 >= t, lambda t: t <= 2), (lambda t: 2 != t, lambda t: t != 2)],
)
def test_number_on_the_left_is_swapped_by_the_interpreter(t, swapped, direct):
    assert_tensor_equal(swapped(t), x_of(direct(t)), "bool")


def test_comparisons_with_unusable_objects(t):
    assert (t == "a") is False
    assert (t == None) is False  # noqa: E711
    assert (t != "a") is True
    assert (t != None) is True  # noqa: E711
    for cmp in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            cmp(t, "a")


def test_not_equal_is_element_wise():
    a = Tensor([np.nan, 0.0, -0.0, 1.0, 2.0])
    b = Tensor([np.nan, -0.0, 0.0, 1.0, 3.0])
    assert_tensor_equal(a != b, np.array([True, False, False, False, True]))
    assert_tensor_equal(a != a, np.array([True, False, False, False, False]))
    assert_tensor_equal(a != 0.0, np.array([True, False, False, True, True]))
    assert_tensor_equal(a != float("nan"), np.ones(5, bool))
    p = Tensor([True, False], dtype=bool)
    q = Tensor([[True], [False]], dtype=bool)
    assert_tensor_equal(p != q, np.array([[False, True], [True, False]]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_not_equal_is_never_recorded(dtype):
    x = Tensor([1.0, 2.0], dtype=dtype, requires_grad=True)
    for r in (x != x, x != 1.0, x == x, x < 2.0, x.__rgt__(1.0)):
        assert r.requires_grad is False
        assert r.dtype == "bool"
        assert r.grad() is None


def test_not_equal_type_errors():
    a = Tensor([1.0])
    with pytest.raises(RuntimeError) as e:
        a != Tensor([1.0], dtype="bf16")
    assert str(e.value) == "Tensor device or dtype mismatch for element-wise != operation."
    with pytest.raises(RuntimeError) as e:
        Tensor([True], dtype=bool) != 1
    assert str(e.value) == "Tensor device or dtype mismatch for scalar != operation."
    with pytest.raises(RuntimeError) as e:
        Tensor([1.0, 2.0]) != Tensor([1.0, 2.0, 3.0])
    assert str(e.value) == "Shape mismatch: cannot broadcast [2] and [3]"


@pytest.mark.parametrize("name", sorted(CMP_OPS))
def test_comparison_type_errors(name):
    op = CMP_OPS[name]
    with pytest.raises(RuntimeError) as e:
        op(Tensor([1.0]), Tensor([True], dtype=bool))
    assert str(e.value) == f"Tensor device or dtype mismatch for element-wise {CMP_SYMBOL[name]} operation."
    with pytest.raises(RuntimeError) as e:
        op(Tensor([True], dtype=bool), 1.0)
    assert str(e.value) == f"Tensor device or dtype mismatch for scalar {CMP_SYMBOL[name]} operation."


# ---- __req__, __rgt__, __rlt__ ----

@pytest.mark.parametrize(
    "method,equivalent",
    [("__req__", operator.eq), ("__rgt__", operator.lt), ("__rlt__", operator.gt)],
)
@pytest.mark.parametrize("number", [2.0, 0.5, -0.0, 1, True, float("nan"), 1e39], ids=repr)
def test_explicit_reflected_comparisons(t, method, equivalent, number):
    expected = x_of(equivalent(t, number))
    assert_tensor_equal(getattr(t, method)(number), expected, "bool")
    assert_tensor_equal(getattr(t, method)(other=number), expected, "bool")


@pytest.mark.parametrize("method", ["__req__", "__rgt__", "__rlt__"])
def test_explicit_reflected_comparisons_refuse_non_numbers(t, method):
    for other in (t, "2", None, [1.0]):
        with pytest.raises(TypeError) as e:
            getattr(t, method)(other)
        assert e.value.__notes__ == [NOTE.format("other")]
    for args, kwargs in [((), {}), ((1.0, 2.0), {}), ((), {"value": 1.0})]:
        with pytest.raises(TypeError):
            getattr(t, method)(*args, **kwargs)


def test_explicit_reflected_comparison_on_bool_fails_in_core():
    with pytest.raises(RuntimeError) as e:
        Tensor([True], dtype=bool).__rgt__(1.0)
    assert str(e.value) == "Tensor device or dtype mismatch for scalar < operation."


# ---- logical operators ----

def test_logical_operators():
    a = Tensor([[True, False, True]], dtype=bool)
    b = Tensor([[True], [False]], dtype=bool)
    x, y = x_of(a), x_of(b)
    assert_tensor_equal(a & b, x & y)
    assert_tensor_equal(a | b, x | y)
    assert_tensor_equal(a ^ b, x ^ y)
    assert_tensor_equal(~a, ~x)
    assert_tensor_equal(a ^ a, np.zeros((1, 3), bool))


@pytest.mark.parametrize("op", [operator.and_, operator.or_, operator.xor])
def test_logical_operators_need_bool(op):
    for left, right in [("f32", "bool"), ("bool", "f16"), ("bf16", "bf16")]:
        with pytest.raises(RuntimeError) as e:
            op(Tensor([1.0], dtype=left), Tensor([1.0], dtype=right))
        assert str(e.value) == "Logical operations are only supported for Bool data types."


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_invert_needs_bool(dtype):
    with pytest.raises(RuntimeError) as e:
        ~Tensor([1.0], dtype=dtype)
    assert str(e.value) == "Logical NOT is only supported for Bool data type."


def test_invert_keeps_layout_and_never_records():
    x = np.array([[True, False, False], [True, True, False]])
    a = layout_tensor(x, "bool", (1, 0))
    r = ~a
    assert r.strides == a.strides
    assert_tensor_equal(r, ~x)
    assert r.requires_grad is False
