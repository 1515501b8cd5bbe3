"""The same benchmarks against two builds of the extension, side by side in
one run: by default the system compiler's developer build (src/, made by
scripts/dev-build.sh) and the Zig-built release wheel for this interpreter
(dist/, made by scripts/wheel.sh).

    python3 bench/bench_builds.py [--rounds N] [NAME=WHEEL-OR-DIR ...]

Each round runs bench/bench_metadata.py and bench/bench_price.py once per
build, in a subprocess whose path starts with that build (a wheel is unpacked
first); the rounds alternate the builds, so a busy machine slows both alike,
and each figure is the best of the rounds. The pure-Python price model runs
in the same processes: as it does not touch the extension, its two figures
show the noise between them.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"


def default_builds() -> list[tuple[str, Path]]:
    builds = []
    if list((ROOT / "src" / "quillmere").glob("_commerce*.so")):
        builds.append(("system", ROOT / "src"))
    tag = "cp312-abi3" if sys.version_info >= (3, 12) else "cp{0}{1}-cp{0}{1}".format(*sys.version_info[:2])
    wheels = sorted((ROOT / "dist").glob(f"quillmere-*-{tag}-*manylinux_2_17_x86_64.whl"),
                    key=lambda p: p.stat().st_mtime)
    if wheels:
        builds.append(("zig", wheels[-1]))
    return builds


def prepare(path: Path, scratch: Path) -> Path:
    """A folder to put first on the path: the wheel unpacked, or the folder."""
    if path.is_dir():
        return path
    out = scratch / path.stem
    with zipfile.ZipFile(path) as wheel:
        wheel.extractall(out)
    return out


def run(script: str, where: Path, args: list[str]) -> str:
    env = dict(os.environ, PYTHONPATH=str(where))
    done = subprocess.run([sys.executable, str(BENCH / script), *args], env=env, cwd=ROOT,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"bench_builds: {script} failed with {where}:\n{done.stderr[-2000:]}")
    return done.stdout


def number(text: str) -> float:
    return float(text.replace(",", ""))


def metadata_figures(out: str) -> dict[str, float]:
    figures = {}
    m = re.search(r"^parse_metadata: .*?: ([\d,.]+) MB/s", out, re.M)
    if m:
        figures["metadata: parse_metadata, MB/s"] = number(m.group(1))
    m = re.search(r"first call per page.*?: ([\d,.]+) MB/s", out)
    if m:
        figures["metadata: first call per page, MB/s"] = number(m.group(1))
    for kind, mbps in re.findall(r"^  (\S+)\s+\d+ pages\s+[\d.]+ MB:\s+([\d,.]+) MB/s", out, re.M):
        figures[f"metadata: {kind} pages, MB/s"] = number(mbps)
    return figures


def price_figures(out: str) -> dict[str, float]:
    figures, section = {}, None
    for line in out.splitlines():
        if line.startswith("results "):
            section = line.rstrip(":")
        m = re.match(r"\s+(engine PriceNormalizer\.parse|Python model[^:]*?)\s*:\s+([\d,]+) prices/s", line)
        if m and section:
            name = "engine" if m.group(1).startswith("engine") else "Python model (control)"
            figures[f"price: {name}, {section}, prices/s"] = number(m.group(2))
    return figures


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=1.5, help="bench_metadata.py's --seconds")
    ap.add_argument("builds", nargs="*", help="NAME=WHEEL-OR-DIR (default: system=src, zig=dist's wheel)")
    args = ap.parse_args()
    builds = [(b.split("=", 1)[0], Path(b.split("=", 1)[1])) for b in args.builds] or default_builds()
    if len(builds) < 2:
        sys.exit("bench_builds: needs two builds: run scripts/dev-build.sh and scripts/wheel.sh, or name them")
    with tempfile.TemporaryDirectory() as scratch:
        places = [(name, prepare(path, Path(scratch))) for name, path in builds]
        for name, where in places:
            probe = subprocess.run(
                [sys.executable, "-c", "import quillmere._commerce as m; print(m.__file__)"],
                env=dict(os.environ, PYTHONPATH=str(where)), capture_output=True, text=True, check=True)
            ldd = subprocess.run(["ldd", probe.stdout.strip()], capture_output=True, text=True).stdout
            runtime = "libstdc++ (shared)" if "libstdc++" in ldd else "linked in"
            print(f"{name:>8}: {probe.stdout.strip()} (C++ runtime: {runtime})")
        best: dict[str, dict[str, float]] = {name: {} for name, _ in places}
        for r in range(args.rounds):
            order = places if r % 2 == 0 else places[::-1]
            for name, where in order:
                figures = metadata_figures(run("bench_metadata.py", where, ["--seconds", str(args.seconds)]))
                figures |= price_figures(run("bench_price.py", where, ["--quick"]))
                for key, value in figures.items():
                    best[name][key] = max(best[name].get(key, 0.0), value)
    names = [name for name, _ in places]
    keys = list(dict.fromkeys(k for name in names for k in best[name]))
    width = max(len(k) for k in keys)
    print(f"best of {args.rounds} rounds (higher is faster)")
    print(f"{'':{width}}  " + "".join(f"{n:>14}" for n in names) + f"   {names[1]}/{names[0]}")
    for key in keys:
        cells = [best[n].get(key) for n in names]
        ratio = f"{cells[1] / cells[0]:8.2f}" if cells[0] and cells[1] else "       -"
        print(f"{key:{width}}  " + "".join(f"{c:>14,.1f}" if c else f"{'-':>14}" for c in cells) + f"   {ratio}")


if __name__ == "__main__":
    main()
