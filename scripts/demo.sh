#!/usr/bin/env bash
# The main job: sets everything up (see setup.sh) and runs the offline demo of
# the whole pipeline, which prints its table and writes CSV and JSON into
# out/demo. Extra arguments go to `quillmere demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/quillmere demo --out out/demo "$@"
