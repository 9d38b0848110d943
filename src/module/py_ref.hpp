// PyRef: a move-only owner of one strong reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brinewick::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (nullptr allowed).
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(ptr_); }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    PyObject* ptr_ = nullptr;
};

// Makes a class from `spec` and keeps a reference to it in `current`, the
// class new objects are made of (the last module execution's wins).
// Returns a new reference, or nullptr with the exception set.
inline PyObject* make_class(PyType_Spec& spec, PyTypeObject*& current) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
    Py_INCREF(type);
    PyTypeObject* old = std::exchange(current, reinterpret_cast<PyTypeObject*>(type));
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
    return type;
}

}  // namespace brinewick::py
