"""The module object, its signatures and docstrings, sniff, and argument binding/conversion."""
from __future__ import annotations

import builtins
import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import _brinewick_backend as bw

HAS_NOTES = sys.version_info >= (3, 11)

PUBLIC = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]

MODULE_DOC = (
    "High-performance, fault-tolerant brinewick and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

SALVAGE_FILE_DOC_LINES = [
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.",
    "",
    "Args:",
    "    input_path: Path to the corrupted CSV file.",
    "    output_path: Path where the repaired CSV file will be written.",
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
    '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.',
    "    quote_char: Optional single-character quote enclosure (default '\"').",
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
    "    expected_columns: Optional explicit column count. If None, inferred automatically.",
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
]

OPTIONS_SIG = (
    'delimiter=None, quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
    "expected_columns=None, repair_quotes=True"
)


# Pure-Python twins with the same parameters: the interpreter's own binding
# errors for them are the wording the native callables must reproduce.
def salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char='"',
                 fill_ragged_rows=True, merge_overflow=True, expected_columns=None,
                 repair_quotes=True):
    pass


def open(file_path, delimiter=None, quote_char='"', fill_ragged_rows=True,  # noqa: A001
         merge_overflow=True, expected_columns=None, repair_quotes=True):
    pass


def sniff(sample):
    pass


TWINS = {"salvage_file": salvage_file, "open": open, "sniff": sniff}


def notes(exc: BaseException) -> list:
    return getattr(exc, "__notes__", [])


def assert_note(exc: BaseException, param: str) -> None:
    if HAS_NOTES:
        assert notes(exc) == [f"while processing '{param}'"]


# ---------------------------------------------------------------- module attributes


def test_module_attributes():
    assert bw.__version__ == "0.1.0"
    assert bw.__doc__ == MODULE_DOC
    assert bw.__all__ == PUBLIC
    assert len(set(bw.__all__)) == len(bw.__all__)
    # Nothing public beyond the exported names, added in the documented order.
    public = [k for k in vars(bw) if not k.startswith("_")]
    assert public == PUBLIC
    added = [k for k in vars(bw) if k in ("__version__", "__all__", *PUBLIC)]
    assert added == ["__version__", "__all__", *PUBLIC]


def test_star_import_binds_every_export_including_open():
    namespace: dict = {}
    exec("from _brinewick_backend import *", namespace)
    for name in PUBLIC:
        assert namespace[name] is getattr(bw, name)
    assert namespace["open"] is not builtins.open


@pytest.mark.parametrize("name", ["salvage_file", "sniff", "open"])
def test_functions_are_builtins_bound_to_the_module(name):
    f = getattr(bw, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__module__ == "_brinewick_backend"
    assert f.__self__ is bw
    assert f.__name__ == name


@pytest.mark.parametrize("name", ["SalvageSummary", "SalvageReader"])
def test_classes_live_in_builtins_and_cannot_be_subclassed(name):
    cls = getattr(bw, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    # A type in builtins is shown by its full name, which is builtins.<name>.
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})
    with pytest.raises(TypeError):
        exec(f"class Derived(bw.{name}): pass", {"bw": bw})


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"total_rows": 3})])
def test_summary_cannot_be_constructed(args, kwargs):
    with pytest.raises(TypeError) as info:
        bw.SalvageSummary(*args, **kwargs)
    assert str(info.value) == "cannot create 'builtins.SalvageSummary' instances"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", bw.__file__], check=True,
                         capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__brinewick_backend"]


# ---------------------------------------------------------------- signatures and docstrings


@pytest.mark.parametrize("obj, signature", [
    (bw.sniff, "(sample)"),
    (bw.salvage_file, "(input_path, output_path, quarantine_path=None, " + OPTIONS_SIG + ")"),
    (bw.open, "(file_path, " + OPTIONS_SIG + ")"),
    (bw.SalvageReader, "(file_path, " + OPTIONS_SIG + ")"),
    (bw.SalvageSummary.to_dict, "($self)"),
    (bw.SalvageReader.__enter__, "($self)"),
    (bw.SalvageReader.__exit__, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
    (bw.SalvageSummary, None),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


@pytest.mark.parametrize("name", ["salvage_file", "open", "sniff"])
def test_inspect_signature_matches_a_python_twin(name):
    assert inspect.signature(getattr(bw, name)) == inspect.signature(TWINS[name])


def test_inspect_signature_of_the_reader_class_and_methods():
    assert inspect.signature(bw.SalvageReader) == inspect.signature(open)
    assert str(inspect.signature(bw.SalvageSummary.to_dict)) == "(self, /)"
    assert str(inspect.signature(bw.SalvageReader.__exit__)) == \
        "(self, /, _exc_type=None, _exc_val=None, _exc_tb=None)"
    default = inspect.signature(bw.salvage_file).parameters["quote_char"].default
    assert default == '"'


@pytest.mark.parametrize("obj, doc", [
    (bw.sniff, "Detects the most likely delimiter from a CSV string sample."),
    (bw.open, "Convenience function to open and stream a salvaged CSV file."),
    (bw.salvage_file, "\n".join(SALVAGE_FILE_DOC_LINES)),
    (bw.SalvageSummary, "Python-exposed summary of a salvage operation."),
    (bw.SalvageSummary.to_dict, "Converts the summary into a native Python dictionary."),
    (bw.SalvageReader, "In-memory streaming reader iterating over salvaged rows."),
    # Signature line only: nothing is left for __doc__.
    (bw.SalvageReader.__enter__, None),
    (bw.SalvageReader.__exit__, None),
])
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


def test_stored_salvage_file_docstring_is_967_bytes():
    stored = "salvage_file" + bw.salvage_file.__text_signature__ + "\n--\n\n" + bw.salvage_file.__doc__
    assert len(stored.encode("utf-8")) == 967


@pytest.mark.parametrize("attr", ["total_rows", "salvaged_rows", "repaired_rows",
                                  "quarantined_rows", "detected_delimiter", "inferred_columns"])
def test_summary_attributes_have_no_docstring(attr):
    assert getattr(bw.SalvageSummary, attr).__doc__ is None


# ---------------------------------------------------------------- sniff

TAB = "\t"
SNIFF_CASES = [
    ("empty", "", ","),
    ("one row", "a;b;c", ","),
    ("one row with newline", "a;b;c\n", ","),
    ("semicolon", "a;b\n1;2\n", ";"),
    ("equal scores keep the earlier candidate", "a,b;c\n1,2;3\n", ","),
    ("wider table wins", "a;b|c|d\na;b|c|d\n", "|"),
    ("share beats width", "x;y|z|w\nx;y|z|w\nx;y|z|w\np;q\n", ";"),
    ("tab", "a\tb\tc\n1\t2\t3\n", TAB),
    ("quoted tab", '"a"\t"b"\t"c"\n"1"\t"2"\t"3"\n', TAB),
    ("quoted tab with commas inside", '"a,b"\t"c"\n"d,e"\t""\n', TAB),
    ("blank and space lines ignored", "\n  \na;b\n\n   \n1;2\n\n", ";"),
    ("space line does not make a second row", "a;b\n   \n", ","),
    ("crlf", "a|b\r\n1|2\r\n", "|"),
    # Blank means Unicode White_Space: VT, FF, NBSP, ideographic space are blank ...
    ("unicode blanks ignored", "a;b\n\x0b\x0c\u00a0\u3000\n", ","),
    # ... but the information separators and ZWSP are not, so that row counts.
    ("U+001F is not blank", "a;b\n\x1f\n", ";"),
    ("U+200B is not blank", "a;b\n\u200b\n", ";"),
    # A tab-only line is two empty fields for the tab candidate.
    ("tab line counts for tab", "a|b\n\t\n", TAB),
    ("bom skipped", "\ufeffa;b\n1;2\n", ";"),
    ("bom before a blank line", "\ufeff\na;b\n", ","),
    ("bom mid-text is content", "a;b\n\ufeff\n", ";"),
    ("quoted delimiter does not split", '"a;b",c\n"d;e",f\n', ","),
    ("quoted line break", '"a\nb";c\n"d";e\n', ";"),
    ("single column everywhere", "abc\ndef\nghi\n", ","),
    ("non-ascii content", "\u00e9;\u00fc\n\u00df;\u00f8\n", ";"),
    # Tie of 3 and 5 fields under ';': the wider mode gives 0.5*ln 5 = 0.80,
    # beating ',' at 0.75 (the narrower mode would give 0.55 and lose).
    ("tie inside histogram goes to the wider count",
     "a,b;c;d\na,b;c;d\na,b;c;d;e;f\nab;c;d;e;f\n", ";"),
    # Only the first 50 non-blank rows count: 50 rows of 'a;b' decide it
    # even though 200 comma rows follow.
    ("rows after the 50th are ignored", "a;b\n" * 50 + "a,b,c\n" * 200, ";"),
    ("blank lines do not use up the 50", "\n" * 80 + "a;b\n" * 50 + "a,b,c\n" * 200, ";"),
    ("the 50th counted row is a comma row", "a;b\n" * 49 + "a,b,c\n" * 200, ";"),
]


@pytest.mark.parametrize("sample, expected", [c[1:] for c in SNIFF_CASES],
                         ids=[c[0] for c in SNIFF_CASES])
def test_sniff(sample, expected):
    result = bw.sniff(sample)
    assert type(result) is str
    assert result == expected


def test_sniff_rows_beyond_the_limit_would_change_the_result():
    # Guards the limit test above: with the comma rows inside the window the
    # comma wins, so the window really is what decides.
    assert bw.sniff("a;b\n" * 10 + "a,b,c\n" * 200) == ","


def test_sniff_keyword_and_str_subclass():
    class Text(str):
        pass

    assert bw.sniff(sample="a\tb\tc\n1\t2\t3\n") == "\t"
    assert bw.sniff(Text("a;b\n1;2\n")) == ";"


@pytest.mark.parametrize("value, exc", [
    (b"a;b\n1;2\n", TypeError),
    (None, TypeError),
    (42, TypeError),
    (pathlib.Path("a;b"), TypeError),
    ("a;b\n\ud800;1\n", UnicodeEncodeError),
])
def test_sniff_conversion_errors_carry_the_note(value, exc):
    with pytest.raises(exc) as info:
        bw.sniff(value)
    assert type(info.value) is exc
    assert_note(info.value, "sample")


# ---------------------------------------------------------------- argument binding


def twin_message(name, args, kwargs) -> str:
    with pytest.raises(TypeError) as info:
        TWINS[name](*args, **kwargs)
    return str(info.value)


TEN = tuple(f"p{i}" for i in range(10))
BINDING_CASES = [
    ("salvage_file", (), {}),
    ("salvage_file", ("in.csv",), {}),
    ("salvage_file", (), {"output_path": "o"}),
    ("salvage_file", TEN, {}),
    ("salvage_file", ("a", "b"), {"foo": 1}),
    ("salvage_file", ("a", "b"), {"input_path": "c"}),
    ("salvage_file", ("a",), {"quarantine_path": "q"}),
    ("salvage_file", ("a", "b", None, None, '"', True, True, None, True), {"repair_quotes": True}),
    ("salvage_file", TEN, {"foo": 1}),
    ("open", (), {}),
    ("open", tuple("abcdefgh"), {}),
    ("open", ("a",), {"file_path": "b"}),
    ("open", ("a",), {"path": "b"}),
    ("open", (), {"delimiter": ";"}),
    ("sniff", (), {}),
    ("sniff", ("a", "b"), {}),
    ("sniff", (), {"text": "a"}),
    ("sniff", ("a",), {"sample": "b"}),
]


@pytest.mark.parametrize("name, args, kwargs", BINDING_CASES)
def test_binding_errors_use_the_interpreter_wording(name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(bw, name)(*args, **kwargs)
    assert str(info.value) == twin_message(name, args, kwargs)
    assert not notes(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: bw.salvage_file(), "salvage_file() missing 2 required positional arguments: "
                                "'input_path' and 'output_path'"),
    (lambda: bw.salvage_file("a"), "salvage_file() missing 1 required positional argument: "
                                   "'output_path'"),
    (lambda: bw.salvage_file(*TEN), "salvage_file() takes from 2 to 9 positional arguments "
                                    "but 10 were given"),
    (lambda: bw.salvage_file("a", "b", foo=1),
     "salvage_file() got an unexpected keyword argument 'foo'"),
    (lambda: bw.salvage_file("a", "b", input_path="c"),
     "salvage_file() got multiple values for argument 'input_path'"),
    (lambda: bw.sniff("a", "b"), "sniff() takes 1 positional argument but 2 were given"),
    (lambda: bw.SalvageReader(), "SalvageReader.__new__() missing 1 required positional "
                                 "argument: 'file_path'"),
    (lambda: bw.SalvageReader(*"abcdefgh"), "SalvageReader.__new__() takes from 1 to 7 "
                                            "positional arguments but 8 were given"),
    (lambda: bw.SalvageReader("a", file_path="b"),
     "SalvageReader.__new__() got multiple values for argument 'file_path'"),
    (lambda: bw.SalvageReader("a", foo=1),
     "SalvageReader.__new__() got an unexpected keyword argument 'foo'"),
])
def test_binding_error_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------- argument conversion

# Each callable with a valid value for its path parameters; the input does
# not exist, so reaching the engine would raise OSError instead.
CALLABLES = {
    "salvage_file": (bw.salvage_file, ("missing-in.csv", "never-written.csv")),
    "open": (bw.open, ("missing-in.csv",)),
    "SalvageReader": (bw.SalvageReader, ("missing-in.csv",)),
}

OPTION_ERRORS = [
    ("delimiter", 1, TypeError),
    ("delimiter", b";", TypeError),
    ("quote_char", None, TypeError),
    ("quote_char", 34, TypeError),
    ("quote_char", b"'", TypeError),
    ("fill_ragged_rows", 1, TypeError),
    ("fill_ragged_rows", None, TypeError),
    ("merge_overflow", 0, TypeError),
    ("merge_overflow", "yes", TypeError),
    ("repair_quotes", 1.0, TypeError),
    ("expected_columns", -1, OverflowError),
    ("expected_columns", 2**64, OverflowError),
    ("expected_columns", -(2**70), OverflowError),
    ("expected_columns", 1.5, TypeError),
    ("expected_columns", "3", TypeError),
    ("delimiter", "\ud800", UnicodeEncodeError),
    ("quote_char", "\udfff", UnicodeEncodeError),
]


@pytest.mark.parametrize("callable_name", list(CALLABLES))
@pytest.mark.parametrize("param, value, exc", OPTION_ERRORS)
def test_option_conversion_errors(callable_name, param, value, exc, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    func, paths = CALLABLES[callable_name]
    with pytest.raises(exc) as info:
        func(*paths, **{param: value})
    assert type(info.value) is exc
    assert_note(info.value, param)
    assert os.listdir(tmp_path) == []


# Dialects whose clean output no CSV reader reads back: (delimiter, quote_char
# or OMITTED, the parameter the note names, the quote_char shown).
OMITTED = object()
DIALECT_CLASHES = [
    (",", ",", "quote_char", ","),
    ('"', OMITTED, "quote_char", '"'),
    ('"', "", "quote_char", '"'),       # the empty quote_char means the double quote
    ("\t", "\t", "quote_char", "\t"),
    ("\r", '"', "delimiter", '"'),
    ("\n", OMITTED, "delimiter", '"'),
    ("\r\n", "'", "delimiter", "'"),
    ("\n", "\n", "delimiter", "\n"),
    (",", "\r", "quote_char", "\r"),
    ("|", "\n", "quote_char", "\n"),
]


@pytest.mark.parametrize("callable_name", list(CALLABLES))
@pytest.mark.parametrize("delimiter, quote, param, shown", DIALECT_CLASHES)
def test_dialects_that_cannot_be_written_back_are_refused(callable_name, delimiter, quote, param,
                                                          shown, tmp_path):
    func, _ = CALLABLES[callable_name]
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n1,2\n")
    paths = [str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv")]
    options = {"delimiter": delimiter}
    if quote is not OMITTED:
        options["quote_char"] = quote
    with pytest.raises(ValueError) as info:
        func(*paths[: 3 if callable_name == "salvage_file" else 1], **options)
    assert type(info.value) is ValueError
    assert str(info.value) == (
        "delimiter and quote_char must be different characters, neither of them CR or LF "
        f"(got delimiter={delimiter!r}, quote_char={shown!r})")
    assert_note(info.value, param)
    assert os.listdir(tmp_path) == ["in.csv"]
    assert src.read_bytes() == b"a,b\n1,2\n"


@pytest.mark.parametrize("callable_name", list(CALLABLES))
@pytest.mark.parametrize("data, quote, message", [
    (b"a,b\n1,2\n", "\r", "quote_char must not be CR or LF (got '\\r')"),
    (b"a,b\n1,2\n", "\n", "quote_char must not be CR or LF (got '\\n')"),
    (b"a,b\n1,2\n", ",", "quote_char ',' is the sniffed delimiter; pass delimiter= or another quote_char"),
    (b"a;b;c\n1;2;3\n", ";", "quote_char ';' is the sniffed delimiter; pass delimiter= or another quote_char"),
])
def test_a_quote_that_cannot_go_with_the_sniffed_delimiter_is_refused(callable_name, data, quote, message,
                                                                      tmp_path):
    func, _ = CALLABLES[callable_name]
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    paths = [str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv")]
    with pytest.raises(ValueError) as info:
        func(*paths[: 3 if callable_name == "salvage_file" else 1], quote_char=quote)
    assert str(info.value) == message
    assert os.listdir(tmp_path) == ["in.csv"]
    assert src.read_bytes() == data


@pytest.mark.parametrize("delimiter, quote", [
    (";;", ";x"),
    ("\u00e9", "\u00c3"),  # both begin with the byte C3, which is all the engine uses
])
def test_distinct_strings_sharing_their_first_byte_are_refused(delimiter, quote, tmp_path):
    with pytest.raises(ValueError) as info:
        bw.salvage_file(str(tmp_path / "in.csv"), str(tmp_path / "out.csv"),
                        delimiter=delimiter, quote_char=quote)
    assert str(info.value).endswith(
        f"(got delimiter={delimiter!r}, quote_char={quote!r}, which begin with the same byte)")
    assert_note(info.value, "quote_char")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("callable_name", list(CALLABLES))
def test_dialect_check_comes_after_both_are_converted(callable_name):
    # A quote_char of the wrong type is reported as such, even after a CR delimiter.
    func, paths = CALLABLES[callable_name]
    with pytest.raises(TypeError) as info:
        func(*paths, delimiter="\r", quote_char=None)
    assert_note(info.value, "quote_char")


@pytest.mark.parametrize("delimiter, quote", [
    ("\t", " "), (" ", "\t"), ("\x0b", '"'), ("\x0c", "'"), ("\u0085", '"'), (";", "\u00e9"),
])
def test_neighbouring_dialects_are_accepted(delimiter, quote, tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    summary = bw.salvage_file(str(src), str(tmp_path / "out.csv"), delimiter=delimiter,
                              quote_char=quote)
    assert summary.total_rows == 1


@pytest.mark.parametrize("callable_name", list(CALLABLES))
@pytest.mark.parametrize("flag", ["fill_ragged_rows", "merge_overflow", "repair_quotes"])
def test_flag_type_error_message(callable_name, flag):
    func, paths = CALLABLES[callable_name]
    with pytest.raises(TypeError) as info:
        func(*paths, **{flag: 1})
    assert str(info.value).endswith(f"() argument '{flag}' must be bool, not int")


def test_flag_type_error_message_of_salvage_file_exactly():
    with pytest.raises(TypeError) as info:
        bw.salvage_file("a", "b", fill_ragged_rows=1)
    assert str(info.value) == "salvage_file() argument 'fill_ragged_rows' must be bool, not int"
    assert_note(info.value, "fill_ragged_rows")


BAD_PATHS = [
    (None, TypeError),
    (b"in.csv", TypeError),
    (pathlib.Path("in.csv"), TypeError),
    (3, TypeError),
    ("in\udc80.csv", UnicodeEncodeError),
]


@pytest.mark.parametrize("value, exc", BAD_PATHS)
@pytest.mark.parametrize("callable_name, position, param", [
    ("salvage_file", 0, "input_path"),
    ("salvage_file", 1, "output_path"),
    ("open", 0, "file_path"),
    ("SalvageReader", 0, "file_path"),
])
def test_path_conversion_errors(callable_name, position, param, value, exc, tmp_path):
    func, _ = CALLABLES[callable_name]
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    out = tmp_path / "out.csv"
    args = [str(src), str(out)][: 2 if callable_name == "salvage_file" else 1]
    args[position] = value
    with pytest.raises(exc) as info:
        func(*args)
    assert type(info.value) is exc
    assert_note(info.value, param)
    assert not out.exists()


@pytest.mark.parametrize("value, exc", [
    (b"q.csv", TypeError),
    (pathlib.Path("q.csv"), TypeError),
    (0, TypeError),
    ("q\ud800.csv", UnicodeEncodeError),
])
def test_quarantine_path_conversion_errors(value, exc, tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    out = tmp_path / "out.csv"
    with pytest.raises(exc) as info:
        bw.salvage_file(str(src), str(out), value)
    assert_note(info.value, "quarantine_path")
    assert not out.exists()


@pytest.mark.parametrize("callable_name, args, kwargs, exc, param", [
    # The first failing parameter, in parameter order, is the one reported.
    ("salvage_file", (pathlib.Path("a"), "b"), {"fill_ragged_rows": 1}, TypeError, "input_path"),
    ("salvage_file", ("a", b"b"), {"expected_columns": -1}, TypeError, "output_path"),
    ("salvage_file", ("a", "b", b"q"), {"delimiter": 1}, TypeError, "quarantine_path"),
    ("salvage_file", ("a", "b"), {"quote_char": None, "delimiter": 1}, TypeError, "delimiter"),
    ("salvage_file", ("a", "b"), {"repair_quotes": 1, "fill_ragged_rows": 1}, TypeError,
     "fill_ragged_rows"),
    ("salvage_file", ("a", "b"), {"repair_quotes": 1, "expected_columns": -1}, OverflowError,
     "expected_columns"),
    ("salvage_file", ("a", "b"), {"expected_columns": 1.5, "merge_overflow": None}, TypeError,
     "merge_overflow"),
    ("open", (b"a",), {"delimiter": 1}, TypeError, "file_path"),
    ("open", ("a",), {"expected_columns": "x", "quote_char": "\ud800"}, UnicodeEncodeError,
     "quote_char"),
    ("SalvageReader", ("a",), {"repair_quotes": 0, "merge_overflow": 0}, TypeError,
     "merge_overflow"),
])
def test_conversion_stops_at_the_first_failing_parameter(callable_name, args, kwargs, exc, param):
    func, _ = CALLABLES[callable_name]
    with pytest.raises(exc) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc
    assert_note(info.value, param)


def test_last_parameter_failing_touches_no_file(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n1,2\n")
    out = tmp_path / "out.csv"
    quarantine = tmp_path / "q.csv"
    with pytest.raises(TypeError):
        bw.salvage_file(str(src), str(out), str(quarantine), repair_quotes=None)
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]
    assert src.read_bytes() == b"a,b\n1,2\n"

