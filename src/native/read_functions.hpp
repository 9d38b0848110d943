// The Arrow reader's functions of brinewick._native (read_functions.cpp).
#pragma once

#include "module/py_ref.hpp"

namespace brinewick::native {

// Adds read_open, read_scan, read_stream, read_schema, read_summary,
// read_records and live_arrow_buffers to `module`. -1 with an exception set.
int add_read_functions(PyObject* module) noexcept;

}  // namespace brinewick::native
