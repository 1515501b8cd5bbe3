#!/usr/bin/env bash
# Installs a built wheel (default: the newest manylinux one under dist/) into a
# fresh virtual environment in a temporary folder, then, from that folder and
# never from the source tree, runs the offline demo and a few API calls.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=${1:-$(ls -t dist/quillmere-*manylinux*.whl 2>/dev/null | head -1)}
[ -n "$wheel" ] && [ -f "$wheel" ] || { echo "wheel-check.sh: no wheel (run scripts/wheel.sh)" >&2; exit 1; }
wheel=$(realpath "$wheel")

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
"${PYTHON:-python3}" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"

cd "$work"   # nothing of the source tree is on the path from here on
unset PYTHONPATH
"$work/venv/bin/python" "$root/tools/wheel_smoke.py"
"$work/venv/bin/quillmere" demo --out "$work/demo" >"$work/demo.txt"
for f in commerce.csv commerce.json matches.json; do
  [ -s "$work/demo/$f" ] || { echo "wheel-check.sh: the demo wrote no $f" >&2; exit 1; }
done
rows=$(( $(grep -c $'\r$' "$work/demo/commerce.csv") - 1 ))
matches=$("$work/venv/bin/python" -c 'import json, sys; print(len(json.load(open(sys.argv[1]))))' "$work/demo/matches.json")
[ "$rows" = "$matches" ] || { echo "wheel-check.sh: the demo's CSV has $rows rows for $matches matches" >&2; exit 1; }
echo "wheel-check.sh: $(basename "$wheel") installs into a fresh environment; the demo enriched $rows matches"
