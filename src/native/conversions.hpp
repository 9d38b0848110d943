// Argument conversions of brinewick._native's functions.
// The Python layer checks every argument first; these catch what slips
// through, naming the function.
#pragma once

#include "module/py_ref.hpp"

#include <new>
#include <optional>
#include <stdexcept>
#include <string>

namespace brinewick::native {

// Whether the interpreter is shutting down: no Python may run then.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A METH_FASTCALL function that turns what the engine throws (nothing but
// bad_alloc is expected) into a Python exception instead of terminating.
template <PyObject* (*F)(PyObject* const*, Py_ssize_t)>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        return F(args, nargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "brinewick: native failure: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "brinewick: unknown native failure");
    }
    return nullptr;
}

template <PyObject* (*F)(PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<F>));
}

struct Converter {
    const char* callable;  // as shown in messages, e.g. "salvage"

    bool wrong_type(const char* param, const char* expected, PyObject* value) const {
        PyErr_Format(PyExc_TypeError, "%s(): '%s' must be %s, not %.200s", callable, param, expected,
                     Py_TYPE(value)->tp_name);
        return false;
    }

    bool to_flag(const char* param, PyObject* value, bool& out) const {
        if (!PyBool_Check(value)) return wrong_type(param, "bool", value);
        out = value == Py_True;
        return true;
    }

    // An int in [low, high]; None (when allowed) leaves `out` empty.
    bool to_integer(const char* param, PyObject* value, long long low, long long high, bool none_allowed,
                    std::optional<long long>& out) const {
        if (value == Py_None && none_allowed) {
            out.reset();
            return true;
        }
        if (!PyLong_Check(value) || PyBool_Check(value)) return wrong_type(param, "int", value);
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (n == -1 && PyErr_Occurred() != nullptr) return false;
        if (overflow != 0 || n < low || n > high) {
            PyErr_Format(PyExc_ValueError, "%s(): '%s' is out of range [%lld, %lld]", callable, param, low, high);
            return false;
        }
        out = n;
        return true;
    }
};

}  // namespace brinewick::native
