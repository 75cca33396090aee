"""Side-by-side benchmarks of norva against NumPy and PyTorch, each on one thread.

    python bench/run.py                    # every case; writes bench/results/
    python bench/run.py --filter matmul    # the cases whose name matches; writes nothing
    python bench/run.py --quick            # fewer, shorter repetitions (for a first look)

Prints one line per case with the ratios norva/NumPy and norva/PyTorch (below 1: norva is faster)
and the verdict against the case's target, then writes a Markdown table (results.md), the raw
figures (results.json) and a bar chart of the ratios (ratios.png) to the output directory.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, which some machines set to keep old OpenBLAS builds
# working, make a current NumPy pick a slower kernel. They are read when OpenBLAS loads, so they are
# dropped before NumPy is imported (`make bench` starts this script without them already).
BLAS_OVERRIDES = {name: os.environ.pop(name) for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                  if name in os.environ}

import numpy as np  # noqa: E402

import harness  # noqa: E402
from harness import LIBRARIES, Case, Settings, Timing  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
NAMES = {"norva": "norva", "numpy": "NumPy", "torch": "PyTorch"}


# ---------------------------------------------------------------------------------------------
# The machine and the libraries


def cpu_model() -> str:
    try:
        info = Path("/proc/cpuinfo").read_text()
    except OSError:
        return platform.processor() or platform.machine()
    model = re.search(r"^model name\s*:\s*(.*)$", info, re.M)
    family = re.search(r"^cpu family\s*:\s*(\d+)", info, re.M)
    number = re.search(r"^model\s*:\s*(\d+)", info, re.M)
    flag_line = re.search(r"^flags\s*:\s*(.*)$", info, re.M)
    flags = set(flag_line.group(1).split()) if flag_line else set()
    text = model.group(1).strip() if model else platform.machine()
    if family and number:
        text += f" (family {family.group(1)}, model {number.group(1)})"
    isa = [f for f in ("avx2", "f16c", "fma", "avx512f", "avx512_bf16", "avx512_fp16", "amx_tile")
           if f in flags]
    if isa:
        text += "; " + " ".join(isa)
    return text


def git_commit() -> str:
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + (" with uncommitted changes in src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def describe_environment(lib) -> dict:
    from importlib import metadata

    import threadpoolctl

    def version(dist: str) -> str:
        try:
            return metadata.version(dist)
        except metadata.PackageNotFoundError:
            return "not installed"

    env = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "norva": f"{version('norva')} (git {git_commit()}), {lib.Tensor.__module__} from "
                 f"{Path(sys.modules['norva_core'].__file__).name}",
        "numpy": np.__version__,
        "ml_dtypes": lib.ml_dtypes.__version__,
        "torch": "not installed",
        "blas": [],
        "blas_overrides_removed": sorted(BLAS_OVERRIDES),
        "load_average": list(os.getloadavg()),
    }
    if lib.torch is not None:
        env["torch"] = (f"{lib.torch.__version__}, {lib.torch.get_num_threads()} thread, "
                        f"CPU capability {lib.torch.backends.cpu.get_cpu_capability()}")
    for pool in threadpoolctl.threadpool_info():
        env["blas"].append(
            f"{pool.get('internal_api')} {pool.get('version') or ''} {Path(pool.get('filepath', '')).name}"
            f" kernel={pool.get('architecture', '-')} threads={pool.get('num_threads')}")
    return env


# ---------------------------------------------------------------------------------------------
# Figures


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 1000 else f"{value:.0f} {unit}"
    return "n/a"


def ratio(results: dict, case_id: str, against: str) -> float | None:
    timings = results[case_id]
    mine = timings.get("norva")
    if against.startswith("case:"):
        other = results.get(against.removeprefix("case:"), {}).get("norva")
    else:
        other = timings.get(against)
    if mine is None or other is None or mine.seconds is None or not other.seconds:
        return None
    return mine.seconds / other.seconds


def fmt_ratio(value: float | None) -> str:
    if value is None:
        return "n/a"
    # Enough digits to tell a ratio just above a target from one at it (1.104 is not 1.1).
    if value < 1:
        return f"{value:#.3g}x"
    if value < 10:
        return f"{value:.3f}x"
    return f"{value:.1f}x" if value < 100 else f"{value:.0f}x"


def verdicts(case: Case, results: dict) -> list[tuple[str, str]]:
    out = []
    for target in case.targets:
        r = ratio(results, case.id, target.against)
        mark = "n/a" if r is None else ("ok" if r <= target.max_ratio else "MISS")
        out.append((target.label(), mark))
    return out


def case_line(case: Case, results: dict) -> str:
    timings = results[case.id]
    parts = [f"{case.id:<40}"]
    for lib in LIBRARIES:
        t = timings.get(lib)
        parts.append(f"{NAMES[lib]} {fmt_time(t.seconds) if t else '-':>9}")
    for lib in ("numpy", "torch"):
        parts.append(f"norva/{NAMES[lib]} {fmt_ratio(ratio(results, case.id, lib)) if lib in timings else '-':>7}")
    line = "  ".join(parts)
    marks = verdicts(case, results)
    if marks:
        line += "  | " + ", ".join(f"{label}: {mark}" for label, mark in marks)
    errors = [f"{NAMES[lib]}: {t.error}" for lib, t in timings.items()
              if t.error and t.error != "not installed"]
    if errors:
        line += "  [" + "; ".join(errors) + "]"
    return line


# ---------------------------------------------------------------------------------------------
# Reports


def markdown(cases: list[Case], results: dict, env: dict, notes: dict, command: str) -> str:
    lines = [
        "# norva benchmarks",
        "",
        f"Produced by `{command}` on {env['date']}. Each figure is the median time of one "
        "execution over interleaved repetitions (the libraries take turns, in a rotating order); "
        "ratios are norva's time over the other library's, so below 1 means norva is faster. "
        "PyTorch runs with `torch.set_num_threads(1)` and NumPy's BLAS is limited to one thread; "
        f"norva always runs on the calling thread. Clock: {env['clock']}. The cost of the empty "
        "timing loop is subtracted. "
        "Spread: the largest interquartile range of the three libraries' samples, relative to "
        "its median.",
        "",
        "| | |",
        "| --- | --- |",
        f"| CPU | {env['cpu']} |",
        f"| Cores | {env['cores']} (load average at the start: {env['load_average'][0]:.2f}) |",
        f"| Python | {env['python']} |",
        f"| norva | {env['norva']} |",
        f"| NumPy | {env['numpy']} |",
        f"| ml_dtypes | {env['ml_dtypes']} |",
        f"| PyTorch | {env['torch']} |",
        f"| BLAS libraries | {'<br>'.join(env['blas']) or 'none loaded'} |",
        f"| OpenBLAS overrides dropped | {', '.join(env['blas_overrides_removed']) or 'none were set'} |",
        "",
    ]
    group = None
    for case in cases:
        if case.group != group:
            group = case.group
            lines += ["", f"## {group}", "",
                      "| Case | norva | NumPy | PyTorch | norva/NumPy | norva/PyTorch | Target | Spread | Notes |",
                      "| --- | ---: | ---: | ---: | ---: | ---: | --- | ---: | --- |"]
        timings = results[case.id]
        cells = [case.id]
        for lib in LIBRARIES:
            t = timings.get(lib)
            cells.append("—" if t is None else fmt_time(t.seconds))
        for lib in ("numpy", "torch"):
            cells.append("—" if lib not in timings else fmt_ratio(ratio(results, case.id, lib)))
        cells.append("<br>".join(f"{label}: **{mark}**" if mark == "MISS" else f"{label}: {mark}"
                                 for label, mark in verdicts(case, results)))
        spreads = [t.spread for t in timings.values() if t.spread is not None]
        cells.append(f"{max(spreads) * 100:.0f}%" if spreads else "")
        extra = [case.note] if case.note else []
        extra += [f"{NAMES[lib]}: {t.error}" for lib, t in timings.items()
                  if t.error and t.error != "not installed"]
        if notes.get(case.id):
            extra.append(notes[case.id])
        cells.append("; ".join(extra).replace("|", "\\|"))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def chart(cases: list[Case], results: dict, path: Path, env: dict) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [case.id for case in cases]
    rows = range(len(cases))
    height = 0.38
    fig, ax = plt.subplots(figsize=(10, 1.2 + 0.3 * len(cases)))
    for k, (lib, colour) in enumerate((("numpy", "#4C72B0"), ("torch", "#DD8452"))):
        values = [ratio(results, case.id, lib) for case in cases]
        ys = [r + (k - 0.5) * height for r in rows]
        ax.barh([y for y, v in zip(ys, values) if v], [v for v in values if v], height=height,
                color=colour, label=f"norva / {NAMES[lib]}")
        for case, y, v in zip(cases, ys, values):
            if v is None and lib in case.builders:
                ax.text(1.0, y, " n/a", va="center", fontsize=6, color=colour)
        for case, y in zip(cases, ys):
            for target in case.targets:
                if target.against == lib:
                    ax.plot([target.max_ratio] * 2, [y - height / 2, y + height / 2], color="black", lw=2)
    ax.axvline(1.0, color="grey", lw=0.8)
    ax.set_xscale("log")
    ax.set_yticks(list(rows))
    ax.set_yticklabels(labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("time ratio (log scale; below 1: norva is faster)   black tick: target")
    ax.set_title(f"norva vs NumPy and PyTorch, one thread\n{env['cpu'].split(';')[0]}", fontsize=9)
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format="png")
    plt.close(fig)


def write_atomically(path: Path, data: str | bytes) -> None:
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_bytes(data.encode() if isinstance(data, str) else data)
    tmp.replace(path)


# ---------------------------------------------------------------------------------------------


def to_numpy_converters(lib) -> dict:
    def norva(x):
        return x.to_numpy() if hasattr(x, "to_numpy") else x

    def torch(x):
        return x.detach().float().numpy() if hasattr(x, "detach") else x

    return {"norva": norva, "numpy": lambda x: x, "torch": torch}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", help="run only the cases whose name matches this regular expression")
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repetitions")
    parser.add_argument("--out", type=Path, help="output directory (default: bench/results, "
                                                "or none when --filter is given)")
    parser.add_argument("--no-torch", action="store_true", help="leave PyTorch out")
    parser.add_argument("--wall-clock", action="store_true",
                        help="time in elapsed time instead of the thread's CPU time")
    parser.add_argument("--list", action="store_true", help="list the cases and stop")
    args = parser.parse_args()

    from threadpoolctl import threadpool_limits

    import cases as case_module

    threadpool_limits(limits=1)
    lib = case_module.libraries()
    if args.no_torch:
        lib.torch = None
    if lib.torch is not None:
        lib.torch.set_num_threads(1)
    # Loading PyTorch brings its OpenMP runtime: limit it as well.
    threadpool_limits(limits=1)

    cases = case_module.all_cases(lib)
    if args.filter:
        cases = [c for c in cases if re.search(args.filter, c.id)]
    if args.list:
        print("\n".join(c.id for c in cases))
        return 0
    out = args.out if args.out is not None else (None if args.filter else ROOT / "bench" / "results")

    settings = Settings()
    if args.quick:
        settings = Settings(sample_seconds=0.005, case_seconds=0.3, min_reps=3, max_reps=7,
                            slow_seconds=1.0, slow_budget=0.0)
    if args.wall_clock:
        harness.use_wall_clock()
    available = {"norva": True, "numpy": True, "torch": lib.torch is not None}
    env = describe_environment(lib)
    env["clock"] = "elapsed time" if args.wall_clock else (
        "the CPU time of the calling thread, so that time spent waiting for a core on a busy "
        "machine does not count")
    print(f"CPU: {env['cpu']}")
    print(f"Python {env['python']}; norva {env['norva']}; NumPy {env['numpy']}; PyTorch {env['torch']}")
    for pool in env["blas"]:
        print(f"  {pool}")
    if env["blas_overrides_removed"]:
        print(f"  dropped {', '.join(env['blas_overrides_removed'])} for this run")

    loop = harness.loop_overhead()
    converters = to_numpy_converters(lib)
    results: dict[str, dict[str, Timing]] = {}
    notes: dict[str, str] = {}
    for case in cases:
        note = harness.check_values(case, available, converters)
        if note:
            notes[case.id] = note
        results[case.id] = harness.measure(case, available, settings, loop)
        print(case_line(case, results) + (f"  [{note}]" if note else ""), flush=True)

    misses = [(c.id, label) for c in cases for label, mark in verdicts(c, results) if mark == "MISS"]
    unknown = [(c.id, label) for c in cases for label, mark in verdicts(c, results) if mark == "n/a"]
    met = sum(1 for c in cases for _, mark in verdicts(c, results) if mark == "ok")
    print(f"\ntargets: {met} met, {len(misses)} missed, {len(unknown)} not measurable")
    for case_id, label in misses:
        print(f"  missed: {case_id} ({label})")

    if out is not None:
        out.mkdir(parents=True, exist_ok=True)
        env["load_average_end"] = list(os.getloadavg())
        command = "make bench" + (f" BENCH_ARGS='{' '.join(sys.argv[1:])}'" if sys.argv[1:] else "")
        write_atomically(out / "results.md", markdown(cases, results, env, notes, command))
        raw = {"environment": env, "loop_overhead_seconds": loop, "cases": [
            {"id": c.id, "group": c.group, "note": c.note, "check": notes.get(c.id),
             "targets": [{"label": label, "result": mark} for label, mark in verdicts(c, results)],
             "timings": {lib_name: {"median_seconds": t.seconds, "samples": [float(f"{x:.4g}") for x in t.samples],
                                    "executions_per_sample": t.number, "error": t.error}
                         for lib_name, t in results[c.id].items()}}
            for c in cases]}
        write_atomically(out / "results.json", json.dumps(raw, indent=1, ensure_ascii=False) + "\n")
        try:
            chart(cases, results, out / "ratios.png.tmp", env)
            (out / "ratios.png.tmp").replace(out / "ratios.png")
        except ImportError:
            print("matplotlib is not installed: no chart", file=sys.stderr)
        print(f"wrote {out / 'results.md'}, {out / 'results.json'}, {out / 'ratios.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
