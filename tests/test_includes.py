"""The engine's files include each other without a circle."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).absolute().parent.parent


def _checker():
    module_spec = importlib.util.spec_from_file_location("check_includes", ROOT / "tools" / "check_includes.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_engine_has_no_include_circle():
    checker = _checker()
    graph = checker.room_graph(ROOT / "commerce")
    assert "metadata_parser" in graph and "extractors" in graph["metadata_parser"]
    assert "metadata_parser" not in graph["extractors"]
    assert checker.circles(graph) == []


def test_checker_finds_circles_through_a_header_and_its_source(tmp_path):
    checker = _checker()
    (tmp_path / "a.hpp").write_text('#include "commerce/json.hpp"\n')
    (tmp_path / "a.cpp").write_text('#include "commerce/a.hpp"\n#include "commerce/b.hpp"\n')
    (tmp_path / "b.hpp").write_text("#pragma once\n")
    (tmp_path / "b.cpp").write_text('#include "commerce/b.hpp"\n  #  include "commerce/a.hpp"\n')
    (tmp_path / "json.hpp").write_text("#include <vector>\n")
    assert checker.circles(checker.room_graph(tmp_path)) == [["a", "b"]]
    assert checker.main(["check", str(tmp_path)]) == 1
    (tmp_path / "b.cpp").write_text('#include "commerce/b.hpp"\n')
    assert checker.circles(checker.room_graph(tmp_path)) == []
