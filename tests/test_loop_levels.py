"""Every instruction-set level of the element-wise inner loops gives the same bits as the level the
engine selects on this processor (which the rest of the suite checks against NumPy): the levels
this machine does not select would otherwise never run."""

import numpy as np
import pytest

t = pytest.importorskip("_norva_testing")

ARITH = ["add", "sub", "mul", "div"]
CMP = ["eq", "ne", "lt", "le", "gt", "ge"]
RAW = {"f32": np.float32, "f16": np.uint16, "bf16": np.uint16, "bool": np.uint8}
OTHER_LEVELS = [lv for lv in t.levels() if lv != t.selected_level()]


def operands(dtype, n, seed):
    """Random encodings with zeros of both signs, infinities, NaNs and subnormals mixed in."""
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return [rng.integers(0, 2, n, dtype=np.uint8) for _ in range(2)]
    if dtype == "f32":
        special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45, -3e-39, 3.4e38, 1.0],
                           np.float32)
        out = []
        for _ in range(2):
            x = rng.integers(0, 2**32, n, dtype=np.uint64).astype(np.uint32).view(np.float32)
            x[::3] = rng.choice(special, x[::3].shape)
            out.append(np.ascontiguousarray(x))
        return out
    # 16-bit: every encoding appears, paired against shuffled encodings.
    x = np.resize(np.arange(2**16, dtype=np.uint16), n)
    return [x, rng.permutation(x)]


def same_bits(x, y):
    x, y = np.asarray(x), np.asarray(y)
    if x.dtype == np.float32:
        # Any NaN matches any NaN: the levels may differ only in NaN payloads of binary32 results,
        # which the hardware produces itself; everything else must agree bit for bit.
        xn, yn = np.isnan(x), np.isnan(y)
        assert np.array_equal(xn, yn)
        x, y = x[~xn].view(np.uint32), y[~yn].view(np.uint32)
    np.testing.assert_array_equal(x, y)


@pytest.mark.skipif(not OTHER_LEVELS, reason="only one loop level runs on this processor")
@pytest.mark.parametrize("level", OTHER_LEVELS)
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
@pytest.mark.parametrize("n", [1, 7, 300, 65536])
def test_levels_agree_with_the_selected_one(level, dtype, n):
    a, b = operands(dtype, n, seed=n)
    ops = CMP + (["and", "or", "xor"] if dtype == "bool" else ARITH)
    for op in ops:
        for b_step, bb in ((1, b), (0, b[-1:])):
            got = t.binary_loop(level, op, dtype, a, bb, b_step)
            want = t.binary_loop(t.selected_level(), op, dtype, a, bb, b_step)
            assert got.dtype == want.dtype
            same_bits(got, want)
