#!/usr/bin/env bash
# Coverage-guided fuzzing of every public operation (fuzz/targets.py) with
# atheris, for SECONDS in all (default 60):
#
#   bash scripts/fuzz.sh [--python] [SECONDS]
#
# By default the extension is rebuilt with clang in build/fuzz with libFuzzer's
# coverage hooks and AddressSanitizer + UndefinedBehaviorSanitizer, so the
# fuzzer is guided by the C++ engine's own edges (and memory errors are caught);
# clang is installed when missing. --python fuzzes the developer build in
# src/quillmere (or the installed package) guided by Python coverage only.
#
# The seed corpus is generated afresh (fuzz/seeds.py); cases the fuzzer found
# interesting accumulate in build/fuzz/corpus. A finding (crash, sanitizer
# report, hang over 10 s, out of memory, an undocumented exception or an answer
# out of shape) is saved under fuzz-findings/ and makes the script exit non-zero;
# replay one with `python fuzz/run.py FILE` in the same set-up.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=native
secs=60
for arg in "$@"; do
  case "$arg" in
    --python) mode=python ;;
    ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [--python] [SECONDS]" >&2; exit 2 ;;
    *) secs=$arg ;;
  esac
done

bash scripts/setup.sh
VPY=$root/.venv/bin/python
$VPY -m pip install -q --disable-pip-version-check -r requirements-tools.txt
export PATH="$root/.venv/bin:$PATH"
F=build/fuzz
mkdir -p "$F/corpus" fuzz-findings
rm -rf "$F/seeds"
$VPY fuzz/seeds.py "$F/seeds" --max-len 65536

preload=
if [ "$mode" = native ]; then
  if ! command -v clang++ >/dev/null || [ -z "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan_static-x86_64.a 2>/dev/null)" ]; then
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
  fi
  # vptr and function checks need runtime parts that atheris's preloaded
  # runtime lacks; scripts/sanitize.sh runs the full set under GCC.
  flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  if [ ! -f "$F/CMakeCache.txt" ]; then
    cmake -S . -B "$F" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
          -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
          -DPython_EXECUTABLE="$VPY" >/dev/null
  fi
  cmake --build "$F" -j2 --target _commerce
  rm -rf "$F/pkg"
  mkdir -p "$F/pkg"
  cp -r src/quillmere "$F/pkg/"
  find "$F/pkg" \( -name '__pycache__' -o -name '*.so' \) -prune -exec rm -rf {} +
  cp "$F"/_commerce*.so "$F/pkg/quillmere/"
  export PYTHONPATH="$root/$F/pkg"
  # atheris's runtime (libFuzzer with ASan) first, libstdc++ with it so that
  # ASan finds the real __cxa_throw.
  atheris_dir=$($VPY -c 'import atheris; print(atheris.path())')
  preload="$atheris_dir/asan_with_fuzzer.so $(realpath "$(g++ -print-file-name=libstdc++.so)")"
  export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
elif [ -f src/quillmere/_commerce.pyi ] && ls src/quillmere/_commerce*.so >/dev/null 2>&1; then
  export PYTHONPATH="$root/src"
fi

log=$F/last.log
start=$(date +%s)
set +e
LD_PRELOAD="$preload" $VPY fuzz/run.py -max_total_time="$secs" -timeout=10 -max_len=65536 -len_control=0 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$root/fuzz-findings/" \
    "$F/corpus" "$F/seeds" >"$log" 2>&1
rc=$?
set -e
elapsed=$(( $(date +%s) - start ))
cases=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -1)
echo "fuzz.sh ($mode): ${cases:-?} cases in ${elapsed} s; ${coverage:-no coverage line}; log in $log"
if [ "$rc" -ne 0 ]; then
  grep -E -A25 'ERROR:|Uncaught Python exception|Finding' "$log" | head -60 >&2 || tail -40 "$log" >&2
  echo "fuzz.sh: FINDING (exit $rc), saved under fuzz-findings/:" >&2
  ls -t fuzz-findings | head -5 >&2
  exit 1
fi
echo "fuzz.sh: no findings"
