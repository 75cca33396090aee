"""The README's runnable examples and the short example scripts run as written, so they cannot
go stale.

A README block is runnable when its fence reads ```python runnable. In such a block a line
`print(...)  # -> text` must print exactly `text`.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import norva_core
from norva_core import Tensor

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"

FENCE = re.compile(r"^```python runnable\n(.*?)^```$", re.S | re.M)
EXPECTED_PRINT = re.compile(r"^(\s*)print\((.*)\)\s*#\s*->\s*(.*?)\s*$")


def runnable_blocks():
    text = README.read_text()
    return [
        pytest.param(m.group(1), id=f"line{text.count(chr(10), 0, m.start()) + 1}") for m in FENCE.finditer(text)
    ]


def with_output_checks(code):
    """Turns every `print(args)  # -> text` line into a check that the printed text is `text`."""
    lines = []
    for line in code.splitlines():
        m = EXPECTED_PRINT.match(line)
        if m:
            indent, args, expected = m.groups()
            line = f"{indent}_expect_print({expected!r}, {args})"
        lines.append(line)
    return "\n".join(lines)


def _expect_print(expected, *args):
    printed = " ".join(str(a) for a in args)
    assert printed == expected, f"printed {printed!r}, the README says {expected!r}"


def test_readme_has_runnable_blocks_with_checked_output():
    blocks = [p.values[0] for p in runnable_blocks()]
    assert len(blocks) >= 5
    assert sum(bool(EXPECTED_PRINT.match(line)) for b in blocks for line in b.splitlines()) >= 20


@pytest.mark.parametrize("code", runnable_blocks())
def test_readme_block_runs(code):
    Tensor.clear_graph()
    exec(compile(with_output_checks(code), str(README), "exec"), {"_expect_print": _expect_print})
    Tensor.clear_graph()


def test_output_checks_catch_a_wrong_comment():
    code = with_output_checks("print(1 + 1)  # -> 3")
    with pytest.raises(AssertionError, match="README says '3'"):
        exec(code, {"_expect_print": _expect_print})


def test_readme_keeps_the_set_up_commands():
    readme, makefile = README.read_text(), (ROOT / "Makefile").read_text()
    for target in ("demo", "test"):
        assert f"make {target}" in readme
        assert re.search(rf"^{target}:", makefile, re.M)
    assert re.search(r"^demo:.*\n\t.*examples/demo\.py", makefile, re.M)


@pytest.mark.parametrize("script", ["linear_layer.py", "threads.py"])
def test_example_script_runs(script):
    # The subprocess imports the norva_core this test session uses.
    path = os.pathsep.join(p for p in (str(Path(norva_core.__file__).parent), os.environ.get("PYTHONPATH")) if p)
    r = subprocess.run(
        [sys.executable, str(ROOT / "examples" / script)],
        env=dict(os.environ, PYTHONPATH=path),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.strip()
