"""Reports include circles among the engine's files.

Each file of commerce/ is a node, and every `#include "commerce/..."` line an
edge; a header and its source count as one room (x.hpp and x.cpp), so a
source that includes a header whose room includes the source's own header
back is a circle too. Prints every circle found and exits 1 if there is one.

    python tools/check_includes.py [commerce-directory]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

_INCLUDE = re.compile(r'^\s*#\s*include\s+"commerce/([^"]+)\.(?:hpp|h)"', re.MULTILINE)


def room_graph(directory: Path) -> dict[str, set[str]]:
    """Room name -> the rooms whose headers it includes (itself left out)."""
    graph: dict[str, set[str]] = {}
    for path in sorted(directory.iterdir()):
        if path.suffix not in (".hpp", ".h", ".cpp"):
            continue
        room = path.stem
        edges = graph.setdefault(room, set())
        edges.update(m for m in _INCLUDE.findall(path.read_text(encoding="utf-8")) if m != room)
    return graph


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One circle per strongly connected group of rooms (depth-first, Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                group.append(top)
                if top == node:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def main(argv: list[str]) -> int:
    directory = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "commerce"
    found = circles(room_graph(directory))
    for group in found:
        print("include circle: " + " -> ".join(group + group[:1]))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
