#!/usr/bin/env bash
# The benchmark environment: a virtual environment of its own (build/bench-venv) on Python 3.11,
# the Python that PyTorch's wheel is available for here, holding NumPy, ml_dtypes, matplotlib,
# threadpoolctl, PyTorch 2.13.0 and norva itself. norva is built in its own CMake directory
# (build/bench-<wheel tag>) so that the project's main build is left alone, and it is rebuilt and
# reinstalled only when a source file is newer than the last install. Prints the environment's
# python on the last line.
#   BENCH_PYTHON=/path/to/python3.11 scripts/bench-env.sh   # choose the interpreter
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${BENCH_VENV:-build/bench-venv}
vpy=$venv/bin/python

find_python() {
  if [ -n "${BENCH_PYTHON:-}" ]; then command -v "$BENCH_PYTHON"; return; fi
  local cand
  for cand in python3.11 /root/.pyenv/versions/3.11.*/bin/python3.11 /usr/local/bin/python3.11 \
              /usr/bin/python3.11; do
    if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys, venv' >/dev/null 2>&1; then
      command -v "$cand"
      return
    fi
  done
  # No Python 3.11: benchmark against NumPy alone with the newest Python.
  echo "bench-env: no python3.11 found; PyTorch will probably be unavailable" >&2
  scripts/find-python.sh
}

if [ ! -x "$vpy" ]; then
  mkdir -p "$(dirname "$venv")"
  "$(find_python)" -m venv "$venv" >&2
  "$vpy" -m pip install -q --upgrade pip >&2
fi

if [ ! -f "$venv/.deps" ]; then
  "$vpy" -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja "ml_dtypes>=0.4" \
    matplotlib threadpoolctl >&2
  # PyTorch is optional: without it the comparisons with it are reported as n/a.
  "$vpy" -m pip install -q torch==2.13.0 >&2 \
    || echo "bench-env: torch==2.13.0 could not be installed; benchmarking without PyTorch" >&2
  touch "$venv/.deps"
fi

stamp=$venv/.norva-installed
inputs=()
for path in src stubs cmake CMakeLists.txt pyproject.toml README.md; do
  [ -e "$path" ] && inputs+=("$path")
done
if [ ! -f "$stamp" ] || [ -n "$(find "${inputs[@]}" -newer "$stamp" -type f -print -quit)" ]; then
  echo "bench-env: building norva into $venv" >&2
  touch "$stamp.new"  # taken before the build, so that edits made during it trigger the next one
  "$vpy" -m pip install -q --no-build-isolation --no-deps -C "build-dir=build/bench-{wheel_tag}" . >&2
  mv "$stamp.new" "$stamp"
fi
echo "$vpy"
