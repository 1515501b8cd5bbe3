#!/usr/bin/env bash
# Fast incremental developer build: compiles into build/dev and copies the
# extension into src/quillmere, so tests run with `PYTHONPATH=src pytest`.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/dev/CMakeCache.txt ]; then
  cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_INPLACE=ON \
        -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
fi
cmake --build build/dev -j2
