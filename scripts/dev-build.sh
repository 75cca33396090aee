#!/usr/bin/env bash
# Developer build: configures and builds the extension modules into build/dev-NAME with the
# project's virtual environment (.venv, made by `make install`), and prints the directory to put on
# PYTHONPATH. Extra arguments go to CMake (for example -DNORVA_SANITIZE=ON).
#   PYTHONPATH=$(scripts/dev-build.sh mine) .venv/bin/python -m pytest tests/test_x.py
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-default}
shift || true
dir=build/dev-$name
if [ ! -f "$dir/build.ninja" ]; then
  .venv/bin/cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; echo /build-failed; exit 1; }
fi
# On failure the printed path names no directory, so a PYTHONPATH built from it cannot silently
# fall back to an installed norva_core.
.venv/bin/ninja -C "$dir" >"$dir.build.log" 2>&1 || { grep -E "error|Error" -A3 "$dir.build.log" | head -60 >&2; echo /build-failed; exit 1; }
echo "$PWD/$dir"
