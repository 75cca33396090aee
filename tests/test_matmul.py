"""Batched matrix product (the @ operator) and its gradient.

Oracles: NumPy in float64 with an error bound for binary32 accumulation; for 16-bit operands,
integer-valued inputs whose binary32 sums are exact, so the one rounding to the element type is
known exactly (NumPy / ml_dtypes casts of the exact sum); gradients against the NumPy formulas
dA = G·Bᵀ, dB = Aᵀ·G summed over broadcast batch axes, and against central differences.
"""

import re
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from helpers import MESSAGE_NAME, NP_DTYPE, assert_values_equal, layout_tensor, row_major_strides
from norva_core import Tensor

F32_EPS = 2.0**-24


@pytest.fixture(autouse=True)
def fresh_graph():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def assert_f32_product(got: np.ndarray, a: np.ndarray, b: np.ndarray) -> None:
    """got is A·B accumulated in binary32: each element within k units of binary32 rounding of
    the sum of |a||b| terms (zero when k = 0)."""
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    expected = np.matmul(a64, b64)
    assert got.dtype == np.float32
    assert got.shape == expected.shape
    k = a.shape[-1]
    bound = (k + 1) * F32_EPS * np.matmul(np.abs(a64), np.abs(b64))
    err = np.abs(got.astype(np.float64) - expected)
    assert np.all(err <= bound), f"max error {err.max()} (bound {bound[err > bound].min()})"


def rand(rng, shape):
    return rng.standard_normal(shape).astype(np.float32)


# ---- shapes, broadcasting, empty extents ----

SHAPES = [
    ((2, 3), (3, 4), (2, 4)),
    ((5, 2, 3), (3, 4), (5, 2, 4)),
    ((3, 4), (5, 4, 2), (5, 3, 2)),
    ((2, 1, 2, 3), (4, 3, 5), (2, 4, 2, 5)),
    ((1, 3), (3, 3), (1, 3)),
    ((6, 1, 7), (7, 1), (6, 1, 1)),
    ((2, 0), (0, 3), (2, 3)),
    ((0, 2, 3), (3, 4), (0, 2, 4)),
    ((3, 0, 5), (5, 2), (3, 0, 2)),
    ((4, 5), (5, 0), (4, 0)),
    # beyond the small-matrix kernel: GEMM calls, with and without a shared right factor
    ((3, 40, 50), (50, 60), (3, 40, 60)),
    ((3, 40, 50), (3, 50, 60), (3, 40, 60)),
    ((130, 70), (70, 90), (130, 90)),
]


@pytest.mark.parametrize("sa, sb, sc", SHAPES, ids=[f"{a}@{b}" for a, b, _ in SHAPES])
def test_shapes_and_values(sa, sb, sc):
    rng = np.random.default_rng(0)
    a, b = rand(rng, sa), rand(rng, sb)
    c = Tensor(a) @ Tensor(b)
    assert c.shape == list(sc)
    assert c.dtype == "f32"
    assert c.strides == row_major_strides(sc)
    assert_f32_product(c.to_numpy(), a, b)


def test_shared_right_factor_is_used_for_every_batch_element():
    rng = np.random.default_rng(1)
    a, b = rand(rng, (5, 2, 3)), rand(rng, (3, 4))
    c = (Tensor(a) @ Tensor(b)).to_numpy()
    for i in range(5):
        assert_values_equal(c[i], (Tensor(a[i]) @ Tensor(b)).to_numpy())


def test_empty_inner_extent_gives_positive_zeros():
    for sa, sb in [((2, 0), (0, 3)), ((4, 3, 0), (0, 40)), ((50, 0), (0, 60))]:
        c = (Tensor(np.ones(sa, np.float32)) @ Tensor(np.ones(sb, np.float32))).to_numpy()
        assert_values_equal(c, np.zeros(np.broadcast_shapes(sa[:-2], sb[:-2]) + (sa[-2], sb[-1]), np.float32))


MATMUL_SIDES = st.sampled_from([0, 1, 2, 3, 5, 8, 13, 16, 17, 24, 33, 64])


@st.composite
def matmul_operands(draw, max_dims=3):
    """(A, B): float32 arrays of shapes [.., m, k] and [.., k, n] whose batch prefixes broadcast,
    with extents on both sides of the small-matrix limit, and a memory order for each."""
    m, k, n = draw(MATMUL_SIDES), draw(MATMUL_SIDES), draw(MATMUL_SIDES)
    shapes = draw(
        hnp.mutually_broadcastable_shapes(
            signature="(m,k),(k,n)->(m,n)", min_dims=0, max_dims=max_dims, min_side=0, max_side=3
        )
    )
    sa = shapes.input_shapes[0][:-2] + (m, k)
    sb = shapes.input_shapes[1][:-2] + (k, n)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    pa = draw(st.permutations(range(len(sa))))
    pb = draw(st.permutations(range(len(sb))))
    return rand(rng, sa), tuple(pa), rand(rng, sb), tuple(pb)


@settings(max_examples=150)
@given(matmul_operands())
def test_any_layout_matches_numpy(operands):
    """Batch broadcasting, transposed and permuted layouts (matrices with no unit step included)
    against the float64 product."""
    a, pa, b, pb = operands
    c = layout_tensor(a, "f32", pa) @ layout_tensor(b, "f32", pb)
    expected_shape = np.broadcast_shapes(a.shape[:-2], b.shape[:-2]) + (a.shape[-2], b.shape[-1])
    assert c.shape == list(expected_shape)
    assert_f32_product(c.to_numpy(), a, b)


@pytest.mark.parametrize("m, k, n", [(8, 8, 8), (5, 7, 3), (20, 17, 30), (64, 48, 80)])
@pytest.mark.parametrize("which", ["A", "B", "both"])
def test_transposed_operand_matches_contiguous_copy(m, k, n, which):
    rng = np.random.default_rng(2)
    a, b = rand(rng, (4, m, k)), rand(rng, (4, k, n))
    ta = Tensor(np.ascontiguousarray(a.transpose(0, 2, 1))).transpose(1, 2) if which != "B" else Tensor(a)
    tb = Tensor(np.ascontiguousarray(b.transpose(0, 2, 1))).transpose(1, 2) if which != "A" else Tensor(b)
    assert ta.strides != row_major_strides(a.shape) or tb.strides != row_major_strides(b.shape)
    got = (ta @ tb).to_numpy()
    assert_f32_product(got, a, b)
    np.testing.assert_allclose(got, (Tensor(a) @ Tensor(b)).to_numpy(), rtol=1e-5, atol=1e-5)


def test_strided_batch_axes_are_not_merged_wrongly():
    """Batch axes stored out of order (the outer batch axis innermost in memory) and a shared
    right factor that is itself transposed."""
    rng = np.random.default_rng(3)
    a, b = rand(rng, (3, 4, 5, 6)), rand(rng, (6, 7))
    ta = layout_tensor(a, "f32", (1, 3, 2, 0))
    tb = layout_tensor(b, "f32", (1, 0))
    assert_f32_product((ta @ tb).to_numpy(), a, b)


def test_special_values_propagate():
    a = np.array([[1.0, np.inf], [np.nan, 2.0], [3.0, 4.0]], np.float32)
    b = np.array([[1.0, 0.0], [1.0, 1.0]], np.float32)
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    with np.errstate(invalid="ignore"):
        expected = np.matmul(a.astype(np.float64), b.astype(np.float64)).astype(np.float32)
    assert_values_equal(got, expected)


# ---- 16-bit operands ----

# Integer magnitudes whose binary32 products and sums are exact for k <= 64 while the results
# need rounding to the 16-bit type (and overflow float16 for the largest sums).
INT_RANGE = {"f16": 64, "bf16": 256}


@settings(max_examples=60)
@given(
    dtype=st.sampled_from(["f16", "bf16"]),
    m=MATMUL_SIDES,
    k=st.sampled_from([0, 1, 3, 8, 17, 40, 64]),
    n=MATMUL_SIDES,
    batch=st.sampled_from([(), (2,), (3, 1)]),
    seed=st.integers(0, 2**32 - 1),
    transpose_b=st.booleans(),
)
def test_16bit_product_is_rounded_once(dtype, m, k, n, batch, seed, transpose_b):
    rng = np.random.default_rng(seed)
    r = INT_RANGE[dtype]
    a = rng.integers(-r, r + 1, batch + (m, k)).astype(NP_DTYPE[dtype])
    b = rng.integers(-r, r + 1, (k, n)).astype(NP_DTYPE[dtype])
    tb = layout_tensor(b, dtype, (1, 0)) if transpose_b else Tensor(b, dtype=dtype)
    c = Tensor(a, dtype=dtype) @ tb
    assert c.dtype == dtype
    exact = np.matmul(a.astype(np.int64), b.astype(np.int64))  # below 2**24: exact in binary32
    with np.errstate(over="ignore"):
        expected = exact.astype(np.float32).astype(NP_DTYPE[dtype])
    assert_values_equal(c.to_numpy(), expected)


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_16bit_random_values_round_the_binary32_product(dtype):
    """General values: the result is the binary32 product of the widened inputs rounded once, so it
    is within half a unit of the 16-bit type of the float64 product plus the binary32 error."""
    rng = np.random.default_rng(4)
    a = rand(rng, (3, 20, 30)).astype(NP_DTYPE[dtype])
    b = rand(rng, (30, 25)).astype(NP_DTYPE[dtype])
    got = (Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)).to_numpy()
    assert got.dtype == NP_DTYPE[dtype]
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    exact = a64 @ b64
    f32_err = 31 * F32_EPS * (np.abs(a64) @ np.abs(b64))
    ulp = np.spacing(np.abs(exact).astype(NP_DTYPE[dtype])).astype(np.float64)
    assert np.all(np.abs(got.astype(np.float64) - exact) <= ulp / 2 + f32_err + 1e-30)


def test_float16_overflow_gives_infinity():
    a = np.full((1, 2), 60000.0, np.float16)
    b = np.full((2, 1), 1.0, np.float16)
    got = (Tensor(a, dtype="f16") @ Tensor(b, dtype="f16")).to_numpy()
    assert_values_equal(got, np.array([[np.inf]], np.float16))


# ---- failures ----

ERRORS = [
    # (shape A, shape B, dtype A, dtype B, exception, message)
    ((3,), (3, 4), "f32", "f32", RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
    ((), (3, 4), "f32", "f32", RuntimeError, "Matmul requires at least 2D tensors. A: 0D, B: 2D"),
    ((2, 3), (3,), "f16", "f16", RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
    ((2, 3), (4, 5), "f32", "f32", RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    ((2, 3), (0, 5), "bf16", "bf16", RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 0"),
    ((2, 2, 3), (3, 3, 4), "f32", "f32", RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
    ((2, 3, 2, 3), (5, 3, 2), "f16", "f16", RuntimeError, "Shape mismatch: cannot broadcast [2, 3] and [5]"),
    ((2, 3), (3, 4), "f32", "f16", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
    ((2, 3), (3, 4), "bf16", "f32", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between BF16 and F32."),
    ((2, 3), (3, 4), "bool", "f16", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between Bool and F16."),
    ((2, 3), (3, 4), "bool", "bool", TypeError,
     "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
    # element types are checked before the shapes
    ((3,), (5,), "bool", "bool", TypeError,
     "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
    ((3,), (5,), "f16", "bf16", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F16 and BF16."),
    # broadcast batch prefixes whose element count exceeds the machine word (zero-sized data)
    ((2**32, 1, 1, 0), (1, 2**32, 0, 4), "f32", "f32", RuntimeError,
     "Broadcast failed for A to [4294967296, 4294967296, 1, 0]"),
    ((2**31, 1, 1, 0), (1, 2**31, 0, 4), "f32", "f32", RuntimeError,
     "Broadcast failed for B to [2147483648, 2147483648, 0, 4]"),
]


@pytest.mark.parametrize("sa, sb, da, db, exc, message", ERRORS, ids=[e[-1][:40] + f"-{e[2]}" for e in ERRORS])
def test_errors(sa, sb, da, db, exc, message):
    a = Tensor(np.zeros(sa, NP_DTYPE[da]), dtype=da)
    b = Tensor(np.zeros(sb, NP_DTYPE[db]), dtype=db)
    with pytest.raises(exc, match=re.escape(message)) as info:
        a @ b
    assert str(info.value) == message
    assert type(info.value) is exc


def test_result_too_large_to_address_is_a_memory_error():
    """Operands and broadcast views fit, but the [2**30, 2**30, 4, 4] result does not."""
    a = Tensor(np.zeros((2**30, 1, 4, 0), np.float32))
    b = Tensor(np.zeros((1, 2**30, 0, 4), np.float32))
    with pytest.raises(MemoryError):
        a @ b


def test_message_names_follow_operand_order():
    a = Tensor(np.ones((2, 2), np.float32))
    b = Tensor(np.ones((2, 2), np.float16), dtype="f16")
    for x, y in [(a, b), (b, a)]:
        with pytest.raises(ValueError) as info:
            x @ y
        assert f"between {MESSAGE_NAME[x.dtype]} and {MESSAGE_NAME[y.dtype]}." in str(info.value)


# ---- gradients ----

def sum_to(g: np.ndarray, shape) -> np.ndarray:
    """Sums a gradient over the broadcast batch axes back to an operand's shape."""
    while g.ndim > len(shape):
        g = g.sum(axis=0)
    for i, e in enumerate(shape):
        if e == 1 and g.shape[i] != 1:
            g = g.sum(axis=i, keepdims=True)
    return g


def matmul_grads(a, b, weight):
    """Gradients of sum(weight * (a @ b)) with respect to a and b, in float64."""
    a64, b64, w = a.astype(np.float64), b.astype(np.float64), weight.astype(np.float64)
    ga = np.matmul(w, np.swapaxes(b64, -1, -2))
    gb = np.matmul(np.swapaxes(a64, -1, -2), w)
    return sum_to(ga, a.shape), sum_to(gb, b.shape)


def grad_bound(x, y, k):
    """An error bound for a binary32 product of x and y with inner extent k, with room for the
    binary32 sum over up to 27 broadcast batch elements afterwards."""
    return (k + 30) * 2 * F32_EPS * (np.abs(x) @ np.abs(y)) + 1e-6


@settings(max_examples=60)
@given(matmul_operands(max_dims=3))
def test_gradients_match_numpy_formulas(operands):
    """Gradients of sum(W * (A @ B)) for broadcast batches and any layout: each operand gets the
    gradient summed back to its own shape."""
    a, pa, b, pb = operands
    Tensor.clear_graph()
    ta = layout_tensor(a, "f32", pa, requires_grad=True)
    tb = layout_tensor(b, "f32", pb, requires_grad=True)
    c = ta @ tb
    rng = np.random.default_rng(5)
    w = rand(rng, tuple(c.shape))
    (c * Tensor(w)).backward()
    ea, eb = matmul_grads(a, b, w)
    ga, gb = ta.grad(), tb.grad()
    assert ga.shape == a.shape and gb.shape == b.shape
    assert ga.dtype == np.float32 and gb.dtype == np.float32
    wa = np.abs(w.astype(np.float64))
    ba = sum_to(grad_bound(wa, np.swapaxes(np.abs(b.astype(np.float64)), -1, -2), b.shape[-1]), a.shape)
    bb = sum_to(grad_bound(np.swapaxes(np.abs(a.astype(np.float64)), -1, -2), wa, a.shape[-2]), b.shape)
    assert np.all(np.abs(ga - ea) <= ba)
    assert np.all(np.abs(gb - eb) <= bb)


@pytest.mark.parametrize(
    "sa, sb",
    [((2, 3), (3, 4)), ((2, 3), (5, 3, 4)), ((5, 2, 3), (3, 4)), ((1, 3), (3, 3)), ((2, 1, 2, 3), (4, 3, 5))],
)
def test_gradients_match_finite_differences(sa, sb):
    """Central differences of the float64 loss sum(W * (A @ B)) in every input element."""
    rng = np.random.default_rng(6)
    a, b = rand(rng, sa), rand(rng, sb)
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    c = ta @ tb
    w = rand(rng, tuple(c.shape))
    (c * Tensor(w)).backward()
    w64 = w.astype(np.float64)

    def loss(x, y):
        return float(np.sum(w64 * np.matmul(x, y)))

    h = 1e-3
    for x, grad, other, left in [(a, ta.grad(), b, True), (b, tb.grad(), a, False)]:
        x64 = x.astype(np.float64)
        fd = np.zeros_like(x64)
        for idx in np.ndindex(x.shape):
            e = np.zeros_like(x64)
            e[idx] = h
            o = other.astype(np.float64)
            plus = loss(x64 + e, o) if left else loss(o, x64 + e)
            minus = loss(x64 - e, o) if left else loss(o, x64 - e)
            fd[idx] = (plus - minus) / (2 * h)
        np.testing.assert_allclose(grad, fd, rtol=1e-4, atol=1e-4)


def test_gradient_of_broadcast_row_added_to_matrix():
    """(1,3) @ (3,3) added to a (2,3) tensor: the product's gradient is summed over the rows."""
    rng = np.random.default_rng(7)
    x, w, y = rand(rng, (1, 3)), rand(rng, (3, 3)), rand(rng, (2, 3))
    tx, tw, ty = (Tensor(v, requires_grad=True) for v in (x, w, y))
    (tx @ tw + ty).backward()
    ones = np.ones((2, 3))
    np.testing.assert_allclose(tx.grad(), (ones @ w.T.astype(np.float64)).sum(axis=0, keepdims=True), rtol=1e-6)
    np.testing.assert_allclose(tw.grad(), np.broadcast_to(x.T, (3, 2)) @ ones, rtol=1e-6)
    assert_values_equal(ty.grad(), np.ones((2, 3), np.float32))


def test_gradient_through_transposed_factor():
    rng = np.random.default_rng(8)
    a, b = rand(rng, (4, 6)), rand(rng, (5, 6))
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    (ta @ tb.transpose(0, 1)).backward()
    np.testing.assert_allclose(ta.grad(), np.ones((4, 5)) @ b.astype(np.float64), rtol=1e-6)
    np.testing.assert_allclose(tb.grad(), (a.T.astype(np.float64) @ np.ones((4, 5))).T, rtol=1e-6)


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_16bit_gradients_are_rounded_once(dtype):
    """All-ones upstream gradient: dA[i, j] = sum of row j of B and dB[j, c] = sum of column j of
    A, each an exact binary32 sum rounded once to the element type."""
    rng = np.random.default_rng(9)
    r = INT_RANGE[dtype] * 16
    a = rng.integers(-r, r + 1, (3, 40)).astype(NP_DTYPE[dtype])
    b = rng.integers(-r, r + 1, (40, 50)).astype(NP_DTYPE[dtype])
    ta, tb = Tensor(a, dtype=dtype, requires_grad=True), Tensor(b, dtype=dtype, requires_grad=True)
    (ta @ tb).backward()
    ga = b.astype(np.int64).sum(axis=1)[None, :].repeat(3, axis=0)
    gb = a.astype(np.int64).sum(axis=0)[:, None].repeat(50, axis=1)
    with np.errstate(over="ignore"):
        assert_values_equal(ta.grad(), ga.astype(np.float32).astype(NP_DTYPE[dtype]))
        assert_values_equal(tb.grad(), gb.astype(np.float32).astype(NP_DTYPE[dtype]))


def test_products_on_several_threads_agree_with_one_thread():
    """GEMM-sized and small products from four threads at once (run side by side where the
    interpreter has no global lock) give the results of the same products on one thread."""
    rng = np.random.default_rng(10)
    pairs = [(rand(rng, (2, 96, 80)), rand(rng, (80, 72))) for _ in range(4)]
    pairs += [(rand(rng, (64, 8, 8)), rand(rng, (64, 8, 8))) for _ in range(4)]
    expected = [(Tensor(a) @ Tensor(b)).to_numpy() for a, b in pairs]
    results = [[] for _ in pairs]

    def work(i):
        a, b = Tensor(pairs[i][0]), Tensor(pairs[i][1])
        for _ in range(20):
            results[i].append((a @ b).to_numpy())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(pairs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for exp, got in zip(expected, results):
        assert len(got) == 20
        for g in got:
            assert_values_equal(g, exp)
