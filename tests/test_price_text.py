"""Extended price-text reading: real-looking shop texts with their amounts."""

from __future__ import annotations

import pytest

from quillmere.commerce import PriceNormalizer

# (text, amount, currency or None when the text names none)
CASES = [
    # plain and English grouping
    ("$19.99", 19.99, "USD"), ("19.99", 19.99, None), ("USD 1,299.00", 1299.0, "USD"),
    ("$1,234,567.89", 1234567.89, "USD"), ("Price: $45", 45.0, "USD"), ("£0.99", 0.99, "GBP"),
    ("US$ 12.50", 12.5, "USD"), ("$.99", 0.99, "USD"), ("CA$ 24.95", 24.95, "CAD"), ("A$59.00", 59.0, "AUD"),
    ("NZ$ 89.90", 89.9, "NZD"), ("HK$1,280", 1280.0, "HKD"), ("S$ 15.90", 15.9, "SGD"),
    ("NT$2,320", 2320.0, "TWD"), ("R$ 689,99", 689.99, "BRL"), ("R$ 1.299,90", 1299.9, "BRL"),
    # continental
    ("12,50 €", 12.5, "EUR"), ("1.299,99 €", 1299.99, "EUR"), ("€ 1.234.567,89", 1234567.89, "EUR"),
    ("49,90 EUR inkl. MwSt.", 49.9, "EUR"), ("ab 9,99 €", 9.99, "EUR"), ("EUR 7,95", 7.95, "EUR"),
    ("119,01 €*", 119.01, "EUR"), ("12,- €", 12.0, "EUR"), ("99,– €", 99.0, "EUR"), ("15.- CHF", 15.0, "CHF"),
    ("1 299,99 €", 1299.99, "EUR"), ("3,56 €", 3.56, "EUR"), ("4 386 €", 4386.0, "EUR"),
    # thin and no-break spaces, apostrophes
    ("1\u202f299,00\u00a0€", 1299.0, "EUR"), ("1\u00a0234,50 zł", 1234.5, "PLN"), ("2\u2009490 kr", 2490.0, "SEK"),
    ("CHF 1'299.00", 1299.0, "CHF"), ("Fr. 1\u2019234.50", 1234.5, "CHF"), ("CHF 19.50", 19.5, "CHF"),
    ("19.50 CHF", 19.5, "CHF"),
    # other currencies by sign and word
    ("997 zł", 997.0, "PLN"), ("32,00 zł", 32.0, "PLN"), ("173,34 Lei", 173.34, "RON"), ("173.34 lei", 173.34, "RON"),
    ("1 299 ₽", 1299.0, "RUB"), ("899 руб.", 899.0, "RUB"), ("899 р.", 899.0, "RUB"), ("Rs 23,450", 23450.0, "INR"),
    ("Rs. 635,000", 635000.0, "INR"), ("₹ 1,49,999", None, "INR"), ("270 Kn", 270.0, "HRK"), ("270,00 kn", 270.0, "HRK"),
    ("1.490 Kč", 1490.0, "CZK"), ("12 990 Ft", 12990.0, "HUF"), ("₺149,90", 149.9, "TRY"), ("149,90 TL", 149.9, "TRY"),
    ("₩29,000", 29000.0, "KRW"), ("29,000원", 29000.0, "KRW"), ("¥10,000", 10000.0, "JPY"), ("1,980円", 1980.0, "JPY"),
    ("CN¥ 88", 88.0, "CNY"), ("88元", 88.0, "CNY"), ("₪ 1,679", 1679.0, "ILS"), ("126 ر.س", 126.0, "SAR"),
    ("AED 99", 99.0, "AED"), ("₫ 250.000", 250000.0, "VND"), ("250.000₫", 250000.0, "VND"), ("฿1,290", 1290.0, "THB"),
    ("₱ 499.00", 499.0, "PHP"), ("RM 39.90", 39.9, "MYR"), ("Rp 150.000", 150000.0, "IDR"), ("₴ 1 299", 1299.0, "UAH"),
    ("45 лв.", 45.0, "BGN"), ("199 kr", 199.0, "SEK"), ("199,- kr", 199.0, "SEK"), ("kr 1.299,00", 1299.0, "SEK"), ("kr. 1.299,00", 1299.0, "DKK"),
    ("₦ 15,000", 15000.0, "NGN"), ("KSh 2,500", 2500.0, "KES"), ("S/ 59.90", 59.9, "PEN"), ("COP 120.000", 120000.0, "COP"),
    ("ARS 2.190", 2190.0, "ARS"), ("MXN 1,499.00", 1499.0, "MXN"), ("502.20 BYN", 502.2, "BYN"),
    # three decimals
    ("KWD 12.500", 12.5, "KWD"), ("BHD 1.250", 1.25, "BHD"), ("12.345 OMR", 12.345, "OMR"), ("0.750", 0.75, None),
    # digits of other scripts
    ("٣٥٠ ر.س", 350.0, "SAR"), ("١٢٣٫٤٥", 123.45, None), ("₹ ४९९", 499.0, "INR"), ("৳ ১২০০", 1200.0, None),
    ("１，９８０円", None, "JPY"), ("１９８０円", 1980.0, "JPY"),
    # ranges, "from", counts and words around the price
    ("$10 - $20", 10.0, "USD"), ("10,00 € – 20,00 €", 10.0, "EUR"), ("from $9.49", 9.49, "USD"),
    ("From £25", 25.0, "GBP"), ("2 x 12,99 €", 12.99, "EUR"), ("3 pcs $5.99", 5.99, "USD"),
    ("Pack of 6 - $19.99", 19.99, "USD"), ("Qty 2 £7.50", 7.5, "GBP"), ("20% off $15.00", 15.0, "USD"),
    ("Only 3 left: €49,95", 49.95, "EUR"), ("Was $20 Now $15", 20.0, "USD"), ("Sale price $12.00 USD", 12.0, "USD"),
    ("12€50", 12.5, "EUR"), ("9€99", 9.99, "EUR"), ("Preis: 1.234,- €", 1234.0, "EUR"),
    ("iPhone 12 64GB $699", 699.0, "USD"), ("1.234", 1234.0, None), ("1,234", 1234.0, None), ("12,5", 12.5, None),
    ("12,50", 12.5, None), ("1,234.5", 1234.5, None), ("1.234,5", 1234.5, None), (",99 €", 0.99, "EUR"),
    ("0,99", 0.99, None), ("Free", 0.0, None), ("Gratis", 0.0, None), ("kostenlos", 0.0, None),
    ("1 299", 1299.0, None), ("23.450", 23450.0, None), ("3.340 $", 3340.0, "USD"),
    # cents after a space, where a sign stands beside the number or it is the whole text
    ("12. 50", 12.5, None), ("1.234, 56 €", 1234.56, "EUR"), ("9€ 99", 9.99, "EUR"), ("€ 12, 50", 12.5, "EUR"),
    ("$1,234. 56", 1234.56, "USD"), ("12. 50 kr", 12.5, "SEK"), ("Preis: 19, 90 €", 19.9, "EUR"),
    ("12 ,50 €", 12.5, "EUR"), ("12 , 50 €", 12.5, "EUR"), ("12.  50 €", 12.5, "EUR"), ("12 € 50", 12.5, "EUR"),
]


def currency_of(expected: str | None, hint: str | None = None) -> str:
    return expected or hint or "USD"


@pytest.mark.parametrize("text, amount, currency", [c for c in CASES if c[1] is not None])
def test_shop_texts_read_right(text, amount, currency):
    price = PriceNormalizer.parse(text, extended=True)
    assert price is not None, text
    assert (price.amount, price.currency) == (amount, currency_of(currency)), text
    assert price.raw == text.strip()


def test_whole_suite_rate():
    right = sum(1 for text, amount, cur in CASES if amount is not None
                and (p := PriceNormalizer.parse(text, extended=True)) is not None
                and (p.amount, p.currency) == (amount, currency_of(cur)))
    assert right / sum(1 for c in CASES if c[1] is not None) >= 0.99


@pytest.mark.parametrize("text", ["", "   ", "no price here", "call us", "N/A", "—"])
def test_texts_without_a_price(text):
    assert PriceNormalizer.parse(text, extended=True) is None


def test_hint_names_which_dollar_or_crown():
    assert PriceNormalizer.parse("$ 1.299", "ARS", extended=True).currency == "ARS"
    assert PriceNormalizer.parse("299 kr", "NOK", extended=True).currency == "NOK"
    assert PriceNormalizer.parse("299 kr", extended=True).currency == "SEK"
    # a hint never overrides a sign of its own
    assert PriceNormalizer.parse("€ 5", "USD", extended=True).currency == "EUR"
    # without any sign the hint's code, or the hint as written
    assert PriceNormalizer.parse("5,00", "zł", extended=True).currency == "PLN"
    assert PriceNormalizer.parse("5,00", " xyz ", extended=True).currency == "XYZ"


@pytest.mark.parametrize("text, amount", [
    ("Sizes 12, 50", 12.0),  # no sign beside it: a list, not cents
    ("Price: 12, 50", 12.0),
    ("12€ 99%", 12.0),  # a percentage, not cents
    ("9€ 99 €", 9.0),  # a second price, not cents
    ("Was 12 € 15 €", 12.0),
    ("€12 50", 12.0), ("12 €50", 12.0),  # which number the sign belongs to is not said
    ("12. 505 €", 505.0),  # three digits after the space are no cents: the number beside the sign is read
    ("1, 2, 3", 1.0),
])
def test_spaced_cents_left_alone_where_ambiguous(text, amount):
    assert PriceNormalizer.parse(text, extended=True).amount == amount


def test_default_reading_is_unchanged():
    for text, _, _ in CASES:
        assert PriceNormalizer.parse(text) == PriceNormalizer.parse(text, extended=False)
    # the default keeps its own rules where the extended reading differs
    assert PriceNormalizer.parse("1.234").amount == 1.23
    assert PriceNormalizer.parse("2 x 12,99 €").amount == 2.0
    assert PriceNormalizer.parse("2 x 12,99 €", extended=True).amount == 12.99


def test_extended_is_keyword_only_and_bool():
    with pytest.raises(TypeError):
        PriceNormalizer.parse("$5", None, True)
    with pytest.raises(TypeError, match="bool"):
        PriceNormalizer.parse("$5", extended=1)


def test_hostile_texts_stay_bounded():
    long_digits = "1" * 200_000
    assert PriceNormalizer.parse(long_digits, extended=True) is None or \
        PriceNormalizer.parse(long_digits, extended=True).amount > 0
    many = "1,2" * 50_000 + " €"
    assert PriceNormalizer.parse(many, extended=True) is not None
    assert PriceNormalizer.parse("\udc80 12 €", extended=True).amount == 12.0
    # many numbers and signs, none touching: each number looks only at its neighbours
    spaced = "1 x € . " * 40_000 + "7,50 €"
    assert PriceNormalizer.parse(spaced, extended=True).amount == 7.5
