#!/usr/bin/env bash
# Tries a built stable-ABI (abi3) wheel for real on a newer CPython than this
# machine's, and on another processor: bootstraps Debian trixie (python3.13)
# for amd64 or arm64 into a folder outside the source tree (arm64 runs under
# Debian's qemu-user-static), copies the working tree (tracked and untracked,
# not ignored files) into it for the tests, and there installs the wheel
# scripts/wheel.sh built (the Zig-built manylinux_2_17 one) into a fresh 3.13
# environment, checks that it is tagged cp312-abi3 and needs no PCRE2 nor C++
# runtime, runs tools/wheel_smoke.py and the offline demo, compares the demo's
# commerce.csv and commerce.json with this machine's, and runs the test suite
# against the installed wheel: all of it on amd64, a part on arm64 (emulation
# is slow). Not part of .ci/run. Needs root (debootstrap, chroot, mounts) and
# Debian's mirror; writes nothing into the source tree.
#
#   sudo bash scripts/abi3-check.sh [--arch amd64|arm64] [--wheel WHEEL] [--no-tests]
#
# --arch        the chroot's architecture (default amd64; scripts/aarch64-check.sh
#               is --arch arm64)
# --wheel       the wheel to try (default: the newest cp312-abi3 manylinux_2_17
#               wheel of that architecture under dist/)
# ABI3_ROOT     the chroot folder (default /var/tmp/quillmere-abi3-root, or
#               /var/tmp/quillmere-arm64-root; kept between runs)
# ABI3_MIRROR   the Debian mirror (default: the one this machine's apt uses)
# ABI3_TESTS    the tests run on arm64 (default: a part of the suite below)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
run_tests=1
arch=amd64
wheel=
usage() { echo "usage: scripts/abi3-check.sh [--arch amd64|arm64] [--wheel WHEEL] [--no-tests]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) run_tests=0 ;;
    --arch) [ $# -ge 2 ] || usage; arch=$2; shift ;;
    --wheel) [ $# -ge 2 ] || usage; wheel=$2; shift ;;
    *) usage ;;
  esac
  shift
done
case "$arch" in
  amd64) machine=x86_64 ;;
  arm64) machine=aarch64 ;;
  *) echo "abi3-check.sh: --arch is amd64 or arm64" >&2; exit 2 ;;
esac
me=abi3-check.sh
[ "$arch" = amd64 ] || me=aarch64-check.sh
say() { echo "$me: $*"; }
die() { echo "$me: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap and chroot)"

wheel=${wheel:-$(ls -t dist/quillmere-*-cp312-abi3-*manylinux_2_17_"$machine".whl 2>/dev/null | head -1)}
[ -n "$wheel" ] && [ -f "$wheel" ] || die "no cp312-abi3 $machine wheel under dist/ (run bash scripts/wheel.sh)"
wheel=$(realpath "$wheel")

default_root=/var/tmp/quillmere-abi3-root
[ "$arch" = amd64 ] || default_root=/var/tmp/quillmere-$arch-root
root=$(realpath -m "${ABI3_ROOT:-$default_root}")
case "$root/" in
  "$repo"/*) die "ABI3_ROOT must lie outside the source tree" ;;
esac
packages=python3.13,python3.13-venv,ca-certificates
# The part of the suite run under emulation: the engine's answers, the
# bindings, the build's promises and the command line.
arm64_tests=${ABI3_TESTS:-tests/test_build.py tests/test_bindings.py tests/test_price.py tests/test_metadata.py tests/test_url_unwrapper.py tests/test_merchant.py tests/test_text.py tests/test_cli.py}

# apt_install PACKAGE...: Debian's packages, when this machine has apt.
apt_install() {
  command -v apt-get >/dev/null || return 1
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
command -v debootstrap >/dev/null || apt_install debootstrap || die "debootstrap is missing: apt-get install debootstrap"
if [ "$arch" = arm64 ]; then
  # arm64 programs run through qemu-aarch64-static, registered with binfmt_misc
  # (its F flag: the chroot needs no copy of qemu).
  binfmt=/proc/sys/fs/binfmt_misc
  if ! grep -qs '^enabled' "$binfmt/qemu-aarch64"; then
    command -v qemu-aarch64-static >/dev/null && command -v update-binfmts >/dev/null \
      || apt_install qemu-user-static binfmt-support \
      || die "qemu-user-static is missing: apt-get install qemu-user-static binfmt-support"
    [ -f "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
      || die "binfmt_misc cannot be mounted here (needed to run arm64 programs through qemu-user-static)"
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    grep -qs '^enabled' "$binfmt/qemu-aarch64" \
      || die "qemu-aarch64 is not registered with binfmt_misc: apt-get install qemu-user-static binfmt-support && update-binfmts --enable qemu-aarch64"
  fi
fi

# ---- the chroot -------------------------------------------------------------
if [ ! -x "$root/usr/bin/python3.13" ]; then
  mirror=${ABI3_MIRROR:-}
  [ -n "$mirror" ] || mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  say "bootstrapping Debian trixie ($arch) from $mirror into $root"
  mkdir -p "$root"
  debootstrap --arch="$arch" --variant=minbase --include="$packages" trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
    || { tail -20 "$root.debootstrap.log" >&2; die "debootstrap failed (log: $root.debootstrap.log)"; }
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

# ---- the source tree and the wheel, copied -----------------------------------
work=$root/build/quillmere
rm -rf "$work" "$root/build/wheels"
mkdir -p "$work" "$root/build/wheels"
git ls-files -z --cached --others --exclude-standard \
  | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
  | tar --null -T - -cf - | tar -xf - -C "$work"
cp "$wheel" "$root/build/wheels/"
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

# ---- inside: install, demo, tests -------------------------------------------
tests=
if [ "$run_tests" = 1 ]; then
  tests=all
  [ "$arch" = amd64 ] || tests=$arm64_tests
fi
say "trying $(basename "$wheel") in the $arch chroot (Python $(chroot "$root" python3.13 -c 'import platform; print(platform.python_version(), platform.machine())'))"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
  ME="$me" MACHINE="$machine" TESTS="$tests" HOST_PYTHON="$host_python" WHEEL="/build/wheels/$(basename "$wheel")" \
  $(env | grep -E '^(PIP_|https?_proxy=|HTTPS?_PROXY=|no_proxy=|NO_PROXY=)' || true) \
  /bin/bash -s <<'INSIDE'
set -euo pipefail
say() { echo "$ME [chroot]: $*"; }
cd /build/quillmere
name=$(basename "$WHEEL")
case "$name" in
  *-cp312-abi3-*manylinux_2_17_"$MACHINE".whl) ;;
  *) say "FAIL: $name is not a cp312-abi3 manylinux_2_17 $MACHINE wheel"; exit 1 ;;
esac

# A fresh 3.13 environment with the wheel and its dependencies from PyPI.
rm -rf /build/fresh /build/demo
python3.13 -m venv /build/fresh
/build/fresh/bin/python -m pip install -q --disable-pip-version-check "$WHEEL"
ext=$(cd / && /build/fresh/bin/python -c 'import quillmere._commerce as m; print(m.__file__)')
say "installed: $ext"
[ "$(basename "$ext")" = "_commerce.abi3.so" ] || { say "FAIL: the extension is not an abi3 module"; exit 1; }
say "ldd:"
ldd "$ext" | sed 's/^/    /'
if ldd "$ext" | grep -qiE 'pcre|libstdc\+\+|libc\+\+'; then say "FAIL: the extension needs PCRE2 or a C++ runtime beside it"; exit 1; fi

(cd / && /build/fresh/bin/python /build/quillmere/tools/wheel_smoke.py)
(cd / && /build/fresh/bin/quillmere demo --out /build/demo | tail -n 3)
same=1
for f in commerce.csv commerce.json; do
  if cmp -s "/build/ref-demo/$f" "/build/demo/$f"; then
    say "demo: $f is identical to Python $HOST_PYTHON's on this machine"
  else
    same=0
    say "FAIL: demo: $f differs from Python $HOST_PYTHON's:"
    diff "/build/ref-demo/$f" "/build/demo/$f" | head -20 || true
  fi
done
[ "$same" = 1 ] || exit 1

if [ -n "$TESTS" ]; then
  # The suite (or a part) against the installed wheel, from the copied tree,
  # with the environment's pytest (the working folder is not on its path).
  if [ "$TESTS" = all ]; then
    /build/fresh/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    /build/fresh/bin/pytest -q
  else
    /build/fresh/bin/python -m pip install -q --disable-pip-version-check pytest
    # shellcheck disable=SC2086
    /build/fresh/bin/pytest -q $TESTS
  fi
fi
INSIDE
say "done: $(basename "$wheel") installs and runs on Python 3.13 ($arch)"
