#include "results.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>
#include <utility>

namespace brinewick::native {
namespace {

using py::PyRef;

constexpr std::size_t kCounterCount = 16;
constexpr std::array<PyStructSequence_Field, kCounterCount> kCounterFields{{
    {"total_rows", "rows parsed from the input (blank lines included)"},
    {"salvaged_rows", "rows written as clean rows"},
    {"repaired_rows", "clean rows padded or merged to fit the column count"},
    {"quarantined_rows", "rows set aside"},
    {"detected_delimiter", "the delimiter used, given or sniffed"},
    {"inferred_columns", "the column count rows were fitted to (0: no width check)"},
    {"changes", "change records per kind, in CHANGE_KINDS order"},
    {"changed_rows", "clean rows with at least one change record"},
    {"bytes_read", "input bytes read (decompressed)"},
    {"encoding", "the encoding the input was decoded from"},
    {"legacy_encoding", "True when the input's first bytes were not UTF-8"},
    {"undecodable", "byte sequences of the input no character matched (each one U+FFFD)"},
    {"compression", "the compression undone ('gzip', 'zstd', ...), or None"},
    {"input_break", "(reason, lines, bytes, left_out) where a damaged compressed input broke off, or None"},
    {"set_aside", "rows set aside as (preamble, comment, repeated_header, nul_padding, reordered_header)"},
    {"header_line", "the line the table's header stands on (1 when nothing is above it)"},
}};

// The counters, then what a type adds, then the end marker.
PyStructSequence_Field g_salvage_fields[kCounterCount + 1];
PyStructSequence_Field g_report_fields[kCounterCount + 2];
PyStructSequence_Field g_plan_fields[] = {
    {"columns", "((name, type name), ...) of the whole file"},
    {"delimiter", "the settled delimiter's code point; None when the file reads on one thread only"},
    {"expected_columns", "the settled column count"},
    {"header_offset", "where the row that named the columns stands, or None"},
    {"boundaries", "((offset, line, in_row), ...) where a part may start"},
    {"table_offset", "where the table starts: rows before it are preamble"},
    {"header_text", "the header's text, which a later row repeats to be set aside (empty: none)"},
    {"preamble_keys", "what the preamble's rows are known by when they come again, each ended by a line break"},
    {nullptr, nullptr},
};
PyStructSequence_Field g_span_fields[] = {
    {"data", "an 'arrow_array_stream' capsule of the part's rows"},
    {"quarantine", "the part's quarantine records, as a stream capsule"},
    {"changes", "the part's change records, as a stream capsule"},
    {"report", "the part's ReadReport"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_descs[] = {
    {"brinewick._native.SalvageResult", "What a salvage did.", g_salvage_fields,
     static_cast<int>(kCounterCount)},
    {"brinewick._native.ReadReport", "What a read's pass did, and the seconds it took.", g_report_fields,
     static_cast<int>(kCounterCount + 1)},
    {"brinewick._native.ReadPlan", "How to read one file in parts.", g_plan_fields,
     static_cast<int>(std::size(g_plan_fields) - 1)},
    {"brinewick._native.ReadSpan", "One part of a file, read.", g_span_fields,
     static_cast<int>(std::size(g_span_fields) - 1)},
};

enum Kind : std::size_t { kSalvageResult, kReadReport, kReadPlan, kReadSpan, kKindCount };

// The types new results are made of (the last module execution's).
PyTypeObject* g_types[kKindCount] = {};

// Fills a new result item by item; the first failure drops it.
class Filler {
public:
    explicit Filler(Kind kind) {
        if (g_types[kind] == nullptr) {
            PyErr_SetString(PyExc_SystemError, "brinewick._native: result types are not made");
            return;
        }
        result_ = PyRef(PyStructSequence_New(g_types[kind]));
    }

    explicit operator bool() const noexcept { return static_cast<bool>(result_); }

    // Takes `value` (a new reference, nullptr when making it failed) as the next item.
    bool add(PyObject* value) {
        if (value == nullptr) {
            result_ = PyRef();
            return false;
        }
        PyStructSequence_SetItem(result_.get(), next_++, value);
        return true;
    }

    [[nodiscard]] PyObject* done() noexcept { return result_.release(); }

private:
    PyRef result_;
    Py_ssize_t next_ = 0;
};

PyObject* change_counts(const stream::StreamSummary& s) {
    PyRef changes(PyTuple_New(static_cast<Py_ssize_t>(stream::kChangeKindCount)));
    if (!changes) return nullptr;
    for (std::size_t i = 0; i < stream::kChangeKindCount; ++i) {
        PyObject* count = PyLong_FromUnsignedLongLong(s.changes[i]);
        if (count == nullptr) return nullptr;
        PyTuple_SET_ITEM(changes.get(), static_cast<Py_ssize_t>(i), count);
    }
    return changes.release();
}

PyObject* input_break(const stream::StreamSummary& s) {
    if (!s.input_break) return Py_NewRef(Py_None);
    const stream::InputBreak& b = *s.input_break;
    return Py_BuildValue("(s#KKK)", b.reason.data(), static_cast<Py_ssize_t>(b.reason.size()),
                         static_cast<unsigned long long>(b.lines), static_cast<unsigned long long>(b.bytes),
                         static_cast<unsigned long long>(b.left_out));
}

bool add_counters(Filler& out, const stream::StreamSummary& s) {
    const auto& c = s.counters;
    return out.add(PyLong_FromSize_t(c.total_rows)) && out.add(PyLong_FromSize_t(c.salvaged_rows)) &&
           out.add(PyLong_FromSize_t(c.repaired_rows)) && out.add(PyLong_FromSize_t(c.quarantined_rows)) &&
           out.add(PyUnicode_FromOrdinal(static_cast<int>(c.detected_delimiter))) &&
           out.add(PyLong_FromSize_t(c.inferred_columns)) && out.add(change_counts(s)) &&
           out.add(PyLong_FromUnsignedLongLong(s.changed_rows)) && out.add(PyLong_FromUnsignedLongLong(s.bytes_read)) &&
           out.add(PyUnicode_FromStringAndSize(s.encoding.data(), static_cast<Py_ssize_t>(s.encoding.size()))) &&
           out.add(PyBool_FromLong(s.legacy_looking ? 1 : 0)) && out.add(PyLong_FromUnsignedLongLong(s.undecodable)) &&
           out.add(s.compression.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(s.compression.c_str())) &&
           out.add(input_break(s)) &&
           out.add(Py_BuildValue("(KKKKK)", static_cast<unsigned long long>(s.preamble_rows),
                                 static_cast<unsigned long long>(s.comment_rows),
                                 static_cast<unsigned long long>(s.repeated_headers),
                                 static_cast<unsigned long long>(s.nul_rows),
                                 static_cast<unsigned long long>(s.reordered_headers))) &&
           out.add(PyLong_FromUnsignedLongLong(s.header_line));
}

PyObject* column_pairs(const std::vector<arrow::ColumnSpec>& columns) {
    PyRef pairs(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!pairs) return nullptr;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const arrow::ColumnSpec& c = columns[i];
        const std::string_view type = arrow::column_type_name(c.type);
        PyObject* item = Py_BuildValue("(s#s#)", c.name.data(), static_cast<Py_ssize_t>(c.name.size()), type.data(),
                                       static_cast<Py_ssize_t>(type.size()));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), item);
    }
    return pairs.release();
}

PyObject* boundary_triples(const std::vector<arrow::Boundary>& boundaries) {
    PyRef triples(PyTuple_New(static_cast<Py_ssize_t>(boundaries.size())));
    if (!triples) return nullptr;
    for (std::size_t i = 0; i < boundaries.size(); ++i) {
        const arrow::Boundary& b = boundaries[i];
        PyObject* item = Py_BuildValue("(KnO)", static_cast<unsigned long long>(b.offset),
                                       static_cast<Py_ssize_t>(b.line), b.in_row ? Py_True : Py_False);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(triples.get(), static_cast<Py_ssize_t>(i), item);
    }
    return triples.release();
}

PyObject* offset_or_none(const std::optional<std::uint64_t>& offset) {
    return offset ? PyLong_FromUnsignedLongLong(*offset) : Py_NewRef(Py_None);
}

}  // namespace

int add_result_types(PyObject* module) noexcept {
    std::copy(kCounterFields.begin(), kCounterFields.end(), g_salvage_fields);
    g_salvage_fields[kCounterCount] = {nullptr, nullptr};
    std::copy(kCounterFields.begin(), kCounterFields.end(), g_report_fields);
    g_report_fields[kCounterCount] = {"seconds", "wall-clock seconds the pass took"};
    g_report_fields[kCounterCount + 1] = {nullptr, nullptr};
    for (std::size_t kind = 0; kind < kKindCount; ++kind) {
        PyRef type(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&g_descs[kind])));
        if (!type) return -1;
        const std::string_view dotted = g_descs[kind].name;
        const std::string_view name = dotted.substr(dotted.rfind('.') + 1);
        if (PyModule_AddObject(module, name.data(), Py_NewRef(type.get())) < 0) {
            Py_DECREF(type.get());  // the reference the module did not take
            return -1;
        }
        PyTypeObject* old = std::exchange(g_types[kind], reinterpret_cast<PyTypeObject*>(type.release()));
        Py_XDECREF(reinterpret_cast<PyObject*>(old));
    }
    return 0;
}

PyObject* salvage_result(const stream::StreamSummary& summary) {
    Filler out(kSalvageResult);
    if (!out || !add_counters(out, summary)) return nullptr;
    return out.done();
}

PyObject* read_report(const arrow::ReadReport& report) {
    Filler out(kReadReport);
    if (!out || !add_counters(out, report.summary) || !out.add(PyFloat_FromDouble(report.seconds))) return nullptr;
    return out.done();
}

PyObject* read_plan_result(const arrow::ScanResult& scanned) {
    Filler out(kReadPlan);
    if (!out) return nullptr;
    const bool filled =
        out.add(column_pairs(scanned.columns)) &&
        out.add(scanned.dialect ? PyLong_FromLong(scanned.dialect->delimiter) : Py_NewRef(Py_None)) &&
        out.add(PyLong_FromSize_t(scanned.dialect ? scanned.dialect->expected_columns : 0)) &&
        out.add(offset_or_none(scanned.report.header_offset)) && out.add(boundary_triples(scanned.boundaries)) &&
        out.add(PyLong_FromUnsignedLongLong(scanned.dialect ? scanned.dialect->table_offset : 0)) &&
        out.add(scanned.dialect ? PyBytes_FromStringAndSize(scanned.dialect->header_text.data(),
                                                            static_cast<Py_ssize_t>(scanned.dialect->header_text.size()))
                                : PyBytes_FromStringAndSize(nullptr, 0)) &&
        out.add(scanned.dialect ? PyBytes_FromStringAndSize(scanned.dialect->preamble_keys.data(),
                                                            static_cast<Py_ssize_t>(scanned.dialect->preamble_keys.size()))
                                : PyBytes_FromStringAndSize(nullptr, 0));
    return filled ? out.done() : nullptr;
}

PyObject* read_span_result(PyObject* data, PyObject* quarantine, PyObject* changes, const arrow::ReadReport& report) {
    Filler out(kReadSpan);
    if (!out) return nullptr;
    const bool filled = out.add(Py_NewRef(data)) && out.add(Py_NewRef(quarantine)) && out.add(Py_NewRef(changes)) &&
                        out.add(read_report(report));
    return filled ? out.done() : nullptr;
}

}  // namespace brinewick::native
