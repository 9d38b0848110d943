#include "settings.hpp"

#include "python_source.hpp"

namespace brinewick::native {

using py::PyRef;

PyRef SettingsReader::attribute(const char* name) const {
    PyRef value(PyObject_GetAttrString(settings_, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s(): the settings (%.200s) have no '%s'", convert_.callable,
                     Py_TYPE(settings_)->tp_name, name);
    }
    return value;
}

bool SettingsReader::flag(const char* name, bool& out) const {
    const PyRef value = attribute(name);
    return value && convert_.to_flag(name, value.get(), out);
}

bool SettingsReader::decimal(char& out) const {
    std::optional<std::uint8_t> mark;
    if (!ascii_char("decimal", true, mark)) return false;
    if (mark && *mark != '.' && *mark != ',') {
        PyErr_Format(PyExc_ValueError, "%s(): 'decimal' must be None, '.' or ','", convert_.callable);
        return false;
    }
    out = mark ? static_cast<char>(*mark) : '\0';
    return true;
}

bool SettingsReader::thousands(char decimal, char& out) const {
    std::optional<std::uint8_t> mark;
    if (!ascii_char("thousands", true, mark)) return false;
    if (mark && *mark != ',' && *mark != '.' && *mark != ' ' && *mark != '\'') {
        PyErr_Format(PyExc_ValueError, "%s(): 'thousands' must be None, ',', '.', ' ' or \"'\"", convert_.callable);
        return false;
    }
    out = mark ? static_cast<char>(*mark) : '\0';
    if (out != '\0' && out == decimal) {
        PyErr_Format(PyExc_ValueError, "%s(): 'thousands' and 'decimal' must differ", convert_.callable);
        return false;
    }
    return true;
}

bool SettingsReader::null_values(arrow::NullTexts& out) const {
    const PyRef value = attribute("null_values");
    if (!value) return false;
    if (!PyTuple_Check(value.get())) return convert_.wrong_type("null_values", "tuple", value.get());
    std::vector<std::string> texts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(value.get(), i);
        if (!PyUnicode_Check(item)) return convert_.wrong_type("null_values", "a tuple of str", item);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) return false;
        if (size == 0) {
            // The empty cell is empty_as_null's to decide.
            PyErr_Format(PyExc_ValueError, "%s(): 'null_values' must not hold ''", convert_.callable);
            return false;
        }
        texts.emplace_back(text, static_cast<std::size_t>(size));
    }
    out = arrow::NullTexts(std::move(texts));
    return true;
}

bool SettingsReader::source(stream::SourceOpener& out) const {
    const PyRef value = attribute("source");
    if (!value) return false;
    if (value.get() == Py_None) return true;
    if (PyCallable_Check(value.get()) == 0) return convert_.wrong_type("source", "None or callable", value.get());
    out = python_opener(value.get());
    return true;
}

bool SettingsReader::integer(const char* name, long long low, long long high, bool none_allowed,
                             std::optional<long long>& out) const {
    const PyRef value = attribute(name);
    return value && convert_.to_integer(name, value.get(), low, high, none_allowed, out);
}

bool SettingsReader::size(const char* name, long long high, std::size_t& out) const {
    std::optional<long long> n;
    if (!integer(name, 1, high, false, n)) return false;
    out = static_cast<std::size_t>(*n);
    return true;
}

bool SettingsReader::ascii_char(const char* name, bool none_allowed, std::optional<std::uint8_t>& out) const {
    const PyRef value = attribute(name);
    if (!value) return false;
    if (value.get() == Py_None && none_allowed) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(value.get())) {
        return convert_.wrong_type(name, none_allowed ? "str or None" : "str", value.get());
    }
    const Py_ssize_t length = PyUnicode_GetLength(value.get());
    if (length < 0) return false;
    const Py_UCS4 c = length == 1 ? PyUnicode_ReadChar(value.get(), 0) : 0;
    // A line break as delimiter or quote writes a file no reader splits back the same way.
    if (length != 1 || c > 127 || c == '\r' || c == '\n') {
        PyErr_Format(PyExc_ValueError, "%s(): '%s' must be one ASCII character other than CR and LF, not %R",
                     convert_.callable, name, value.get());
        return false;
    }
    out = static_cast<std::uint8_t>(c);
    return true;
}

bool SettingsReader::encoding(stream::EncodingRequest& out) const {
    const py::PyRef name = attribute("encoding");
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "%s(): 'encoding' must be a str", convert_.callable);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) return false;
    const std::string_view encoding(text, static_cast<std::size_t>(size));
    if (!stream::encoding_known(encoding)) {
        PyErr_Format(PyExc_ValueError, "%s(): unknown encoding %R", convert_.callable, name.get());
        return false;
    }
    out.encoding = std::string(encoding);
    const py::PyRef fallback = attribute("fallback_encoding");
    if (!fallback) return false;
    if (fallback.get() == Py_None) {
        out.fallback = nullptr;
        return true;
    }
    const char* fallback_text = PyUnicode_Check(fallback.get()) ? PyUnicode_AsUTF8(fallback.get()) : nullptr;
    out.fallback = fallback_text != nullptr ? single_byte_table(fallback_text) : nullptr;
    if (out.fallback == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s(): 'fallback_encoding' must be 'cp1252', 'latin-1' or None, not %R",
                     convert_.callable, fallback.get());
        return false;
    }
    return true;
}

bool SettingsReader::dialect(SalvageOptions& out) const {
    std::optional<std::uint8_t> delimiter;
    std::optional<std::uint8_t> quote;
    if (!ascii_char("delimiter", true, delimiter) || !ascii_char("quote_char", false, quote)) return false;
    if (delimiter == quote) {
        PyErr_Format(PyExc_ValueError, "%s(): 'delimiter' and 'quote_char' must differ", convert_.callable);
        return false;
    }
    out.delimiter = delimiter;
    out.quote_char = *quote;
    std::optional<long long> expected;
    if (!flag("fill_ragged_rows", out.fill_ragged_rows) || !flag("merge_overflow", out.merge_overflow) ||
        !integer("expected_columns", 0, PY_SSIZE_T_MAX, true, expected) ||
        !flag("repair_quotes", out.repair_quotes) || !flag("repair_columns", out.repair_columns) ||
        !flag("skip_blank_lines", out.skip_blank_lines)) {
        return false;
    }
    if (expected) out.expected_columns = static_cast<std::size_t>(*expected);
    std::optional<long long> first_line;
    if (!flag("find_header", out.find_header) || !flag("skip_repeated_headers", out.skip_repeated_headers) ||
        !integer("first_line", 1, PY_SSIZE_T_MAX, false, first_line) || !ascii_char("comment", true, out.comment)) {
        return false;
    }
    if (first_line) out.first_line = static_cast<std::size_t>(*first_line);
    if (out.comment && (out.comment == out.delimiter || *out.comment == out.quote_char)) {
        PyErr_Format(PyExc_ValueError, "%s(): 'comment' must differ from 'delimiter' and 'quote_char'",
                     convert_.callable);
        return false;
    }
    return true;
}

}  // namespace brinewick::native
