"""Lists what keeps the bindings from building for the stable ABI.

Compiles every bindings/*.cpp (syntax only) with Py_LIMITED_API set to this
interpreter's version and reports the names the limited C API lacks, with the
places using them. Names the limited API has from 3.12 on (nanobind uses them)
are left out, so on any interpreter an empty list means the stable-ABI build
(QUILLMERE_STABLE_ABI=1) can be switched on by default. Exit status 1 when
something is listed.

    python tools/check_limited_api.py [--cxx g++]
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
NAME = re.compile(r"[‘'`](?P<name>[A-Za-z_][A-Za-z0-9_]*)[’'`] (?:was not declared|has no member)")
INCOMPLETE = re.compile(r"invalid use of incomplete type .*(?:PyTypeObject|_typeobject)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cxx", default="g++")
    args = parser.parse_args()
    import nanobind

    version = f"0x{sys.version_info.major:02X}{sys.version_info.minor:02X}0000"
    generated = next((p for p in (ROOT / "build").glob("*/generated") if p.is_dir()), None)
    includes = [sysconfig.get_paths()["include"], nanobind.include_dir(), str(ROOT)]
    if generated is not None:
        includes.append(str(generated))
    found: dict[str, set[str]] = defaultdict(set)
    for source in sorted((ROOT / "bindings").glob("*.cpp")):
        cmd = [args.cxx, "-std=gnu++20", "-fsyntax-only", f"-DPy_LIMITED_API={version}",
               *(f"-I{i}" for i in includes), str(source)]
        out = subprocess.run(cmd, capture_output=True, text=True).stderr
        for line in out.splitlines():
            m = ERROR.match(line)
            if not m or "nanobind/include" in m["file"]:
                continue
            where = f"{Path(m['file']).resolve().relative_to(ROOT)}:{m['line']}"
            if (n := NAME.search(m["message"])) and n["name"] not in FROM_312:
                found[n["name"]].add(where)
            elif INCOMPLETE.search(m["message"]):
                found["PyTypeObject fields"].add(where)
    for name, places in sorted(found.items()):
        print(f"{name}: {', '.join(sorted(places, key=lambda p: (p.split(':')[0], int(p.split(':')[1]))))}")
    if not found:
        print("the bindings use only the limited C API")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
