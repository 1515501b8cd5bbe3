"""Checks what a built wheel's extension modules export and need.

    python tools/wheel_exports.py WHEEL...

For each extension module in each wheel (any processor): the symbols its
dynamic symbol table defines must be its module entry point alone (the C++
runtime and PCRE2 linked into it stay inside), and the shared libraries it
needs must be glibc's alone (no libstdc++, libc++ or PCRE2 beside it). Prints
one line per module; exits non-zero, naming what is wrong, otherwise.
Needs pyelftools (installed with auditwheel).
"""

from __future__ import annotations

import io
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# glibc's own libraries: every Linux that runs a manylinux wheel has them.
GLIBC_LIBRARIES = ("libc.so.", "libm.so.", "libpthread.so.", "libdl.so.", "librt.so.", "ld-linux")


def exported(elf: ELFFile) -> list[str]:
    table = elf.get_section_by_name(".dynsym")
    if table is None:
        return []
    return sorted(
        sym.name
        for sym in table.iter_symbols()
        if sym.name
        and sym["st_shndx"] != "SHN_UNDEF"
        and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK", "STB_GNU_UNIQUE")
    )


def needed(elf: ELFFile) -> list[str]:
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            return [tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    return []


def check_module(label: str, data: bytes) -> list[str]:
    elf = ELFFile(io.BytesIO(data))
    module = label.rsplit("/", 1)[-1].split(".", 1)[0]
    problems = []
    symbols = exported(elf)
    if symbols != [f"PyInit_{module}"]:
        extra = [s for s in symbols if s != f"PyInit_{module}"]
        problems.append(f"{label}: exports {len(extra)} symbol(s) beside PyInit_{module}: {' '.join(extra[:8])}"
                        if f"PyInit_{module}" in symbols else f"{label}: PyInit_{module} is not exported")
    libraries = needed(elf)
    foreign = [lib for lib in libraries if not lib.startswith(GLIBC_LIBRARIES)]
    if foreign:
        problems.append(f"{label}: needs libraries beyond glibc's: {' '.join(foreign)}")
    if not problems:
        print(f"wheel_exports: {label} ({elf.get_machine_arch()}): exports PyInit_{module} only; "
              f"needs {' '.join(libraries)}")
    return problems


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    problems = []
    for path in paths:
        with zipfile.ZipFile(path) as wheel:
            modules = [n for n in wheel.namelist() if n.endswith(".so")]
            if not modules:
                problems.append(f"{path}: no extension module in the wheel")
            for name in modules:
                problems += check_module(f"{path.rsplit('/', 1)[-1]}:{name}", wheel.read(name))
    for problem in problems:
        print(f"wheel_exports: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
