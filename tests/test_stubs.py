"""The extension's type stub is the one its own module generates today."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from pathlib import Path

import quillmere._commerce as extension

PATTERNS = Path(__file__).resolve().parents[1] / "tools" / "stub_patterns.txt"


def test_installed_stub_matches_the_built_module(tmp_path: Path) -> None:
    installed = Path(extension.__file__).with_name("_commerce.pyi")
    assert installed.is_file(), f"no stub next to {extension.__file__}: rebuild (scripts/dev-build.sh or pip install .)"

    package_parent = str(Path(extension.__file__).resolve().parent.parent)
    fresh = tmp_path / "_commerce.pyi"
    env = dict(os.environ, PYTHONPATH=package_parent)
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-p", str(PATTERNS),
                    "-m", "quillmere._commerce", "-o", str(fresh)],
                   check=True, env=env, cwd=tmp_path, timeout=120)
    assert fresh.read_text(encoding="utf-8") == installed.read_text(encoding="utf-8"), (
        "the installed _commerce.pyi is stale: rebuild so that the stub is regenerated")

    # Every public name of the module is declared, so a checker sees the whole extension.
    declared = set()
    for node in ast.parse(installed.read_text(encoding="utf-8")).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.Assign):
            declared.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
    public = {name for name in vars(extension) if not name.startswith("_")}
    assert public <= declared, f"missing from the stub: {sorted(public - declared)}"
