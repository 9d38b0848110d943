#!/usr/bin/env python3
"""Seeded generator of benchmark CSV files.

Kinds:
  clean       well-formed CSV: a header and ten columns of numbers and words,
              some fields quoted for commas or doubled quotes.
  messy       the same table with the damage real exports show: ragged rows,
              stray and unclosed quotes, mixed LF / CR LF / CR, blank lines,
              invalid UTF-8, a byte-order mark, non-ASCII text.
  quotestorm  one huge quoted field full of stray quotes: '"' + 'a"b' * n + '"'.
              With --lines the storm is cut into rows of --line-kb kilobytes,
              each a quoted field of stray quotes followed by a short field.

The same --kind, --size-mb and --seed always give the same bytes.
Sizes are in MB of 10**6 bytes; the file ends on a whole row, so it may be
slightly larger than asked.
"""

from __future__ import annotations

import argparse
import os
import random
import sys

MB = 10**6

HEADER = [
    "order_id", "customer", "city", "country", "product",
    "quantity", "unit_price", "total", "order_date", "note",
]

FIRST_NAMES = [
    "John", "Mary", "Ahmed", "Li", "Sofia", "Lukas", "Chloé", "José", "Zoë",
    "Björn", "Ana", "Kenji", "Priya", "Olga", "Søren", "Małgorzata", "Émile",
    "Fatima", "Tom", "Grace",
]
LAST_NAMES = [
    "Smith", "Müller", "García", "Nguyen", "O'Brien", "Kowalski", "Rossi",
    "Dubois", "Jensen", "Yamamoto", "Silva", "Novák", "Öztürk", "Brown",
    "Ivanova", "Håkansson",
]
CITIES = [
    ("London", "UK"), ("Zürich", "Switzerland"), ("São Paulo", "Brazil"),
    ("Kraków", "Poland"), ("Lyon", "France"), ("Osaka", "Japan"),
    ("東京", "Japan"), ("Reykjavík", "Iceland"), ("Austin, TX", "USA"),
    ("Portland, OR", "USA"), ("München", "Germany"), ("Malmö", "Sweden"),
    ("Québec", "Canada"), ("İstanbul", "Türkiye"), ("Αθήνα", "Greece"),
]
PRODUCTS = [
    "USB-C cable", "Desk lamp", '27" monitor', "Mechanical keyboard",
    "Coffee beans, 1kg", "Office chair", 'Laptop sleeve 13"', "Notebook A5",
    "Noise-cancelling headphones", "Standing desk", "Café crème pods",
    "Wireless mouse", "HDMI 2.1 cable, 2m", "Ergonomic footrest",
]
NOTES = [
    "", "", "", "", "gift wrap", "deliver after 5pm", "leave at door",
    "call before delivery", "fragile, handle with care",
    'customer said "urgent"', "reorder", "paid by invoice",
    "address changed, see ticket 4411", "contactez-moi à l'avance",
    "express", 'box marked "FRAGILE", keep upright', "—",
]
STATUS_WORDS = ["ok", "late", "returned", "pending", "cancelled"]

# Bytes that are not valid UTF-8 in the places where they are put: a lone
# continuation byte, an invalid lead byte, a truncated sequence, an overlong
# form, a surrogate half and a latin-1 é as old exports write it.
BAD_UTF8 = [b"\x80", b"\xff", b"\xe2\x82", b"\xc0\xaf", b"\xed\xa0\x80", b"\xe9", b"\xc3("]

LINE_ENDS = [b"\n", b"\r\n", b"\r"]


def quote_field(text: str) -> str:
    """Standard quoting: quote when needed, double the quotes inside."""
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def clean_row(rng: random.Random, order_id: int) -> list[str]:
    city, country = rng.choice(CITIES)
    quantity = rng.randint(1, 40)
    price = rng.randint(99, 250000) / 100
    first, last = rng.choice(FIRST_NAMES), rng.choice(LAST_NAMES)
    customer = f"{last}, {first}" if rng.random() < 0.3 else f"{first} {last}"
    note = rng.choice(NOTES)
    if note == "" and rng.random() < 0.1:
        note = rng.choice(STATUS_WORDS)
    return [
        str(order_id),
        customer,
        city,
        country,
        rng.choice(PRODUCTS),
        str(quantity),
        f"{price:.2f}",
        f"{price * quantity:.2f}",
        f"20{rng.randint(15, 24):02d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        note,
    ]


def encode_row(fields: list[str]) -> list[bytes]:
    return [quote_field(f).encode("utf-8") for f in fields]


class Writer:
    """Collects bytes and writes them in large pieces, counting the total."""

    def __init__(self, out) -> None:
        self.out = out
        self.parts: list[bytes] = []
        self.pending = 0
        self.total = 0

    def write(self, data: bytes) -> None:
        self.parts.append(data)
        self.pending += len(data)
        self.total += len(data)
        if self.pending >= 1 << 20:
            self.flush()

    def flush(self) -> None:
        self.out.write(b"".join(self.parts))
        self.parts.clear()
        self.pending = 0


def gen_clean(rng: random.Random, size: int, w: Writer) -> None:
    w.write(",".join(HEADER).encode() + b"\n")
    order_id = 100000
    while w.total < size:
        order_id += 1
        w.write(b",".join(encode_row(clean_row(rng, order_id))) + b"\n")


def damage_row(rng: random.Random, fields: list[str]) -> tuple[list[bytes], bool]:
    """One row of encoded fields with at most one kind of damage.

    The flag asks the caller to close an opened quote at the start of the
    next row (a quote that runs across one line break)."""
    r = rng.random()
    enc = encode_row(fields)
    if r < 0.020:
        # Short row: an export cut off the last columns.
        return enc[: rng.randint(5, 9)], False
    if r < 0.030:
        # Long row: an unquoted comma inside the note.
        enc[9] = (fields[9] or "see note").encode() + b", " + rng.choice(STATUS_WORDS).encode()
        return enc, False
    if r < 0.035:
        # Long row: extra trailing columns.
        return enc + [b"x"] * rng.randint(1, 3), False
    if r < 0.050:
        # Stray quotes inside a quoted field: the writer forgot to double them.
        word = rng.choice(["fits 27", "size 13", "the best", "rush"])
        enc[9] = f'"said "{word}" twice, really"'.encode()
        return enc, False
    if r < 0.055:
        # Text after a closing quote joins the field.
        enc[1] = b'"' + fields[1].replace('"', '""').encode() + b'" Jr.'
        return enc, False
    if r < 0.058:
        # A quote opened in a field and closed only at the end of the line,
        # so it swallows the delimiters in between: the row comes out short.
        k = rng.randint(1, 6)
        plain = [f.replace('"', "").encode() for f in fields]
        plain[k] = b'"' + plain[k]
        plain[-1] = plain[-1] + b'"'
        return plain, False
    if r < 0.0585:
        # A quote opened in the last field and closed on the next line.
        enc[9] = b'"' + fields[9].replace('"', "").encode() + b" continued"
        return enc, True
    if r < 0.066:
        # Invalid UTF-8 inside a text field.
        i = rng.choice([1, 2, 4, 9])
        text = fields[i].replace('"', "").replace(",", " ").encode()
        cut = rng.randint(0, len(text))
        enc[i] = text[:cut] + rng.choice(BAD_UTF8) + text[cut:]
        return enc, False
    return enc, False


def gen_messy(rng: random.Random, size: int, w: Writer) -> None:
    w.write(b"\xef\xbb\xbf" + ",".join(HEADER).encode() + b"\n")
    order_id = 100000
    line_end = b"\n"
    block_left = 0
    close_pending = False
    while w.total < size:
        # Line ends change in blocks, as when exports from several systems
        # are concatenated, plus the odd single row with another ending.
        if block_left == 0:
            line_end = rng.choices(LINE_ENDS, weights=[70, 25, 5])[0]
            block_left = rng.randint(50, 500)
        block_left -= 1
        end = line_end if rng.random() > 0.01 else rng.choice(LINE_ENDS)
        if rng.random() < 0.01:
            w.write(end)  # blank line
        order_id += 1
        enc, opens = damage_row(rng, clean_row(rng, order_id))
        if close_pending:
            enc[0] = enc[0] + b'"'
        close_pending = opens
        w.write(b",".join(enc) + end)
    if close_pending:
        w.write(b'0"\n')


def gen_quotestorm(size: int, w: Writer, lines: bool, line_bytes: int) -> None:
    if not lines:
        w.write(b'"' + b'a"b' * max(0, (size - 2) // 3) + b'"')
        return
    reps = max(1, (line_bytes - 5) // 3)
    row = b'"' + b'a"b' * reps + b'",x\n'
    while w.total < size:
        w.write(row)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kind", choices=["clean", "messy", "quotestorm"], default="messy")
    ap.add_argument("--size-mb", type=float, default=8.0, help="target size in MB (10**6 bytes)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--lines", action="store_true", help="quotestorm: many rows instead of one field")
    ap.add_argument("--line-kb", type=float, default=64.0, help="quotestorm --lines: row size in kB")
    ap.add_argument("--out", required=True, help="output path ('-' for stdout)")
    args = ap.parse_args(argv)

    size = int(args.size_mb * MB)
    rng = random.Random(args.seed)
    if args.out == "-":
        out = sys.stdout.buffer
    else:
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        out = open(args.out, "wb")
    try:
        w = Writer(out)
        if args.kind == "clean":
            gen_clean(rng, size, w)
        elif args.kind == "messy":
            gen_messy(rng, size, w)
        else:
            gen_quotestorm(size, w, args.lines, int(args.line_kb * 1000))
        w.flush()
    finally:
        if out is not sys.stdout.buffer:
            out.close()
    if args.out != "-":
        print(f"wrote {args.out}: {w.total} bytes ({args.kind}, seed {args.seed})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
