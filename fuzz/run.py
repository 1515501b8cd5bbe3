"""The fuzzing entry: atheris (libFuzzer) drives fuzz/targets.py.

    python fuzz/run.py [libFuzzer flags] CORPUS_DIR [SEED_DIR ...]

The package's Python code is instrumented for coverage; the C++ extension adds
its own edges when it was built with -fsanitize=fuzzer-no-link (scripts/fuzz.sh
--native). Every case goes through targets.run_one.
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent))

with atheris.instrument_imports(include=["quillmere"]):
    import quillmere.commerce  # noqa: F401
    import quillmere.models  # noqa: F401
    import quillmere.relevance  # noqa: F401

import targets  # noqa: E402


def main() -> None:
    import quillmere._commerce as extension
    print(f"fuzz: quillmere from {Path(quillmere.commerce.__file__).parent}, "
          f"extension {Path(extension.__file__).name}", file=sys.stderr, flush=True)
    atheris.Setup(sys.argv, targets.run_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
