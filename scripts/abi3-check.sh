#!/usr/bin/env bash
# Tries the stable-ABI (abi3) wheel for real on a newer CPython than this
# machine's: bootstraps Debian trixie (python3.13) into a folder outside the
# source tree, copies the working tree (tracked and untracked, not ignored
# files) into it, and there builds and repairs the wheel (scripts/wheel.sh
# --check), checks that it is tagged cp312-abi3 and needs no PCRE2, installs
# it into a fresh 3.13 environment, runs the offline demo and compares its
# commerce.csv and commerce.json with this machine's demo, and runs the test
# suite against the installed wheel. Slow (a full build and test run), so not
# part of .ci/run. Needs root (debootstrap, chroot, mounts) and Debian's
# mirror; writes nothing into the source tree.
#
#   sudo bash scripts/abi3-check.sh [--no-tests]
#
# ABI3_ROOT     the chroot folder (default /var/tmp/quillmere-abi3-root; kept
#               between runs, so a second run is incremental)
# ABI3_MIRROR   the Debian mirror (default: the one this machine's apt uses)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
run_tests=1
for arg in "$@"; do
  case "$arg" in
    --no-tests) run_tests=0 ;;
    *) echo "usage: scripts/abi3-check.sh [--no-tests]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "abi3-check.sh: needs root (debootstrap and chroot)" >&2; exit 1; }

root=$(realpath -m "${ABI3_ROOT:-/var/tmp/quillmere-abi3-root}")
case "$root/" in
  "$repo"/*) echo "abi3-check.sh: ABI3_ROOT must lie outside the source tree" >&2; exit 1 ;;
esac
packages=python3.13,python3.13-dev,python3.13-venv,g++,cmake,ninja-build,pkg-config,libpcre2-dev,git,ca-certificates
say() { echo "abi3-check.sh: $*"; }

# ---- the chroot -------------------------------------------------------------
if [ ! -x "$root/usr/bin/python3.13" ]; then
  command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  }
  mirror=${ABI3_MIRROR:-}
  [ -n "$mirror" ] || mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  say "bootstrapping Debian trixie from $mirror into $root"
  mkdir -p "$root"
  debootstrap --variant=minbase --include="$packages" trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
    || { tail -20 "$root.debootstrap.log" >&2; exit 1; }
fi

# The host's name resolution, CA bundle and pip configuration; local folders
# the pip configuration names (find-links, file:// indexes) are mounted
# read-only.
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mount_in() {  # mount_in TARGET MOUNT-ARGS...
  local target=$1
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounts+=("$target")
}
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# The host's CA bundle (it may trust a TLS-inspecting proxy on the way out).
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
[ -f /etc/pip.conf ] && cp /etc/pip.conf "$root/etc/pip.conf"
[ -d /etc/xdg/pip ] && { mkdir -p "$root/etc/xdg"; rm -rf "$root/etc/xdg/pip"; cp -r /etc/xdg/pip "$root/etc/xdg/pip"; }
for d in .config/pip .pip; do
  [ -d "$HOME/$d" ] && { mkdir -p "$(dirname "$root/root/$d")"; rm -rf "$root/root/$d"; cp -r "$HOME/$d" "$root/root/$d"; }
done
pip_dirs=$({ "$repo/.venv/bin/python" -m pip config list 2>/dev/null || python3 -m pip config list 2>/dev/null || true
             env | grep '^PIP_' || true; } \
  | grep -oE "(file://)?/[^' ]+" | sort -u)
for d in $pip_dirs; do
  # A file:// index's pages link to files beside it: its parent is mounted.
  case "$d" in file://*) d=$(dirname "${d#file://}") ;; esac
  case "$d" in /etc/* | "$HOME"/*) continue ;; esac
  if [ -d "$d" ] && ! mountpoint -q "$root$d"; then
    mount_in "$root$d" --bind -o ro "$d"
  fi
done
mount_in "$root/proc" -t proc proc
mount_in "$root/sys" -t sysfs -o ro sysfs
mount_in "$root/dev/shm" -t tmpfs -o mode=1777 shm
# Pseudo-terminals of the chroot's own (the command line's progress tests).
mount_in "$root/dev/pts" -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts
ln -sf pts/ptmx "$root/dev/ptmx"

# ---- the source tree, copied -------------------------------------------------
# Kept: the copy's build/ and .venv/, so a second run builds incrementally.
work=$root/build/quillmere
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name build ! -name .venv -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard \
  | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
  | tar --null -T - -cf - | tar -xf - -C "$work"
# The tests' shared data lies beside the source tree.
rm -rf "$root/build/shared"
if [ -d "$repo/../shared/data" ]; then
  mkdir -p "$root/build/shared"
  cp -r "$repo/../shared/data" "$root/build/shared/data"
fi

# ---- this machine's demo, the reference -------------------------------------
ref=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-abi3-ref.XXXXXX")
trap 'cleanup; rm -rf "$ref"' EXIT
bash scripts/setup.sh >/dev/null
(cd "$ref" && unset PYTHONPATH && "$repo/.venv/bin/quillmere" demo --out "$ref/demo" >/dev/null)
host_python=$("$repo/.venv/bin/python" -c 'import platform; print(platform.python_version())')
rm -rf "$root/build/ref-demo"
cp -r "$ref/demo" "$root/build/ref-demo"

# ---- inside: build, repair, install, demo, tests ---------------------------
say "building in the chroot (Python $(chroot "$root" python3.13 -c 'import platform; print(platform.python_version())'))"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
  PYTHON=python3.13 CMAKE_BUILD_PARALLEL_LEVEL=2 RUN_TESTS=$run_tests HOST_PYTHON="$host_python" \
  $(env | grep -E '^(PIP_|https?_proxy=|HTTPS?_PROXY=|no_proxy=|NO_PROXY=)' || true) \
  /bin/bash -s <<'INSIDE'
set -euo pipefail
say() { echo "abi3-check.sh [chroot]: $*"; }
cd /build/quillmere
bash scripts/wheel.sh --check
wheel=$(ls -t dist/quillmere-*manylinux*.whl | head -1)
name=$(basename "$wheel")
say "wheel: $name"
case "$name" in
  *-cp312-abi3-manylinux*) ;;
  *) say "FAIL: the wheel is not tagged cp312-abi3"; exit 1 ;;
esac

# The extension inside: one abi3 module, no PCRE2 among its libraries.
unpacked=$(mktemp -d)
python3.13 -m zipfile -e "$wheel" "$unpacked"
ext=$(ls "$unpacked"/quillmere/_commerce*.so)
say "extension: $(basename "$ext")"
[ "$(basename "$ext")" = "_commerce.abi3.so" ] || { say "FAIL: the extension is not an abi3 module"; exit 1; }
say "ldd:"
ldd "$ext" | sed 's/^/    /'
if ldd "$ext" | grep -qi pcre; then say "FAIL: the extension needs a PCRE2 library"; exit 1; fi
rm -rf "$unpacked"

# A fresh 3.13 environment, used from outside the source tree.
rm -rf /build/fresh /build/demo
python3.13 -m venv /build/fresh
/build/fresh/bin/python -m pip install -q --disable-pip-version-check "$wheel"
(cd / && /build/fresh/bin/quillmere demo --out /build/demo >/dev/null)
same=1
for f in commerce.csv commerce.json; do
  if cmp -s "/build/ref-demo/$f" "/build/demo/$f"; then
    say "demo: $f is identical to Python $HOST_PYTHON's"
  else
    same=0
    say "FAIL: demo: $f differs from Python $HOST_PYTHON's:"
    diff "/build/ref-demo/$f" "/build/demo/$f" | head -20 || true
  fi
done
[ "$same" = 1 ] || exit 1

if [ "$RUN_TESTS" = 1 ]; then
  # The suite against the abi3 wheel installed into the project's .venv (not
  # the sources' own build), from the copied tree.
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"
  .venv/bin/python -c 'import quillmere._commerce as m; print("abi3-check.sh [chroot]: tests use", m.__file__)'
  .venv/bin/python -m pytest -q
fi
INSIDE
say "done: the abi3 wheel builds, installs and runs on Python 3.13"
