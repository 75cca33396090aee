#!/usr/bin/env bash
# Prints the newest working Python 3 interpreter on this machine (python3.14, python3.13, ...,
# falling back to python3). pyenv shims that exist but are not enabled are skipped; pyenv's own
# installations are looked at directly.
set -u
for minor in 14 13 12 11; do
  for cand in "python3.$minor" /root/.pyenv/versions/3."$minor".*/bin/python3."$minor" \
              /usr/local/bin/python3."$minor" /usr/bin/python3."$minor"; do
    if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys, venv' >/dev/null 2>&1; then
      command -v "$cand"
      exit 0
    fi
  done
done
command -v python3
