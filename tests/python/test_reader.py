"""SalvageReader and open(): iteration, summary, context manager, errors."""

from __future__ import annotations

import csv
import inspect
import os
import pathlib
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _brinewick_backend as bw
from _brinewick_backend import SalvageReader

SAMPLE = b"a,b,c\n1,2\n3,4,5\n"
SAMPLE_ROWS = [["a", "b", "c"], ["1", "2", ""], ["3", "4", "5"]]
COUNTER_NAMES = ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "inferred_columns")

# The class and the module function must behave the same in every respect.
MAKERS = [pytest.param(SalvageReader, id="class"), pytest.param(bw.open, id="open")]


@pytest.fixture
def write_file(tmp_path: pathlib.Path):
    counter = iter(range(10**6))

    def write(data: bytes) -> str:
        path = tmp_path / f"input_{next(counter)}.csv"
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def sample_path(write_file) -> str:
    return write_file(SAMPLE)


def counters(summary: bw.SalvageSummary) -> dict:
    return summary.to_dict()


# ---------------------------------------------------------------- iteration


@pytest.mark.parametrize("make", MAKERS)
def test_rows_and_length_through_the_whole_iteration(make, sample_path):
    reader = make(sample_path)
    assert len(reader) == 3
    seen = []
    for row in reader:
        assert len(reader) == 3
        seen.append(row)
    assert seen == SAMPLE_ROWS
    assert all(type(row) is list and all(type(f) is str for f in row) for row in seen)
    assert len(reader) == 3


@pytest.mark.parametrize("make", MAKERS)
def test_reader_is_its_own_iterator_and_does_not_rewind(make, sample_path):
    reader = make(sample_path)
    assert iter(reader) is reader
    assert next(reader) == SAMPLE_ROWS[0]
    assert iter(reader) is reader  # taking the iterator again does not reset it
    assert list(reader) == SAMPLE_ROWS[1:]
    assert list(reader) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert len(reader) == 3


def test_quarantined_row_is_not_yielded(sample_path):
    reader = bw.open(sample_path, fill_ragged_rows=False)
    assert list(reader) == [SAMPLE_ROWS[0], SAMPLE_ROWS[2]]
    assert len(reader) == 2
    summary = reader.summary
    assert (summary.total_rows, summary.salvaged_rows, summary.quarantined_rows) == (3, 2, 1)
    assert summary.repaired_rows == 0


@pytest.mark.parametrize(
    "data, kwargs, rows",
    [
        # overflow merged into the last column with the delimiter
        (b"a,b\n1,2,3,4\nc,d\n", {}, [["a", "b"], ["1", "2,3,4"], ["c", "d"]]),
        (b"a;b\n1;2;3\nc;d\n", {"delimiter": ";"}, [["a", "b"], ["1", "2;3"], ["c", "d"]]),
        (b"a,b\n1,2,3,4\nc,d\n", {"merge_overflow": False}, [["a", "b"], ["c", "d"]]),
        # width check off: rows as parsed
        (b"a\n1,2,3\n\n", {"delimiter": ",", "expected_columns": 0}, [["a"], ["1", "2", "3"], [""]]),
        # a blank line is a short row
        (b"a,b\n\nc,d\n", {}, [["a", "b"], ["", ""], ["c", "d"]]),
        (b"a,b\n\nc,d\n", {"fill_ragged_rows": False}, [["a", "b"], ["c", "d"]]),
        # quote handling reaches the reader
        (b'"x,y\nz",w\n', {}, [["x,y\nz", "w"]]),
        (b'"a"b",c\n', {"expected_columns": 2}, [['a"b', "c"]]),
        (b'"a"b",c\n', {"expected_columns": 2, "repair_quotes": False}, [['ab"', "c"]]),
        (b"'a,b',c\n", {"quote_char": "'", "expected_columns": 2}, [["a,b", "c"]]),
        (b'"a,b",c\n', {"quote_char": "", "expected_columns": 2}, [["a,b", "c"]]),
        # first byte of the delimiter string counts
        (b"a;b;c\n", {"delimiter": ";;", "expected_columns": 0}, [["a", "b", "c"]]),
        (b"a;b\nc;d\n", {"delimiter": ""}, [["a", "b"], ["c", "d"]]),  # empty: sniffed
        (b"a,b\r\nc,d\re,f", {}, [["a", "b"], ["c", "d"], ["e", "f"]]),
        (b"\xef\xbb\xbfx,y\n", {}, [["x", "y"]]),
        (b"", {"delimiter": ";", "expected_columns": 4}, []),
    ],
)
def test_rows_for_options(write_file, data, kwargs, rows):
    reader = bw.open(write_file(data), **kwargs)
    assert list(reader) == rows
    assert len(reader) == len(rows) == reader.summary.salvaged_rows


@pytest.mark.parametrize("make", MAKERS)
def test_empty_file(make, write_file):
    reader = make(write_file(b""))
    assert len(reader) == 0
    assert list(reader) == []
    assert reader.summary.to_dict() == {
        "total_rows": 0,
        "salvaged_rows": 0,
        "repaired_rows": 0,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 0,
    }


def test_returned_rows_are_independent_copies(write_file):
    path = write_file(b"a,b\nc,d\ne,f\n")
    reader = bw.open(path)
    first = next(reader)
    first[0] = "changed"
    first.append("extra")
    second = next(reader)
    assert second == ["c", "d"] and second is not first
    second.clear()
    assert next(reader) == ["e", "f"]
    assert list(bw.open(path)) == [["a", "b"], ["c", "d"], ["e", "f"]]


# ---------------------------------------------------------------- summary


def test_summary_of_sample(sample_path):
    summary = bw.open(sample_path).summary
    assert type(summary) is bw.SalvageSummary
    assert counters(summary) == {
        "total_rows": 3,
        "salvaged_rows": 3,
        "repaired_rows": 1,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }


def test_summary_is_a_fresh_copy_and_does_not_move_iteration(sample_path):
    reader = bw.open(sample_path)
    first, second = reader.summary, reader.summary
    assert first is not second
    assert counters(first) == counters(second)
    assert next(reader) == SAMPLE_ROWS[0]
    third = reader.summary
    assert counters(third) == counters(first)
    assert list(reader) == SAMPLE_ROWS[1:]
    del reader
    assert counters(first)["total_rows"] == 3  # outlives its reader


@pytest.mark.parametrize(
    "kwargs, delimiter, columns",
    [
        ({"delimiter": ";"}, ";", 1),  # no ";" in the file: one column
        ({"delimiter": "é"}, "\u00c3", 1),  # lead byte 0xC3 shown as U+00C3
        ({"delimiter": "\t", "expected_columns": 4}, "\t", 4),
        ({}, ",", 3),
    ],
)
def test_summary_reports_the_applied_dialect(sample_path, kwargs, delimiter, columns):
    summary = bw.open(sample_path, **kwargs).summary
    assert summary.detected_delimiter == delimiter
    assert summary.inferred_columns == columns


# ---------------------------------------------------------------- context manager


@pytest.mark.parametrize("make", MAKERS)
def test_with_block_binds_the_reader_and_lets_exceptions_through(make, sample_path):
    reader = make(sample_path)

    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with reader as bound:
            assert bound is reader
            assert next(bound) == SAMPLE_ROWS[0]
            raise Boom
    assert len(reader) == 3
    assert list(reader) == SAMPLE_ROWS[1:]  # usable after the block, cursor kept
    with reader as again:
        assert again is reader


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None,), {}),
        ((None, None, None), {}),
        ((ValueError, ValueError("x"), None), {}),
        ((), {"_exc_type": KeyError, "_exc_val": KeyError(), "_exc_tb": "anything"}),
        ((1,), {"_exc_tb": object()}),
    ],
)
def test_exit_accepts_up_to_three_arguments_and_returns_false(sample_path, args, kwargs):
    reader = bw.open(sample_path)
    assert reader.__exit__(*args, **kwargs) is False
    assert list(reader) == SAMPLE_ROWS


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((None, None, None, None), {}),
        ((), {"exc_type": None}),
        ((None,), {"_exc_type": None}),
    ],
)
def test_exit_refuses_other_arguments(sample_path, args, kwargs):
    reader = bw.open(sample_path)
    with pytest.raises(TypeError, match=r"__exit__\(\)"):
        reader.__exit__(*args, **kwargs)


def test_enter_takes_no_arguments(sample_path):
    with pytest.raises(TypeError):
        bw.open(sample_path).__enter__(None)


# ---------------------------------------------------------------- file errors


@pytest.mark.parametrize("make", MAKERS)
def test_missing_file(make, tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        make(str(tmp_path / "absent.csv"))
    assert type(info.value) is FileNotFoundError
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert str(tmp_path) not in str(info.value)


@pytest.mark.parametrize("make", MAKERS)
def test_directory(make, tmp_path):
    with pytest.raises(IsADirectoryError) as info:
        make(str(tmp_path))
    assert type(info.value) is IsADirectoryError
    assert info.value.args == ("Is a directory (os error 21)",)


@pytest.mark.parametrize("make", MAKERS)
def test_not_a_directory(make, sample_path):
    with pytest.raises(NotADirectoryError) as info:
        make(sample_path + "/inner.csv")
    assert info.value.args == ("Not a directory (os error 20)",)


@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize(
    "spoil",
    [
        pytest.param(lambda path: "\0", id="nul-only"),
        pytest.param(lambda path: path.replace("input", "in\0put"), id="inside"),
        # would open the existing file if the path were cut at the NUL
        pytest.param(lambda path: path + "\0", id="after-existing-file"),
    ],
)
def test_nul_in_path(make, sample_path, spoil):
    with pytest.raises(OSError) as info:
        make(spoil(sample_path))
    assert type(info.value) is OSError
    assert info.value.args == ("file name contained an unexpected NUL byte",)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_permission_denied(sample_path):
    os.chmod(sample_path, 0)
    with pytest.raises(PermissionError) as info:
        bw.open(sample_path)
    assert info.value.args == ("Permission denied (os error 13)",)


def test_path_object_is_refused_but_its_string_works(sample_path):
    path = pathlib.Path(sample_path)
    with pytest.raises(TypeError):
        SalvageReader(path)
    with pytest.raises(TypeError):
        bw.open(file_path=path)
    assert list(SalvageReader(str(path))) == SAMPLE_ROWS


def test_str_subclass_path_works(sample_path):
    class Name(str):
        pass

    assert list(bw.open(Name(sample_path))) == SAMPLE_ROWS


def test_non_ascii_path(tmp_path):
    path = tmp_path / "données é.csv"
    path.write_bytes(SAMPLE)
    assert list(bw.open(str(path))) == SAMPLE_ROWS


def test_invalid_utf8_file_reads(write_file):
    rows = list(bw.open(write_file(b"\xff\xfe,\x80\n\xc3(,ok\n"), delimiter=","))
    assert rows == [["\ufffd\ufffd", "\ufffd"], ["\ufffd(", "ok"]]


# ---------------------------------------------------------------- argument errors

NAMES = [pytest.param(SalvageReader, "SalvageReader.__new__()", id="class"), pytest.param(bw.open, "open()", id="open")]


@pytest.mark.parametrize("make, name", NAMES)
def test_missing_path_argument_message(make, name):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == f"{name} missing 1 required positional argument: 'file_path'"


@pytest.mark.parametrize("make, name", NAMES)
@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("p", None, '"', True, True, None, True, "surplus"), {}),
        (("p",), {"encoding": "utf-8"}),
        (("p",), {"file_path": "q"}),
        (("p", ";"), {"delimiter": ","}),
        ((), {"delimiter": ","}),
    ],
)
def test_binding_errors_name_the_callable(make, name, args, kwargs, tmp_path):
    with pytest.raises(TypeError) as info:
        make(*args, **kwargs)
    assert str(info.value).startswith(name)


needs_notes = pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes arrived in 3.11")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@needs_notes
@pytest.mark.parametrize("make", MAKERS)
@pytest.mark.parametrize(
    "kwargs, error, param",
    [
        ({"file_path": pathlib.Path("x")}, TypeError, "file_path"),
        ({"file_path": b"x"}, TypeError, "file_path"),
        ({"file_path": None}, TypeError, "file_path"),
        ({"file_path": "\ud800.csv"}, UnicodeEncodeError, "file_path"),
        ({"delimiter": 44}, TypeError, "delimiter"),
        ({"delimiter": b","}, TypeError, "delimiter"),
        ({"delimiter": "\udc80"}, UnicodeEncodeError, "delimiter"),
        ({"quote_char": None}, TypeError, "quote_char"),
        ({"quote_char": "\udfff"}, UnicodeEncodeError, "quote_char"),
        ({"fill_ragged_rows": 1}, TypeError, "fill_ragged_rows"),
        ({"fill_ragged_rows": None}, TypeError, "fill_ragged_rows"),
        ({"merge_overflow": "yes"}, TypeError, "merge_overflow"),
        ({"expected_columns": -1}, OverflowError, "expected_columns"),
        ({"expected_columns": 2**64}, OverflowError, "expected_columns"),
        ({"expected_columns": Index(-5)}, OverflowError, "expected_columns"),
        ({"expected_columns": "3"}, TypeError, "expected_columns"),
        ({"expected_columns": 2.0}, TypeError, "expected_columns"),
        ({"repair_quotes": 0}, TypeError, "repair_quotes"),
        # the first bad argument in parameter order is the one reported
        ({"repair_quotes": 0, "delimiter": 1}, TypeError, "delimiter"),
        ({"expected_columns": -1, "quote_char": None}, TypeError, "quote_char"),
        ({"file_path": None, "fill_ragged_rows": 1}, TypeError, "file_path"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(make, tmp_path, kwargs, error, param):
    # The default path does not exist: a conversion error must come first.
    kwargs = {"file_path": str(tmp_path / "absent.csv"), **kwargs}
    with pytest.raises(error) as info:
        make(**kwargs)
    assert type(info.value) is error
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "kwargs, rows",
    [
        ({"expected_columns": True}, [["a,b,c"], ["1,2"], ["3,4,5"]]),
        ({"expected_columns": Index(2)}, [["a", "b,c"], ["1", "2"], ["3", "4,5"]]),
        ({"expected_columns": 4}, [["a", "b", "c", ""], ["1", "2", "", ""], ["3", "4", "5", ""]]),
    ],
)
def test_index_like_column_counts(sample_path, kwargs, rows):
    assert list(bw.open(sample_path, **kwargs)) == rows


def test_numpy_bool_flags(sample_path):
    np = pytest.importorskip("numpy")
    reader = bw.open(sample_path, fill_ragged_rows=np.bool_(False), merge_overflow=np.bool_(True))
    assert list(reader) == [SAMPLE_ROWS[0], SAMPLE_ROWS[2]]


# ---------------------------------------------------------------- class surface


def test_docstrings_and_signatures():
    assert SalvageReader.__doc__ == "In-memory streaming reader iterating over salvaged rows."
    signature = (
        '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
        "merge_overflow=True, expected_columns=None, repair_quotes=True)"
    )
    assert SalvageReader.__text_signature__ == signature
    assert bw.open.__text_signature__ == signature
    assert bw.open.__doc__ == "Convenience function to open and stream a salvaged CSV file."
    for callable_ in (SalvageReader, bw.open):
        params = inspect.signature(callable_).parameters
        assert [p.kind for p in params.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 7
        assert {name: p.default for name, p in params.items() if p.default is not p.empty} == {
            "delimiter": None,
            "quote_char": '"',
            "fill_ragged_rows": True,
            "merge_overflow": True,
            "expected_columns": None,
            "repair_quotes": True,
        }
    assert SalvageReader.__enter__.__text_signature__ == "($self)"
    assert SalvageReader.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"
    assert SalvageReader.summary.__doc__ is None
    assert SalvageReader.__module__ == "builtins"
    assert SalvageReader.__repr__ is object.__repr__


def test_cannot_subclass():
    with pytest.raises(TypeError):
        type("Derived", (SalvageReader,), {})


def test_no_instance_dict_no_weakref_read_only_summary(sample_path):
    reader = bw.open(sample_path)
    assert not hasattr(reader, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(reader)
    with pytest.raises(AttributeError):
        reader.extra = 1
    with pytest.raises(AttributeError):
        reader.summary = reader.summary
    with pytest.raises(AttributeError):
        del reader.summary
    assert list(reader) == SAMPLE_ROWS


# ---------------------------------------------------------------- against salvage_file

DELIMITERS = [None, ",", ";", "\t", "|", "é", ""]
QUOTES = ['"', "'", ""]

csv_bytes = st.lists(
    st.sampled_from(
        [b"a", b"bc", b"1", b",", b";", b"\t", b"|", b'"', b"'", b"\r", b"\n", b"\r\n", b" ", b"\xc3\xa9", b"\xff", b"\xef\xbb\xbf"]
    ),
    max_size=60,
).map(b"".join)

options = st.fixed_dictionaries(
    {},
    optional={
        "delimiter": st.sampled_from(DELIMITERS),
        "quote_char": st.sampled_from(QUOTES),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "expected_columns": st.sampled_from([None, 0, 1, 2, 3, 5]),
        "repair_quotes": st.booleans(),
    },
)


def read_back(path: pathlib.Path, delimiter: str, quote: str) -> list[list[str]]:
    with open(path, newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle, delimiter=delimiter, quotechar=quote, strict=True))
    return [row if row else [""] for row in rows]  # a lone empty field is written as an empty line


def first_byte_char(text: str) -> str:
    return chr(text.encode("utf-8")[0])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=csv_bytes, opts=options)
def test_reader_yields_what_salvage_file_writes(tmp_path, data, opts):
    if opts.get("quote_char") and opts.get("delimiter") and first_byte_char(opts["quote_char"]) == first_byte_char(opts["delimiter"]):
        return
    src = tmp_path / "in.csv"
    out = tmp_path / "out.csv"
    src.write_bytes(data)
    summary = bw.salvage_file(str(src), str(out), **opts)
    reader = bw.open(str(src), **opts)
    quote = first_byte_char(opts.get("quote_char") or '"')
    written = read_back(out, summary.detected_delimiter, quote)
    rows = list(reader)
    assert rows == written
    assert reader.summary.to_dict() == summary.to_dict()
    assert len(reader) == len(rows) == summary.salvaged_rows


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=csv_bytes, opts=options)
def test_class_and_open_agree(tmp_path, data, opts):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    by_class = SalvageReader(str(src), **opts)
    by_function = bw.open(str(src), **opts)
    assert type(by_function) is SalvageReader
    assert by_class.summary.to_dict() == by_function.summary.to_dict()
    assert list(by_class) == list(by_function)
    summary = by_class.summary
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
