"""The engine's number helpers answer as round(), repr(), "%.2f" and float() do."""

import math
import struct

from quillmere import _commerce

N = _commerce._numbers


def same_float(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b and (not isinstance(a, float) or math.copysign(1, a) == math.copysign(1, b))


def doubles(rng, n=20000):
    """Finite and special doubles: random bit patterns, decimal-looking values,
    exact and near ties at the second decimal, the fast-path boundaries."""
    out = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308]
    out += [0.125, 0.375, 2.675, 1.005, 1.015, 0.005, 0.015, 0.025, 0.035, -0.125, -2.675, 0.001, -0.001, 0.004999]
    for _ in range(n // 4):
        out.append(struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0])
        out.append(rng.randrange(10**7) / 1000 * rng.choice((1, -1)))
        out.append(rng.randrange(1, 2**30) / 8 * rng.choice((1, -1)))  # odd k/8: exact ties at the second decimal
        scale = 10.0 ** rng.randrange(-8, 20)
        out.append(rng.random() * scale)
    for edge in (1e13, 1e15, 2.0**52 / 100, 1e17, 2.0**53):
        for k in range(-3, 4):
            out.append(math.nextafter(edge, math.inf) if k > 0 else edge)
            out.append(edge + k * 0.005)
    return out


def test_round2_repr_fixed2_agree_with_python(rng):
    bad = []
    for x in doubles(rng):
        if not (same_float(N.round2(x), round(x, 2)) and N.repr(x) == repr(x) and N.fixed2(x) == "%.2f" % x):
            bad.append(x)
    assert bad == []


def float_or_none(s):
    try:
        return float(s)
    except ValueError:
        return None


FLOAT_TEXTS = [
    "1", " 1 ", "\t\n1\x0b\x0c\r", "1\x1c", "\x1f1", "1\x85", "\u20001\u3000", "\xa01", "+1", "-1", "+-1", "--1",
    "1_000", "1__000", "_1", "1_", "1_.5", "1._5", "1e1_0", "1e_5", "1_e5", "0_1", ".5", "5.", ".", "", " ",
    "1e", "e5", "1.5E+3", "+.5e-3", "1.2.3", "0x10", "1e5.5", "inf", "-Infinity", "+iNf", "nan", "-nan", "NaN",
    "in f", "nan(1)", "infinit", "١٢٣", "١.٥", "1\u00a0000", "1 000", "١_٢", "x", "1\x00", "1e400", "-1e400",
    "1e-400", "4.9e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e" + "9" * 30,
    "1e-" + "9" * 30, "0." + "0" * 400 + "1e400", "9" * 400, "0" * 500 + "1", "1" + "0" * 308, "1" + "0" * 309,
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330"
    "286416692887910946506900116549309081398040808880011009999999999999999999999999999999999999999",
]


def test_parse_float_fixed_cases():
    bad = [s for s in FLOAT_TEXTS if not same_float(N.parse_float(s), float_or_none(s))]
    assert bad == []


def test_parse_float_generated(rng):
    pool = list("0123456789") * 4 + list("._eE+- \t\n") + ["\x1c", "\x85", "\xa0", "\u2003", "١", "٥", "x", "_"]
    texts = []
    for _ in range(6000):
        texts.append("".join(rng.choice(pool) for _ in range(rng.randrange(1, 10))))
    for _ in range(3000):
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        texts += [repr(x), "%.17e" % x, "%.25f" % (x % 1000)]
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 40)))
        texts.append(f"{digits[:5]}.{digits[5:]}e{rng.randrange(-330, 330)}")
    bad = [s for s in texts if not same_float(N.parse_float(s), float_or_none(s))]
    assert bad == []
