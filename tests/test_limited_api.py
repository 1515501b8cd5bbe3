"""The bindings stay buildable for the stable ABI: every C-API name they use is
in the limited C API (a wheel built on CPython 3.12+ is one abi3 extension)."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).absolute().parent.parent
CHECKER = ROOT / "tools" / "check_limited_api.py"

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++ (the compiler the extension is built with)")


def check(*sources: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(CHECKER), *map(str, sources)],
                          capture_output=True, text=True, cwd=ROOT, timeout=600)


def test_bindings_use_only_the_limited_api() -> None:
    run = check()
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip() == "the bindings use only the limited C API"


def test_checker_lists_what_the_limited_api_lacks(tmp_path: Path) -> None:
    # What crept into the bindings before: unchecked macros, type fields, and a
    # macro in a template (reported differently by the compiler).
    source = tmp_path / "uses_macros.cpp"
    source.write_text(
        "#include <nanobind/nanobind.h>\n"
        "PyObject* first(PyObject* l) { return PyList_GET_ITEM(l, 0); }\n"
        "double value(PyObject* f) { return PyFloat_AS_DOUBLE(f); }\n"
        "newfunc new_of(PyTypeObject* t) { return t->tp_new; }\n"
        "template <typename T> Py_ssize_t size(T, PyObject* b) { return PyBytes_GET_SIZE(b); }\n"
        "PyObject* fine(PyObject* l) { return PyList_GetItem(l, 0); }\n"
    )
    run = check(source)
    assert run.returncode == 1, run.stdout + run.stderr
    listed = {line.split(":", 1)[0]: line for line in run.stdout.splitlines()}
    assert set(listed) == {"PyList_GET_ITEM", "PyFloat_AS_DOUBLE", "PyTypeObject fields", "PyBytes_GET_SIZE"}, run.stdout
    assert f"{source}:2" in listed["PyList_GET_ITEM"]
    assert f"{source}:4" in listed["PyTypeObject fields"]
    assert f"{source}:5" in listed["PyBytes_GET_SIZE"]


def test_checker_reports_other_errors_instead_of_passing(tmp_path: Path) -> None:
    source = tmp_path / "broken.cpp"
    source.write_text("#include <nanobind/nanobind.h>\nint f() { return 1 +; }\n")
    run = check(source)
    assert run.returncode == 1
    assert run.stdout.startswith("other errors:") and f"{source}:2" in run.stdout, run.stdout


def test_compat_accessors_compile_both_ways(tmp_path: Path) -> None:
    # bindings/capi.hpp on its own, in a version-specific and a limited build.
    source = tmp_path / "capi_only.cpp"
    source.write_text('#include "bindings/capi.hpp"\n')
    assert check(source).returncode == 0
    import nanobind
    import sysconfig

    cmd = ["g++", "-std=gnu++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
           f"-I{sysconfig.get_paths()['include']}", f"-I{nanobind.include_dir()}", f"-I{ROOT}", str(source)]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
