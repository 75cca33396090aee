"""backward(), grad() and clear_graph(): what a pass stores, replaces and leaves alone, and how
tensors of a cleared graph are treated."""

import ml_dtypes
import numpy as np
import pytest

import norva_core
from norva_core import Tensor

relu = norva_core.nn.functional.relu
STALE = r"graph is gone: it was recorded before Tensor\.clear_graph\(\) or on another thread"
NP = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def f32(values):
    return np.asarray(values, dtype=np.float32)


def assert_grad(t, expected, dtype=np.float32):
    g = t.grad()
    assert g is not None
    assert g.dtype == dtype
    np.testing.assert_array_equal(g, np.asarray(expected).astype(dtype))


# --- entry points ----------------------------------------------------------------------------


def test_scalar_product_example():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 3.0
    assert y.backward() is None
    assert_grad(x, [3, 3])
    assert_grad(y, [1, 1])


def test_backward_refused_without_grad():
    with pytest.raises(ValueError) as info:
        Tensor([1.0]).backward()
    assert str(info.value) == "backward() called on tensor that does not require grad"
    # A result of operations on constants does not require grad either.
    with pytest.raises(ValueError, match="does not require grad"):
        (Tensor([1.0]) * Tensor([2.0])).backward()


def test_grad_none_before_any_pass_and_for_constants():
    x = Tensor([1.0, 2.0], requires_grad=True)
    c = Tensor([4.0, 5.0])
    y = x * c
    assert x.grad() is None and y.grad() is None and c.grad() is None
    y.backward()
    assert_grad(x, [4, 5])
    assert_grad(y, [1, 1])
    # c took part through a fresh leaf of its own; c itself has no node, so no gradient.
    assert c.grad() is None


def test_grad_returns_independent_copies():
    x = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    (x * 2.0).backward()
    first = x.grad()
    first[...] = 99.0
    second = x.grad()
    np.testing.assert_array_equal(second, np.full((2, 2), 2.0, np.float32))
    assert second is not x.grad()
    assert not np.shares_memory(second, x.grad())


def test_non_scalar_root_differentiates_the_sum():
    x = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3), requires_grad=True)
    (x * 2.0).backward()
    assert_grad(x, np.full((2, 3), 2.0))
    w = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    y = w * w
    y.backward()
    assert_grad(y, np.ones((2, 2)))
    assert_grad(w, 2 * f32([[1, 2], [3, 4]]))


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("shape", [(), (3,), (2, 1, 3)])
def test_leaf_backward_gives_ones(dtype, shape):
    x = Tensor(np.full(shape, -2.5, np.float32), dtype=dtype, requires_grad=True)
    x.backward()
    assert_grad(x, np.ones(shape), NP[dtype])


def test_clear_graph_forms():
    assert Tensor.clear_graph() is None  # on an empty tape
    assert Tensor.clear_graph() is None
    x = Tensor([1.0], requires_grad=True)
    x.backward()
    assert x.clear_graph() is None  # through an instance
    assert x.grad() is None


# --- one pass, several passes ----------------------------------------------------------------


def test_intermediate_gradients_readable():
    x = Tensor([1.0, -2.0, 3.0], requires_grad=True)
    y = x * 2.0
    z = y + 1.0
    z.backward()
    assert_grad(x, [2, 2, 2])
    assert_grad(y, [1, 1, 1])
    assert_grad(z, [1, 1, 1])


def test_second_pass_replaces_not_sums():
    x = Tensor([1.0, 2.0], requires_grad=True)
    z = x * 2.0 + 1.0
    z.backward()
    z.backward()
    assert_grad(x, [2, 2])


def test_later_pass_replaces_reached_slots_and_keeps_the_others():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y1 = x * 2.0
    y2 = x * 3.0
    y1.backward()
    y2.backward()
    assert_grad(x, [3, 3])
    assert_grad(y1, [1, 1])  # not reached by the second pass: its first-pass seed stays
    assert_grad(y2, [1, 1])


def test_nodes_above_the_root_keep_their_slots():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 2.0
    z = y * 5.0
    z.backward()
    assert_grad(y, [5, 5])
    assert_grad(x, [10, 10])
    y.backward()
    assert_grad(y, [1, 1])
    assert_grad(x, [2, 2])
    assert_grad(z, [1, 1])  # recorded after the root of the second pass: untouched


@pytest.mark.parametrize(
    "build,expected",
    [
        (lambda x: x + x, lambda v: np.full_like(v, 2)),
        (lambda x: x - x, lambda v: np.zeros_like(v)),
        (lambda x: x * x, lambda v: 2 * v),
        (lambda x: (x * 2.0) * (x + 1.0), lambda v: 4 * v + 2),
        (lambda x: x / (x + 10.0), lambda v: 10 / (v + 10) ** 2),
    ],
    ids=["x+x", "x-x", "x*x", "product-of-two-paths", "quotient-of-two-paths"],
)
def test_contributions_to_one_id_add_up(build, expected):
    v = f32([0.5, -1.5, 3.0, 4.0])
    x = Tensor(v, requires_grad=True)
    build(x).backward()
    np.testing.assert_allclose(x.grad(), expected(v.astype(np.float64)), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_16bit_gradients_keep_their_type(dtype):
    d = NP[dtype]
    x = Tensor(f32([[1.0, -2.0, 3.0], [0.5, 4.0, -1.0]]), dtype=dtype, requires_grad=True)
    w = Tensor(f32([2.0, 3.0, 4.0]), dtype=dtype, requires_grad=True)
    y = relu((x * w + 1.0) / w - 0.5).transpose(0, 1).reshape([6]) / 2.0
    y.backward()
    for t, shape in [(x, (2, 3)), (w, (3,)), (y, (6,))]:
        g = t.grad()
        assert g.dtype == d and g.shape == shape


def test_failed_forward_leaves_no_result_and_graph_usable():
    x = Tensor(np.ones((2, 3), np.float32), requires_grad=True)
    with pytest.raises(RuntimeError, match="broadcast"):
        x + Tensor(np.ones(4, np.float32))
    with pytest.raises(ValueError):
        x.reshape([4])
    y = x * 3.0
    y.backward()
    assert_grad(x, np.full((2, 3), 3.0))


# --- stale tensors ---------------------------------------------------------------------------


def stale_pair():
    """(stale tensor with a node, fresh tensor that requires grad)"""
    old = Tensor([1.0, 2.0], requires_grad=True)
    (old * 2.0).backward()
    assert old.grad() is not None
    Tensor.clear_graph()
    return old, Tensor([3.0, 4.0], requires_grad=True)


def test_stale_grad_is_none():
    old, new = stale_pair()
    assert old.grad() is None
    # The new graph reuses the ids; the old tensor must not read the new graph's gradient.
    (new * 5.0).backward()
    assert old.grad() is None
    assert_grad(new, [5, 5])


def test_stale_backward_raises_and_changes_nothing():
    old, new = stale_pair()
    (new * 5.0).backward()
    with pytest.raises(RuntimeError, match=STALE):
        old.backward()
    assert_grad(new, [5, 5])


@pytest.mark.parametrize(
    "op",
    [
        lambda s, n: s + n,
        lambda s, n: n - s,
        lambda s, n: s * n,
        lambda s, n: n / s,
        lambda s, n: s @ n,
        lambda s, n: s + 1.0,
        lambda s, n: s - 1.0,
        lambda s, n: 2.0 * s,
        lambda s, n: s / 2.0,
        lambda s, n: 2.0 / s,
        lambda s, n: s * Tensor([1.0, 1.0]),
        lambda s, n: s.reshape([2, 1]),
        lambda s, n: s.transpose(0, 0),
        lambda s, n: relu(s),
    ],
    ids=["add", "sub", "mul", "div", "matmul", "sadd", "ssub", "rmul", "sdiv", "rdiv", "mul-const",
         "reshape", "transpose", "relu"],
)
def test_stale_operand_of_recorded_operation_raises(op):
    old, new = stale_pair()
    with pytest.raises(RuntimeError, match=STALE):
        op(old, new)
    # The refused operation left the new graph intact.
    y = new * 2.0
    y.backward()
    assert_grad(new, [2, 2])


def test_stale_tensor_in_non_recording_operations():
    old, new = stale_pair()
    np.testing.assert_array_equal((old == new).to_numpy(), [False, False])
    np.testing.assert_array_equal((old < 1.5).to_numpy(), [True, False])
    np.testing.assert_array_equal(old.zeros_like().to_numpy(), [0, 0])
    np.testing.assert_array_equal(old.ones_like().to_numpy(), [1, 1])
    np.testing.assert_array_equal(old.to_numpy(), [1, 2])
    assert old.requires_grad is True
    assert (old == new).requires_grad is False


def test_tensors_without_nodes_survive_clear_graph():
    c = Tensor([2.0, 3.0])
    x = Tensor([1.0, 1.0], requires_grad=True)
    d = x.zeros_like() + c  # a constant computed while a graph existed
    Tensor.clear_graph()
    y = Tensor([1.0, 5.0], requires_grad=True)
    (y * c * d).backward()
    assert_grad(y, [4, 9])


# --- exact gradient roundings ----------------------------------------------------------------


def rounded(x, dtype):
    with np.errstate(all="ignore"):
        return np.asarray(x, np.float32).astype(NP[dtype])


def wide(x):
    return np.asarray(x).astype(np.float32)


def div_reference(g, a, b, dtype):
    """L = g / b and R = ((-g) * a) / (b * b), every operation rounded to the element type."""
    with np.errstate(all="ignore"):
        left = rounded(wide(g) / wide(b), dtype)
        num = rounded(-wide(g) * wide(a), dtype)
        den = rounded(wide(b) * wide(b), dtype)
        right = rounded(wide(num) / wide(den), dtype)
    return left, right


def grads_of_division(a, b, cot, dtype):
    x = Tensor(a, dtype=dtype, requires_grad=True)
    w = Tensor(b, dtype=dtype, requires_grad=True)
    q = x / w
    (q * Tensor(cot, dtype=dtype)).backward()
    return q.grad(), x.grad(), w.grad()


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_division_gradient_roundings(dtype):
    rng = np.random.default_rng(11)
    n = 4000
    a = rng.uniform(-300, 300, n).astype(NP[dtype])
    b = (rng.choice([-1, 1], n) * np.exp(rng.uniform(-6, 6, n))).astype(NP[dtype])
    cot = rng.uniform(-50, 50, n).astype(NP[dtype])
    g, gx, gw = grads_of_division(a, b, cot, dtype)
    left, right = div_reference(g, a, b, dtype)
    np.testing.assert_array_equal(gx.view(np.uint8), left.view(np.uint8))
    np.testing.assert_array_equal(gw.view(np.uint8), right.view(np.uint8))


def test_float16_division_square_overflows():
    # b * b rounds to +inf in float16, so the right gradient is -0 (about -1.5e-5 in binary32).
    _, gx, gw = grads_of_division(f32([1.0]), f32([256.0]), f32([1.0]), "float16")
    assert gx[0] == np.float16(1 / 256)
    assert gw[0] == 0 and np.signbit(gw[0])


def test_division_by_zero_gradients():
    _, gx, gw = grads_of_division(f32([2.0, 0.0]), f32([0.0, 0.0]), f32([1.0, 1.0]), "float32")
    assert gx[0] == np.inf and gw[0] == -np.inf
    assert gx[1] == np.inf and np.isnan(gw[1])


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("divisor", [3.0, 4.0, 0.1, -7.0, 0.0])
def test_scalar_division_scales_by_binary32_reciprocal(dtype, divisor):
    v = f32([1.0, -2.5, 3.0, 1000.0])
    cot = f32([1.0, 3.0, -0.5, 7.0])
    x = Tensor(v, dtype=dtype, requires_grad=True)
    y = x / divisor
    (y * Tensor(cot, dtype=dtype)).backward()
    with np.errstate(divide="ignore"):
        r = np.float32(1) / np.float32(divisor)
    g = y.grad()
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(y.to_numpy(), rounded(wide(rounded(v, dtype)) * wide(rounded(r, dtype)), dtype))
        expected = rounded(wide(g) * wide(rounded(r, dtype)), dtype)
    np.testing.assert_array_equal(x.grad(), expected)
    if dtype == "float32" and divisor == 3.0:
        assert x.grad()[0] == np.float32(1) / np.float32(3)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_reversed_division_records_a_division(dtype):
    v = f32([1.0, 4.0, -3.0, 0.3])
    x = Tensor(v, dtype=dtype, requires_grad=True)
    y = 2.0 / x
    np.testing.assert_array_equal(y.to_numpy(), rounded(wide(rounded(2.0, dtype)) / wide(rounded(v, dtype)), dtype))
    cot = f32([1.0, -2.0, 0.5, 3.0])
    (y * Tensor(cot, dtype=dtype)).backward()
    a = np.full(4, 2.0, np.float32).astype(NP[dtype])
    _, right = div_reference(y.grad(), a, rounded(v, dtype), dtype)
    np.testing.assert_array_equal(x.grad(), right)


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_product_gradients_rounded_once(dtype):
    rng = np.random.default_rng(5)
    a = rng.uniform(-30, 30, 3000).astype(NP[dtype])
    b = rng.uniform(-30, 30, 3000).astype(NP[dtype])
    cot = rng.uniform(-30, 30, 3000).astype(NP[dtype])
    x = Tensor(a, dtype=dtype, requires_grad=True)
    w = Tensor(b, dtype=dtype, requires_grad=True)
    p = x * w
    (p * Tensor(cot, dtype=dtype)).backward()
    g = p.grad()
    np.testing.assert_array_equal(g, rounded(wide(cot), dtype))
    np.testing.assert_array_equal(x.grad(), rounded(wide(g) * wide(b), dtype))
    np.testing.assert_array_equal(w.grad(), rounded(wide(g) * wide(a), dtype))


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_scalar_and_difference_gradients(dtype):
    v = f32([1.0, -2.0, 0.75])
    cot = rounded(f32([3.0, -0.5, 2.25]), dtype)
    x = Tensor(v, dtype=dtype, requires_grad=True)
    w = Tensor(v, dtype=dtype, requires_grad=True)
    y = ((x + 7.0) - 1.0) * 3.0 - w
    (y * Tensor(cot, dtype=dtype)).backward()
    np.testing.assert_array_equal(x.grad(), rounded(wide(cot) * 3, dtype))
    np.testing.assert_array_equal(w.grad(), -cot)
