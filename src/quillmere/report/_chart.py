"""The price chart: inline SVG, one mark per priced match, one panel per
currency (amounts in different currencies never share an axis), a lane per
merchant category. Colours come from classes, never a style attribute."""

from __future__ import annotations

import math
from typing import Any

_LANES = ("official_brand", "major_marketplace", "reseller_specialist", "unverified", None)
_W, _LEFT, _RIGHT, _LANE, _TOP, _AXIS = 460, 138, 14, 28, 8, 28


def _esc(value: str) -> str:
    from ._escape import esc
    return esc(value)


def _ticks(low: float, high: float, log: bool) -> list[float]:
    if log:
        ticks = []
        for power in range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1):
            for step in (1, 2, 5):
                value = step * 10.0 ** power
                if low <= value <= high:
                    ticks.append(value)
        return ticks if len(ticks) <= 8 else [t for t in ticks if math.log10(t).is_integer()] or ticks[:1]
    span = high - low
    raw = span / 5 if span > 0 else max(high, 1.0)
    step = 10 ** math.floor(math.log10(raw))
    step *= next(m for m in (1, 2, 5, 10) if m * step >= raw)
    start = math.ceil(low / step) * step
    return [start + k * step for k in range(int((high - start) / step) + 1)]


def _tick_label(value: float) -> str:
    if value >= 1000:
        return f"{value / 1000:g}k"
    return f"{value:g}"


def _panel(currency: str, marks: list[tuple[float, str | None, list[Any]]]) -> str:
    from ._escape import category_class, cut

    amounts = [a for a, _, _ in marks]
    low, high = min(amounts), max(amounts)
    log = low > 0 and high / low >= 8
    if log:
        lo, hi = 10 ** (math.floor(math.log10(low) * 4) / 4), 10 ** (math.ceil(math.log10(high) * 4) / 4)
    else:
        pad = (high - low) * 0.08 or max(high * 0.1, 1.0)
        lo, hi = max(0.0, low - pad), high + pad

    def x(value: float) -> float:
        if log:
            frac = (math.log10(value) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))
        else:
            frac = (value - lo) / (hi - lo)
        return _LEFT + frac * (_W - _LEFT - _RIGHT)

    lanes = [lane for lane in _LANES if any((c if c in _LANES else None) == lane for _, c, _ in marks)]
    height = _TOP + _LANE * len(lanes) + _AXIS
    out = [f'<figure class="chart"><h3>{_esc(currency)} <span class="note">'
           f'{len(marks)} priced match{"" if len(marks) == 1 else "es"}'
           f'{", log scale" if log else ""}</span></h3>'
           f'<svg viewBox="0 0 {_W} {height}" role="img" aria-label="prices in {_esc(currency)}">']
    bottom = _TOP + _LANE * len(lanes)
    for value in _ticks(lo, hi, log):
        tx = x(value)
        out.append(f'<line class="grid" x1="{tx:.1f}" x2="{tx:.1f}" y1="{_TOP}" y2="{bottom}"/>'
                   f'<text x="{tx:.1f}" y="{bottom + 18}" text-anchor="middle">{_esc(_tick_label(value))}</text>')
    for k, lane in enumerate(lanes):
        cy = _TOP + _LANE * k + _LANE / 2
        out.append(f'<text x="{_LEFT - 10}" y="{cy + 4:.1f}" text-anchor="end">{_esc(lane or "no category")}</text>')
        placed: dict[int, int] = {}  # marks so far in each 8-unit slot: equal prices step aside
        for amount, category, view in marks:
            if (category if category in _LANES else None) != lane:
                continue
            mx = x(amount)
            slot = int(mx // 8)
            near = placed.get(slot, 0)
            placed[slot] = near + 1
            my = cy + (0 if not near else (-1) ** near * 5 * ((near + 1) // 2))
            title = cut(view[1] or "(no title)", 80)[0]
            out.append(f'<circle class="mark {category_class(category)}" cx="{mx:.1f}" cy="{my:.1f}" r="6" '
                       f'data-rank="{view[0]}"><title>#{view[0]} {_esc(title)}: '
                       f'{_esc(view[6] or "")}</title></circle>')
    out.append("</svg></figure>")
    return "".join(out)


def price_chart(views: list[list[Any]]) -> str:
    """The chart of the priced matches among `views` (see FIELDS), or a note
    that there are none."""
    by_currency: dict[str, list[tuple[float, str | None, list[Any]]]] = {}
    for view in views:
        amount, currency, category = view[7], view[8], view[5]
        if amount is not None:
            by_currency.setdefault(currency or "-", []).append((amount, category, view))
    if not by_currency:
        return '<p class="note">No match has a price.</p>'
    panels = sorted(by_currency.items(), key=lambda kv: (-len(kv[1]), kv[0]))
    note = ("" if len(panels) == 1 else
            f'<p class="note">{len(panels)} currencies, each on its own axis.</p>')
    return note + '<div class="charts">' + "".join(_panel(c, marks) for c, marks in panels) + "</div>"


__all__ = ["price_chart"]
