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
    allowed = ("linux-vdso", "ld-linux", "libc.so", "libm.so", "libstdc++", "libgcc_s",
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
