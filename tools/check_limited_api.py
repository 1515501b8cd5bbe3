"""Checks that the bindings build for the stable ABI (the limited C API).

Compiles every bindings/*.cpp (syntax only; or the given sources) with
Py_LIMITED_API set to this interpreter's version and reports the names the
limited C API lacks, with the places using them, and any other compile error
in the project's own files. Names the limited API has from 3.12 on (nanobind
uses them) are left out, so the check means the same on any interpreter. The
bindings reach the few accessors the limited API lacks through
bindings/capi.hpp, which uses the fast macros only outside stable-ABI
builds. Exit status 1 when something is listed (tests/test_limited_api.py
keeps it empty).

    python tools/check_limited_api.py [--cxx g++] [SOURCE.cpp ...]
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import sysconfig
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# In the limited API from 3.12; nanobind calls them.
FROM_312 = {"PyObject_Vectorcall", "PyObject_VectorcallMethod"}
ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+):\d+: error: (?P<message>.*)$")
NAME = re.compile(r"[‘'`](?P<name>[A-Za-z_][A-Za-z0-9_]*)[’'`] (?:was not declared|has no member|that depend on)")
INCOMPLETE = re.compile(r"invalid use of incomplete type .*(?:PyTypeObject|_typeobject)")


def place_key(place: str) -> tuple[str, int]:
    file, _, rest = place.partition(":")
    line = rest.split(" ", 1)[0]
    return file, int(line) if line.isdigit() else 0


def shown(path: Path) -> str:
    path = path.resolve()
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cxx", default="g++")
    parser.add_argument("sources", nargs="*", type=Path, help="default: bindings/*.cpp")
    args = parser.parse_args()
    import nanobind

    version = f"0x{sys.version_info.major:02X}{sys.version_info.minor:02X}0000"
    generated = next((p for p in (ROOT / "build").glob("*/generated") if p.is_dir()), None)
    includes = [sysconfig.get_paths()["include"], nanobind.include_dir(), str(ROOT)]
    if generated is not None:
        includes.append(str(generated))
    found: dict[str, set[str]] = defaultdict(set)
    sources = args.sources or sorted((ROOT / "bindings").glob("*.cpp"))
    for source in sources:
        cmd = [args.cxx, "-std=gnu++20", "-fsyntax-only", f"-DPy_LIMITED_API={version}",
               *(f"-I{i}" for i in includes), str(source)]
        run = subprocess.run(cmd, capture_output=True, text=True)
        for line in run.stderr.splitlines():
            m = ERROR.match(line)
            if not m or "nanobind/include" in m["file"]:
                continue
            where = f"{shown(Path(m['file']))}:{m['line']}"
            if n := NAME.search(m["message"]):
                if n["name"] not in FROM_312:
                    found[n["name"]].add(where)
            elif INCOMPLETE.search(m["message"]):
                found["PyTypeObject fields"].add(where)
            else:
                found["other errors"].add(f"{where} ({m['message']})")
        if run.returncode != 0 and not any(ERROR.match(line) for line in run.stderr.splitlines()):
            # The compiler failed without a located error (not found, bad flag...).
            found["compiler failures"].add(f"{shown(source)} ({run.stderr.strip()[:200]})")
    for name, places in sorted(found.items()):
        print(f"{name}: {', '.join(sorted(places, key=place_key))}")
    if not found:
        print("the bindings use only the limited C API")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
