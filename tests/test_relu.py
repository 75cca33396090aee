"""The rectifier of nn.functional: forward values, its gradient and the submodule tree."""

import importlib

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import norva_core
from norva_core import Tensor

relu = norva_core.nn.functional.relu

BITS16 = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)
# (element type name, NumPy dtype) for the two 16-bit types.
HALF_TYPES = [("float16", np.dtype(np.float16)), ("bfloat16", np.dtype(ml_dtypes.bfloat16))]


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view(np.uint16 if a.dtype.itemsize == 2 else np.uint32)


def expected_relu(values):
    """x where x > +0 (same bits), +0 everywhere else, NaN included."""
    keep = values.astype(np.float32) > 0
    return np.where(keep, values, np.zeros((), values.dtype))


# --- forward ---------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_special_values(dtype):
    x = Tensor([-2.0, -0.0, 0.0, 3.5, np.inf, np.nan, -np.nan, -np.inf], dtype=dtype)
    out = relu(x).to_numpy()
    assert out.dtype == x.to_numpy().dtype
    np.testing.assert_array_equal(out.astype(np.float32), [0, 0, 0, 3.5, np.inf, 0, 0, 0])
    # Every zero is +0, never -0.
    assert not np.signbit(out.astype(np.float32)).any()


@pytest.mark.parametrize("name,dtype", HALF_TYPES)
def test_every_16bit_pattern(name, dtype):
    """The rule on the bit pattern: positive non-NaN patterns pass unchanged, all others give +0."""
    values = BITS16.view(dtype)
    out = relu(Tensor(values, dtype=name)).to_numpy()
    assert out.dtype == dtype
    np.testing.assert_array_equal(bits(out), bits(expected_relu(values)))


def test_float32_bit_patterns():
    rng = np.random.default_rng(7)
    raw = rng.integers(0, 1 << 32, size=200_000, dtype=np.uint64).astype(np.uint32)
    # Force the awkward corners in: zeros, infinities, NaNs of both signs, denormals.
    corners = np.array([0, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00000, 0x7F800001,
                        0x00000001, 0x80000001, 0x007FFFFF, 0x7F7FFFFF], dtype=np.uint32)
    values = np.concatenate([raw, corners]).view(np.float32)
    out = relu(Tensor(values)).to_numpy()
    np.testing.assert_array_equal(bits(out), bits(expected_relu(values)))


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_keeps_operand_layout(dtype):
    base = Tensor(np.arange(-6, 6, dtype=np.float32).reshape(3, 4), dtype=dtype)
    t = base.transpose(0, 1)
    out = relu(t)
    assert out.shape == [4, 3]
    assert out.dtype == t.dtype
    assert out.strides == t.strides
    np.testing.assert_array_equal(out.to_numpy().astype(np.float32),
                                  np.maximum(t.to_numpy().astype(np.float32), 0))


def test_result_records_only_when_input_requires_grad():
    c = relu(Tensor([-1.0, 0.0, 2.0]))
    assert c.requires_grad is False
    assert c.grad() is None
    np.testing.assert_array_equal(c.to_numpy(), np.array([0, 0, 2], np.float32))
    assert c.to_numpy().dtype == np.float32
    with pytest.raises(ValueError, match="does not require grad"):
        c.backward()
    x = Tensor([-1.0, 2.0], requires_grad=True)
    y = relu(x)
    assert y.requires_grad is True
    assert y.backward() is None
    np.testing.assert_array_equal(x.grad(), np.array([0, 1], np.float32))


def test_keyword_argument():
    t = Tensor([-1.0, 4.0])
    np.testing.assert_array_equal(relu(py_tensor=t).to_numpy(), relu(t).to_numpy())


@pytest.mark.parametrize("arg", [3.0, np.array([1.0]), [1.0, -1.0], None])
def test_refuses_non_tensors(arg):
    with pytest.raises(TypeError) as info:
        relu(arg)
    assert "while processing 'py_tensor'" in getattr(info.value, "__notes__", [])


@pytest.mark.parametrize("call", [lambda: relu(), lambda: relu(Tensor([1.0]), Tensor([1.0])),
                                  lambda: relu(tensor=Tensor([1.0]))])
def test_argument_count_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("requires_grad", [False, True])
def test_bool_refused(requires_grad):
    b = Tensor([True, False], dtype="bool", requires_grad=requires_grad)
    with pytest.raises(TypeError) as info:
        relu(b)
    assert str(info.value) == "Tensor Dtype not supported for this operation: relu"


def test_submodule_tree():
    nn = norva_core.nn
    assert nn.__name__ == "nn"
    assert nn.functional.__name__ == "functional"
    assert list(nn.__all__) == ["functional"]
    assert list(nn.functional.__all__) == ["relu"]
    assert nn.__doc__ is None and nn.functional.__doc__ is None
    assert relu.__text_signature__ == "(py_tensor)"
    with pytest.raises(ImportError):
        importlib.import_module("norva_core.nn")


# --- backward --------------------------------------------------------------------------------


def relu_grads(values, dtype, cotangent):
    """(gradient reaching the rectifier, gradient of its input) for relu(x) * cotangent."""
    x = Tensor(values, dtype=dtype, requires_grad=True)
    r = relu(x)
    (r * Tensor(cotangent, dtype=dtype)).backward()
    return r.grad(), x.grad()


def test_backward_example():
    g, gx = relu_grads(np.array([-1.0, 0.0, 2.0], np.float32), "float32",
                       np.array([5.0, 5.0, np.nan], np.float32))
    np.testing.assert_array_equal(g, [5, 5, np.nan])
    np.testing.assert_array_equal(gx, [0, 0, np.nan])
    assert not np.signbit(gx[:2]).any()


@pytest.mark.parametrize("name,dtype", HALF_TYPES)
def test_backward_every_16bit_input(name, dtype):
    """The mask reads the input's bit pattern; the gradient passes bit for bit where it is open."""
    rng = np.random.default_rng(3)
    values = BITS16.view(dtype)
    cot = rng.uniform(-4, 4, size=values.size).astype(dtype)
    cot[::97] = np.nan
    g, gx = relu_grads(values, name, cot)
    assert gx.dtype == dtype and g.dtype == dtype
    keep = values.astype(np.float32) > 0
    expected = np.where(keep, g, np.zeros((), dtype))
    np.testing.assert_array_equal(bits(gx), bits(expected))


def test_backward_float32_specials():
    values = np.array([-np.inf, -1.0, -0.0, 0.0, 1e-45, 2.0, np.inf, np.nan, -np.nan], np.float32)
    cot = np.array([7.0, 7.0, 7.0, 7.0, -3.0, np.nan, 2.5, 7.0, 7.0], np.float32)
    g, gx = relu_grads(values, "float32", cot)
    expected = np.where(values > 0, g, np.float32(0))
    np.testing.assert_array_equal(bits(gx), bits(expected))


@settings(max_examples=40, deadline=None)
@given(st.data())
def test_backward_broadcast_output(data):
    """relu(x) + z with z larger than x: x receives the masked gradient summed over z's extra axes."""
    Tensor.clear_graph()
    shape = data.draw(hnp.array_shapes(min_dims=1, max_dims=3, max_side=4), label="x shape")
    lead = data.draw(st.lists(st.integers(1, 3), max_size=2), label="leading axes")
    zshape = tuple(lead) + shape
    floats = st.floats(-4, 4, width=32)
    xv = data.draw(hnp.arrays(np.float32, shape, elements=floats, fill=st.nothing()), label="x")
    cv = data.draw(hnp.arrays(np.float32, zshape, elements=floats, fill=st.nothing()), label="cotangent")
    x = Tensor(xv, requires_grad=True)
    z = Tensor(np.ones(zshape, np.float32), requires_grad=True)
    ((relu(x) + z) * Tensor(cv)).backward()
    assert x.grad().shape == shape
    assert z.grad().shape == zshape
    summed = cv.reshape((-1,) + shape).astype(np.float64).sum(axis=0)
    np.testing.assert_allclose(x.grad(), np.where(xv > 0, summed, 0), rtol=1e-6, atol=1e-5)
    np.testing.assert_array_equal(z.grad(), cv)
