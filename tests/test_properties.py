"""Properties and the shape methods reshape, transpose, zeros_like and ones_like."""

import re

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from norva_core import Tensor
from helpers import (
    ALL_DTYPES,
    NP_DTYPE,
    assert_tensor_equal,
    bits,
    layout_tensor,
    row_major_strides,
    single_operands,
)

NOTE = "while processing '{}'"
RESHAPE_SHAPES = re.compile(r"^Error while reshape: .*incompatible shapes$")


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


@pytest.fixture
def t23():
    return Tensor([[1, 2, 3], [4, 5, 6]])


# ---- properties ----

def test_property_values(t23):
    assert t23.shape == [2, 3]
    assert t23.ndim == 2
    assert t23.strides == [3, 1]
    assert t23.dtype == "f32"
    assert t23.device == "cpu"
    assert t23.requires_grad is False
    assert type(t23.ndim) is int and type(t23.shape) is list and type(t23.strides) is list
    assert all(type(v) is int for v in t23.shape + t23.strides)


@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_dtype_property(dtype):
    assert Tensor([1], dtype=dtype).dtype == dtype


def test_long_names_report_short_names():
    assert Tensor([1.0], dtype="float32").dtype == "f32"
    assert Tensor([1.0], dtype="bfloat16").dtype == "bf16"
    assert Tensor([1.0], dtype="float16").dtype == "f16"


def test_shape_and_strides_are_fresh_lists(t23):
    s1, s2 = t23.shape, t23.shape
    assert s1 == s2 and s1 is not s2
    s1.append(7)
    s1[0] = 100
    st1 = t23.strides
    st1[0] = -1
    assert t23.shape == [2, 3] and t23.strides == [3, 1]


def test_requires_grad_property():
    assert Tensor([1.0], requires_grad=True).requires_grad is True
    assert (Tensor([1.0], requires_grad=True) * 2).requires_grad is True


# ---- reshape ----

class Seq:
    """A minimal sequence: __len__ and __getitem__ only."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "shape",
    [[3, 2], (6,), np.array([3, 2]), range(2, 4), [np.int64(2), np.uint8(3)], Seq(1, 6, 1),
     [Idx(2), Idx(3)], [True, 6], b"\x02\x03", [1, 1, 6, 1]],
    ids=repr,
)
def test_reshape_accepts_sequences_of_integers(t23, shape):
    expected = [int(e) for e in shape]
    r = t23.reshape(shape)
    assert r.shape == expected
    assert r.strides == row_major_strides(expected)
    np.testing.assert_array_equal(r.to_numpy(), t23.to_numpy().reshape(expected))


@pytest.mark.parametrize(
    "shape",
    ["23", "", {2, 3}, (i for i in (2, 3)), {2: 3}, 6, None, [2.0, 3.0], [2, "3"], [None], np.array([2.0, 3.0]),
     [[2, 3]], Seq(2, 3.0)],
    ids=lambda s: type(s).__name__ + ":" + repr(s)[:20],
)
def test_reshape_refuses_non_integer_sequences(t23, shape):
    with pytest.raises(TypeError) as e:
        t23.reshape(shape)
    assert notes(e) == [NOTE.format("shape")]


@pytest.mark.parametrize("shape", [[-1], [6, -1], [2**64], [2, 2**70], [Idx(-3)]], ids=repr)
def test_reshape_refuses_negative_and_huge_extents(t23, shape):
    with pytest.raises(OverflowError) as e:
        t23.reshape(shape)
    assert notes(e) == [NOTE.format("shape")]


def test_reshape_item_errors_keep_their_type(t23):
    class Bad:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError) as e:
        t23.reshape([Bad(), 3])
    assert notes(e) == [NOTE.format("shape")]


@pytest.mark.parametrize(
    "shape", [[4, 2], [7], [], [0], [6, 0], [2**40, 2**40], [2**62, 4], [2**32, 2**32, 3], [2**63, 2]], ids=repr
)
def test_reshape_element_count_error(t23, shape):
    with pytest.raises(ValueError) as e:
        t23.reshape(shape)
    assert RESHAPE_SHAPES.match(str(e.value)), str(e.value)
    assert notes(e) == []


def test_reshape_argument_binding(t23):
    assert t23.reshape(shape=[6]).shape == [6]
    for args, kwargs in [((), {}), (([6], [6]), {}), ((), {"dims": [6]}), (([6],), {"shape": [6]})]:
        with pytest.raises(TypeError):
            t23.reshape(*args, **kwargs)


def test_reshape_zero_dimensional_and_empty():
    s = Tensor(2.5)
    v = s.reshape([1])
    assert v.shape == [1] and v.strides == [1]
    back = v.reshape([1, 1, 1]).reshape([])
    assert back.shape == [] and back.strides == [] and back.to_numpy()[()] == 2.5
    e = Tensor(np.zeros((0, 3), np.float32))
    r = e.reshape([3, 0, 5])
    assert r.shape == [3, 0, 5] and r.strides == [0, 0, 0]
    assert e.reshape([0]).shape == [0]


@given(st.data())
def test_reshape_of_any_layout_copies_in_logical_order(data):
    dtype, x, perm = data.draw(single_operands(dtypes=ALL_DTYPES))
    t = layout_tensor(x, dtype, perm)
    target = data.draw(st.sampled_from(_factorizations(x.size)))
    r = t.reshape(target)
    assert r.strides == row_major_strides(target)
    assert_tensor_equal(r, x.reshape(target))
    # The operand is left as it was.
    assert_tensor_equal(t, x)


def _factorizations(n):
    out = [[n], [1, n, 1], [n, 1]]
    for a in range(2, n + 1):
        if n % a == 0:
            out.append([a, n // a])
    if n == 0:
        out += [[0, 7], [3, 0, 2]]
    return out


def test_reshape_of_transpose_is_row_major_copy(t23):
    tt = t23.transpose(0, 1)
    r = tt.reshape([6])
    np.testing.assert_array_equal(r.to_numpy(), [1, 4, 2, 5, 3, 6])
    assert r.strides == [1]
    # A transpose whose exchanged axis has extent 1 reshapes as well.
    np.testing.assert_array_equal(Tensor([[1, 2, 3]]).transpose(0, 1).reshape([3]).to_numpy(), [1, 2, 3])


def test_reshape_records_only_when_required():
    x = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    assert x.reshape([4]).requires_grad is True
    assert Tensor([1.0, 2.0]).reshape([2, 1]).requires_grad is False


# ---- transpose ----

def test_transpose_exchanges_shape_and_strides(t23):
    for a, b in [(0, 1), (1, 0)]:
        r = t23.transpose(a, b)
        assert r.shape == [3, 2] and r.strides == [1, 3]
        np.testing.assert_array_equal(r.to_numpy(), [[1, 4], [2, 5], [3, 6]])
    same = t23.transpose(1, 1)
    assert same.shape == [2, 3] and same.strides == [3, 1]
    np.testing.assert_array_equal(same.to_numpy(), t23.to_numpy())
    assert t23.transpose(dim1=0, dim0=1).strides == [1, 3]
    assert t23.transpose(np.int64(0), Idx(1)).shape == [3, 2]


@given(st.data())
def test_transpose_matches_swapaxes(data):
    dtype, x, perm = data.draw(single_operands(dtypes=ALL_DTYPES))
    if x.ndim == 0:
        return
    t = layout_tensor(x, dtype, perm)
    d0 = data.draw(st.integers(0, x.ndim - 1))
    d1 = data.draw(st.integers(0, x.ndim - 1))
    r = t.transpose(d0, d1)
    expected_strides = list(t.strides)
    expected_strides[d0], expected_strides[d1] = expected_strides[d1], expected_strides[d0]
    assert r.strides == expected_strides
    assert_tensor_equal(r, np.swapaxes(x, d0, d1))


@pytest.mark.parametrize("dims,bad", [((0, 2), 2), ((5, 0), 5), ((3, 7), 3)])
def test_transpose_axis_out_of_range(t23, dims, bad):
    with pytest.raises(IndexError) as e:
        t23.transpose(*dims)
    msg = str(e.value)
    assert re.search(rf"\b{bad}\b", msg) and re.search(r"\b2\b", msg), msg


def test_transpose_of_zero_dimensional_is_refused():
    with pytest.raises(IndexError) as e:
        Tensor(1.0).transpose(0, 0)
    assert re.search(r"\b0\b", str(e.value))


@pytest.mark.parametrize(
    "args,exc,name",
    [((-1, 0), OverflowError, "dim0"), ((0, -1), OverflowError, "dim1"), ((2**64, 0), OverflowError, "dim0"),
     ((0.0, 1), TypeError, "dim0"), ((0, "1"), TypeError, "dim1"), ((None, 1), TypeError, "dim0"),
     ((-1, "x"), OverflowError, "dim0")],
    ids=repr,
)
def test_transpose_argument_conversion(t23, args, exc, name):
    with pytest.raises(exc) as e:
        t23.transpose(*args)
    assert notes(e) == [NOTE.format(name)]


def test_transpose_argument_binding(t23):
    for args, kwargs in [((0,), {}), ((0, 1, 2), {}), ((0,), {"dim2": 1}), ((0, 1), {"dim0": 1})]:
        with pytest.raises(TypeError):
            t23.transpose(*args, **kwargs)


# ---- zeros_like, ones_like ----

ONE_BITS = {"f32": 0x3F800000, "f16": 0x3C00, "bf16": 0x3F80}


@pytest.mark.parametrize("dtype", ALL_DTYPES)
@pytest.mark.parametrize("shape,perm", [((2, 3), (1, 0)), ((), ()), ((0, 3), (1, 0)), ((2, 3, 4), (2, 0, 1))])
def test_zeros_and_ones_like(dtype, shape, perm):
    x = np.full(shape, 7, dtype=NP_DTYPE[dtype])
    t = layout_tensor(x, dtype, perm, requires_grad=dtype != "bool")
    for r, fill in ((t.zeros_like(), 0), (t.ones_like(), 1)):
        assert r.requires_grad is False
        assert r.grad() is None
        assert r.strides == row_major_strides(shape)  # row-major, whatever the operand's layout
        assert_tensor_equal(r, np.full(shape, fill, dtype=NP_DTYPE[dtype]))
        if dtype != "bool" and r.to_numpy().size:
            assert set(bits(r.to_numpy()).ravel().tolist()) == {ONE_BITS[dtype] if fill else 0}


def test_like_methods_take_no_arguments(t23):
    with pytest.raises(TypeError):
        t23.zeros_like(1)
    with pytest.raises(TypeError):
        t23.ones_like(shape=[2])
