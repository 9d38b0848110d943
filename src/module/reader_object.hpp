// SalvageReader and open(): salvage a file in memory, then hand out its
// clean rows one at a time as lists of str.
#pragma once

#include "py_ref.hpp"

namespace brinewick::py {

// Creates the class (once per module execution); a new reference or nullptr.
PyObject* create_reader_type();

// The module function open(); same parameters and result as the class.
PyObject* open_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brinewick::py
