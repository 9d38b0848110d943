// Turning native failures into Python exceptions, and keeping C++
// exceptions from ever unwinding into the interpreter.
#pragma once

#include "py_ref.hpp"

#include <exception>
#include <new>
#include <string>

#include "error/salvage_error.hpp"
#include "parser/cancel_check.hpp"

namespace brinewick::py {

// Raises the dedicated internal-fault exception (a BaseException subclass).
void raise_internal_fault(const char* what) noexcept;

// Raises a SalvageError: OSError (exactly) or ValueError, one argument.
void raise_salvage_error(const SalvageError& error) noexcept;

// Raises the OSError subclass matching `error`, its text as only argument.
void raise_io_error_by_kind(const IoError& error) noexcept;

// Adds the note "while processing '{param}'" to the exception being raised
// (interpreters without notes raise it unchanged).
void add_processing_note(const char* param) noexcept;

// Raises MemoryError "out of memory", the reader's out-of-memory outcome.
void raise_out_of_memory() noexcept;

// A cancel check that runs pending signal handlers (Ctrl-C among them). It
// says stop when a handler raised; that exception is then the one set.
// Handlers run only on the main thread; elsewhere the check never stops.
[[nodiscard]] CancelCheck signal_check() noexcept;

// Runs `body`; a C++ exception becomes MemoryError "out of memory" or the
// internal fault.
// `failed` is what the caller returns to the interpreter on failure.
template <typename Result, typename Body>
Result guarded(Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        raise_out_of_memory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown native exception");
    }
    return failed;
}

}  // namespace brinewick::py
