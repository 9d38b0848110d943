// How brinewick._native raises the engine's failures: every function that
// gets a failed Status from the engine raises it here, so one failure reads
// the same from every entry.
#pragma once

#include "module/py_ref.hpp"

#include "error/status.hpp"

namespace brinewick::native {

// Sets the exception for `status` (not ok), unless one is already set (a
// signal handler's or the progress callback's, which then stands):
//   Io           OSError(errno, text, path): the interpreter picks the subclass
//                (FileNotFoundError, PermissionError, ...) from the errno
//   SameFile     ValueError(message)
//   Invalid      ValueError(message)
//   OutOfMemory  MemoryError
//   Cancelled    RuntimeError(message)
//   Internal     SystemError(message)
void raise_status(const Status& status);

}  // namespace brinewick::native
