"""Threads: many threads building, differentiating and clearing their own graphs at once, tensors
shared between threads for reading, and tensors recorded in one thread used in another."""

import ctypes
import os
import threading

import numpy as np
import pytest

import norva_core
from helpers import run_in_thread
from norva_core import Tensor

relu = norva_core.nn.functional.relu
THREADS = 8
ROUNDS = 1000
STALE = r"graph is gone: it was recorded before Tensor\.clear_graph\(\) or on another thread"

rng = np.random.default_rng(11)
# Read by every thread at once; created here, in the main thread, without gradients.
SHARED_W = Tensor(rng.standard_normal((4, 3)).astype(np.float32))
SHARED_B = Tensor(rng.standard_normal(3).astype(np.float32))
SHARED_H = Tensor(rng.standard_normal((2, 3)).astype(np.float32), dtype="bf16")


def inputs(worker):
    """The worker's own data: a distinct seed per worker, so that results differ between workers
    and a gradient that leaked from one tape into another shows."""
    r = np.random.default_rng(1000 + worker)
    return [r.standard_normal((2, 4)).astype(np.float32) for _ in range(4)]


def work(worker, shared_w, shared_b, shared_h, rounds):
    """Builds, differentiates and clears one graph per round; returns every round's values and
    gradients, as bytes, in order."""
    data = inputs(worker)
    out = []
    for i in range(rounds):
        x = Tensor(data[i % 4], requires_grad=True)
        c = Tensor(data[(i + 1) % 4])
        h = Tensor(data[i % 4], dtype="bf16", requires_grad=True)
        hidden = relu(x @ shared_w + shared_b)  # [2, 3]
        y = (hidden * hidden - c.transpose(0, 1).reshape([2, 4]) @ shared_w / 2.0) * float(i % 7 + 1)
        y.backward()
        hy = h.reshape([4, 2]).transpose(0, 1) @ h.transpose(0, 1) - (shared_h @ shared_h.transpose(0, 1)) * 0.5
        hy.backward()
        out.append(b"".join(a.tobytes() for a in (y.to_numpy(), x.grad(), hidden.grad(), hy.to_numpy(), h.grad())))
        assert c.grad() is None and (y < 0.0).grad() is None
        Tensor.clear_graph()
    return out


def test_threads_match_a_single_threaded_run():
    expected = {k: work(k, SHARED_W, SHARED_B, SHARED_H, ROUNDS) for k in range(THREADS)}
    Tensor.clear_graph()
    results, errors = {}, []
    barrier = threading.Barrier(THREADS)

    def worker(k):
        try:
            barrier.wait()
            results[k] = work(k, SHARED_W, SHARED_B, SHARED_H, ROUNDS)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append((k, e))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for k in range(THREADS):
        assert len(results[k]) == ROUNDS
        mismatched = [i for i in range(ROUNDS) if results[k][i] != expected[k][i]]
        assert not mismatched, f"worker {k}: rounds {mismatched[:10]} differ from the single-threaded run"
    # The workers' results differ from one another, so a mix-up between tapes would have shown.
    assert len({results[k][0] for k in range(THREADS)}) == THREADS


def test_shared_tensors_are_read_concurrently_without_change():
    before = [t.to_numpy() for t in (SHARED_W, SHARED_B, SHARED_H)]
    errors = []

    def reader():
        try:
            for _ in range(300):
                prod = SHARED_W.transpose(0, 1) @ SHARED_W + SHARED_B.reshape([3, 1])
                assert prod.shape == [3, 3]
                assert (SHARED_H == SHARED_H).to_numpy().all()
                SHARED_W.to_numpy(), SHARED_H.strides, SHARED_B.grad()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=reader) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for t, b in zip((SHARED_W, SHARED_B, SHARED_H), before):
        np.testing.assert_array_equal(t.to_numpy(), b)



def test_tensor_from_another_thread_never_links_to_this_threads_nodes():
    """The foreign tensor's node id names a node of this thread's tape too (both tapes have
    nodes 0 and 1); using it must fail instead of silently differentiating that other node."""
    Tensor.clear_graph()
    own = Tensor([5.0, 7.0], requires_grad=True)  # id 0 here
    own_y = own * 3.0  # id 1 here

    def record_elsewhere():
        a = Tensor([1.0, 2.0], requires_grad=True)  # id 0 there
        return a, a * 2.0  # id 1 there

    foreign_leaf, foreign_y = run_in_thread(record_elsewhere)
    for op in (lambda: foreign_y + own, lambda: own * foreign_leaf, lambda: relu(foreign_y),
               lambda: foreign_leaf.reshape([2, 1]), lambda: foreign_y @ own.reshape([2, 1]),
               lambda: 1.0 / foreign_leaf, lambda: foreign_y.backward()):
        with pytest.raises(RuntimeError, match=STALE):
            op()
    assert foreign_leaf.grad() is None and foreign_y.grad() is None
    # This thread's own graph is intact and differentiates on its own.
    own_y.backward()
    np.testing.assert_array_equal(own.grad(), [3.0, 3.0])
    # Data and unrecorded operations of foreign tensors stay usable.
    np.testing.assert_array_equal(foreign_y.to_numpy(), [2.0, 4.0])
    np.testing.assert_array_equal((foreign_y > 3.0).to_numpy(), [False, True])
    np.testing.assert_array_equal((foreign_leaf.ones_like() * 2.0).to_numpy(), [2.0, 2.0])
    Tensor.clear_graph()


def test_main_thread_tensor_used_by_workers():
    x = Tensor([1.0, -1.0], requires_grad=True)
    (x * 4.0).backward()
    errors, seen = [], []

    def worker():
        try:
            seen.append(x.grad())
            try:
                (x * 2.0).backward()
            except RuntimeError as e:
                seen.append(str(e))
            mine = Tensor(x.to_numpy(), requires_grad=True)
            (mine * 5.0).backward()
            seen.append(mine.grad())
            Tensor.clear_graph()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert seen[0::3] == [None] * THREADS
    assert all("another thread" in s for s in seen[1::3])
    for g in seen[2::3]:
        np.testing.assert_array_equal(g, [5.0, 5.0])
    # The workers' clears touched their own tapes only.
    np.testing.assert_array_equal(x.grad(), [4.0, 4.0])
    Tensor.clear_graph()


def sanitized() -> bool:
    """AddressSanitizer keeps freed memory in quarantine, so resident size says nothing there."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")
@pytest.mark.skipif("sanitized()")
def test_ended_threads_release_their_tapes():
    """A thread that ends with a full tape releases its nodes and the storages they hold."""
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)  # glibc

    def rss():
        # Freed blocks the allocator keeps in its arenas (threads get arenas of their own) would
        # count as resident; hand them back first.
        if trim is not None:
            trim(0)
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def fill():
        x = Tensor(np.ones(2**18, np.float32), requires_grad=True)  # 1 MiB
        y = x
        for _ in range(8):
            y = relu(y * x)  # each node holds a 1 MiB storage; about 34 MiB per thread in all
        y.backward()

    run_in_thread(fill)  # warm-up: thread start, allocator arenas
    before = rss()
    after = []
    for _ in range(5):
        threads = [threading.Thread(target=fill) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        after.append(rss())
    # Tapes that outlived their threads would add 136 MiB per round, so after three rounds at
    # least 408 MiB. Freed memory that stays resident is bounded: the allocator keeps a varying
    # amount (up to some 30 MiB here) and the engine keeps up to 64 MiB of large buffers for
    # reuse, so the best of the last rounds counts against 128 MiB.
    assert min(after[2:]) - before < 128 * 2**20, [a - before for a in after]
