"""The built extension is self-contained: PCRE2 is inside it, not beside it."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

import quillmere._commerce as extension


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
def test_extension_needs_only_the_c_and_cpp_runtimes() -> None:
    out = subprocess.run(["ldd", extension.__file__], capture_output=True, text=True, check=True).stdout
    libraries = {line.split()[0] for line in out.splitlines() if line.strip()}
    assert not any("pcre" in lib for lib in libraries), out
    # libpthread, libdl and librt are glibc's too: a build for glibc 2.17
    # (the Zig-built manylinux2014 wheels) still links them apart.
    allowed = ("linux-vdso", "ld-linux", "libc.so", "libm.so", "libpthread.so", "libdl.so", "librt.so",
               "libstdc++", "libgcc_s",
               # sanitizer builds (scripts/sanitize.sh) carry their runtimes
               "libasan", "libubsan")
    assert all(lib.rsplit("/", 1)[-1].startswith(allowed) for lib in libraries), out


def test_pcre2_symbols_are_not_exported() -> None:
    readelf = shutil.which("readelf") or shutil.which("nm")
    if readelf is None:
        pytest.skip("needs readelf or nm")
    args = [readelf, "--dyn-syms", "-W"] if readelf.endswith("readelf") else [readelf, "-D", "--defined-only"]
    out = subprocess.run([*args, extension.__file__], capture_output=True, text=True, check=True).stdout
    exported = [line for line in out.splitlines() if "pcre2_" in line and " UND " not in line]
    assert not exported, "\n".join(exported[:5])
    # The module's entry point is there, so the listing did read the symbols.
    assert "PyInit__commerce" in out


@pytest.mark.skipif(shutil.which("ldd") is None or shutil.which("nm") is None, reason="needs ldd and nm")
def test_a_linked_in_cxx_runtime_stays_inside() -> None:
    """An extension that carries its C++ runtime (the release wheels) exports
    its entry point alone: no operator new, std:: or PCRE2 symbol that another
    module could bind to."""
    out = subprocess.run(["ldd", extension.__file__], capture_output=True, text=True, check=True).stdout
    if any(runtime in out for runtime in ("libstdc++", "libc++")):
        pytest.skip("this build uses the system's shared C++ runtime")
    listing = subprocess.run(["nm", "-D", "--defined-only", extension.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit__commerce"], exported[:10]
