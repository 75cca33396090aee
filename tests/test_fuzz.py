"""API fuzzing.

`test_random_programs` runs random programs of constructions, operators, shape methods, relu,
backward, grad and clear_graph on random shapes (0-d and zero extents included) in all four
element types, with broadcastable and non-broadcastable operands and wrong argument types
(strings, None, nested lists, NumPy arrays of other dtypes, huge and negative integers, NaN and
infinities). Every call must either succeed with a result that a NumPy model of the program
agrees with, or raise the exception the model predicts, which is always one of TypeError,
ValueError, RuntimeError, IndexError, OverflowError or MemoryError. Nothing else may happen: no
crash, no internal error, no SystemError.

`test_random_graphs_differentiate` builds random differentiable graphs and compares the gradient
of every tensor in them with a float64 model.

The run is bounded; a longer one is one environment variable away:

    NORVA_FUZZ_EXAMPLES=2000 .venv/bin/python -m pytest tests/test_fuzz.py -s

(100 examples of each test by default; NORVA_FUZZ_STEPS sets the number of calls per program, 40
by default; -s prints how many calls were made.)
"""

from __future__ import annotations

import math
import operator
import os
from fractions import Fraction

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, multiple, precondition, rule,
                                 run_state_machine_as_test)

import norva_core
from norva_core import Tensor

relu = norva_core.nn.functional.relu
# Overflowing casts in the model, NumPy's complex-to-real casts and its deprecation of converting
# one-element arrays to numbers are expected along the way.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::DeprecationWarning",
                                        "ignore::numpy.exceptions.ComplexWarning")

EXAMPLES = int(os.environ.get("NORVA_FUZZ_EXAMPLES", "100"))
STEPS = int(os.environ.get("NORVA_FUZZ_STEPS", "40"))
DOCUMENTED = (TypeError, ValueError, RuntimeError, IndexError, OverflowError, MemoryError)
WORD = 2**63 - 1

NP = {"f32": np.dtype(np.float32), "f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16),
      "bool": np.dtype(np.bool_)}
EPS = {"f32": 2.0**-24, "f16": 2.0**-11, "bf16": 2.0**-8}  # relative rounding error
HALF_TINY = {"f32": 2.0**-150, "f16": 2.0**-25, "bf16": 2.0**-134}  # rounding error among subnormals
MAX = {"f32": float(np.finfo(np.float32).max), "f16": 65504.0, "bf16": float(ml_dtypes.finfo(ml_dtypes.bfloat16).max)}
UINT = {1: np.uint8, 2: np.uint16, 4: np.uint32}

CALLS = 0  # library calls made by all programs of the run


class Fail:
    """The model's prediction that a call raises one of `types`."""

    def __init__(self, *types):
        self.types = types

    def __repr__(self):
        return f"Fail({', '.join(t.__name__ for t in self.types)})"


ANY = object()  # the model makes no prediction: success or a documented exception
OK = object()  # success required, the result is checked by the caller


# --- the model -------------------------------------------------------------------------------


class Model:
    """What one tensor must be: its values, element type and gradient flag; and for a tensor
    that requires gradients, the tape generation it was recorded in and the operation that made
    it (for the gradient model)."""

    def __init__(self, value, dtype, requires_grad=False, gen=None, op="leaf", inputs=(), extra=None):
        self.value = np.asarray(value, NP[dtype])
        self.dtype = dtype
        self.requires_grad = requires_grad
        self.gen = gen
        self.op = op
        self.inputs = inputs
        self.extra = extra

    @property
    def shape(self):
        return self.value.shape


class Item:
    """A tensor of the program together with its model."""

    def __init__(self, tensor, model):
        self.tensor = tensor
        self.model = model

    def __repr__(self):
        m = self.model
        return f"<{m.dtype}{list(m.shape)}{' grad' if m.requires_grad else ''}>"


def f32(d: float) -> np.float32:
    """A double as the core receives it: rounded to binary32, overflowing to infinity."""
    with np.errstate(all="ignore"):
        return np.float32(d)


def in_type(s32: np.float32, dtype: str):
    with np.errstate(all="ignore"):
        return np.asarray(s32).astype(NP[dtype])


def widened(op, x, y, dtype):
    """op in binary32 on operands widened from the element type, rounded back once."""
    with np.errstate(all="ignore"):
        r = op(np.asarray(x).astype(np.float32), np.asarray(y).astype(np.float32))
        return r if r.dtype == np.bool_ else r.astype(NP[dtype])


def broadcast(a, b):
    try:
        return np.broadcast_shapes(a, b)
    except ValueError:
        return None


def fits(shape) -> bool:
    n = 1
    for e in shape:
        if e:
            n *= e
    return n <= WORD


def reduce_to(g, shape):
    """Sums a gradient over the axes it was broadcast along, back to `shape`."""
    lead = g.ndim - len(shape)
    if lead:
        g = g.sum(axis=tuple(range(lead)))
    axes = tuple(i for i, e in enumerate(shape) if e == 1 and g.shape[i] != 1)
    if axes:
        g = g.sum(axis=axes, keepdims=True)
    return g.reshape(shape)


def bits(a):
    a = np.array(a, order="C")
    return a.view(UINT[a.dtype.itemsize])


def assert_same_values(got, want):
    """Equal element encodings (so -0 differs from +0); any two NaNs match."""
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    assert got.shape == want.shape, (got.shape, want.shape)
    if got.dtype == np.bool_:
        bad = got != want
    else:
        nan = np.isnan(got.astype(np.float32)) & np.isnan(want.astype(np.float32))
        bad = (bits(got) != bits(want)) & ~nan
    assert not bad.any(), f"values differ at {np.argwhere(bad)[:5].tolist()}:\ngot  {got!r}\nwant {want!r}"


def assert_dense(shape, strides):
    """Every storage is one gap-free block: the axes of extent above 1, sorted by decreasing
    stride, have row-major strides."""
    assert len(strides) == len(shape)
    if 0 in shape:
        assert all(s == 0 for s in strides), (shape, strides)
        return
    axes = sorted((s, e) for s, e in zip(strides, shape) if e > 1)
    acc = 1
    for s, e in axes:
        assert s == acc, (shape, strides)
        acc *= e


def check_tensor(t, m: Model):
    """The tensor matches its model in every property and value."""
    assert type(t) is Tensor
    assert t.dtype == m.dtype and t.device == "cpu"
    assert t.shape == list(m.shape) and t.ndim == len(m.shape)
    assert t.requires_grad is m.requires_grad
    assert_dense(t.shape, t.strides)
    assert_same_values(t.to_numpy(), m.value)


def assert_close_products(got, want64, bound, dtype):
    """A matrix product: within the error bound of binary32 accumulation (`bound` holds
    sum |a||b| per element) plus one rounding to the element type; elements whose bound or
    reference is not finite, or which overflow the element type, are not compared."""
    got = got.astype(np.float64)
    with np.errstate(all="ignore"):
        ok = np.isfinite(bound) & np.isfinite(want64) & (np.abs(want64) < MAX[dtype] / 2)
        tol = bound * 2.0**-20 + np.abs(want64) * EPS[dtype] + HALF_TINY[dtype]
        bad = ok & ~(np.abs(got - want64) <= tol)
    assert not bad.any(), f"product differs at {np.argwhere(bad)[:5].tolist()}:\ngot  {got!r}\nwant {want64!r}"


# --- the numbers and objects handed to operations ---------------------------------------------

GOOD_VALUES = [-2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 3.0]
ODD_VALUES = [math.nan, math.inf, -math.inf, -0.0, 1e-40, 65504.0, 70000.0, 1e30, -3.0e38]


@st.composite
def element_values(draw, shape, wild=True):
    """float64 values of `shape`: small exact values (so that gradients can be compared closely);
    with `wild`, one tensor in four also holds NaN, infinities, signed zeros, subnormals and values
    beyond the 16-bit ranges. The values come from a generator seeded by the draw: hypothesis's own
    draws favour repeated simple values, which hide misplaced elements."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1), label="seed"))
    values = rng.choice(GOOD_VALUES, size=shape)
    if wild and draw(st.integers(0, 3), label="wild") == 0:
        odd = rng.random(size=shape) < 0.3
        values = np.where(odd, rng.choice(ODD_VALUES, size=shape), values)
    return np.array(values, np.float64).reshape(shape)


extents = st.one_of(st.sampled_from([1, 2, 3]), st.sampled_from([0, 1, 2, 3, 4]))
shapes = st.lists(extents, min_size=0, max_size=4).map(tuple)

# Numbers: (object, its float value or None when the float conversion fails).
NUMBERS = [
    (2, 2.0), (0, 0.0), (-3, -3.0), (True, 1.0), (False, 0.0), (0.5, 0.5), (-0.0, -0.0), (3.0, 3.0),
    (1e-3, 1e-3), (math.nan, math.nan), (math.inf, math.inf), (-math.inf, -math.inf), (1e39, 1e39),
    (-1e39, -1e39), (2**70, float(2**70)), (-(2**70), float(-(2**70))), (10**400, None),
    (np.float32(1.5), 1.5), (np.float64(-2.25), -2.25), (np.float16(0.1), float(np.float16(0.1))),
    (np.int64(-7), -7.0), (np.uint8(200), 200.0), (np.bool_(True), 1.0), (ml_dtypes.bfloat16(3.0), 3.0),
    (Fraction(1, 3), 1 / 3), (np.array(2.5), 2.5),
]


class Opaque:
    pass


# Objects that are neither tensors nor numbers.
JUNK = ["text", "1.5", None, [1.0, 2.0], [[1.0]], (), {}, {1}, b"\x01", Opaque(), 1j, object, Tensor]
# NumPy arrays the operators decline; NumPy then takes over with its own operator (which may
# come back to the tensor element by element), so no prediction is made for them.
ARRAYS = [np.array([1.0, 2.0]), np.ones((2, 2), np.int32), np.array([True]), np.array(["a"]),
          np.zeros((0,), np.float16)]


def arith_value(op, a: Model, b: Model):
    return widened(op, a.value, b.value, a.dtype)


# --- the state machine ----------------------------------------------------------------------


class Programs(RuleBasedStateMachine):
    items = Bundle("items")

    def __init__(self):
        super().__init__()
        Tensor.clear_graph()
        self.gen = 0
        self.grads: dict[int, tuple[Model, np.ndarray, np.ndarray]] = {}
        self.every: list[Item] = []  # every tensor of the program, for the gradient checks

    def teardown(self):
        Tensor.clear_graph()

    # -- calling --

    def call(self, fn, expect):
        """Calls the library; `expect` is a Model (success required), a Fail, or ANY. Returns
        the result, or None after an exception."""
        global CALLS
        CALLS += 1
        try:
            result = fn()
        except DOCUMENTED as e:
            if isinstance(expect, Model) or expect is OK:
                raise AssertionError(f"raised {type(e).__name__}: {e}; the model expects success") from e
            if isinstance(expect, Fail):
                assert isinstance(e, expect.types), f"raised {type(e).__name__}: {e}; expected {expect}"
            return None
        except BaseException as e:
            if isinstance(e, (KeyboardInterrupt, AssertionError)):
                raise
            raise AssertionError(f"undocumented exception {type(e).__module__}.{type(e).__name__}: {e}") from e
        assert not isinstance(expect, Fail), f"succeeded ({result!r}); expected {expect}"
        if isinstance(expect, Model):
            check_tensor(result, expect)
        return result

    def stale(self, *models):
        return any(m.requires_grad and m.gen != self.gen for m in models)

    def result(self, fn, expect):
        r = self.call(fn, expect)
        if isinstance(expect, Model):
            return self.keep(Item(r, expect))
        return multiple()

    def keep(self, item):
        self.every.append(item)
        return item

    def recorded(self, value, dtype, recording, op, inputs, extra=None):
        return Model(value, dtype, recording, self.gen if recording else None, op, inputs, extra)

    # -- construction --

    @rule(target=items, shape=shapes, dtype=st.sampled_from(["f32", "f32", "f16", "bf16", "bool"]),
          requires_grad=st.booleans(),
          layout=st.sampled_from(["list", "array", "transposed", "reversed", "float64"]),
          spelling=st.integers(0, 3), data=st.data())
    def construct(self, shape, dtype, requires_grad, layout, spelling, data):
        values = data.draw(element_values(shape))
        want = Model(values.astype(NP[dtype]) if dtype != "bool" else values != 0, dtype, requires_grad,
                     self.gen if requires_grad else None)
        if dtype == "bool":
            values = values != 0
        if layout == "list" and 0 not in shape:  # a nested list cannot express a zero extent
            source = values.tolist()
        elif layout == "transposed":
            source = np.array(values.astype(NP[dtype]), order="F")
        elif layout == "reversed":
            source = values.astype(NP[dtype])[(slice(None, None, -1),) * values.ndim]
            want.value = np.array(source, order="C")
        elif layout == "float64":
            source = values
        else:
            source = values.astype(NP[dtype])
        names = {"f32": ["f32", "float32", np.float32, np.dtype(np.float32)],
                 "f16": ["f16", "float16", np.float16, np.dtype(np.float16)],
                 "bf16": ["bf16", "bfloat16", ml_dtypes.bfloat16, np.dtype(ml_dtypes.bfloat16)],
                 "bool": ["bool", bool, np.bool_, np.dtype(np.bool_)]}[dtype]
        spelled = names[spelling]
        grad_flag = np.bool_(requires_grad) if spelling == 3 else requires_grad
        if dtype == "f32" and spelling == 0 and isinstance(source, list):
            fn = (lambda: Tensor(source, requires_grad=grad_flag)) if requires_grad else (lambda: Tensor(source))
        else:
            fn = lambda: Tensor(source, spelled, "CPU" if spelling == 2 else "cpu", grad_flag)  # noqa: E731
        return self.result(fn, want)

    @rule(target=items, a=items, requires_grad=st.booleans(), data=st.data())
    def construct_like(self, a, requires_grad, data):
        """A tensor of a's element type whose shape broadcasts with a's (some extents replaced by 1,
        leading axes dropped or added)."""
        m = a.model
        shape = [data.draw(st.sampled_from([e, e, 1])) for e in m.shape]
        shape = shape[data.draw(st.integers(0, len(shape))):] if shape else shape
        shape = [data.draw(st.sampled_from([1, 2])) for _ in range(data.draw(st.integers(0, 1)))] + shape
        values = data.draw(element_values(shape))
        values = values != 0 if m.dtype == "bool" else values.astype(NP[m.dtype])
        want = Model(values, m.dtype, requires_grad, self.gen if requires_grad else None)
        return self.result(lambda: Tensor(values, m.dtype, requires_grad=requires_grad), want)

    @rule(data=st.data())
    def construct_wrongly(self, data):
        """Arguments the constructor refuses, in the order it checks them."""
        data_arg = data.draw(st.sampled_from(
            ["text", "2.5", None, [[1.0], [2.0, 3.0]], [[1.0, 2.0], [3.0, 4.0]], 10**400, -(2**70), math.nan,
             np.arange(4, dtype=np.int64), np.array([1, 2], np.uint16), np.array(["x", "1"]), np.array([1 + 2j]),
             np.array([np.datetime64("2020-01-01")]), Opaque(), [Opaque()], {"a": 1}, np.float64(2.0)]),
            label="data")
        dtype = data.draw(st.sampled_from([None, "f32", "bf16", "bool", "float64", "Float32", " f16", "int8", float,
                                           int, np.int32, np.dtype(np.int8), 5, Opaque(), "f16"]), label="dtype")
        device = data.draw(st.sampled_from(["cpu", "CPU", "cuda", " cpu", "", None, 0, b"cpu"]), label="device")
        rg = data.draw(st.sampled_from([False, True, np.bool_(False), 1, 0, None, "yes"]), label="requires_grad")
        if not isinstance(device, str) or not isinstance(rg, (bool, np.bool_)):
            expect = Fail(TypeError)
        elif device.lower() != "cpu":
            expect = Fail(ValueError)
        else:
            expect = self.constructor_outcome(data_arg, dtype, bool(rg))
        self.call(lambda: Tensor(data_arg, dtype, device, rg), expect)

    def constructor_outcome(self, data_arg, dtype, requires_grad):
        if dtype is None:
            name = "float32"
        elif isinstance(dtype, str):
            name = dtype
        elif hasattr(dtype, "__name__"):
            name = dtype.__name__
        else:
            try:
                name = np.dtype(dtype).name
            except Exception as e:  # NumPy's refusal reaches the caller unchanged
                return Fail(type(e))
        kinds = {"f32": "f32", "float32": "f32", "f16": "f16", "float16": "f16", "bf16": "bf16",
                 "bfloat16": "bf16", "bool": "bool"}
        if name not in kinds:
            return Fail(ValueError)
        try:
            with np.errstate(all="ignore"):
                value = np.array(data_arg, dtype=NP[kinds[name]])
        except Exception as e:
            return Fail(type(e))
        return Model(value, kinds[name], requires_grad, self.gen if requires_grad else None)

    # -- two tensors --

    def partner(self, a, data, matrix=False):
        """A second operand for a: three times in four one that fits (same element type, shapes
        that broadcast or matrices that multiply), otherwise any tensor of the program."""
        def fits_a(i):
            m, n = a.model, i.model
            if m.dtype != n.dtype:
                return False
            if matrix:
                return (len(m.shape) >= 2 and len(n.shape) >= 2 and m.shape[-1] == n.shape[-2]
                        and broadcast(m.shape[:-2], n.shape[:-2]) is not None)
            return broadcast(m.shape, n.shape) is not None

        good = [i for i in self.every if fits_a(i)]
        if good and data.draw(st.integers(0, 3), label="fitting partner"):
            return data.draw(st.sampled_from(good), label="partner")
        return data.draw(st.sampled_from(self.every), label="partner")

    @rule(target=items, a=items, data=st.data(), op=st.sampled_from(["+", "-", "*", "/"]))
    def arithmetic(self, a, data, op, b=None):
        b = b or self.partner(a, data)
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}[op]
        ma, mb = a.model, b.model
        recording = ma.requires_grad or mb.requires_grad
        shape = broadcast(ma.shape, mb.shape)
        if recording and self.stale(ma, mb):
            expect = Fail(RuntimeError)
        elif ma.dtype == "bool" and mb.dtype == "bool":
            expect = Fail(TypeError)
        elif ma.dtype != mb.dtype:
            expect = Fail(ValueError)
        elif shape is None or not fits(shape):
            expect = Fail(RuntimeError)
        else:
            expect = self.recorded(arith_value(fn, ma, mb), ma.dtype, recording, op, (ma, mb))
        return self.result(lambda: fn(a.tensor, b.tensor), expect)

    @rule(target=items, a=items, data=st.data())
    def matmul(self, a, data, b=None):
        b = b or self.partner(a, data, matrix=True)
        ma, mb = a.model, b.model
        recording = ma.requires_grad or mb.requires_grad
        if recording and self.stale(ma, mb):
            expect = Fail(RuntimeError)
        elif ma.dtype != mb.dtype:
            expect = Fail(ValueError)
        elif ma.dtype == "bool":
            expect = Fail(TypeError)
        elif ma.value.ndim < 2 or mb.value.ndim < 2 or ma.shape[-1] != mb.shape[-2]:
            expect = Fail(RuntimeError)
        elif broadcast(ma.shape[:-2], mb.shape[:-2]) is None:
            expect = Fail(RuntimeError)
        else:
            expect = ANY
        r = self.call(lambda: a.tensor @ b.tensor, expect)
        if expect is ANY:
            x, y = ma.value.astype(np.float64), mb.value.astype(np.float64)
            with np.errstate(all="ignore"):
                want = np.matmul(x, y)
                bound = np.matmul(np.abs(x), np.abs(y))
            assert type(r) is Tensor and r.dtype == ma.dtype and r.shape == list(want.shape)
            assert r.requires_grad is recording
            assert r.strides == list(np.array(np.empty(want.shape, np.uint8)).strides) or 0 in want.shape
            got = r.to_numpy()
            assert got.dtype == NP[ma.dtype]
            assert_close_products(got, want, bound, ma.dtype)
            # The model continues from the library's own (checked) values.
            return self.keep(Item(r, self.recorded(got, ma.dtype, recording, "@", (ma, mb))))
        return multiple()

    @rule(target=items, a=items, data=st.data(), op=st.sampled_from(["<", "<=", "==", "!=", ">", ">="]))
    def compare(self, a, data, op):
        b = self.partner(a, data)
        fn = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt,
              ">=": operator.ge}[op]
        ma, mb = a.model, b.model
        shape = broadcast(ma.shape, mb.shape)
        if ma.dtype != mb.dtype or shape is None or not fits(shape):
            expect = Fail(RuntimeError)
        else:
            with np.errstate(all="ignore"):
                expect = Model(fn(ma.value.astype(np.float32), mb.value.astype(np.float32)), "bool")
        return self.result(lambda: fn(a.tensor, b.tensor), expect)

    @rule(target=items, a=items, data=st.data(), op=st.sampled_from(["&", "|", "^"]))
    def logical(self, a, data, op):
        b = self.partner(a, data)
        fn = {"&": operator.and_, "|": operator.or_, "^": operator.xor}[op]
        ma, mb = a.model, b.model
        shape = broadcast(ma.shape, mb.shape)
        if ma.dtype != "bool" or mb.dtype != "bool" or shape is None or not fits(shape):
            expect = Fail(RuntimeError)
        else:
            expect = Model(fn(ma.value, mb.value), "bool")
        return self.result(lambda: fn(a.tensor, b.tensor), expect)

    # -- a tensor and a number, or something that is neither --

    @rule(target=items, a=items, number=st.sampled_from(NUMBERS), reflected=st.booleans(),
          op=st.sampled_from(["+", "-", "*", "/", "<", "<=", "==", "!=", ">", ">="]))
    def with_number(self, a, number, reflected, op):
        obj, value = number
        m = a.model
        fns = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "<": operator.lt,
               "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge}
        fn = fns[op]
        call = (lambda: fn(obj, a.tensor)) if reflected else (lambda: fn(a.tensor, obj))
        if reflected and not isinstance(obj, (int, float, Fraction)):
            # NumPy's scalars and 0-d arrays take the operation themselves (NumPy's rules).
            self.call(call, ANY)
            return multiple()
        if value is None:  # the float conversion fails: the operators decline
            expect = Fail(TypeError) if op not in ("==", "!=") else ANY
            r = self.call(call, expect)
            if op in ("==", "!="):
                assert r is (op == "!="), r  # identity fallback
            return multiple()
        s32 = f32(value)
        if op in ("<", "<=", "==", "!=", ">", ">="):
            # The interpreter turns `number < t` into `t > number`.
            swapped = {"<": operator.gt, "<=": operator.ge, ">": operator.lt, ">=": operator.le,
                       "==": operator.eq, "!=": operator.ne}
            cmp = swapped[op] if reflected else fn
            if m.dtype == "bool":
                expect = Fail(RuntimeError)
            else:
                s = in_type(s32, m.dtype).astype(np.float32)
                with np.errstate(all="ignore"):
                    expect = Model(cmp(m.value.astype(np.float32), s), "bool")
            return self.result(call, expect)
        if reflected and op == "-":
            self.call(call, Fail(TypeError))
            return multiple()
        if reflected and op == "/":
            # number / t: a tensor filled with the number, divided by t.
            if m.requires_grad and self.stale(m):
                expect = Fail(RuntimeError)
            elif m.dtype == "bool":
                expect = Fail(TypeError)  # the division's refusal of two Bool operands
            else:
                filled = Model(np.full(m.shape, in_type(s32, m.dtype)), m.dtype)
                expect = self.recorded(arith_value(operator.truediv, filled, m), m.dtype, m.requires_grad, "/",
                                       (filled, m))
            return self.result(call, expect)
        if m.requires_grad and self.stale(m):
            expect = Fail(RuntimeError)
        elif m.dtype == "bool":
            expect = Fail(ValueError)
        else:
            if op == "/":
                with np.errstate(all="ignore"):
                    factor = np.float32(1.0) / s32  # division by a number multiplies by its reciprocal
                value_fn, scalar = operator.mul, factor
            else:
                value_fn, scalar = fn, s32
            operand = np.broadcast_to(in_type(scalar, m.dtype), m.shape)
            expect = self.recorded(widened(value_fn, m.value, operand, m.dtype), m.dtype, m.requires_grad,
                                   "s" + op, (m,), np.float32(scalar))
        return self.result(call, expect)

    @rule(a=items, junk=st.sampled_from(JUNK + ARRAYS), reflected=st.booleans(),
          op=st.sampled_from(["+", "-", "*", "/", "@", "&", "|", "^", "<", "<=", "==", "!=", ">", ">=", "relu"]))
    def with_junk(self, a, junk, reflected, op):
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv,
              "@": operator.matmul, "&": operator.and_, "|": operator.or_, "^": operator.xor,
              "<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt,
              ">=": operator.ge, "relu": None}[op]
        call = (lambda: fn(junk, a.tensor)) if reflected else (lambda: fn(a.tensor, junk))
        if op == "relu":
            self.call(lambda: relu(junk), Fail(TypeError))  # only tensors are accepted
        elif isinstance(junk, np.ndarray):
            self.call(call, ANY)
        elif op in ("==", "!="):
            assert self.call(call, ANY) is (op == "!=")
        else:
            self.call(call, Fail(TypeError))

    @rule(a=items, other=st.one_of(st.sampled_from(NUMBERS), st.sampled_from(JUNK).map(lambda j: (j, None))),
          method=st.sampled_from(["__req__", "__rgt__", "__rlt__"]), keyword=st.booleans())
    def explicit_compare(self, a, other, method, keyword):
        obj, value = other
        m = a.model
        bound = getattr(a.tensor, method)
        call = (lambda: bound(other=obj)) if keyword else (lambda: bound(obj))
        if value is None:
            # Not convertible to float: TypeError, or OverflowError for an int beyond a double.
            self.call(call, Fail(OverflowError) if isinstance(obj, int) else Fail(TypeError))
            return
        if m.dtype == "bool":
            self.call(call, Fail(RuntimeError))
            return
        s = in_type(f32(value), m.dtype).astype(np.float32)
        fn = {"__req__": operator.eq, "__rgt__": operator.lt, "__rlt__": operator.gt}[method]
        with np.errstate(all="ignore"):
            self.call(call, Model(fn(m.value.astype(np.float32), s), "bool"))

    # -- one tensor --

    @rule(target=items, a=items)
    def rectify(self, a):
        m = a.model
        if m.requires_grad and self.stale(m):
            expect = Fail(RuntimeError)
        elif m.dtype == "bool":
            expect = Fail(TypeError)
        else:
            x = m.value.astype(np.float32)
            with np.errstate(invalid="ignore"):
                out = np.where(x > 0, m.value, np.zeros((), NP[m.dtype]))
            expect = self.recorded(out, m.dtype, m.requires_grad, "relu", (m,))
        return self.result(lambda: relu(a.tensor), expect)

    @rule(target=items, a=items)
    def invert(self, a):
        m = a.model
        expect = Model(~m.value, "bool") if m.dtype == "bool" else Fail(RuntimeError)
        return self.result(lambda: ~a.tensor, expect)

    @rule(target=items, a=items, which=st.sampled_from(["zeros_like", "ones_like"]))
    def filled_like(self, a, which):
        m = a.model
        fill = np.zeros if which == "zeros_like" else np.ones
        return self.result(getattr(a.tensor, which), Model(fill(m.shape, NP[m.dtype]), m.dtype))

    @rule(target=items, a=items, data=st.data())
    def reshape(self, a, data):
        m = a.model
        n = m.value.size
        valid = factorizations(n)
        shape_arg = data.draw(st.one_of(
            valid, valid, valid, valid.map(tuple), valid.map(lambda s: np.array(s, np.int64)), st.just(range(n, n + 1)),
            st.lists(st.integers(0, 5), max_size=4),
            st.sampled_from([[-1], [n, -1], [2**64], [2**62, 4], [2**40, 0], [1.0 * n], "12", None, {n}, 5,
                             [[n]], b"\x01\x02", np.array([n], np.float64), iter([n]), [n, None]])),
            label="shape")
        expect = reshape_outcome(shape_arg, n)
        if isinstance(expect, list):
            if m.requires_grad and self.stale(m):
                expect = Fail(RuntimeError)
            elif not fits(expect) or math.prod(expect) != n:
                expect = Fail(ValueError)
            else:
                expect = self.recorded(m.value.reshape(expect), m.dtype, m.requires_grad, "reshape", (m,),
                                       m.shape)
        keyword = data.draw(st.booleans(), label="keyword")
        return self.result((lambda: a.tensor.reshape(shape=shape_arg)) if keyword else
                           (lambda: a.tensor.reshape(shape_arg)), expect)

    @rule(target=items, a=items, d0=st.one_of(st.integers(0, 4), st.integers(0, 3), st.integers(0, 2),
                                              st.sampled_from([-1, 2**63, 2**64, 1.0, None, "0", np.int64(1), True])),
          d1=st.integers(0, 4))
    def transpose(self, a, d0, d1):
        m = a.model
        try:
            index = operator.index(d0)
        except TypeError:
            expect = Fail(TypeError)
        else:
            if index < 0 or index >= 2**64:
                expect = Fail(OverflowError)
            elif m.requires_grad and self.stale(m):
                expect = Fail(RuntimeError)
            elif index >= m.value.ndim or d1 >= m.value.ndim:
                expect = Fail(IndexError)
            else:
                expect = self.recorded(np.swapaxes(m.value, index, d1), m.dtype, m.requires_grad, "transpose",
                                       (m,), (index, d1))
        return self.result(lambda: a.tensor.transpose(d0, d1), expect)

    # -- differentiation --

    @rule(a=items)
    def backward(self, a):
        m = a.model
        if not m.requires_grad:
            self.call(a.tensor.backward, Fail(ValueError))
        elif self.stale(m):
            self.call(a.tensor.backward, Fail(RuntimeError))
        else:
            assert self.call(a.tensor.backward, OK) is None
            self.model_backward(m)
            for item in self.every:
                self.check_grad(item)

    @precondition(lambda self: any(self.differentiable()))
    @rule(data=st.data())
    def differentiate(self, data):
        """backward() from a tensor of the current graph (most tensors the rules pick at random
        cannot be differentiated: stale, constant or boolean)."""
        self.backward(data.draw(st.sampled_from(list(self.differentiable())), label="root"))

    def differentiable(self):
        return (i for i in self.every
                if i.model.requires_grad and i.model.gen == self.gen and i.model.dtype != "bool")

    @rule(a=items)
    def grad(self, a):
        self.check_grad(a)

    def check_grad(self, a):
        m = a.model
        global CALLS
        CALLS += 1
        try:
            g = a.tensor.grad()
        except BaseException as e:
            raise AssertionError(f"grad() raised {type(e).__name__}: {e}") from e
        slot = self.grads.get(id(m)) if m.requires_grad and m.gen == self.gen else None
        if slot is None:
            assert g is None, g
            return
        assert isinstance(g, np.ndarray) and g.dtype == NP[m.dtype] and g.shape == m.shape, (g, m.dtype, m.shape)
        _, want, bound = slot
        if m.dtype == "bool":
            assert g.all()
        elif m.dtype == "f32":
            got = g.astype(np.float64)
            with np.errstate(all="ignore"):
                ok = np.isfinite(bound) & (bound < 1e30) & np.isfinite(want)
                bad = ok & ~(np.abs(got - want) <= bound * 2.0**-12 + 1e-30)
            assert not bad.any(), f"gradient differs at {np.argwhere(bad)[:5].tolist()}:\ngot  {g!r}\nwant {want!r}"

    @rule(on_instance=st.one_of(st.none(), items), now=st.integers(0, 3))
    def clear_graph(self, on_instance, now):
        if now:  # a quarter of the draws clear, so that graphs grow between clears
            return
        assert self.call(Tensor.clear_graph if on_instance is None else on_instance.tensor.clear_graph, OK) is None
        self.gen += 1
        self.grads.clear()

    def model_backward(self, root: Model):
        """The gradient of every tensor the pass reaches, in float64, with a bound on the error
        that binary32 arithmetic may make (the same pass on magnitudes)."""
        order, seen = [], set()

        def visit(m):  # iterative post-order over the recorded inputs
            stack = [(m, False)]
            while stack:
                node, done = stack.pop()
                if done:
                    order.append(node)
                    continue
                if id(node) in seen:
                    continue
                seen.add(id(node))
                stack.append((node, True))
                for i in node.inputs:
                    if i.requires_grad:
                        stack.append((i, False))

        visit(root)
        grads = {id(root): (np.ones(root.shape), np.ones(root.shape))}
        for node in reversed(order):  # a node's users come after it in `order`, so before it here
            g, mag = grads[id(node)]
            for target, (dg, dmag) in backward_rules(node, g, mag):
                if not target.requires_grad:
                    continue
                dg, dmag = reduce_to(dg, target.shape), reduce_to(dmag, target.shape)
                if id(target) in grads:
                    pg, pm = grads[id(target)]
                    grads[id(target)] = (pg + dg, pm + dmag)
                else:
                    grads[id(target)] = (dg, dmag)
        for node in order:
            g, mag = grads[id(node)]
            self.grads[id(node)] = (node, g, mag + np.abs(g))


def backward_rules(node: Model, g, mag):
    """(input, (gradient, magnitude)) pairs of a node, before reduction to the input's shape."""
    f = lambda m: m.value.astype(np.float64)  # noqa: E731
    op, ins = node.op, node.inputs
    with np.errstate(all="ignore"):
        if op == "+":
            return [(ins[0], (g, mag)), (ins[1], (g, mag))]
        if op == "-":
            return [(ins[0], (g, mag)), (ins[1], (-g, mag))]
        if op == "*":
            a, b = f(ins[0]), f(ins[1])
            return [(ins[0], (g * b, mag * np.abs(b))), (ins[1], (g * a, mag * np.abs(a)))]
        if op == "/":
            a, b = f(ins[0]), f(ins[1])
            return [(ins[0], (g / b, mag / np.abs(b))),
                    (ins[1], (-g * a / (b * b), mag * np.abs(a) / (b * b)))]
        if op == "@":
            a, b = f(ins[0]), f(ins[1])
            bt, at = np.swapaxes(b, -1, -2), np.swapaxes(a, -1, -2)
            return [(ins[0], (g @ bt, mag @ np.abs(bt))), (ins[1], (at @ g, np.abs(at) @ mag))]
        if op in ("s+", "s-"):
            return [(ins[0], (g, mag))]
        if op in ("s*", "s/"):
            s = float(node.extra)
            return [(ins[0], (g * s, mag * abs(s)))]
        if op == "relu":
            keep = f(ins[0]) > 0
            return [(ins[0], (np.where(keep, g, 0.0), np.where(keep, mag, 0.0)))]
        if op == "reshape":
            return [(ins[0], (g.reshape(node.extra), mag.reshape(node.extra)))]
        if op == "transpose":
            d0, d1 = node.extra
            return [(ins[0], (np.swapaxes(g, d0, d1), np.swapaxes(mag, d0, d1)))]
        if op == "leaf":
            return []
    raise AssertionError(f"no backward rule for {op}")


@st.composite
def factorizations(draw, n):
    """Shapes with exactly n elements (n = 0 allows any other extents beside one 0)."""
    if n == 0:
        dims = draw(st.lists(st.integers(0, 3), min_size=1, max_size=4))
        if 0 not in dims:
            dims[draw(st.integers(0, len(dims) - 1))] = 0
        return dims
    dims, rest = [], n
    for p in (2, 3, 5, 7):
        while rest % p == 0:
            dims.append(p)
            rest //= p
    if rest > 1:
        dims.append(rest)
    dims = draw(st.permutations(dims))
    out = []
    for d in dims:
        if out and draw(st.booleans()):
            out[-1] *= d
        else:
            out.append(d)
    for _ in range(draw(st.integers(0, 2))):
        out.insert(draw(st.integers(0, len(out))), 1)
    return out


def reshape_outcome(arg, n):
    """The list of extents the shape argument converts to, or the Fail its conversion raises."""
    if isinstance(arg, str):
        return Fail(TypeError)
    try:
        items = list(arg) if hasattr(arg, "__getitem__") and hasattr(arg, "__len__") else None
    except TypeError:
        items = None
    if items is None or isinstance(arg, (dict, set)):
        return Fail(TypeError)
    out = []
    for item in items:
        try:
            v = operator.index(item)
        except TypeError:
            return Fail(TypeError)
        if v < 0 or v >= 2**64:
            return Fail(OverflowError)
        out.append(v)
    return out


FINITE_NUMBERS = [n for n in NUMBERS if n[1] is not None and math.isfinite(n[1]) and abs(n[1]) < 1e6]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_random_graphs_differentiate(data):
    """Random differentiable graphs over a few leaves (every recording operation, broadcasting,
    reused operands), differentiated from a random node: the gradient of every tensor of the
    graph agrees with the float64 model, within the error binary32 arithmetic may make."""
    p = Programs()
    draw = data.draw
    dtype = draw(st.sampled_from(["f32", "f32", "f32", "f16", "bf16"]), label="dtype")
    ndim = draw(st.sampled_from([0, 1, 2, 2, 3, 3]), label="ndim")
    base = draw(st.lists(st.sampled_from([1, 2, 3]), min_size=ndim, max_size=ndim), label="shape")
    for k in range(draw(st.integers(1, 3), label="leaves")):
        shape = [draw(st.sampled_from([e, e, 1])) for e in base]
        shape = shape[draw(st.integers(0, len(shape))):] if k else shape  # leading axes may be missing
        values = draw(element_values(shape, wild=False))
        rg = k == 0 or draw(st.booleans())
        model = Model(values.astype(NP[dtype]), dtype, rg, p.gen if rg else None)
        p.keep(Item(p.call(lambda: Tensor(values, dtype, requires_grad=rg), model), model))
    for _ in range(draw(st.integers(5, 30), label="operations")):
        # Mostly one of the newest tensors, so that graphs grow deep as well as wide.
        recent = p.every[-3:]
        a = draw(st.one_of(st.sampled_from(recent), st.sampled_from(recent), st.sampled_from(p.every)),
                 label="operand")
        kind = draw(st.sampled_from(["arith", "arith", "arith", "matmul", "gram", "number", "relu", "reshape",
                                     "transpose"]), label="operation")
        if kind == "arith":
            p.arithmetic(a, data, draw(st.sampled_from(["+", "-", "*", "/"])))
        elif kind == "matmul":
            p.matmul(a, data)
        elif kind == "gram" and a.model.value.ndim >= 2:  # a @ a^T, a product that always fits
            n = a.model.value.ndim
            at = p.transpose(a, n - 1, n - 2)
            if isinstance(at, Item):
                p.matmul(a, data, b=at)
        elif kind == "number":
            p.with_number(a, draw(st.sampled_from(FINITE_NUMBERS)), draw(st.booleans()),
                          draw(st.sampled_from(["+", "-", "*", "/"])))
        elif kind == "relu":
            p.rectify(a)
        elif kind == "reshape":
            p.reshape(a, data)
        else:
            p.transpose(a, draw(st.integers(0, 3)), draw(st.integers(0, 3)))
    roots = list(p.differentiable())
    root = draw(st.one_of(st.just(roots[-1]), st.sampled_from(roots)), label="root")
    # A random cotangent instead of all ones, which would hide transposed or misplaced gradients.
    shape = root.model.shape
    cotangent = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).choice([-2.0, -1.0, 0.5, 1.0, 3.0], shape)
    weights = Item(Tensor(cotangent, dtype), Model(cotangent.astype(NP[dtype]), dtype))
    weighted = p.arithmetic(root, data, "*", b=weights)
    p.backward(weighted)
    p.teardown()


def test_random_programs():
    run_state_machine_as_test(
        Programs,
        settings=settings(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
                          suppress_health_check=list(HealthCheck)),
    )
    print(f"\nfuzzing: {CALLS} library calls in {EXAMPLES} programs of up to {STEPS} steps")
