#!/usr/bin/env bash
# Tries the aarch64 stable-ABI wheel that scripts/wheel.sh built under
# emulation: a Debian trixie arm64 chroot run through qemu-user-static, where
# the wheel is installed into a fresh Python 3.13 environment, imported, and
# runs the smoke checks, the demo and a part of the test suite (see
# scripts/abi3-check.sh, which this runs with --arch arm64). Needs root; not
# part of .ci/run.
#
#   sudo bash scripts/aarch64-check.sh [--wheel WHEEL] [--no-tests]
exec bash "$(dirname "$0")/abi3-check.sh" --arch arm64 "$@"
