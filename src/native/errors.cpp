#include "errors.hpp"

#include <cerrno>
#include <string>

namespace brinewick::native {
namespace {

using py::PyRef;

// OSError(errno, text, filename); one met writing an output says so in
// `_brinewick_output`, since an output written over the input has its name.
void raise_os_error(int code, const std::string& text, const std::string& path, bool output) {
    PyRef filename(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) return;
    PyRef args(Py_BuildValue("(is#O)", code, text.data(), static_cast<Py_ssize_t>(text.size()), filename.get()));
    if (!args) return;
    PyRef exc(PyObject_Call(PyExc_OSError, args.get(), nullptr));
    if (!exc) return;  // the constructor's own error stands
    if (output && PyObject_SetAttrString(exc.get(), "_brinewick_output", Py_True) < 0) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

void raise_status(const Status& status) {
    if (PyErr_Occurred() != nullptr) return;
    switch (status.kind()) {
        case Status::Kind::Ok:
            PyErr_SetString(PyExc_SystemError, "brinewick: a failure without a reason");
            return;
        case Status::Kind::Io: {
            const IoError& io = status.io_error();
            if (io.kind == IoError::Kind::NulInPath) {
                PyErr_SetString(PyExc_ValueError, "embedded null byte in a path");
                return;
            }
            // A failure with no errno (a device that took no bytes) is EIO,
            // and its own text says what happened.
            const int code = status.error_number();
            raise_os_error(code, io.kind == IoError::Kind::Os ? describe_errno(code) : status.message(), status.path(),
                           status.side() == Status::Side::Output);
            return;
        }
        case Status::Kind::SameFile:
        case Status::Kind::Invalid:
            PyErr_SetString(PyExc_ValueError, status.message().c_str());
            return;
        case Status::Kind::OutOfMemory:
            PyErr_NoMemory();
            return;
        case Status::Kind::Cancelled:
            // Only this module cancels, and then a Python exception is already set.
            PyErr_SetString(PyExc_RuntimeError, status.message().c_str());
            return;
        case Status::Kind::Internal:
            PyErr_SetString(PyExc_SystemError, status.message().c_str());
            return;
    }
    PyErr_SetString(PyExc_SystemError, status.message().c_str());
}

}  // namespace brinewick::native
