#!/usr/bin/env bash
# System packages the build needs: the single-threaded OpenBLAS (CBLAS sgemm). Installed with
# apt when missing (the set-up runs as root on a fresh machine).
set -eu
if ! dpkg -s libopenblas-serial-dev >/dev/null 2>&1; then
  echo "installing libopenblas-serial-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q libopenblas-serial-dev
fi
