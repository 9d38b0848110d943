#include "errors.hpp"

namespace brinewick::py {
namespace {

PyObject* internal_fault_type() noexcept {
    // Created once and kept for the life of the process; never a module attribute.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "_brinewick_backend.InternalFault",
        "A fault inside the native brinewick engine (a bug, not bad input).", PyExc_BaseException,
        nullptr);
    return type;
}

void set_with_message(PyObject* type, const std::string& message) noexcept {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PyObject* exception_for(IoErrorClass kind) noexcept {
    switch (kind) {
        case IoErrorClass::NotFound: return PyExc_FileNotFoundError;
        case IoErrorClass::PermissionDenied: return PyExc_PermissionError;
        case IoErrorClass::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case IoErrorClass::ConnectionReset: return PyExc_ConnectionResetError;
        case IoErrorClass::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case IoErrorClass::BrokenPipe: return PyExc_BrokenPipeError;
        case IoErrorClass::AlreadyExists: return PyExc_FileExistsError;
        case IoErrorClass::WouldBlock: return PyExc_BlockingIOError;
        case IoErrorClass::NotADirectory: return PyExc_NotADirectoryError;
        case IoErrorClass::IsADirectory: return PyExc_IsADirectoryError;
        case IoErrorClass::TimedOut: return PyExc_TimeoutError;
        case IoErrorClass::Interrupted: return PyExc_InterruptedError;
        case IoErrorClass::OutOfMemory: return PyExc_MemoryError;
        case IoErrorClass::Other: break;
    }
    return PyExc_OSError;
}

// Called with the interpreter lock held: the engine runs on the calling thread.
bool run_signal_handlers(void*) noexcept { return PyErr_CheckSignals() == 0; }

}  // namespace

CancelCheck signal_check() noexcept { return CancelCheck(&run_signal_handlers, nullptr); }

void raise_internal_fault(const char* what) noexcept {
    PyObject* type = internal_fault_type();
    if (type == nullptr) return;  // its creation failed and left an exception set
    PyErr_SetString(type, what);
}

void raise_salvage_error(const SalvageError& error) noexcept {
    try {
        PyObject* type = error.error_class() == ErrorClass::OsError ? PyExc_OSError : PyExc_ValueError;
        set_with_message(type, error.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void raise_io_error_by_kind(const IoError& error) noexcept {
    try {
        set_with_message(exception_for(classify_io_error(error)), error.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void raise_out_of_memory() noexcept {
    // Without memory for the text the interpreter's own MemoryError stays set.
    raise_io_error_by_kind(IoError{IoError::Kind::OutOfMemory, 0});
}

void add_processing_note(const char* param) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyRef note(PyUnicode_FromFormat("while processing '%s'", param));
    if (!note) return;  // keeps the new error; the original is lost either way
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyRef added(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    if (value != nullptr) {
        PyRef name(PyUnicode_InternFromString("add_note"));
        if (name) {
            PyObject* call_args[] = {value, note.get()};
            PyRef added(PyObject_VectorcallMethod(
                name.get(), call_args, 2, nullptr));
            if (!added) PyErr_Clear();
        } else {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, traceback);
#endif
#else
    (void)param;
#endif
}

}  // namespace brinewick::py
