#!/usr/bin/env bash
# Sets up a fresh Debian machine for quillmere: system packages, a virtual
# environment in .venv with the Python dependencies, and the built package.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
need_apt=()
pkg-config --exists libpcre2-8 2>/dev/null || need_apt+=(libpcre2-dev)
command -v pkg-config >/dev/null || need_apt+=(pkg-config)
command -v g++ >/dev/null || need_apt+=(g++)
# The interpreter's C headers (to build the extension) and its venv module;
# Debian ships both apart from the interpreter.
if command -v "$PY" >/dev/null; then
  pyver=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  "$PY" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' || need_apt+=("python$pyver-dev")
  "$PY" -c 'import ensurepip, venv' 2>/dev/null || need_apt+=("python$pyver-venv")
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# A .venv left without pip (made while the venv module was missing) is made again.
if ! .venv/bin/python -m pip --version >/dev/null 2>&1; then
  "$PY" -m venv --clear .venv
fi
VPY=.venv/bin/python
$VPY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# Incremental, no isolation: the build directory under build/ is reused.
$VPY -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
