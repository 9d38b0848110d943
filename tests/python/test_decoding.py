"""Lenient UTF-8 decoding of field text, seen through the reader.

Python's own decoder with errors="replace" yields one U+FFFD per maximal
subpart of an ill-formed sequence, which is the rule the parser follows, so
it serves as the oracle. The row split is modelled in plain Python where that
is simple: no quote byte in the input, or every field properly quoted.
"""

from __future__ import annotations

import pathlib
import re

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _brinewick_backend as bw

BOM = b"\xef\xbb\xbf"
QUOTE = "\x02"  # a quote byte the generated data never holds
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def read_rows(tmp_path: pathlib.Path, data: bytes, **kwargs) -> list[list[str]]:
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    return list(bw.open(str(path), **kwargs))


def lenient(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


# Pieces that stress the decoder: valid sequences of every length, truncated
# ones, overlongs, surrogates, values past U+10FFFF, stray continuations.
TRICKY = [
    b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf",
    b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xf0\x9f",
    b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf", b"\xe0\x9f\xbf",
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\x9f\xbf",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80", b"\xfe", b"\xff",
    b"\x80", b"\xbf", b"\x80\x80",
    BOM, b"\xef\xbb",
]

chunks = st.one_of(
    st.sampled_from(TRICKY),
    st.binary(min_size=1, max_size=6),
    st.text(max_size=4).map(lambda s: s.encode("utf-8", "surrogatepass")),
)


def without(forbidden: bytes):
    return st.lists(chunks, max_size=24).map(
        lambda parts: bytes(b for b in b"".join(parts) if b not in forbidden)
    )


def strip_bom(data: bytes) -> bytes:
    return data[3:] if data.startswith(BOM) else data


# ------------------------------------------------------------- one field


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"\xe2\x82\xac", "\u20ac"),
        (b"\xf0\x9f\x98\x80", "\U0001f600"),
        (b"a\x80b", "a\ufffdb"),
        (b"\xff", "\ufffd"),
        (b"\xc3", "\ufffd"),  # truncated at the end of the field
        (b"\xe2\x82A", "\ufffdA"),  # truncated 3-byte sequence: one maximal subpart
        (b"\xf0\x9f\x98", "\ufffd"),
        (b"\xf0\x9f\x98\xe2\x82\xac", "\ufffd\u20ac"),
        (b"\xc0\xaf", "\ufffd\ufffd"),  # overlong: C0 never starts a sequence
        (b"\xe0\x80\xaf", "\ufffd\ufffd\ufffd"),  # E0 needs A0..BF next
        (b"\xed\xa0\x80", "\ufffd\ufffd\ufffd"),  # a surrogate is not a scalar value
        (b"\xed\x9f\xbf", "\ud7ff"),  # just below the surrogates
        (b"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"),  # beyond U+10FFFF
        (b"\xf8\x88\x80\x80\x80", "\ufffd" * 5),
        (b"\x80\x80", "\ufffd\ufffd"),
        (b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbfA", "\ufffd\ufffd\ufffd\ufffdA"),
    ],
)
def test_single_field_table(tmp_path, raw, text):
    # Python's decoder agrees with the table, so both are checked here.
    assert lenient(raw) == text
    assert read_rows(tmp_path, raw, delimiter=",", quote_char=QUOTE, expected_columns=0) == [[text]]


@SETTINGS
@given(data=without(b"\x01\x02\r\n"))
@example(data=BOM)
@example(data=BOM + BOM + b"x")
@example(data=b"\xef\xbb")
@example(data=b"")
def test_single_field_matches_python_decoder(tmp_path, data):
    body = strip_bom(data)
    rows = read_rows(tmp_path, data, delimiter="\x01", quote_char=QUOTE, expected_columns=0)
    assert rows == ([[lenient(body)]] if body else [])


# ------------------------------------------------------------- unquoted rows

LINE_BREAK = re.compile(b"\r\n|\r|\n")


def model_unquoted(data: bytes, delimiter: int) -> list[list[str]]:
    body = strip_bom(data)
    if not body:
        return []
    lines = LINE_BREAK.split(body)
    if LINE_BREAK.search(body[-1:]):  # a final line break ends the last row, it starts none
        lines.pop()
    return [[lenient(f) for f in line.split(bytes([delimiter]))] for line in lines]


DELIMITERS = [",", ";", "\t", "|", "é", "\u00ff", "\u20ac"]


@SETTINGS
@given(
    delimiter=st.sampled_from(DELIMITERS),
    parts=st.lists(st.one_of(chunks, st.sampled_from([b"\r", b"\n", b"\r\n", b"\n\r", b",", b";", b"\t", b"|"])), max_size=30),
)
def test_unquoted_rows_match_model(tmp_path, delimiter, parts):
    data = bytes(b for b in b"".join(parts) if b != 2)
    lead = delimiter.encode("utf-8")[0]
    rows = read_rows(tmp_path, data, delimiter=delimiter, quote_char=QUOTE, expected_columns=0)
    assert rows == model_unquoted(data, lead)


@pytest.mark.parametrize(
    "data, delimiter, rows",
    [
        # the lead byte C3 splits: the stray continuation A9 becomes U+FFFD
        (b"a\xc3\xa9b", "é", [["a", "\ufffdb"]]),
        (b"caf\xc3\xa9\n\xc3\xa9t\xc3\xa9", "é", [["caf", "\ufffd"], ["", "\ufffdt", "\ufffd"]]),
        # "€" is E2 82 AC: only E2 is the delimiter
        (b"1\xe2\x82\xac2", "\u20ac", [["1", "\ufffd\ufffd2"]]),
        # a pure-ASCII delimiter never cuts a multi-byte character
        (b"\xc3\xa9,\xe2\x82\xac\n", ",", [["é", "€"]]),
        # the mark is skipped once, at the very start only
        (BOM + b"x,y\n", ",", [["x", "y"]]),
        (BOM + BOM + b"x,y\n", ",", [["\ufeffx", "y"]]),
        (b"x," + BOM + b"y\n", ",", [["x", "\ufeffy"]]),
        (BOM, ",", []),
        (BOM + b"\n", ",", [[""]]),
        (b"\xef\xbb,", ",", [["\ufffd", ""]]),
    ],
)
def test_split_and_decode_table(tmp_path, data, delimiter, rows):
    assert read_rows(tmp_path, data, delimiter=delimiter, quote_char=QUOTE, expected_columns=0) == rows
    assert model_unquoted(data, delimiter.encode("utf-8")[0]) == rows


def test_non_ascii_delimiter_in_summary_and_merge(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a\xc3b\xc3c\n")
    reader = bw.open(str(path), delimiter="é", expected_columns=2)
    # the surplus is joined with the character of code 0xC3
    assert list(reader) == [["a", "b\u00c3c"]]
    assert reader.summary.detected_delimiter == "\u00c3"


# ------------------------------------------------------------- quoted rows


def quote_field(raw: bytes, quote: int) -> bytes:
    q = bytes([quote])
    return q + raw.replace(q, q + q) + q


@SETTINGS
@given(
    delimiter=st.sampled_from([",", ";", "|", "é"]),
    quote=st.sampled_from(['"', "'", "é"]),
    rows=st.lists(st.lists(st.lists(chunks, max_size=4).map(b"".join), min_size=1, max_size=4), min_size=1, max_size=5),
    terminator=st.sampled_from([b"\n", b"\r\n", b"\r"]),
    final_break=st.booleans(),
    repair=st.booleans(),
)
def test_quoted_fields_keep_their_bytes(tmp_path, delimiter, quote, rows, terminator, final_break, repair):
    d = delimiter.encode("utf-8")[0]
    q = quote.encode("utf-8")[0]
    if d == q:
        return
    # Every field quoted, quotes doubled: delimiters, line breaks and any
    # other byte inside are field text and decode as a whole.
    data = terminator.join(bytes([d]).join(quote_field(f, q) for f in row) for row in rows)
    if final_break:
        data += terminator
    got = read_rows(tmp_path, data, delimiter=delimiter, quote_char=quote, expected_columns=0, repair_quotes=repair)
    assert got == [[lenient(f) for f in row] for row in rows]
