// The counters of a finished salvage as the tuple the Python layer unpacks
// into a SalvageSummary: the six counters, the per-kind change counts,
// changed rows and bytes read.
#pragma once

#include "module/py_ref.hpp"

#include "stream/stream_salvage.hpp"

namespace brinewick::native {

inline PyObject* summary_tuple(const stream::StreamSummary& s) {
    using py::PyRef;
    PyRef changes(PyTuple_New(static_cast<Py_ssize_t>(stream::kChangeKindCount)));
    if (!changes) return nullptr;
    for (std::size_t i = 0; i < stream::kChangeKindCount; ++i) {
        PyObject* count = PyLong_FromUnsignedLongLong(s.changes[i]);
        if (count == nullptr) return nullptr;
        PyTuple_SET_ITEM(changes.get(), static_cast<Py_ssize_t>(i), count);
    }
    PyRef delimiter(PyUnicode_FromOrdinal(static_cast<int>(s.counters.detected_delimiter)));
    if (!delimiter) return nullptr;
    return Py_BuildValue("(nnnnOnOKK)", static_cast<Py_ssize_t>(s.counters.total_rows),
                         static_cast<Py_ssize_t>(s.counters.salvaged_rows),
                         static_cast<Py_ssize_t>(s.counters.repaired_rows),
                         static_cast<Py_ssize_t>(s.counters.quarantined_rows), delimiter.get(),
                         static_cast<Py_ssize_t>(s.counters.inferred_columns), changes.get(),
                         static_cast<unsigned long long>(s.changed_rows),
                         static_cast<unsigned long long>(s.bytes_read));
}

}  // namespace brinewick::native
