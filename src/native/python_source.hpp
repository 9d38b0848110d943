// Inputs that Python code reads for the engine: an object store or anything
// else reached through a file-like object. The engine sees a ByteSource.
#pragma once

#include "module/py_ref.hpp"

#include "stream/byte_source.hpp"

namespace brinewick::native {

// An opener calling `opener()` (with the interpreter lock taken) for each
// pass over the input. What it returns must have readinto(buffer),
// seekable(), seek(offset), close() and an int-or-None attribute `size`.
// Exceptions it raises, or its file raises, become I/O failures naming the
// input, with errno from an OSError (EIO otherwise) and the exception's
// text as the message. Holds a reference to `opener` (borrowed here).
[[nodiscard]] stream::SourceOpener python_opener(PyObject* opener);

}  // namespace brinewick::native
