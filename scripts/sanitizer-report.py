"""Summarises the reports that AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
wrote during an instrumented test run (scripts/sanitize-test.sh) and exits with status 1 when
any of them is a finding.

    python scripts/sanitizer-report.py REPORT_DIR PROJECT_ROOT

Findings:
- every AddressSanitizer error (overflow, use after free, double free, ...);
- every UndefinedBehaviorSanitizer report;
- every leak whose allocation stack passes through the project's own code (a frame in a source
  file under PROJECT_ROOT/src or in one of the extension modules). Leaks allocated entirely by
  the interpreter, NumPy or other libraries are counted but not findings: CPython does not free
  everything at exit (interned strings, for one).
"""

from __future__ import annotations

import os
import re
import sys

FRAME = re.compile(r"^\s+#\d+ 0x[0-9a-f]+ in (?P<where>.*)$")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:")
MODULE_FILES = ("norva_core.", "_norva_testing.")

# Allocations the modules make once and keep for the life of the process on purpose. A pattern
# matches against the frames of the allocation stack. Empty while none is needed.
PROCESS_LIFETIME: list[re.Pattern[str]] = []


def is_own_frame(where: str, src: str) -> bool:
    return src in where or any(m in where for m in MODULE_FILES)


def leak_blocks(text: str):
    """Yields (head, frames) for each leak of a LeakSanitizer report."""
    head, frames = None, []
    for line in text.splitlines():
        m = LEAK_HEAD.match(line)
        if m:
            if head:
                yield head, frames
            head, frames = line, []
            continue
        if head is None:
            continue
        f = FRAME.match(line)
        if f:
            frames.append(f.group("where"))
        elif not line.strip() or line.startswith("SUMMARY"):
            yield head, frames
            head, frames = None, []
    if head:
        yield head, frames


def main() -> int:
    reports, root = sys.argv[1], os.path.abspath(sys.argv[2])
    src = os.path.join(root, "src") + os.sep
    files = sorted(f for f in os.listdir(reports) if f.startswith(("asan.", "ubsan.", "stderr")))
    findings: list[str] = []
    foreign_leaks = foreign_bytes = 0
    for name in files:
        with open(os.path.join(reports, name), errors="replace") as f:
            text = f.read()
        if name.startswith("stderr"):
            # Standard error of the test run: only what the sanitizers wrote there counts.
            for m in re.finditer(r"^.*(runtime error:|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)).*$",
                                 text, re.M):
                findings.append(f"--- {name}\n" + text[m.start():m.start() + 6000])
            continue
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text or "ERROR: UndefinedBehaviorSanitizer" in text:
            findings.append(f"--- {name}\n{text}")
            continue
        for head, frames in leak_blocks(text):
            if any(is_own_frame(w, src) for w in frames):
                if any(p.search(w) for p in PROCESS_LIFETIME for w in frames):
                    continue
                findings.append(f"--- {name}\n{head}\n" + "\n".join(f"    {w}" for w in frames[:30]))
            else:
                m = LEAK_HEAD.match(head)
                foreign_leaks += int(m.group(3))
                foreign_bytes += int(m.group(2))

    print(f"sanitizer report: {len(files)} report file(s); {foreign_leaks} allocation(s) ({foreign_bytes} bytes) "
          f"left at exit by the interpreter and other libraries, not counted")
    if not findings:
        print("sanitizer report: no findings")
        return 0
    print(f"sanitizer report: {len(findings)} finding(s)")
    for text in findings[:20]:
        print(text[:12000])
    return 1


if __name__ == "__main__":
    sys.exit(main())
