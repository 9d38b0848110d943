#include "arguments.hpp"

#include <cstring>
#include <vector>

#include "errors.hpp"

namespace brinewick::py {
namespace {

Py_ssize_t find_parameter(const Signature& sig, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, sig.parameters[i]) == 0) return i;
    }
    return -1;
}

// Binds one keyword; false with TypeError set.
bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** bound) {
    const Py_ssize_t index = find_parameter(sig, keyword);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, keyword);
        return false;
    }
    if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                     sig.parameters[index]);
        return false;
    }
    bound[index] = value;
    return true;
}

// Positional count and missing arguments, checked after the keywords as
// the interpreter does for its own functions.
bool check_counts(const Signature& sig, Py_ssize_t nargs, PyObject** bound) {
    if (nargs > sig.count) {
        const char* plural = sig.count == 1 ? "" : "s";
        const char* verb = nargs == 1 ? "was" : "were";
        if (sig.required == sig.count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         sig.name, sig.count, plural, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                         sig.required, sig.count, nargs, verb);
        }
        return false;
    }
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (bound[i] == nullptr) missing.push_back(sig.parameters[i]);
    }
    if (missing.empty()) return true;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.name,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.c_str());
    return false;
}

bool wrong_type(const char* callable, const char* param, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", callable, param,
                 expected, Py_TYPE(value)->tp_name);
    add_processing_note(param);
    return false;
}

// numpy's boolean scalar, recognised by its type name so numpy is not needed.
bool is_numpy_bool(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool is_line_break(std::uint8_t b) { return b == '\r' || b == '\n'; }

// A delimiter equal to the quote, or either one a line break, gives clean
// files that no CSV reader splits back into the same rows; refuse such a
// dialect before anything is read or written. The note names the argument
// that makes the clash: a line-break delimiter is wrong on its own, else
// the quote_char, which comes later.
bool check_dialect(PyObject* delimiter_arg, std::uint8_t delimiter, PyObject* quote_arg,
                   std::uint8_t quote) {
    const bool bad_delimiter = is_line_break(delimiter);
    if (!bad_delimiter && !is_line_break(quote) && delimiter != quote) return true;
    // Show the quote as it takes effect: omitted or empty means the double quote.
    PyRef shown_quote(quote_arg != nullptr && PyUnicode_GET_LENGTH(quote_arg) > 0
                          ? PyRef::borrow(quote_arg)
                          : PyRef(PyUnicode_FromString("\"")));
    if (!shown_quote) return false;
    // Distinct non-ASCII characters can share the one byte that is used.
    const bool same_byte_only =
        delimiter == quote && PyUnicode_Compare(delimiter_arg, shown_quote.get()) != 0;
    if (same_byte_only && PyErr_Occurred()) return false;
    PyErr_Format(PyExc_ValueError,
                 "delimiter and quote_char must be different characters, neither of them CR or LF "
                 "(got delimiter=%R, quote_char=%R%s)",
                 delimiter_arg, shown_quote.get(),
                 same_byte_only ? ", which begin with the same byte" : "");
    add_processing_note(bad_delimiter ? "delimiter" : "quote_char");
    return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
        }
    }
    return check_counts(sig, nargs, bound);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < sig.count; ++i) bound[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
                return false;
            }
            if (!bind_keyword(sig, key, value, bound)) return false;
        }
    }
    return check_counts(sig, nargs, bound);
}

bool to_utf8_view(const char* callable, const char* param, PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) return wrong_type(callable, param, "str", value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {  // lone surrogates: the encoder's UnicodeEncodeError
        add_processing_note(param);
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_owned_string(const char* callable, const char* param, PyObject* value, std::string& out) {
    std::string_view view;
    if (!to_utf8_view(callable, param, value, view)) return false;
    out.assign(view);
    return true;
}

bool to_optional_string(const char* callable, const char* param, PyObject* value,
                        std::optional<std::string>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(value)) return wrong_type(callable, param, "str or None", value);
    std::string text;
    if (!to_owned_string(callable, param, value, text)) return false;
    out = std::move(text);
    return true;
}

bool to_flag(const char* callable, const char* param, PyObject* value, bool& out) {
    if (value == nullptr) {
        out = true;
        return true;
    }
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (is_numpy_bool(value)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            add_processing_note(param);
            return false;
        }
        out = truth != 0;
        return true;
    }
    return wrong_type(callable, param, "bool", value);
}

bool to_optional_size(const char* /*callable*/, const char* param, PyObject* value,
                      std::optional<std::size_t>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    PyRef index(PyNumber_Index(value));
    if (!index) {
        add_processing_note(param);
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(param);
        return false;
    }
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (n > static_cast<unsigned long long>(static_cast<std::size_t>(-1))) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            add_processing_note(param);
            return false;
        }
    }
    out = static_cast<std::size_t>(n);
    return true;
}

bool to_salvage_options(const char* callable, PyObject* const* bound, SalvageOptions& out) {
    // Converted in parameter order; the first failure ends the call.
    std::optional<std::string> delimiter;
    if (!to_optional_string(callable, "delimiter", bound[0], delimiter)) return false;
    std::uint8_t quote = '"';
    if (bound[1] != nullptr) {
        std::string_view text;
        if (!to_utf8_view(callable, "quote_char", bound[1], text)) return false;
        if (!text.empty()) quote = static_cast<std::uint8_t>(text[0]);
    }
    if (delimiter && !delimiter->empty() &&
        !check_dialect(bound[0], static_cast<std::uint8_t>((*delimiter)[0]), bound[1], quote)) {
        return false;
    }
    // With the delimiter sniffed a line-break quote is wrong on its own; a
    // quote equal to the sniffed delimiter is refused once it is sniffed.
    if ((!delimiter || delimiter->empty()) && is_line_break(quote)) {
        PyErr_Format(PyExc_ValueError, "quote_char must not be CR or LF (got %R)", bound[1]);
        add_processing_note("quote_char");
        return false;
    }
    bool fill = true;
    bool merge = true;
    bool repair = true;
    std::optional<std::size_t> expected;
    if (!to_flag(callable, "fill_ragged_rows", bound[2], fill)) return false;
    if (!to_flag(callable, "merge_overflow", bound[3], merge)) return false;
    if (!to_optional_size(callable, "expected_columns", bound[4], expected)) return false;
    if (!to_flag(callable, "repair_quotes", bound[5], repair)) return false;

    // First byte of a non-empty string; the empty string means "not given".
    out.delimiter.reset();
    if (delimiter && !delimiter->empty()) out.delimiter = static_cast<std::uint8_t>((*delimiter)[0]);
    out.quote_char = quote;
    out.fill_ragged_rows = fill;
    out.merge_overflow = merge;
    out.expected_columns = expected;
    out.repair_quotes = repair;
    return true;
}

}  // namespace brinewick::py
