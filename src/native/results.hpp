// The results of brinewick._native's functions as small named tuples
// (PyStructSequence types of the module), which the package reads by name.
#pragma once

#include "module/py_ref.hpp"

#include "arrow/salvage_reader.hpp"
#include "stream/stream_salvage.hpp"

namespace brinewick::native {

// Adds SalvageResult, ReadReport, ReadPlan and ReadSpan to `module`; -1 with an exception set.
int add_result_types(PyObject* module) noexcept;

// Each returns a new reference, or nullptr with an exception set.

// The counters of a finished salvage, the changes per kind in CHANGE_KINDS order.
PyObject* salvage_result(const stream::StreamSummary& summary);
// The same counters and the seconds the read's pass took.
PyObject* read_report(const arrow::ReadReport& report);
// What one pass over the whole file settled for reading it in parts.
PyObject* read_plan_result(const arrow::ScanResult& scanned);
// One part's three stream capsules (borrowed) and its report.
PyObject* read_span_result(PyObject* data, PyObject* quarantine, PyObject* changes, const arrow::ReadReport& report);

}  // namespace brinewick::native
