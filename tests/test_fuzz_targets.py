"""The fuzz targets: the seed corpus passes their checks, and the checks do
flag what they are there to flag."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
sys.path.insert(0, str(FUZZ))

import seeds  # noqa: E402
import targets  # noqa: E402
from targets import Finding, case, run_one  # noqa: E402

import quillmere.commerce as commerce  # noqa: E402


def test_every_seed_passes_and_every_operation_is_seeded(tmp_path: Path) -> None:
    count = seeds.write(tmp_path, 65536)
    files = sorted(tmp_path.iterdir())
    assert count >= len(files) > 100
    seeded = set()
    for path in files:
        data = path.read_bytes()
        assert len(data) <= 65536
        run_one(data)  # a finding or an undocumented exception fails here, naming the seed
        seeded.add(targets.OPERATIONS[data[0] % len(targets.OPERATIONS)][0].__name__)
    assert seeded == {fn.__name__ for fn, _ in targets.OPERATIONS}


def test_arguments_are_split_and_invalid_bytes_become_lone_surrogates() -> None:
    texts = targets._texts(b"a\x1fb\xff\x1f", 4)
    assert texts == ["a", "b\udcff", "", ""]
    data = case("op_price", "$5", "EUR")
    assert targets.OPERATIONS[data[0]][0] is targets.op_price
    assert targets._texts(data[1:], 2) == ["$5", "EUR"]


def test_documented_refusals_pass_and_anything_else_is_reported(monkeypatch: pytest.MonkeyPatch) -> None:
    # A link that cannot be split is refused with ValueError, which the target accepts...
    with pytest.raises(ValueError):
        commerce.URLUnwrapper.extract_domain("http://[x")
    run_one(case("op_extract_domain", "http://[x"))

    # ...but another exception type from the same operation is a finding.
    def broken(url: str) -> str:
        raise KeyError(url)

    monkeypatch.setattr(commerce.URLUnwrapper, "extract_domain", staticmethod(broken))
    with pytest.raises(KeyError):
        run_one(case("op_extract_domain", "https://shop.example/"))


def test_answers_out_of_shape_are_findings(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(commerce.DestinationMetadataParser, "_find_ld_json_products",
                        staticmethod(lambda html: [["not", "a", "product"]]))
    with pytest.raises(Finding, match="JSON-LD"):
        run_one(case("op_ld_json", "<html></html>"))

    real = commerce.DestinationMetadataParser.parse_metadata

    def overscored(*args: object) -> dict:
        out = dict(real(*args))
        out["match_score"] = 101
        return out

    monkeypatch.setattr(commerce.DestinationMetadataParser, "parse_metadata", staticmethod(overscored))
    with pytest.raises(Finding, match="match_score"):
        run_one(case("op_parse_metadata", "\0", "https://shop.example/p", "t", "m", ""))


def test_the_export_target_reads_the_files_back(monkeypatch: pytest.MonkeyPatch) -> None:
    page = ('<html><head><script type="application/ld+json">{"@type": "Product", "name": "Boot \\ud800",'
            ' "offers": {"price": "9.50", "priceCurrency": "EUR"}}</script></head><body>'
            + "<p>x</p>" * 40 + "</body></html>")
    data = case("op_pipeline_export", "Boot \ud800", "https://shop.example/p", "Shop", "$10", "USD", page.encode())
    run_one(data)  # lone surrogates in a title and on the page: both files are still written

    original = commerce.export_commerce_to_csv

    def drops_a_row(result, path):  # type: ignore[no-untyped-def]
        out = original(result, path)
        lines = out.read_bytes().split(b"\r\n")
        out.write_bytes(b"\r\n".join(lines[:-2]) + b"\r\n")
        return out

    monkeypatch.setattr(commerce, "export_commerce_to_csv", drops_a_row)
    with pytest.raises(Finding, match="CSV"):
        run_one(data)


def test_the_pipeline_target_looks_up_no_host(monkeypatch: pytest.MonkeyPatch) -> None:
    import socket

    looked_up: list[object] = []

    def recording(host: object, *args: object, **kwargs: object) -> list:
        looked_up.append(host)
        raise OSError("no lookups from the fuzz targets")

    monkeypatch.setattr(socket, "getaddrinfo", recording)
    page = b"<html><head><title>Trail Boot</title></head><body>" + b"<p>x</p>" * 40 + b"</body></html>"
    run_one(case("op_pipeline_export", "Boot", "https://www.shop.example/p", "Shop", "$10", "USD", page))
    assert looked_up == []
    assert commerce.REFUSE_INTERNAL_DESTINATIONS is True  # switched off only for the call
