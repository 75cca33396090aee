"""Engine internals seen through the private test-only module: the memory-order rules for fresh
results (with stride lists the public surface cannot produce) and the per-thread tape (node ids,
gradient slots and the access guard) of that module's own copy of the engine."""

from __future__ import annotations


import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from helpers import _classify, col_major_strides, row_major_strides, run_in_thread

nt = pytest.importorskip("_norva_testing")


# ---- layout ----

def _strided_views():
    """NumPy views with assorted memory orders: permuted axes, steps (also negative) and
    broadcasting (stride 0), as (shape, strides in elements, C-contiguous, F-contiguous)."""
    shapes = st.lists(st.integers(0, 4), min_size=0, max_size=4)

    @st.composite
    def build(draw):
        shape = draw(shapes)
        n = len(shape)
        perm = draw(st.permutations(range(n)))
        steps = [draw(st.sampled_from([1, 1, 2, -1])) for _ in range(n)]
        base = np.empty([e * abs(s) for e, s in zip(shape, steps)], np.float32)
        view = base[tuple(slice(None, None, s) for s in steps)]
        view = view.transpose(perm)
        if n and draw(st.booleans()):
            axis = draw(st.integers(0, n - 1))
            target = list(view.shape)
            if target[axis] == 1:
                target[axis] = draw(st.integers(1, 3))
                view = np.broadcast_to(view, target)
        strides = [s // view.itemsize for s in view.strides]
        return list(view.shape), strides, view.flags.c_contiguous, view.flags.f_contiguous

    return build()


@given(_strided_views())
def test_contiguity_tests_agree_with_numpy_flags(case):
    shape, strides, c_contig, f_contig = case
    assert nt.is_row_major(shape, strides) == c_contig
    assert nt.is_col_major(shape, strides) == f_contig


@pytest.mark.parametrize("shape", [[], [5], [2, 3], [2, 1, 4], [3, 0, 2], [0], [1, 1]])
def test_fresh_strides(shape):
    assert list(nt.row_major_strides(shape)) == row_major_strides(shape)
    assert list(nt.col_major_strides(shape)) == col_major_strides(shape)
    if 0 in shape:
        assert set(nt.row_major_strides(shape)) <= {0}
    else:
        # the same strides NumPy gives a fresh C- / Fortran-ordered array
        assert list(nt.row_major_strides(shape)) == [s // 4 for s in np.empty(shape, np.float32).strides]
        assert list(nt.col_major_strides(shape)) == [
            s // 4 for s in np.empty(shape, np.float32, order="F").strides]


def _expected_row_major(shape, a, b) -> bool:
    ra, ca, ta = _classify(shape, a)
    rb, cb, tb = _classify(shape, b)
    if ra and rb:
        return True
    if ca and cb:
        return False
    return ta + tb >= 0


@st.composite
def _operand_pairs(draw):
    """A common shape and two stride lists for it: row-major, column-major, permuted, broadcast
    (0 on some axes) or arbitrary small strides."""
    shape = draw(st.lists(st.integers(0, 4), max_size=4))
    n = len(shape)

    def strides():
        kind = draw(st.sampled_from(["row", "col", "perm", "broadcast", "random"]))
        if kind == "row":
            return row_major_strides(shape)
        if kind == "col":
            return col_major_strides(shape)
        if kind == "perm":
            perm = draw(st.permutations(range(n)))
            inner = row_major_strides([shape[p] for p in perm])
            out = [0] * n
            for pos, axis in enumerate(perm):
                out[axis] = inner[pos]
            return out
        if kind == "broadcast":
            s = row_major_strides(shape)
            return [0 if draw(st.booleans()) else v for v in s]
        return [draw(st.integers(-3, 12)) for _ in range(n)]

    return shape, strides(), strides()


@given(_operand_pairs())
def test_two_operand_layout_rule(case):
    shape, a, b = case
    assert nt.two_operand_row_major(shape, a, b) == _expected_row_major(shape, a, b)
    # the rule is symmetric in its operands
    assert nt.two_operand_row_major(shape, b, a) == nt.two_operand_row_major(shape, a, b)


@pytest.mark.parametrize(
    "shape, a, b, row_major",
    [
        ([3, 2], [1, 3], [1, 3], False),  # two transposed 2 x 3 operands
        ([3, 2], [1, 3], [2, 1], True),  # transposed + row-major: tendencies -2 and +2
        ([2, 3, 4], [1, 2, 6], [1, 2, 6], False),  # column-major 3-D
        # column-major (-2) with a row-major operand broadcast over axis 0 (no flag, +1)
        ([2, 3, 4], [1, 2, 6], [0, 4, 1], False),
        ([2, 3, 4], [1, 2, 6], [12, 4, 1], True),  # -2 and +2
        ([4, 5], [1, 0], [1, 0], False),  # column stride 1, broadcast rows: tendency -1 each
        ([4, 5], [1, 0], [0, 1], True),  # -1 and +1 sum to 0
        ([7], [1], [0], True),  # at most one long axis: both flags
        ([], [], [], True),
        ([2, 0, 3], [5, 7, 9], [1, 1, 1], True),  # an empty extent is contiguous both ways
    ],
)
def test_two_operand_layout_examples(shape, a, b, row_major):
    assert nt.two_operand_row_major(shape, a, b) is row_major


def test_layout_arguments_are_checked():
    with pytest.raises(ValueError, match="one entry per axis"):
        nt.two_operand_row_major([2, 3], [3, 1], [1])
    with pytest.raises(OverflowError):
        nt.row_major_strides([-1])


# ---- tape ----

@pytest.fixture
def tape():
    """This thread's tape of the test module, emptied before and after the test."""
    nt.tape_clear()
    yield nt
    nt.tape_clear()



def test_ids_are_dense_per_thread_and_restart_after_clear(tape):
    assert [tape.tape_push_leaf() for _ in range(3)] == [0, 1, 2]
    assert tape.tape_size() == 3

    def other():
        # a fresh thread starts its own tape at 0, untouched by this thread's three nodes
        first = [nt.tape_size()] + [nt.tape_push_leaf() for _ in range(2)]
        nt.tape_clear()
        return first + [nt.tape_push_leaf()]

    assert run_in_thread(other) == [0, 0, 1, 0]
    assert tape.tape_size() == 3
    assert tape.tape_push_leaf() == 3
    tape.tape_clear()
    assert tape.tape_size() == 0
    assert tape.tape_push_leaf() == 0


def test_gradient_slots_pad_and_copy(tape):
    for _ in range(2):
        tape.tape_push_leaf()
    g = np.arange(6, dtype=np.float32).reshape(2, 3)
    tape.tape_set_grad(5, g)  # beyond the last slot: pads with empty slots
    np.testing.assert_array_equal(tape.tape_grad(5), g)
    for i in (0, 1, 2, 3, 4, 6, 1000):
        assert tape.tape_grad(i) is None
    # the nodes are untouched: the next id is still the number of nodes
    assert tape.tape_size() == 2
    assert tape.tape_push_leaf() == 2
    # each read is an independent copy
    got = tape.tape_grad(5)
    got[...] = -1
    np.testing.assert_array_equal(tape.tape_grad(5), g)
    # a padded slot can be set like any other, and setting replaces
    tape.tape_set_grad(3, g * 2)
    tape.tape_set_grad(5, g[:1])
    np.testing.assert_array_equal(tape.tape_grad(3), g * 2)
    np.testing.assert_array_equal(tape.tape_grad(5), g[:1])
    tape.tape_clear()
    assert tape.tape_grad(5) is None and tape.tape_grad(3) is None


def test_gradient_slots_are_per_thread(tape):
    tape.tape_set_grad(0, np.ones(3, np.float32))
    assert run_in_thread(lambda: nt.tape_grad(0)) is None
    np.testing.assert_array_equal(tape.tape_grad(0), np.ones(3, np.float32))


def test_absurd_slot_id_fails_cleanly(tape):
    # far beyond any possible list: an exception, never a crash, and the tape stays usable
    with pytest.raises((MemoryError, nt.InternalError)):
        tape.tape_set_grad(2**62, np.ones(1, np.float32))
    assert tape.tape_push_leaf() == 0


@pytest.mark.parametrize(
    "first, second",
    [("exclusive", "exclusive"), ("exclusive", "shared"), ("shared", "exclusive")],
)
def test_conflicting_tape_access_is_an_internal_error(tape, first, second):
    assert issubclass(nt.InternalError, BaseException)
    assert not issubclass(nt.InternalError, Exception)
    with pytest.raises(nt.InternalError, match="conflicting access"):
        tape.tape_access_conflict(first, second)
    # both accesses were released on the way out: the tape is usable again
    assert tape.tape_push_leaf() == 0
    assert tape.tape_size() == 1


def test_shared_tape_access_may_nest(tape):
    assert tape.tape_access_conflict("shared", "shared") is None
    assert tape.tape_push_leaf() == 0
