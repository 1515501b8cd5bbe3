#!/usr/bin/env bash
# Runs the test suite against a built wheel, not the source tree: installs the
# wheel (default: the newest x86_64 cp311 one under dist/) into a fresh virtual
# environment in a temporary folder with the test dependencies
# (requirements-dev.txt), checks that quillmere is imported from there, and
# runs the tests of this tree with that environment's pytest (neither src/ nor
# the working folder is on its path). Extra arguments go to pytest.
#
#   PYTHON=python3.11 bash scripts/wheel-test.sh [WHEEL] [PYTEST-ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
wheel=
if [ $# -gt 0 ] && [ "${1%.whl}" != "$1" ]; then
  wheel=$1
  shift
fi
wheel=${wheel:-$(ls -t dist/quillmere-*-cp311-cp311-manylinux*_x86_64*.whl 2>/dev/null | head -1)}
[ -n "$wheel" ] && [ -f "$wheel" ] || { echo "wheel-test.sh: no wheel (run scripts/wheel.sh)" >&2; exit 1; }
wheel=$(realpath "$wheel")

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-wheel-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
"${PYTHON:-python3}" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$wheel"
unset PYTHONPATH
(cd "$work" && "$work/venv/bin/python" - "$wheel" <<'EOF'
import sys
import quillmere._commerce as m
if not m.__file__.startswith(sys.prefix):
    sys.exit(f"wheel-test.sh: quillmere._commerce comes from {m.__file__}, not the fresh environment")
print(f"wheel-test.sh: testing {sys.argv[1].rsplit('/', 1)[-1]}, installed as {m.__file__}")
EOF
)
# The environment's pytest script, not `python -m pytest`, which would put the
# working folder on the path.
"$work/venv/bin/pytest" -q "$@"
