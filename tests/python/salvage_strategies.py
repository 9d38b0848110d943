"""Hypothesis strategies shared by the differential tests."""
from __future__ import annotations

from hypothesis import strategies as st


def salvage_options(quote_chars: list[str] | None = None):
    """Any mix of the salvage options (quote_char only among `quote_chars`)."""
    optional = {
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "repair_quotes": st.booleans(),
        "expected_columns": st.sampled_from([None, 0, 2, 3]),
    }
    if quote_chars:
        optional["quote_char"] = st.sampled_from(quote_chars)
    return st.fixed_dictionaries({}, optional=optional)
