"""A type checker sees the whole public API of quillmere.commerce.

mypy checks tests/typing/usage.py (typed use, every result pinned with
``assert_type``) and tests/typing/misuse.py (each wrong call marked), against
the package as it is imported here: its Python modules, its ``py.typed`` and
the generated stub of the C++ extension.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quillmere

SAMPLES = Path(__file__).with_name("typing")
ERROR_LINE = re.compile(r"^(?P<file>[^:\n]+):(?P<line>\d+): error: (?P<message>.*)$", re.MULTILINE)

pytest.importorskip("mypy", reason="mypy is installed by requirements-dev.txt")


def run_mypy(tmp_path: Path, cache_dir: Path) -> tuple[str, Path]:
    # The package is checked from a copy of its typed files (sources, stub,
    # marker), wherever it is installed: mypy reports errors inside the package
    # too, and does not accept an installation directory as a search path.
    package = Path(quillmere.__file__).resolve().parent
    search = tmp_path / "search"
    shutil.copytree(package, search / "quillmere",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__", "*.html", "*.json"))
    config = tmp_path / "mypy.ini"
    config.write_text(
        "[mypy]\n"
        f"mypy_path = {search}\n"
        "python_version = 3.11\n"
        "warn_unused_ignores = True\n"
        "show_error_codes = True\n"
        "no_error_summary = True\n"
        "hide_error_context = True\n"
        # The fetch library is large; its own typing is not what is checked here.
        "[mypy-scrapling.*]\nfollow_imports = skip\nignore_missing_imports = True\n",
        encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(config), "--cache-dir", str(cache_dir),
         str(SAMPLES / "usage.py"), str(SAMPLES / "misuse.py")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr  # 2: mypy itself failed
    return proc.stdout, search


def test_public_api_is_typed(tmp_path: Path, request: pytest.FixtureRequest) -> None:
    cache_dir = request.config.cache.mkdir("mypy") if request.config.cache else tmp_path / "cache"
    output, search = run_mypy(tmp_path, cache_dir)
    errors = [((tmp_path / m["file"]).resolve(), int(m["line"]), m["message"]) for m in ERROR_LINE.finditer(output)]

    misuse = (SAMPLES / "misuse.py").resolve()
    marked = {n for n, text in enumerate(misuse.read_text().splitlines(), start=1) if text.rstrip().endswith("# error")}
    unexpected = [e for e in errors if e[0] != misuse or e[1] not in marked]
    assert not unexpected, "\n".join(f"{f}:{n}: {msg}" for f, n, msg in unexpected)
    flagged = {n for f, n, _ in errors if f == misuse}
    assert flagged == marked, f"wrong uses that mypy accepted, on lines {sorted(marked - flagged)}"
    assert (search / "quillmere" / "py.typed").is_file() and (search / "quillmere" / "_commerce.pyi").is_file()
