"""Gradients of whole graphs: random graphs of every differentiable operation checked against
central finite differences in float64 (and against PyTorch when it is installed), the reduction
of broadcast gradients to each operand's shape, and the matrix-product gradients."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import norva_core
from norva_core import Tensor

relu = norva_core.nn.functional.relu
NP = {"float32": np.dtype(np.float32), "float16": np.dtype(np.float16), "bfloat16": np.dtype(ml_dtypes.bfloat16)}


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


# --- random graphs ---------------------------------------------------------------------------
#
# A graph is a list of steps; each step is a leaf or one operation on earlier steps. The same
# list is evaluated by three back ends: norva (binary32, with its own gradients), NumPy in float64
# (the function the finite differences probe) and, when installed, PyTorch in float64.

BINARY = ("add", "sub", "mul", "div")
SCALAR = ("sadd", "radd", "ssub", "smul", "rmul", "sdiv", "rdiv")
UNARY = ("relu", "reshape", "transpose")
MAX_NUMEL = 96


@dataclass
class Step:
    kind: str
    args: tuple = ()
    param: object = None


@dataclass
class Graph:
    steps: list = field(default_factory=list)
    values: list = field(default_factory=list)  # float64 value of every step
    grad: list = field(default_factory=list)  # whether the step requires gradients

    def add(self, step, value, requires_grad):
        self.steps.append(step)
        self.values.append(value)
        self.grad.append(requires_grad)
        return len(self.steps) - 1

    def ancestors(self, out):
        seen = {out}
        for i in range(out, -1, -1):
            if i in seen:
                seen.update(self.steps[i].args)
        return seen


def apply(kind, xs, param, ops):
    """One step on values xs of a back end described by ops (matmul, relu, reshape, transpose)."""
    if kind == "add":
        return xs[0] + xs[1]
    if kind == "sub":
        return xs[0] - xs[1]
    if kind == "mul":
        return xs[0] * xs[1]
    if kind == "div":
        return xs[0] / xs[1]
    if kind == "matmul":
        return ops.matmul(xs[0], xs[1])
    a = xs[0] if xs else None
    if kind == "sadd":
        return a + param
    if kind == "radd":
        return param + a
    if kind == "ssub":
        return a - param
    if kind == "smul":
        return a * param
    if kind == "rmul":
        return param * a
    if kind == "sdiv":
        return a / param
    if kind == "rdiv":
        return param / a
    if kind == "relu":
        return ops.relu(a)
    if kind == "reshape":
        return ops.reshape(a, param)
    if kind == "transpose":
        return ops.transpose(a, *param)
    raise AssertionError(kind)


class NumpyOps:
    matmul = staticmethod(np.matmul)
    relu = staticmethod(lambda a: np.maximum(a, 0.0))
    reshape = staticmethod(lambda a, shape: np.reshape(a, shape))
    transpose = staticmethod(lambda a, d0, d1: np.swapaxes(a, d0, d1))


class NorvaOps:
    matmul = staticmethod(lambda a, b: a @ b)
    relu = staticmethod(relu)
    reshape = staticmethod(lambda a, shape: a.reshape(list(shape)))
    transpose = staticmethod(lambda a, d0, d1: a.transpose(d0, d1))


def evaluate_numpy(graph, override=None, start=0, values=None):
    """float64 values of every step; `override` replaces one step's value (its index and array)."""
    vals = list(values[:start]) if values is not None else []
    for i in range(start, len(graph.steps)):
        s = graph.steps[i]
        if override is not None and override[0] == i:
            vals.append(override[1])
        elif s.kind == "leaf":
            vals.append(s.param[0].astype(np.float64))
        else:
            vals.append(np.asarray(apply(s.kind, [vals[j] for j in s.args], s.param, NumpyOps), np.float64))
    return vals


def finite_difference(graph, node, out, cot):
    """d sum(value[out] * cot) / d value[node], by central differences in float64."""
    base = evaluate_numpy(graph)
    v = base[node]
    grad = np.zeros(v.shape)
    for idx in np.ndindex(*v.shape):
        h = 1e-6 * max(1.0, abs(float(v[idx])))
        fs = []
        for sign in (1, -1):
            w = v.copy()
            w[idx] += sign * h
            vals = evaluate_numpy(graph, (node, w), start=node, values=base)
            fs.append(float(np.sum(vals[out] * cot)))
        grad[idx] = (fs[0] - fs[1]) / (2 * h)
    return grad


def signed(lo, hi):
    return st.one_of(st.floats(lo, hi, width=32), st.floats(-hi, -lo, width=32))


def numel(shape):
    return math.prod(shape)


@st.composite
def partner_shapes(draw, shape):
    """A shape that broadcasts with `shape`: leading axes added or dropped, axes set to 1, and axes
    of extent 1 widened (so either side may be the broadcast one)."""
    drop = draw(st.integers(0, len(shape)))
    body = []
    for e in shape[drop:]:
        choices = [e, e, 1] + ([2, 3] if e == 1 else [])
        body.append(draw(st.sampled_from(choices)))
    lead = draw(st.lists(st.integers(1, 3), max_size=2 if drop == 0 else 0))
    return tuple(lead) + tuple(body)


@st.composite
def reshape_targets(draw, n):
    """A shape with n elements and at most four axes."""
    factors = []
    m, p = n, 2
    while m > 1:
        while m % p == 0:
            factors.append(p)
            m //= p
        p += 1
    factors = draw(st.permutations(factors))
    ndim = draw(st.integers(1, 4))
    shape = [1] * ndim
    for f in factors:
        shape[draw(st.integers(0, ndim - 1))] *= f
    return tuple(shape)


class Builder:
    def __init__(self, data, allow_matmul):
        self.data = data
        self.g = Graph()
        self.allow_matmul = allow_matmul

    def draw(self, strategy, label=None):
        return self.data.draw(strategy, label=label)

    def leaf(self, shape, requires_grad=None):
        if requires_grad is None:
            requires_grad = self.draw(st.booleans(), "requires_grad")
        values = self.draw(hnp.arrays(np.float32, shape, elements=signed(0.25, 2.0), fill=st.nothing()), "leaf")
        return self.g.add(Step("leaf", (), (values, requires_grad)), values.astype(np.float64), requires_grad)

    def op(self, kind, args, param, value):
        value = np.asarray(value, np.float64)
        return self.g.add(Step(kind, tuple(args), param), value, any(self.g.grad[j] for j in args))

    def partner(self, a, fits, self_ok):
        """An operand to combine with step a: a itself (only where that keeps a gradient: x - x
        and x / x would hide everything upstream behind a zero), an earlier step or a new leaf."""
        mode = self.draw(st.sampled_from(["new", "new", "pool", "self"]), "partner")
        if mode == "self" and self_ok and fits(self.g.values[a].shape):
            return a
        if mode == "pool":
            pool = [j for j in range(len(self.g.steps)) if fits(self.g.values[j].shape) and (self_ok or j != a)]
            if pool:
                return self.draw(st.sampled_from(pool), "pool operand")
        return None

    def step(self):
        g = self.g
        kinds = list(BINARY + SCALAR + UNARY * 3) + (["matmul"] * 4 if self.allow_matmul else [])
        kind = self.draw(st.sampled_from(kinds), "kind")
        # Mostly extend the newest step, so that the steps form deep chains rather than many
        # short branches that never reach the output.
        if self.draw(st.sampled_from([True, True, True, False]), "extend the newest step"):
            a = len(g.steps) - 1
        else:
            a = self.draw(st.integers(0, len(g.steps) - 1), "operand")
        # Axis operations and products want operands with at least two axes longer than 1.
        wide = [j for j in range(len(g.steps)) if sum(e > 1 for e in g.values[j].shape) >= 2]
        if kind in ("transpose", "matmul") and a not in wide and wide:
            a = self.draw(st.sampled_from(wide[::-1]), "wide operand")
        av = np.asarray(g.values[a])
        shape = av.shape
        if kind in BINARY:
            def fits(s):
                try:
                    return numel(np.broadcast_shapes(shape, s)) <= MAX_NUMEL
                except ValueError:
                    return False

            b = self.partner(a, fits, kind in ("add", "mul"))
            if b is None:
                s = self.draw(partner_shapes(shape), "partner shape")
                if not fits(s):
                    return
                b = self.leaf(s)
            args = [a, b] if self.draw(st.booleans(), "a on the left") else [b, a]
            if kind == "div" and np.min(np.abs(g.values[args[1]]), initial=np.inf) < 0.25:
                return
            value = apply(kind, [g.values[j] for j in args], None, NumpyOps)
        elif kind == "matmul":
            if av.ndim < 2:
                return
            left = self.draw(st.booleans(), "a on the left")
            m, k = shape[-2], shape[-1]
            # The partner's batch prefix broadcasts with a's, the matrix axes fit.
            batch = self.draw(partner_shapes(shape[:-2]), "partner batch") if av.ndim > 2 else \
                tuple(self.draw(st.lists(st.integers(1, 3), max_size=1), "partner batch"))
            n = self.draw(st.integers(1, 4), "n")
            pshape = batch + ((k, n) if left else (n, m))
            try:
                out_shape = np.broadcast_shapes(shape[:-2], batch) + ((m, n) if left else (n, k))
            except ValueError:
                return
            if numel(out_shape) > MAX_NUMEL or numel(pshape) > MAX_NUMEL:
                return
            b = self.leaf(pshape)
            args = [a, b] if left else [b, a]
            value = apply(kind, [g.values[j] for j in args], None, NumpyOps)
        elif kind in SCALAR:
            s = float(self.draw(signed(0.25, 4.0), "scalar"))
            if kind == "rdiv" and np.min(np.abs(av), initial=np.inf) < 0.25:
                return
            args, value = [a], apply(kind, [av], s, NumpyOps)
            kind_param = s
        elif kind == "relu":
            if np.min(np.abs(av), initial=np.inf) < 0.05:  # keep finite differences off the kink
                return
            args, value = [a], np.maximum(av, 0.0)
        elif kind == "reshape":
            target = self.draw(reshape_targets(av.size), "reshape to")
            args, value = [a], av.reshape(target)
            kind_param = target
        else:
            if av.ndim == 0:
                return
            if av.ndim == 1:
                dims = (0, 0)
            else:  # two different axes, mostly both longer than 1
                long_axes = [i for i, e in enumerate(shape) if e > 1]
                pool = long_axes if len(long_axes) >= 2 and self.draw(st.booleans(), "long axes") else \
                    list(range(av.ndim))
                d0 = self.draw(st.sampled_from(pool), "dim0")
                d1 = self.draw(st.sampled_from([i for i in pool if i != d0]), "dim1")
                dims = (d0, d1)
            args, value = [a], np.swapaxes(av, *dims)
            kind_param = dims
        if np.max(np.abs(value), initial=0.0) > 200:
            return
        param = kind_param if kind in SCALAR or kind in ("reshape", "transpose") else None
        self.op(kind, args, param, value)


def draw_graph(data, allow_matmul):
    b = Builder(data, allow_matmul)
    ndim = data.draw(st.sampled_from([2, 3, 1, 0]), label="first ndim")
    shape = tuple(data.draw(st.lists(st.integers(1, 4).map(lambda e: 5 - e), min_size=ndim, max_size=ndim),
                            label="first shape"))
    b.leaf(shape, requires_grad=True)
    for _ in range(data.draw(st.integers(2, 12), label="steps")):
        b.step()
    g = b.g
    out = max(i for i in range(len(g.steps)) if g.grad[i])
    cot = data.draw(hnp.arrays(np.float32, g.values[out].shape, elements=signed(0.25, 2.0),
                                   fill=st.nothing()), label="cotangent")
    return g, out, cot


def run_norva(graph, out, cot):
    """Builds the graph in norva, differentiates sum(value[out] * cot) and returns the tensors and
    the root."""
    ts = []
    for s in graph.steps:
        if s.kind == "leaf":
            ts.append(Tensor(s.param[0], requires_grad=s.param[1]))
        else:
            ts.append(apply(s.kind, [ts[j] for j in s.args], s.param, NorvaOps))
    root = ts[out] * Tensor(cot)
    root.backward()
    return ts, root


def check_graph(graph, out, cot, expected_grad):
    ts, root = run_norva(graph, out, cot)
    np.testing.assert_array_equal(root.grad(), np.ones(cot.shape, np.float32))
    reached = graph.ancestors(out)
    for i, t in enumerate(ts):
        assert t.requires_grad == graph.grad[i]
        np.testing.assert_allclose(t.to_numpy(), graph.values[i], rtol=1e-4, atol=1e-4)
        got = t.grad()
        if not graph.grad[i] or i not in reached:
            assert got is None, (i, graph.steps[i].kind)
            continue
        assert got is not None, (i, graph.steps[i].kind)
        assert got.dtype == np.float32
        assert got.shape == graph.values[i].shape, (i, graph.steps[i].kind)
        want = expected_grad(i)
        scale = max(1.0, float(np.max(np.abs(want), initial=0.0)))
        np.testing.assert_allclose(got, want, rtol=2e-3, atol=2e-3 * scale,
                                   err_msg=f"step {i} ({graph.steps[i].kind}) of {graph.steps}")


@pytest.mark.parametrize("allow_matmul", [False, True], ids=["element-wise", "with-matmul"])
@settings(max_examples=150)
@given(data=st.data())
def test_random_graphs_match_finite_differences(allow_matmul, data):
    Tensor.clear_graph()
    graph, out, cot = draw_graph(data, allow_matmul)
    check_graph(graph, out, cot, lambda i: finite_difference(graph, i, out, cot))


@pytest.mark.parametrize("allow_matmul", [False, True], ids=["element-wise", "with-matmul"])
@settings(max_examples=150)
@given(data=st.data())
def test_random_graphs_match_pytorch(allow_matmul, data):
    torch = pytest.importorskip("torch")
    Tensor.clear_graph()
    graph, out, cot = draw_graph(data, allow_matmul)

    class TorchOps:
        matmul = staticmethod(torch.matmul)
        relu = staticmethod(torch.relu)
        reshape = staticmethod(lambda a, shape: a.reshape(shape))
        transpose = staticmethod(lambda a, d0, d1: a.transpose(d0, d1))

    ts = []
    for s in graph.steps:
        if s.kind == "leaf":
            ts.append(torch.tensor(s.param[0], dtype=torch.float64, requires_grad=s.param[1]))
        else:
            ts.append(apply(s.kind, [ts[j] for j in s.args], s.param, TorchOps))
        if ts[-1].requires_grad and not ts[-1].is_leaf:
            ts[-1].retain_grad()
    (ts[out] * torch.tensor(cot, dtype=torch.float64)).sum().backward()
    check_graph(graph, out, cot, lambda i: ts[i].grad.numpy())


# --- gradients have their tensor's shape -----------------------------------------------------


def test_bias_gradient_summed_to_its_shape():
    x = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3), requires_grad=True)
    b = Tensor([1.0, 2.0, 3.0], requires_grad=True)
    cot = np.array([[1, 2, 3], [4, 5, 6]], np.float32)
    ((x + b) * Tensor(cot)).backward()
    np.testing.assert_array_equal(b.grad(), [5, 7, 9])
    np.testing.assert_array_equal(x.grad(), cot)


def test_rectified_input_added_to_a_larger_tensor():
    x = Tensor([-1.0, 2.0, 3.0], requires_grad=True)
    z = Tensor(np.zeros((2, 3), np.float32), requires_grad=True)
    cot = np.array([[1, 2, 3], [4, 5, 6]], np.float32)
    ((relu(x) + z) * Tensor(cot)).backward()
    np.testing.assert_array_equal(x.grad(), [0, 7, 9])
    np.testing.assert_array_equal(z.grad(), cot)


def test_reshaped_column_added_to_a_matrix():
    x = Tensor([1.0, 2.0, 3.0], requires_grad=True)
    z = Tensor(np.ones((3, 4), np.float32))
    cot = np.arange(12, dtype=np.float32).reshape(3, 4)
    ((x.reshape([3, 1]) + z) * Tensor(cot)).backward()
    np.testing.assert_array_equal(x.grad(), cot.sum(axis=1))


def test_transpose_of_a_reshape():
    v = np.arange(6, dtype=np.float32).reshape(2, 3)
    x = Tensor(v, requires_grad=True)
    y = x.reshape([3, 2]).transpose(0, 1)
    np.testing.assert_array_equal(y.to_numpy(), v.reshape(3, 2).T)
    cot = np.array([[1, 2, 3], [4, 5, 6]], np.float32)
    (y * Tensor(cot)).backward()
    # The gradient reaching the reshape is the transposed (not row-major) cotangent.
    np.testing.assert_array_equal(x.grad(), cot.T.reshape(2, 3))
    # And a reshape of a transposed result, differentiated again through a second reshape.
    w = Tensor(v, requires_grad=True)
    z = w.transpose(0, 1).reshape([2, 3]).transpose(0, 1).reshape([6])
    (z * Tensor(np.arange(6, dtype=np.float32))).backward()
    expected = np.arange(6, dtype=np.float32).reshape(3, 2).T.reshape(3, 2).T
    np.testing.assert_array_equal(w.grad(), expected)


@pytest.mark.parametrize(
    "sx,sy",
    [((2, 1), (1, 3)), ((3,), (2, 3)), ((1, 1), (4,)), ((), (2, 2)), ((2, 1, 3), (4, 1)), ((1,), (0,)),
     ((0, 3), (3,))],
)
@pytest.mark.parametrize("kind", ["add", "sub", "mul", "div"])
def test_both_operands_reduced(kind, sx, sy):
    rng = np.random.default_rng(2)
    a = rng.uniform(0.5, 2, sx).astype(np.float32)
    b = rng.uniform(0.5, 2, sy).astype(np.float32)
    shape = np.broadcast_shapes(sx, sy)
    cot = rng.uniform(-2, 2, shape).astype(np.float32)
    x = Tensor(a, requires_grad=True)
    y = Tensor(b, requires_grad=True)
    (apply(kind, [x, y], None, NorvaOps) * Tensor(cot)).backward()
    a64, b64, c64 = (v.astype(np.float64) for v in (a, b, cot))
    full_a = {"add": c64, "sub": c64, "mul": c64 * b64, "div": c64 / b64}[kind]
    full_b = {"add": c64, "sub": -c64, "mul": c64 * a64, "div": -c64 * a64 / (b64 * b64)}[kind]

    def reduce(full, target):
        full = np.broadcast_to(full, shape)
        lead = len(shape) - len(target)
        full = full.sum(axis=tuple(range(lead)))
        axes = tuple(i for i, e in enumerate(target) if e == 1 and full.shape[i] != 1)
        return full.sum(axis=axes, keepdims=True).reshape(target)

    assert x.grad().shape == sx and y.grad().shape == sy
    np.testing.assert_allclose(x.grad(), reduce(full_a, sx), rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(y.grad(), reduce(full_b, sy), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("name", ["float16", "bfloat16"])
def test_16bit_reduction_rounds_once(name):
    """Summing a broadcast gradient accumulates in binary32 and rounds once: adding the ones one by
    one in the 16-bit type would lose every one of them."""
    d = NP[name]
    top = 2048.0 if name == "float16" else 256.0
    cot = np.array([top, 1, 1, 1, 1], np.float32).astype(d)
    b = Tensor([0.0], dtype=name, requires_grad=True)
    z = Tensor(np.zeros(5, np.float32), dtype=name)
    ((b + z) * Tensor(cot, dtype=name)).backward()
    g = b.grad()
    assert g.dtype == d
    assert g[0] == top + 4


@pytest.mark.parametrize("name", ["float16", "bfloat16"])
def test_16bit_reduction_matches_binary32_sum(name):
    d = NP[name]
    rng = np.random.default_rng(9)
    # Multiples of 1/64 below 2^8: every binary32 partial sum is exact, so the order of the
    # additions cannot matter and the single rounding at the end decides the result.
    cot = (rng.integers(-2**14, 2**14, (6, 7, 5)) / 64).astype(np.float32).astype(d)
    b = Tensor(np.zeros((7, 1), np.float32), dtype=name, requires_grad=True)
    z = Tensor(np.zeros((6, 7, 5), np.float32), dtype=name, requires_grad=True)
    ((b + z) * Tensor(cot, dtype=name)).backward()
    expected = cot.astype(np.float32).sum(axis=(0, 2)).reshape(7, 1).astype(d)
    np.testing.assert_array_equal(b.grad(), expected)
    np.testing.assert_array_equal(z.grad(), cot)


@settings(max_examples=60)
@given(data=st.data())
def test_reduction_of_long_and_transposed_gradients(data):
    """Reductions of gradients in any memory order (a transpose hands its input a transposed
    gradient) and of runs longer than the 16-bit widening blocks, compared exactly: the values are
    multiples of 1/64 whose binary32 sums are exact, so only the final rounding matters."""
    Tensor.clear_graph()
    name = data.draw(st.sampled_from(["float32", "float16", "bfloat16"]), label="dtype")
    ndim = data.draw(st.integers(2, 3), label="ndim")
    shape = [data.draw(st.sampled_from([1, 2, 3, 5]), label="extent") for _ in range(ndim)]
    shape[data.draw(st.integers(0, ndim - 1), label="long axis")] = data.draw(st.integers(500, 1100), label="long")
    shape = tuple(shape)
    bshape = data.draw(partner_shapes(shape).filter(lambda s: np.broadcast_shapes(s, shape) == shape),
                       label="reduced shape")
    d0, d1 = data.draw(st.permutations(range(ndim)), label="axes")[:2]
    limit = 2**11 if name != "bfloat16" else 2**8
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    cot = (rng.integers(-limit + 1, limit, np.swapaxes(np.empty(shape), d0, d1).shape) / 64).astype(np.float32)
    b = Tensor(np.zeros(bshape, np.float32), dtype=name, requires_grad=True)
    z = Tensor(np.zeros(shape, np.float32), dtype=name)
    left = data.draw(st.booleans(), label="b on the left")
    s = b + z if left else z - b
    (s.transpose(d0, d1) * Tensor(cot, dtype=name)).backward()
    full = np.swapaxes(cot, d0, d1).astype(np.float64) * (1 if left else -1)
    lead = len(shape) - len(bshape)
    summed = full.sum(axis=tuple(range(lead)))
    summed = summed.sum(axis=tuple(i for i, e in enumerate(bshape) if e == 1), keepdims=True)
    expected = summed.astype(np.float32).astype(NP[name])
    got = b.grad()
    assert got.dtype == NP[name] and got.shape == bshape
    np.testing.assert_array_equal(got, expected.reshape(bshape))


# --- matrix products -------------------------------------------------------------------------


def eighths(rng, shape):
    """Values that are multiples of 1/8 in [-4, 4]: their products and sums of a few of them are
    exact in binary32, whatever the order of the additions."""
    return (rng.integers(-32, 33, shape) / 8).astype(np.float32)


def matmul_grads(a, b, cot, dtype="float32", perm_a=None, perm_b=None):
    def make(v, perm):
        if perm is None:
            return Tensor(v, dtype=dtype, requires_grad=True)
        # Stored transposed: the last two axes swapped in memory.
        return Tensor(np.ascontiguousarray(np.swapaxes(v, -1, -2)), dtype=dtype,
                      requires_grad=True).transpose(v.ndim - 2, v.ndim - 1)

    x = make(a, perm_a)
    w = make(b, perm_b)
    p = x @ w
    (p * Tensor(cot, dtype=dtype)).backward()
    return x, w, p


def reference_matmul_grads(a, b, g, dtype):
    """Per batch element: g @ b^T and a^T @ g in binary32, rounded once to the element type; then
    summed in binary32 over the batch axes each factor lacked or broadcast, rounded once more."""
    d = NP[dtype]
    a32, b32, g32 = (np.asarray(v).astype(np.float32) for v in (a, b, g))
    ga = (g32 @ np.swapaxes(b32, -1, -2)).astype(d)
    gb = (np.swapaxes(a32, -1, -2) @ g32).astype(d)

    def reduce(full, shape):
        full = full.astype(np.float32)
        lead = full.ndim - len(shape)
        full = full.sum(axis=tuple(range(lead)))
        axes = tuple(i for i, e in enumerate(shape) if e == 1 and full.shape[i] != 1)
        return full.sum(axis=axes, keepdims=True).reshape(shape).astype(d)

    return reduce(ga, a.shape), reduce(gb, b.shape)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize(
    "sa,sb",
    [((2, 3), (3, 4)), ((5, 2, 3), (3, 4)), ((2, 3), (5, 3, 4)), ((1, 2, 3), (4, 3, 5)),
     ((2, 1, 2, 3), (4, 3, 5)), ((3, 1, 4, 2), (1, 5, 2, 3)), ((2, 0), (0, 3)), ((0, 2, 3), (3, 4))],
)
def test_matmul_gradients(dtype, sa, sb):
    rng = np.random.default_rng(4)
    a, b = eighths(rng, sa), eighths(rng, sb)
    out_shape = np.broadcast_shapes(sa[:-2], sb[:-2]) + (sa[-2], sb[-1])
    cot = eighths(rng, out_shape)
    x, w, p = matmul_grads(a, b, cot, dtype)
    g = p.grad()
    assert g.dtype == NP[dtype]
    np.testing.assert_array_equal(g, cot.astype(NP[dtype]))
    ga, gb = reference_matmul_grads(a.astype(NP[dtype]), b.astype(NP[dtype]), g, dtype)
    assert x.grad().shape == sa and w.grad().shape == sb
    np.testing.assert_array_equal(x.grad(), ga)
    np.testing.assert_array_equal(w.grad(), gb)


@pytest.mark.parametrize("perm_a,perm_b", [(True, None), (None, True), (True, True)])
def test_matmul_gradients_of_transposed_factors(perm_a, perm_b):
    rng = np.random.default_rng(8)
    a, b = eighths(rng, (2, 3, 4)), eighths(rng, (4, 5))
    cot = eighths(rng, (2, 3, 5))
    x, w, _ = matmul_grads(a, b, cot, "float32", perm_a, perm_b)
    ga, gb = reference_matmul_grads(a, b, cot, "float32")
    np.testing.assert_array_equal(x.grad(), ga)
    np.testing.assert_array_equal(w.grad(), gb)


def test_row_vector_product_added_to_a_matrix():
    """A (1, 3) @ (3, 3) product added to a (2, 3) tensor: the row's gradient keeps shape (1, 3)."""
    rng = np.random.default_rng(1)
    r, m, z, cot = eighths(rng, (1, 3)), eighths(rng, (3, 3)), eighths(rng, (2, 3)), eighths(rng, (2, 3))
    x = Tensor(r, requires_grad=True)
    w = Tensor(m, requires_grad=True)
    t = Tensor(z, requires_grad=True)
    ((x @ w + t) * Tensor(cot)).backward()
    g = cot.sum(axis=0, keepdims=True)
    assert x.grad().shape == (1, 3) and w.grad().shape == (3, 3)
    np.testing.assert_array_equal(x.grad(), g @ m.T)
    np.testing.assert_array_equal(w.grad(), r.T @ g)
    np.testing.assert_array_equal(t.grad(), cot)


def test_matmul_shared_factor_and_constant():
    """x @ x sums both contributions; a constant factor gets no gradient of its own."""
    rng = np.random.default_rng(6)
    v, c = eighths(rng, (3, 3)), eighths(rng, (3, 3))
    cot = eighths(rng, (3, 3))
    x = Tensor(v, requires_grad=True)
    k = Tensor(c)
    ((x @ x + k @ x) * Tensor(cot)).backward()
    expected = cot @ v.T + v.T @ cot + c.T @ cot
    np.testing.assert_array_equal(x.grad(), expected)
    assert k.grad() is None
