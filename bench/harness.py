"""Timing of benchmark cases: calibrated, interleaved repetitions and their medians.

Every case has one implementation per library. An implementation is a statement timed with
`timeit` (its names are bound as local variables, so name look-ups cost the same for every
library) plus optional untimed hooks run before and after each timed sample. The libraries take
turns within each repetition, in an order that rotates from one repetition to the next, so that a
burst of load from other processes on the machine spreads over all of them; the reported figure is
the median over the repetitions. Samples are timed in the calling thread's CPU time (see `clock`).
The cost of the empty timing loop is measured once and subtracted,
so that the figures of one-element operations are those of the operation alone.
"""

from __future__ import annotations

import dataclasses
import gc
import math
import statistics
import time
import timeit
from typing import Any, Callable

LIBRARIES = ("norva", "numpy", "torch")

# The clock of the timed samples. Every library runs on the calling thread alone (PyTorch and the
# BLAS libraries are limited to one thread), so the calling thread's CPU time measures the work
# while leaving out the time the thread waits for a core on a busy machine. `use_wall_clock`
# switches to elapsed time.
clock = time.thread_time


def use_wall_clock() -> None:
    global clock
    clock = time.perf_counter


@dataclasses.dataclass
class Impl:
    """One library's implementation of a case."""

    stmt: str
    ns: dict[str, Any]
    # Untimed hooks called with the namespace before / after every timed sample.
    prepare: Callable[[dict[str, Any]], None] | None = None
    reset: Callable[[dict[str, Any]], None] | None = None
    # Time exactly one execution per sample (each needs a fresh `prepare`).
    single: bool = False
    # Upper bound on executions per sample (bounds the growth of a recorded graph).
    max_number: int | None = None
    # Expression (evaluated once, after `prepare`) whose value is compared with NumPy's.
    value: str | None = None


@dataclasses.dataclass
class Target:
    against: str  # "numpy", "torch" or "case:<case id>" (another case of norva's own)
    max_ratio: float

    def label(self) -> str:
        who = {"numpy": "NumPy", "torch": "PyTorch"}.get(self.against)
        if who is None:
            who = "norva " + self.against.removeprefix("case:")
        return f"<= {self.max_ratio:g}x {who}"


@dataclasses.dataclass
class Case:
    id: str
    group: str
    # Builders of the implementations; a builder that raises makes that library's entry n/a.
    builders: dict[str, Callable[[], Impl]]
    targets: list[Target] = dataclasses.field(default_factory=list)
    note: str = ""
    # Relative tolerance of the value check (max |x - ref| / max |ref|).
    tolerance: float = 1e-5


@dataclasses.dataclass
class Timing:
    seconds: float | None = None  # median time of one execution
    samples: list[float] = dataclasses.field(default_factory=list)
    number: int = 0  # executions per sample
    error: str | None = None

    @property
    def spread(self) -> float | None:
        """Interquartile range relative to the median."""
        if self.seconds is None or len(self.samples) < 4:
            return None
        q = statistics.quantiles(self.samples, n=4)
        return (q[2] - q[0]) / self.seconds


@dataclasses.dataclass
class Settings:
    # Aim of one timed sample: short enough to fit in one scheduling slice of a busy machine
    # most of the time, so that the median of many samples shows the undisturbed speed.
    sample_seconds: float = 0.005
    case_seconds: float = 2.5  # aim of all repetitions of one case
    min_reps: int = 9
    max_reps: int = 101
    # A single execution longer than this is timed only a few times: the calibration run
    # counts as a sample and more are taken while they fit in `slow_budget`.
    slow_seconds: float = 2.0
    slow_budget: float = 10.0


def short_error(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
    text = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return text if len(text) <= 120 else text[:117] + "..."


class Runner:
    def __init__(self, impl: Impl, loop_seconds: float):
        self.impl = impl
        if impl.prepare is not None:
            impl.prepare(impl.ns)  # so that the names it binds are known to the timed code
        setup = "\n".join(f"{name} = _ns[{name!r}]" for name in impl.ns)
        self.timer = timeit.Timer(impl.stmt, setup=setup or "pass", timer=clock, globals={"_ns": impl.ns})
        self.loop_seconds = loop_seconds
        self.number = 1
        self.per_call = 0.0

    def sample(self, number: int) -> float:
        """Time `number` executions; return the time of one, loop cost removed."""
        if self.impl.prepare is not None:
            self.impl.prepare(self.impl.ns)
        try:
            total = self.timer.timeit(number)
        finally:
            if self.impl.reset is not None:
                self.impl.reset(self.impl.ns)
        return max(total / number - self.loop_seconds, 0.0)

    def calibrate(self, settings: Settings) -> float:
        """Choose the executions per sample; return the time of one execution."""
        number = 1
        while True:
            t = self.sample(number)
            elapsed = t * number
            if self.impl.single or elapsed >= 0.2 * settings.sample_seconds or (
                self.impl.max_number is not None and number >= self.impl.max_number
            ):
                break
            number *= 10 if elapsed < 0.02 * settings.sample_seconds else 2
            if self.impl.max_number is not None:
                number = min(number, self.impl.max_number)
        per_call = self.per_call = max(t, 1e-9)
        if not self.impl.single:
            number = max(1, math.ceil(settings.sample_seconds / per_call))
            if self.impl.max_number is not None:
                number = min(number, self.impl.max_number)
            self.number = number
        return per_call


def loop_overhead() -> float:
    """Time per iteration of timeit's empty loop (minimum of several measurements)."""
    timer = timeit.Timer("pass", timer=clock)
    return min(timer.timeit(1_000_000) for _ in range(7)) / 1_000_000


def measure(case: Case, libraries: dict[str, bool], settings: Settings,
            loop_seconds: float) -> dict[str, Timing]:
    """Time one case for every library available; failures become errors, never exceptions."""
    timings: dict[str, Timing] = {}
    runners: dict[str, Runner] = {}
    slow_left: dict[str, int] = {}
    for lib in LIBRARIES:
        if lib not in case.builders:
            continue
        timing = timings[lib] = Timing()
        if not libraries.get(lib, False):
            timing.error = "not installed"
            continue
        try:
            runner = Runner(case.builders[lib](), loop_seconds)
            per_call = runner.calibrate(settings)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: BLE001  (norva's internal errors are BaseException)
            timing.error = short_error(exc)
            continue
        runners[lib] = runner
        timing.number = runner.number
        if per_call > settings.slow_seconds:
            timing.samples.append(per_call)
            slow_left[lib] = max(0, math.floor(settings.slow_budget / per_call) - 1)

    rep_seconds = sum(r.number * r.per_call for lib, r in runners.items() if lib not in slow_left)
    reps = settings.max_reps
    if rep_seconds > 0:
        reps = int(min(settings.max_reps, max(settings.min_reps, settings.case_seconds / rep_seconds)))

    gc.collect()  # garbage of earlier cases is not collected inside this one's samples
    order = [lib for lib in LIBRARIES if lib in runners]
    for rep in range(reps):
        shift = rep % max(len(order), 1)
        for lib in order[shift:] + order[:shift]:
            if lib not in runners:
                continue
            if lib in slow_left:
                if slow_left[lib] <= 0:
                    continue
                slow_left[lib] -= 1
            runner = runners[lib]
            try:
                timings[lib].samples.append(runner.sample(runner.number))
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as exc:  # noqa: BLE001
                timings[lib].error = short_error(exc)
                del runners[lib]
    for timing in timings.values():
        if timing.error is None and timing.samples:
            timing.seconds = statistics.median(timing.samples)
        elif timing.error is None:
            timing.error = "no sample"
    return timings


def check_values(case: Case, libraries: dict[str, bool], to_numpy: dict[str, Callable[[Any], Any]]
                 ) -> str | None:
    """Compare each library's value of the case with NumPy's; return a note on a difference."""
    import numpy as np

    values = {}
    for lib, build in case.builders.items():
        if not libraries.get(lib, False):
            continue
        try:
            impl = build()
            if impl.value is None:
                continue
            if impl.prepare is not None:
                impl.prepare(impl.ns)
            values[lib] = np.asarray(to_numpy[lib](eval(impl.value, {}, dict(impl.ns))), dtype=np.float64)
            if impl.reset is not None:
                impl.reset(impl.ns)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:  # noqa: BLE001  (timing reports the failure)
            continue
    ref = values.get("numpy")
    if ref is None or "norva" not in values:
        return None
    got = values["norva"]
    if got.shape != ref.shape:
        return f"norva's result has shape {list(got.shape)}, NumPy's {list(ref.shape)}"
    scale = float(np.max(np.abs(ref))) if ref.size else 0.0
    err = float(np.max(np.abs(got - ref))) / (scale or 1.0) if ref.size else 0.0
    if not err <= case.tolerance:
        return f"norva's result differs from NumPy's (relative error {err:.2g})"
    return None
