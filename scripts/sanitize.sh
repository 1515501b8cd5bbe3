#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# its own build folder (build/sanitize; the developer build and the installed
# package are left alone) and runs the test suite against it. Any sanitizer
# report fails the run. Extra arguments go to pytest (e.g. -k price).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"   # the venv's cmake and ninja
VPY=$PWD/.venv/bin/python
CXX=${CXX:-g++}
B=build/sanitize
STAGE=$B/pkg

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f "$B/CMakeCache.txt" ]; then
  cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="$CXX" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
        -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
        -DPython_EXECUTABLE="$VPY" >/dev/null
fi
# The extension only: its stub is generated below, under the sanitizer runtime.
cmake --build "$B" -j2 --target _commerce

# A copy of the package with the instrumented extension.
rm -rf "$STAGE"
mkdir -p "$STAGE"
cp -r src/quillmere "$STAGE/"
find "$STAGE" \( -name '__pycache__' -o -name '*.so' -o -name '_commerce.pyi' \) -prune -exec rm -rf {} +
cp "$B"/_commerce*.so "$STAGE/quillmere/"

# The sanitizer runtime must be loaded first; libstdc++ is preloaded with it so
# that ASan finds the real __cxa_throw.
asan=$("$CXX" -print-file-name=libasan.so)
stdcxx=$("$CXX" -print-file-name=libstdc++.so)
[ -f "$asan" ] || { echo "sanitize.sh: no ASan runtime for $CXX" >&2; exit 1; }
export LD_PRELOAD="$(realpath "$asan") $(realpath "$stdcxx")"
# A small quarantine of freed blocks keeps memory-use tests meaningful (the
# default holds 256 MB of freed memory); use-after-free of recent blocks is
# still caught.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:quarantine_size_mb=16"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export PYTHONPATH="$PWD/$STAGE"

"$VPY" -m nanobind.stubgen -q -p tools/stub_patterns.txt -m quillmere._commerce \
       -o "$STAGE/quillmere/_commerce.pyi"
"$VPY" - <<'PY'
import quillmere._commerce as ext, sys
if "/build/sanitize/pkg/" not in ext.__file__:
    sys.exit(f"sanitize.sh: the tests would import {ext.__file__}, not the instrumented build")
PY
# The browser tests start Chromium, which the preloaded sanitizer runtime
# would be loaded into too; they ran in the plain test run, and the engine's
# code they reach is run here by the other tests.
exec "$VPY" -m pytest -q --ignore=tests/test_render.py --ignore=tests/test_report_browser.py "$@"
