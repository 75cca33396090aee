"""The 16-bit element conversions, bit for bit: every binary16 and bfloat16 encoding to binary32,
and every binary32 encoding to binary16 and bfloat16, for the scalar definitions and every
inner-loop level this processor can run (hardware F16C levels and the software one).

Oracles: NumPy's float16 <-> float32 casts and ml_dtypes' bfloat16 <-> float32 casts for every
non-NaN value. Those treat NaN payloads their own way, so NaN results are checked against the
conversion rules directly: a NaN stays NaN, becomes quiet, and keeps the payload bits that fit.

The exhaustive binary32 runs are marked `slow` (deselect with -m "not slow"); the fast tests cover
every rounding boundary of both 16-bit formats.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import ml_dtypes
import numpy as np
import pytest

from norva_core import Tensor

nt = pytest.importorskip("_norva_testing")

BF16 = np.dtype(ml_dtypes.bfloat16)
LEVELS = nt.levels()
ALL_LEVELS = LEVELS + ("scalar",)  # "scalar": the element-by-element definitions
ALL16 = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)


def f32_bits(values) -> np.ndarray:
    return np.asarray(values, np.float32).view(np.uint32)


# ---- the conversion rules for NaNs ----

def f16_nan_rule_from_f32(bits: np.ndarray) -> np.ndarray:
    """binary32 NaN -> binary16: sign, quiet bit 0x200, the top 10 of the 23 mantissa bits."""
    bits = bits.astype(np.uint32)
    return (((bits >> 16) & 0x8000) | 0x7E00 | ((bits >> 13) & 0x3FF)).astype(np.uint16)


def bf16_nan_rule_from_f32(bits: np.ndarray) -> np.ndarray:
    """binary32 NaN -> bfloat16: the upper half with the quiet bit 0x40."""
    return ((bits.astype(np.uint32) >> 16) | 0x40).astype(np.uint16)


def is_f32_nan(bits: np.ndarray) -> np.ndarray:
    return (bits & 0x7FFFFFFF) > 0x7F800000


# ---- 16-bit -> binary32: all 65,536 encodings ----

@pytest.mark.parametrize("level", ALL_LEVELS)
def test_f16_to_f32_every_encoding(level):
    got = nt.widen("f16", ALL16, level)
    h = ALL16.astype(np.uint32)
    nan = ((h & 0x7C00) == 0x7C00) & ((h & 0x3FF) != 0)
    expected = ALL16.view(np.float16).astype(np.float32).view(np.uint32)
    np.testing.assert_array_equal(got[~nan], expected[~nan])
    # NaN: the 10 payload bits move to the top of the mantissa and the quiet bit is set
    rule = ((h & 0x8000) << 16) | 0x7F800000 | ((h & 0x3FF) << 13) | 0x00400000
    np.testing.assert_array_equal(got[nan], rule[nan])
    assert np.isnan(got[nan].view(np.float32)).all()
    # subnormal binary16 values become normal binary32 values
    sub = ((h & 0x7C00) == 0) & ((h & 0x3FF) != 0)
    assert ((got[sub] >> 23) & 0xFF).min() > 0


@pytest.mark.parametrize("level", ALL_LEVELS)
def test_bf16_to_f32_every_encoding(level):
    got = nt.widen("bf16", ALL16, level)
    b = ALL16.astype(np.uint32)
    nan = (b & 0x7FFF) > 0x7F80
    expected = ALL16.view(BF16).astype(np.float32).view(np.uint32)
    np.testing.assert_array_equal(got[~nan], expected[~nan])
    np.testing.assert_array_equal(got[nan], (b[nan] | 0x40) << 16)
    # payloads are kept: quieting is the only change
    np.testing.assert_array_equal(got[nan] & ~np.uint32(0x00400000), b[nan] << 16 & ~np.uint32(0x00400000))


# ---- binary32 -> 16-bit: the named cases and every rounding boundary ----

@pytest.mark.parametrize("level", ALL_LEVELS)
@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("f16", 65520.0, 0x7C00),  # half-way to 2^16: ties to even, which is infinity
        ("f16", -65520.0, 0xFC00),
        ("f16", 65519.0, 0x7BFF),  # 65504, the largest binary16 value
        ("f16", 2.0**-25, 0x0000),  # half the smallest subnormal: ties to even zero
        ("f16", 3 * 2.0**-25, 0x0002),  # 1.5 units: ties to even 2
        ("f16", -(2.0**-25) * 1.0000001, 0x8001),
        ("f16", 2.0**-14 - 2.0**-25, 0x0400),  # rounds up out of the subnormals
        ("bf16", 1.00390625, 0x3F80),  # 1 + 2^-8: half-way, ties to the even 1.0
        ("bf16", 1.01171875, 0x3F82),  # 1 + 3 * 2^-8: half-way, ties to the even 1.015625
        ("bf16", float(np.finfo(np.float32).max), 0x7F80),  # carries into infinity
        ("bf16", -0.0, 0x8000),
    ],
)
def test_named_narrowings(level, kind, value, expected):
    assert nt.narrow(kind, f32_bits([value]), level)[0] == expected


def _boundary_patterns(all16_as_f32: np.ndarray) -> np.ndarray:
    """binary32 encodings at and next to every midpoint between neighbouring 16-bit values, at
    the values themselves, and the extreme encodings of every exponent."""
    v = all16_as_f32[np.isfinite(all16_as_f32)].astype(np.float64)
    v = np.unique(np.abs(v))
    mids = ((v[:-1] + v[1:]) / 2).astype(np.float32)  # exact: one more bit than the 16-bit value
    mids = np.concatenate([mids, np.float32([65520.0])])
    core = np.concatenate([mids, v.astype(np.float32)]).view(np.uint32)
    near = np.concatenate([core - 1, core, core + 1])
    exps = np.arange(256, dtype=np.uint32) << 23
    ends = np.concatenate([exps, exps | 1, exps | 0x7FFFFF, exps | 0x400000, exps | 0x3FFFFF])
    pos = np.unique(np.concatenate([near, ends]))
    return np.concatenate([pos, pos | 0x80000000])


F16_BOUNDARIES = _boundary_patterns(ALL16.view(np.float16).astype(np.float32))
BF16_BOUNDARIES = _boundary_patterns(ALL16.view(BF16).astype(np.float32))


@pytest.mark.parametrize("level", ALL_LEVELS)
def test_f32_to_f16_at_rounding_boundaries(level):
    bits = F16_BOUNDARIES
    got = nt.narrow("f16", bits, level)
    nan = is_f32_nan(bits)
    with np.errstate(over="ignore", under="ignore"):
        expected = bits.view(np.float32).astype(np.float16).view(np.uint16)
    np.testing.assert_array_equal(got[~nan], expected[~nan])
    np.testing.assert_array_equal(got[nan], f16_nan_rule_from_f32(bits[nan]))


@pytest.mark.parametrize("level", ALL_LEVELS)
def test_f32_to_bf16_at_rounding_boundaries(level):
    bits = BF16_BOUNDARIES
    got = nt.narrow("bf16", bits, level)
    nan = is_f32_nan(bits)
    with np.errstate(invalid="ignore"):
        expected = bits.view(np.float32).astype(BF16).view(np.uint16)
    np.testing.assert_array_equal(got[~nan], expected[~nan])
    np.testing.assert_array_equal(got[nan], bf16_nan_rule_from_f32(bits[nan]))


@pytest.mark.parametrize("kind", ["f16", "bf16"])
def test_nan_payloads_survive_narrowing(kind):
    """Signalling and quiet NaNs of both signs with payloads in the kept and the dropped bits."""
    rng = np.random.default_rng(7)
    mant = np.concatenate([
        np.uint32([1, 0x1FFF, 0x2000, 0x3FFFFF, 0x400000, 0x7FFFFF, 0x10000, 0xFFFF]),
        rng.integers(1, 1 << 23, 4096, dtype=np.uint32),
    ])
    bits = np.concatenate([0x7F800000 | mant, 0xFF800000 | mant]).astype(np.uint32)
    rule = f16_nan_rule_from_f32 if kind == "f16" else bf16_nan_rule_from_f32
    for level in ALL_LEVELS:
        np.testing.assert_array_equal(nt.narrow(kind, bits, level), rule(bits), err_msg=level)


@pytest.mark.parametrize("mode", ["down", "up", "zero", "ftz-daz", "zero-ftz-daz"])
@pytest.mark.parametrize("level", ALL_LEVELS)
def test_conversions_ignore_the_floating_point_mode(level, mode):
    """The hardware conversions fix their rounding by the instruction, the software ones use only
    exact steps: neither the rounding mode nor flush-to-zero / denormals-are-zero changes a
    result (subnormal inputs and results included)."""
    for kind, bits in (("f16", F16_BOUNDARIES), ("bf16", BF16_BOUNDARIES)):
        np.testing.assert_array_equal(nt.narrow_in_mode(kind, bits, level, mode),
                                      nt.narrow(kind, bits, level), err_msg=kind)
        np.testing.assert_array_equal(nt.widen_in_mode(kind, ALL16, level, mode),
                                      nt.widen(kind, ALL16, level), err_msg=kind)


# ---- the public surface: conversions inside the kernels ----

@pytest.mark.parametrize("dtype, quiet", [("float16", 0x0200), ("bfloat16", 0x0040)])
@pytest.mark.parametrize("transposed", [False, True])
def test_kernels_round_trip_every_encoding(dtype, quiet, transposed):
    """x * 1.0 widens every 16-bit encoding, multiplies exactly and narrows back: each value is
    unchanged except that NaNs come out quiet with their payload. The transposed operand takes the
    strided path of the kernels."""
    np_dtype = np.float16 if dtype == "float16" else BF16
    x = ALL16.view(np_dtype).reshape(256, 256)
    t = Tensor(x, dtype=dtype)
    if transposed:
        t = t.transpose(0, 1)
        x = x.T
    got = (t * 1.0).to_numpy().view(np.uint16)
    h = np.ascontiguousarray(x).view(np.uint16)
    nan = np.isnan(x.astype(np.float32))
    np.testing.assert_array_equal(got[~nan], h[~nan])
    np.testing.assert_array_equal(got[nan], h[nan] | quiet)


@pytest.mark.parametrize(
    "dtype, number, expected",
    [
        ("float16", 65520.0, 0x7C00),
        ("float16", 65519.0, 0x7BFF),
        ("bfloat16", 1.00390625, 0x3F80),
        ("bfloat16", 1.01171875, 0x3F82),
    ],
)
def test_numbers_narrow_to_the_element_type(dtype, number, expected):
    """A number added to zeros is rounded to the element type first, so the sum shows it."""
    np_dtype = np.float16 if dtype == "float16" else BF16
    got = (Tensor(np.zeros(3, np_dtype), dtype=dtype) + number).to_numpy().view(np.uint16)
    np.testing.assert_array_equal(got, np.full(3, expected, np.uint16))


# ---- exhaustive: every binary32 encoding ----

CHUNK = 1 << 22  # within one exponent and sign: 2^23 encodings each
ALL32 = 1 << 32


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["f16", "bf16"])
def test_every_level_matches_the_scalar_definition(kind):
    """All 2^32 encodings through every loop level, compared in C++ with the scalar definition."""
    result = nt.check_narrow(kind, 0, ALL32)
    assert set(result) == set(LEVELS)
    assert result == {level: (0, None) for level in LEVELS}


@pytest.mark.parametrize("kind", ["f16", "bf16"])
@pytest.mark.parametrize(
    "start",
    [0x33000000 - 0x800, 0x387FF000, 0x477FE000, 0x7F7FF000, 0x7F800000 - 0x800, 0xB87FF000],
    ids=["zero-subnormal", "subnormal-normal", "f16-overflow", "bf16-overflow", "inf-nan", "negative"],
)
def test_every_level_matches_the_scalar_definition_around_boundaries(kind, start):
    """The C++ comparison of the slow test above on short ranges across the format boundaries."""
    assert nt.check_narrow(kind, start, 1 << 13) == {level: (0, None) for level in LEVELS}


def test_range_arguments_are_checked():
    with pytest.raises(ValueError):
        nt.check_narrow("f16", ALL32 - 5, 6)
    with pytest.raises(ValueError):
        nt.narrow_range("bf16", "scalar", ALL32, 1)
    with pytest.raises(ValueError):
        nt.narrow("f32", f32_bits([1.0]), "scalar")
    with pytest.raises(TypeError):
        nt.narrow("f16", np.float32([1.0]), "scalar")


_OFFSETS = np.arange(CHUNK, dtype=np.uint32)


def _run_chunks(check) -> None:
    """Calls check(start) for the chunk of every start on a few threads (NumPy and the test module
    release the interpreter lock while they convert) and fails with the first mismatch found."""
    with ThreadPoolExecutor(min(4, os.cpu_count() or 1)) as pool:
        for message in pool.map(check, range(0, ALL32, CHUNK)):
            if message:
                pool.shutdown(cancel_futures=True)
                pytest.fail(message)


def _mismatch(bits: np.ndarray, got: np.ndarray, expected: np.ndarray, oracle: str) -> str | None:
    if np.array_equal(got, expected):
        return None
    i = np.flatnonzero(got != expected)[0]
    return f"0x{int(bits[i]):08x}: got 0x{int(got[i]):04x}, {oracle} 0x{int(expected[i]):04x}"


@pytest.mark.slow
def test_f32_to_f16_every_encoding_against_numpy():
    """The level the engine uses, over all 2^32 encodings. NumPy's cast is the oracle wherever the
    binary16 result is normal. Where it is subnormal, zero or infinite, NumPy's cast raises a
    floating-point flag per element and takes ~50 ns each, so there it checks a sample of every
    chunk, and every element is checked against exact float64 rounding (subnormals) or the forced
    result (zero below 2^-25, infinity from 2^16). NaNs follow the rule."""
    level = nt.selected_level()

    def check(start):
        got = nt.narrow_range("f16", level, start, CHUNK)
        exp = (start >> 23) & 0xFF
        sign = np.uint16((start >> 16) & 0x8000)
        if exp == 0xFF:
            bits = _OFFSETS + np.uint32(start)
            inf = (bits & 0x7FFFFFFF) == 0x7F800000
            expected = np.where(inf, sign | np.uint16(0x7C00), f16_nan_rule_from_f32(bits))
            return _mismatch(bits, got, expected, "rule")
        if 113 <= exp <= 142:
            bits = _OFFSETS + np.uint32(start)
            with np.errstate(over="ignore"):
                expected = bits.view(np.float32).astype(np.float16).view(np.uint16)
            return _mismatch(bits, got, expected, "NumPy")
        if 102 <= exp <= 112:
            bits = _OFFSETS + np.uint32(start)
            units = np.rint(np.abs(bits.view(np.float32).astype(np.float64)) * 2.0**24)
            message = _mismatch(bits, got, sign | units.astype(np.uint16), "exact rounding")
        else:
            forced = sign | np.uint16(0x7C00 if exp >= 143 else 0)
            bad = np.flatnonzero(got != forced)
            message = f"0x{start + int(bad[0]):08x}: got 0x{int(got[bad[0]]):04x}" if bad.size else None
        idx = np.arange(0, CHUNK, 211)
        sample = (idx + start).astype(np.uint32)
        with np.errstate(over="ignore", under="ignore"):
            oracle = sample.view(np.float32).astype(np.float16).view(np.uint16)
        return message or _mismatch(sample, got[idx], oracle, "NumPy")

    _run_chunks(check)


@pytest.mark.slow
def test_f32_to_bf16_every_encoding_against_ml_dtypes():
    """The level the engine uses, against ml_dtypes' cast for every non-NaN encoding; NaNs follow
    the rule."""
    level = nt.selected_level()

    def check(start):
        got = nt.narrow_range("bf16", level, start, CHUNK)
        bits = _OFFSETS + np.uint32(start)
        if (start >> 23) & 0xFF == 0xFF:
            inf = (bits & 0x7FFFFFFF) == 0x7F800000
            expected = np.where(inf, (bits >> 16).astype(np.uint16), bf16_nan_rule_from_f32(bits))
            return _mismatch(bits, got, expected, "rule")
        return _mismatch(bits, got, bits.view(np.float32).astype(BF16).view(np.uint16), "ml_dtypes")

    _run_chunks(check)


def test_range_conversion_matches_array_conversion():
    """narrow_range (used by the exhaustive runs) converts the encodings it says it does."""
    start, count = 0x477FE000, 0x3000  # across 65504 .. infinity
    bits = np.arange(start, start + count, dtype=np.uint32)
    for kind in ("f16", "bf16"):
        for level in ALL_LEVELS:
            np.testing.assert_array_equal(nt.narrow_range(kind, level, start, count),
                                          nt.narrow(kind, bits, level))
