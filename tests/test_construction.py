"""The module, the Tensor class, the constructor and to_numpy()."""

import weakref

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import norva_core
from helpers import run_in_thread
from norva_core import Tensor
from helpers import (
    ALL_DTYPES,
    BF16,
    NP_DTYPE,
    assert_tensor_equal,
    assert_values_equal,
    bits,
    layout_tensor,
    row_major_strides,
    single_operands,
)

NOTE = "while processing '{}'"


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# ---- module and class ----

def test_module_layout():
    assert norva_core.__all__ == ["Tensor", "nn"]
    assert norva_core.__doc__ == ""
    assert norva_core.__name__ == "norva_core"
    assert isinstance(norva_core.nn, type(norva_core))
    assert norva_core.nn.__all__ == ["functional"]
    assert issubclass(norva_core.InternalError, BaseException)
    assert not issubclass(norva_core.InternalError, Exception)
    assert "InternalError" not in norva_core.__all__


def test_class_identity_and_signature():
    assert Tensor.__name__ == "Tensor"
    assert Tensor.__module__ == "norva"
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    assert not Tensor.__doc__  # the signature is all the documentation there is
    assert Tensor.__bases__ == (object,)
    t = Tensor([1.0])
    assert repr(t).startswith("<norva.Tensor object at 0x")


METHOD_SIGNATURES = {
    "grad": "($self)",
    "__req__": "($self, other)",
    "__rlt__": "($self, other)",
    "__rgt__": "($self, other)",
    "to_numpy": "($self)",
    "zeros_like": "($self)",
    "ones_like": "($self)",
    "reshape": "($self, shape)",
    "transpose": "($self, dim0, dim1)",
    "backward": "($self)",
    "clear_graph": "()",
}


@pytest.mark.parametrize("name,sig", sorted(METHOD_SIGNATURES.items()))
def test_method_text_signatures(name, sig):
    assert getattr(Tensor, name).__text_signature__ == sig


def test_member_list_is_complete():
    public = {n for n in dir(Tensor) if not n.startswith("_")}
    assert public == {
        "shape", "ndim", "strides", "dtype", "device", "requires_grad",
        "grad", "to_numpy", "zeros_like", "ones_like", "reshape", "transpose", "backward", "clear_graph",
    }
    for absent in ("__neg__", "__pos__", "__abs__", "__pow__", "__floordiv__", "__mod__", "__lshift__",
                   "__len__", "__getitem__", "__iter__", "__bool__", "__int__", "__float__", "__iadd__",
                   "__imul__", "__weakref__"):
        assert not hasattr(Tensor, absent), absent
    assert not hasattr(Tensor([1.0]), "__dict__")
    assert Tensor.__repr__ is object.__repr__
    assert isinstance(Tensor.__dict__["clear_graph"], staticmethod)
    for prop in ("shape", "ndim", "strides", "dtype", "device", "requires_grad"):
        descr = Tensor.__dict__[prop]
        assert descr.__doc__ is None
        with pytest.raises(AttributeError):
            descr.__set__(Tensor([1.0]), 1)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})


def test_instances_have_no_dict_no_weakref_no_hash():
    t = Tensor([1.0, 2.0])
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(AttributeError):
        t.shape = [2]
    with pytest.raises(TypeError):
        weakref.ref(t)
    with pytest.raises(TypeError):
        hash(t)
    assert Tensor.__hash__ is None
    assert bool(Tensor([0.0])) is True  # no truth value of its own
    for bad in (len, iter, int, float, lambda x: x[0], lambda x: -x, abs):
        with pytest.raises(TypeError):
            bad(t)


# ---- constructor: element types ----

DTYPE_SPELLINGS = [
    (None, "f32"), ("f32", "f32"), ("float32", "f32"), (np.float32, "f32"), (np.dtype("float32"), "f32"),
    ("f16", "f16"), ("float16", "f16"), (np.float16, "f16"), (np.dtype(np.float16), "f16"),
    ("bf16", "bf16"), ("bfloat16", "bf16"), (ml_dtypes.bfloat16, "bf16"), (BF16, "bf16"),
    ("bool", "bool"), (bool, "bool"), (np.bool_, "bool"), (np.dtype(bool), "bool"),
]


@pytest.mark.parametrize("spelling,name", DTYPE_SPELLINGS, ids=lambda v: repr(v))
def test_dtype_spellings(spelling, name):
    data = [[0.0, 1.5], [-2.0, 3.0]]
    t = Tensor(data, dtype=spelling)
    assert t.dtype == name
    assert_tensor_equal(t, np.array(data, dtype=NP_DTYPE[name]))
    # The reported name is accepted back.
    assert Tensor(data, dtype=t.dtype).dtype == name


def test_dtype_str_subclass_and_keyword_forms():
    class Name(str):
        pass

    assert Tensor([1], Name("f16")).dtype == "f16"
    assert Tensor(data=[1], dtype="bool", device="cpu", requires_grad=False).dtype == "bool"
    assert Tensor([1], "bf16", "cpu", False).dtype == "bf16"


def test_dtype_from_numpy_dtype_protocol():
    # No __name__ on the instance: the name comes from numpy.dtype(obj).name.
    class HasDtype:
        dtype = np.dtype(np.float16)

    assert Tensor([1.0], dtype=HasDtype()).dtype == "f16"


@pytest.mark.parametrize(
    "spelling,shown",
    [(float, "float"), ("Float32", "Float32"), ("float64", "float64"), (np.float64, "float64"),
     (np.dtype("int32"), "int32"), (int, "int"), ("F32", "F32"), (" f32", " f32"), ("f32 ", "f32 "),
     ("", ""), ("bool_", "bool_"), ("float32\0", "float32\0")],
    ids=repr,
)
def test_unsupported_dtype_message(spelling, shown):
    with pytest.raises(ValueError) as e:
        Tensor([1.0], dtype=spelling)
    assert str(e.value) == f"Unsupported or invalid data type: '{shown}'"


def test_unencodable_dtype_name_is_an_unsupported_name():
    with pytest.raises(ValueError) as e:
        Tensor([1.0], dtype="f\udc80")
    assert str(e.value) == "Unsupported or invalid data type: 'f\udc80'"


def test_dtype_name_attribute_must_be_str():
    class Odd:
        __name__ = 3

    with pytest.raises(TypeError):
        Tensor([1.0], dtype=Odd())


@pytest.mark.parametrize("spelling", [object(), 3.5, [1, 2]], ids=repr)
def test_dtype_numpy_refusal_propagates(spelling):
    # Neither a str nor an object with __name__: numpy.dtype decides, and its error is raised.
    with pytest.raises(TypeError) as e:
        Tensor([1.0], dtype=spelling)
    assert "Unsupported or invalid data type" not in str(e.value)


# ---- constructor: device and requires_grad ----

@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPU"])
def test_device_accepted(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", ["cuda", " cpu", "cpu ", "", "cpu0", "cpu\0"])
def test_device_refused(device):
    with pytest.raises(ValueError) as e:
        Tensor([1.0], device=device)
    assert str(e.value) == "The device string is invalid or not supported."


def test_device_lower_casing_is_the_str_rule():
    class Shout(str):
        def lower(self):
            return "cpu"

    with pytest.raises(ValueError):
        Tensor([1.0], device=Shout("gpu"))
    assert Tensor([1.0], device=Shout("CPU")).device == "cpu"


@pytest.mark.parametrize("device", [None, 1, b"cpu", ["cpu"]], ids=repr)
def test_device_type_error_has_note(device):
    with pytest.raises(TypeError) as e:
        Tensor([1.0], device=device)
    assert notes(e) == [NOTE.format("device")]


@pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False), np.True_])
def test_requires_grad_accepted(flag):
    t = Tensor([1.0], requires_grad=flag)
    assert t.requires_grad is bool(flag)


@pytest.mark.parametrize("flag", [1, 0, None, "yes", 1.0, np.int64(1), np.array(True)], ids=repr)
def test_requires_grad_refused_with_note(flag):
    with pytest.raises(TypeError) as e:
        Tensor([1.0], requires_grad=flag)
    assert notes(e) == [NOTE.format("requires_grad")]


@pytest.mark.parametrize(
    "kwargs,exc,fragment",
    [
        # The device is checked before the element type ...
        (dict(dtype="float64", device="gpu"), ValueError, "device string"),
        # ... the device's type before requires_grad's ...
        (dict(device=None, requires_grad=1), TypeError, "device"),
        # ... requires_grad's type before the device name ...
        (dict(device="gpu", requires_grad=1), TypeError, "requires_grad"),
        # ... and the element type before NumPy sees the data.
        (dict(data=[[1.0], [1.0, 2.0]], dtype="float64"), ValueError, "Unsupported or invalid data type"),
        (dict(data=[[1.0], [1.0, 2.0]], device="gpu"), ValueError, "device string"),
    ],
)
def test_order_of_checks(kwargs, exc, fragment):
    kwargs.setdefault("data", [1.0])
    with pytest.raises(exc) as e:
        Tensor(**kwargs)
    if exc is TypeError:
        assert notes(e) == [NOTE.format(fragment)]
    else:
        assert fragment in str(e.value)


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), (([1.0], None, "cpu", False, 1), {}), (([1.0],), {"dtypes": "f32"}),
     (([1.0], "f32"), {"dtype": "f32"}), ((), {"dtype": "f32"})],
)
def test_argument_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        Tensor(*args, **kwargs)


# ---- constructor: data ----

@pytest.mark.parametrize(
    "data",
    [3.5, 7, True, [], [[]], [1, 2, 3], [[1.5, -2], [3, 4e3]], np.float64(2.5), np.arange(12).reshape(3, 4),
     np.zeros((0, 3)), np.ones((2, 0, 4)), [np.float32(1), 2.0], range(4)],
    ids=lambda d: type(d).__name__ + str(np.shape(d)),
)
@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_data_converted_like_numpy_array(data, dtype):
    expected = np.array(data, dtype=NP_DTYPE[dtype])
    t = Tensor(data, dtype=dtype)
    assert_tensor_equal(t, expected)
    assert t.strides == row_major_strides(expected.shape)
    assert t.requires_grad is False
    assert t.grad() is None


def test_zero_dimensional():
    t = Tensor(3.5)
    assert (t.shape, t.strides, t.ndim) == ([], [], 0)
    a = t.to_numpy()
    assert a.shape == () and a.dtype == np.float32 and a[()] == 3.5


def test_zero_extent_strides():
    t = Tensor(np.zeros((0, 3), np.float32))
    assert t.shape == [0, 3] and t.strides == [0, 0]
    assert t.to_numpy().shape == (0, 3)


def test_numpy_errors_propagate():
    with pytest.raises(ValueError) as e:
        Tensor([[1.0], [1.0, 2.0]])
    assert "Unsupported" not in str(e.value)
    with pytest.raises(ValueError):
        Tensor("abc")
    with pytest.raises(TypeError):
        Tensor({1: 2})


def test_array_protocol_objects():
    class Arr:
        def __array__(self, dtype=None, copy=None):
            return np.arange(6.0).reshape(2, 3).astype(dtype or np.float64)

    class Iface:
        def __init__(self):
            self._a = np.array([[1, 2], [3, 4]], dtype=np.int16)
            self.__array_interface__ = self._a.__array_interface__

    assert_tensor_equal(Tensor(Arr()), np.arange(6.0, dtype=np.float32).reshape(2, 3))
    assert_tensor_equal(Tensor(Iface(), dtype="f16"), np.array([[1, 2], [3, 4]], np.float16))


def _unaligned(values):
    raw = bytearray(values.nbytes + 1)
    a = np.frombuffer(raw, dtype=values.dtype, count=values.size, offset=1).reshape(values.shape)
    a[...] = values
    return a


@pytest.mark.parametrize("dtype", ALL_DTYPES)
@pytest.mark.parametrize(
    "make",
    [
        lambda a: np.asfortranarray(a),
        lambda a: a[::-1, ::2],
        lambda a: a.transpose(2, 0, 1),
        lambda a: a[:, 1:3, ::-2],
        lambda a: np.broadcast_to(a[:1], a.shape),
        _unaligned,
        lambda a: a.astype(a.dtype.newbyteorder(">")) if a.dtype.itemsize > 1 and a.dtype != BF16 else a,
    ],
    ids=["fortran", "negative", "permuted", "sliced", "broadcast", "unaligned", "byteswapped"],
)
def test_non_contiguous_and_misaligned_inputs(make, dtype):
    base = (np.arange(24).reshape(2, 3, 4) % 5 - 2).astype(NP_DTYPE[dtype])
    src = make(base)
    expected = np.array(src, dtype=NP_DTYPE[dtype])
    t = Tensor(src, dtype=dtype)
    assert_tensor_equal(t, expected)
    assert t.strides == row_major_strides(expected.shape)


def test_input_is_copied():
    a = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    t = Tensor(a)
    a[0] = 99.0
    assert t.to_numpy()[0] == 1.0


@pytest.mark.parametrize(
    "data,dtype",
    [([65519.0, 65520.0, 1e-8, 3e-8, -1e-9], "f16"), ([1.00390625, 1.01171875, 3.4e38, 1e-40], "bf16"),
     ([0.1, 1e40, -1e-50, 16777217.0], "f32"), ([0, 2, -1, 0.5, np.nan], "bool")],
)
def test_data_rounded_by_numpy(data, dtype):
    with np.errstate(over="ignore"):
        assert_tensor_equal(Tensor(data, dtype=dtype), np.array(data, dtype=NP_DTYPE[dtype]))


@given(st.data())
def test_every_encoding_round_trips(data):
    dtype, x, _ = data.draw(single_operands(dtypes=ALL_DTYPES))
    assert_tensor_equal(Tensor(x, dtype=dtype), x)


def test_bfloat16_special_encodings_round_trip():
    enc = np.array([0x0000, 0x8000, 0x0001, 0x7F7F, 0x7F80, 0xFF80, 0x7FC1, 0x3F80], np.uint16)
    out = Tensor(enc.view(BF16), dtype="bf16").to_numpy()
    assert out.dtype == BF16
    np.testing.assert_array_equal(bits(out), enc)


# ---- to_numpy ----

@pytest.mark.parametrize("dtype", ALL_DTYPES)
def test_to_numpy_returns_new_independent_arrays(dtype):
    t = Tensor([[1, 0, 1], [0, 1, 1]], dtype=dtype)
    a, b = t.to_numpy(), t.to_numpy()
    assert a is not b
    assert not np.shares_memory(a, b)
    assert a.flags.owndata and a.flags.writeable
    a[...] = 0
    assert_values_equal(b, t.to_numpy())
    assert t.to_numpy().any()


@pytest.mark.parametrize("dtype", ALL_DTYPES)
@pytest.mark.parametrize(
    "shape,perm,order",
    [((2, 3), (0, 1), "C"), ((2, 3), (1, 0), "F"), ((2, 3, 4), (2, 1, 0), "F"), ((2, 3, 4), (0, 2, 1), None),
     ((2, 3, 4), (1, 0, 2), None), ((1, 3), (1, 0), "C"), ((4, 1, 3), (2, 1, 0), "F"), ((0, 3), (1, 0), "C")],
)
def test_to_numpy_layouts(dtype, shape, perm, order):
    values = (np.arange(int(np.prod(shape))).reshape(shape) % 3).astype(NP_DTYPE[dtype])
    t = layout_tensor(values, dtype, perm)
    out = t.to_numpy()
    assert_values_equal(out, values)
    item = out.itemsize
    if order is None:
        # Neither row- nor column-major: copied into a new row-major array.
        assert out.flags.c_contiguous
        assert list(out.strides) == [s * item for s in row_major_strides(shape)]
    else:
        # A block copy keeps the storage's own strides.
        assert list(out.strides) == [s * item for s in t.strides]
        assert out.flags.c_contiguous if order == "C" else out.flags.f_contiguous


def test_to_numpy_of_transposed_storage_is_fortran_block():
    t = Tensor([[1, 2, 3], [4, 5, 6]]).transpose(0, 1)
    out = t.to_numpy()
    assert t.strides == [1, 3]
    assert out.strides == (4, 12) and out.flags.f_contiguous
    np.testing.assert_array_equal(out, [[1, 4], [2, 5], [3, 6]])


# ---- the tape ----


def test_failed_construction_leaves_the_graph_usable():
    # A construction that fails records nothing; the thread's graph keeps working afterwards.
    def body():
        failures = [
            lambda: Tensor([[1.0], [1.0, 2.0]], requires_grad=True),
            lambda: Tensor([1.0], dtype="f64", requires_grad=True),
            lambda: Tensor("x", requires_grad=True),
            lambda: Tensor([1.0], device="gpu", requires_grad=True),
        ]
        for f in failures:
            with pytest.raises((ValueError, TypeError)):
                f()
        x = Tensor([1.0, 2.0], requires_grad=True)
        w = Tensor([3.0, 5.0])
        y = x * w + x
        y.backward()
        return x.grad(), y.grad()

    gx, gy = run_in_thread(body)
    np.testing.assert_array_equal(gx, [4.0, 6.0])
    np.testing.assert_array_equal(gy, [1.0, 1.0])


def test_leaf_only_when_requires_grad():
    x = Tensor([1.0, 2.0], requires_grad=True)
    c = Tensor([1.0, 2.0])
    assert x.requires_grad and not c.requires_grad
    assert c.grad() is None
