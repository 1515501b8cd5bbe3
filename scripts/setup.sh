#!/usr/bin/env bash
# Sets up a fresh Debian machine for quillmere: system packages, a virtual
# environment in .venv with the Python dependencies, and the built package.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
pkg-config --exists libpcre2-8 2>/dev/null || need_apt+=(libpcre2-dev)
command -v pkg-config >/dev/null || need_apt+=(pkg-config)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" pkg-config >/dev/null
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
VPY=.venv/bin/python
$VPY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# Incremental, no isolation: the build directory under build/ is reused.
$VPY -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
