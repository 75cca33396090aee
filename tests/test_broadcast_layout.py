"""Broadcasting (common shapes and messages) and the memory layout of results, as the strides
property shows it."""

import operator

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from norva_core import Tensor
from helpers import (
    ALL_DTYPES,
    ARITH_OPS,
    CMP_OPS,
    assert_tensor_equal,
    col_major_strides,
    layout_tensor,
    operand_pairs,
    row_major_strides,
    single_operands,
    two_operand_strides,
    widened,
)


def zeros(shape, dtype="f32"):
    """A tensor of any shape with every element zero (extents may be huge when one is 0)."""
    n = int(np.prod(shape, dtype=object))
    return Tensor(np.zeros(n, np.float32), dtype=dtype).reshape(list(shape))


# ---- common shapes ----

@pytest.mark.parametrize(
    "a,b,common",
    [
        ([], [2, 3], [2, 3]),
        ([2, 3], [], [2, 3]),
        ([3, 1], [1, 4], [3, 4]),
        ([5, 1, 3], [4, 1], [5, 4, 3]),
        ([0], [1], [0]),
        ([1], [0], [0]),
        ([0], [0], [0]),
        ([1, 0], [3, 1], [3, 0]),
        ([2, 3], [2, 3], [2, 3]),
        ([1, 1, 1], [], [1, 1, 1]),
        ([4, 1, 2], [3, 1], [4, 3, 2]),
    ],
)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_common_shape(a, b, common, dtype):
    x = (np.arange(int(np.prod(a))).reshape(a) % 2).astype(np.float32)
    y = (np.arange(int(np.prod(b))).reshape(b) % 3).astype(np.float32)
    ta, tb = Tensor(x, dtype=dtype), Tensor(y, dtype=dtype)
    r = ta == tb
    assert r.shape == common
    assert_tensor_equal(r, widened(operator.eq, ta.to_numpy(), tb.to_numpy(), dtype), "bool")
    if dtype == "bool":
        assert (ta ^ tb).shape == common
    else:
        assert (ta + tb).shape == common


@pytest.mark.parametrize(
    "a,b",
    [([2, 3], [3, 2]), ([0], [2]), ([2], [0]), ([2, 3], [4]), ([3], [2, 2]), ([2, 1, 3], [5, 4, 3]), ([1, 2], [0, 3])],
)
@pytest.mark.parametrize("op", [operator.add, operator.truediv, operator.lt, operator.ne])
def test_shapes_that_do_not_broadcast(a, b, op):
    with pytest.raises(RuntimeError) as e:
        op(zeros(a), zeros(b))
    fmt = lambda s: "[" + ", ".join(map(str, s)) + "]"  # noqa: E731
    assert str(e.value) == f"Shape mismatch: cannot broadcast {fmt(a)} and {fmt(b)}"


@pytest.mark.parametrize("op", [operator.and_, operator.or_, operator.xor])
def test_bool_shapes_that_do_not_broadcast(op):
    with pytest.raises(RuntimeError) as e:
        op(zeros([2], "bool"), zeros([3, 1, 4], "bool"))
    assert str(e.value) == "Shape mismatch: cannot broadcast [2] and [3, 1, 4]"


def test_broadcast_too_large_for_a_view():
    # Empty operands can have huge extents; their common shape can then exceed what a view can
    # address even though it holds no element.
    big = 2**40
    a, b = zeros([big, 0, 1]), zeros([1, 0, big])
    with pytest.raises(RuntimeError) as e:
        a + b
    assert str(e.value) == f"Broadcast failed for A: [{big}, 0, 1] -> [{big}, 0, {big}]"
    with pytest.raises(RuntimeError) as e:
        a < b
    assert str(e.value).startswith("Broadcast failed for A: ")
    ok = zeros([big, 0, 1]) + zeros([1, 0, 3])
    assert ok.shape == [big, 0, 3] and ok.strides == [0, 0, 0]


# ---- result layout ----

@given(st.data())
def test_two_operand_layout_rule(data):
    dtype, x, px, y, py = data.draw(operand_pairs(dtypes=ALL_DTYPES))
    a, b = layout_tensor(x, dtype, px), layout_tensor(y, dtype, py)
    expected = two_operand_strides(a, b)
    ops = [operator.eq, operator.lt, operator.ne]
    ops += [operator.and_, operator.xor] if dtype == "bool" else [operator.add, operator.truediv]
    for op in ops:
        r = op(a, b)
        assert r.strides == expected, (op, a.shape, a.strides, b.shape, b.strides)
        assert r.shape == list(np.broadcast_shapes(x.shape, y.shape))


@pytest.mark.parametrize(
    "pa,pb,expected",
    [
        ((1, 0), (1, 0), [1, 3]),  # two transposed operands: column-major
        ((1, 0), (0, 1), [2, 1]),  # transposed with row-major (tendencies -2 and +2): row-major
        ((0, 1), (1, 0), [2, 1]),
        ((0, 1), (0, 1), [2, 1]),
    ],
)
def test_two_dimensional_layouts(pa, pb, expected):
    x = np.arange(6, dtype=np.float32).reshape(3, 2)
    a, b = layout_tensor(x, "f32", pa), layout_tensor(x + 1, "f32", pb)
    for r in (a + b, a * b, a >= b):
        assert r.strides == expected
    assert_tensor_equal(a + b, x + (x + 1))


def test_transposed_operands_of_the_spec_shape():
    t = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]).transpose(0, 1)
    assert (t + t).strides == [1, 3]
    assert (t + Tensor(np.ones((3, 2), np.float32))).strides == [2, 1]
    assert (t + 1).strides == [1, 3]
    assert (t * 2 - 1).strides == [1, 3]
    assert (t < 2).strides == [1, 3]


@pytest.mark.parametrize(
    "shape_a,perm_a,shape_b,perm_b,expected_kind",
    [
        # Tendencies of the two views (at the common shape) in the comments.
        ((3, 4), (1, 0), (4,), None, "F"),  # column-major (-2), broadcast row (+1)
        ((3, 4), (1, 0), (3, 1), None, "F"),  # column-major (-2), broadcast column (-1)
        ((3, 4), None, (3, 1), None, "C"),  # row-major (+2), broadcast column (-1)
        ((2, 3, 4), (0, 2, 1), (2, 1, 1), None, "F"),  # neither (0), first stride 1 (-1)
        ((2, 3, 4), (0, 2, 1), (4,), None, "C"),  # neither (0), last stride 1 (+1)
        ((2, 3, 4), (0, 2, 1), (2, 3, 4), (0, 2, 1), "C"),  # 0 + 0
        ((2, 3, 4), (2, 1, 0), (2, 3, 4), (1, 2, 0), "F"),  # column-major (-2), first stride 1 (-1)
        ((2, 3, 4), (1, 2, 0), (2, 3, 4), None, "C"),  # first stride 1 (-1), row-major (+2)
        ((2, 3, 4), (1, 2, 0), (2, 3, 4), (2, 0, 1), "F"),  # first stride 1 (-1), neither (0)
        ((2, 3, 4), (1, 2, 0), (4,), None, "C"),  # first stride 1 (-1), last stride 1 (+1)
        ((2, 3, 4), (2, 1, 0), (2, 3, 4), (2, 1, 0), "F"),  # both column-major
        ((1, 5), (1, 0), (1, 5), None, "C"),  # one axis above 1: both orders at once
        ((5, 1), (1, 0), (5, 1), (1, 0), "C"),
        ((0, 3), (1, 0), (0, 3), (1, 0), "C"),  # no element: contiguous in both orders
    ],
)
def test_operand_tendencies_decide_the_layout(shape_a, perm_a, shape_b, perm_b, expected_kind):
    x = np.arange(int(np.prod(shape_a)), dtype=np.float32).reshape(shape_a)
    y = np.arange(int(np.prod(shape_b)), dtype=np.float32).reshape(shape_b)
    a, b = layout_tensor(x, "f32", perm_a), layout_tensor(y, "f32", perm_b)
    common = list(np.broadcast_shapes(shape_a, shape_b))
    want = row_major_strides(common) if expected_kind == "C" else col_major_strides(common)
    assert two_operand_strides(a, b) == want
    for r in (a + b, b * a, a < b, b != a):
        assert r.strides == want
    assert_tensor_equal(a + b, x + y)


@given(st.data())
def test_scalar_results_keep_operand_strides(data):
    dtype, x, perm = data.draw(single_operands(dtypes=ALL_DTYPES))
    a = layout_tensor(x, dtype, perm)
    if dtype == "bool":
        results = [~a]
    else:
        results = [a + 1, a - 0.5, a * 3, a / 7, a == 0, a > 1, a != 2]
    for r in results:
        assert r.shape == list(x.shape)
        assert r.strides == a.strides


@pytest.mark.parametrize("op", list(ARITH_OPS.values()) + list(CMP_OPS.values()))
def test_zero_extent_and_zero_dimensional_results(op):
    e = Tensor(np.zeros((0, 3), np.float32))
    r = op(e, Tensor(np.ones((1, 3), np.float32)))
    assert r.shape == [0, 3] and r.strides == [0, 0]
    assert r.to_numpy().shape == (0, 3)
    s = op(Tensor(2.0), Tensor(3.0))
    assert s.shape == [] and s.strides == []
    assert op(Tensor(2.0), 3.0).shape == []


def test_reshape_of_a_column_major_result_is_row_major():
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    a = layout_tensor(x, "f32", (1, 0))
    s = a + a
    assert s.strides == [1, 2]
    r = s.reshape([3, 2])
    assert r.strides == [2, 1]
    assert_tensor_equal(r, (x + x).reshape(3, 2))
