#include "reader_object.hpp"

#include <cstring>
#include <new>
#include <string_view>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "claim.hpp"
#include "errors.hpp"
#include "salvage/salvage.hpp"
#include "salvage/salvage_file.hpp"
#include "summary_object.hpp"

namespace brinewick::py {
namespace {

struct ReaderState {
    RowTable rows;
    PySalvageSummary summary;
    RowTable::Cursor cursor;  // walks `rows`; the object never moves

    ReaderState(RowTable&& table, PySalvageSummary&& counters)
        : rows(std::move(table)), summary(std::move(counters)), cursor(rows.cursor()) {}
};

struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;  // owned; heap-held so the cursor's table address is stable
    ClaimFlag claim;
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

constexpr const char kReaderDoc[] =
    "SalvageReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
    "In-memory streaming reader iterating over salvaged rows.";

constexpr const char* kParameters[] = {"file_path",        "delimiter",      "quote_char",
                                       "fill_ragged_rows", "merge_overflow", "expected_columns",
                                       "repair_quotes"};
constexpr Py_ssize_t kParameterCount = 7;

// Shared by the class and open(): convert, read, salvage, build the object.
PyObject* construct(PyTypeObject* type, const char* callable, PyObject* const* bound) {
    std::string path;
    if (!to_owned_string(callable, "file_path", bound[0], path)) return nullptr;
    SalvageOptions options;
    if (!to_salvage_options(callable, bound + 1, options)) return nullptr;

    // Reading and salvaging the whole file can take long: Ctrl-C stops it.
    CancelCheck cancel = signal_check();
    std::variant<FileBytes, IoError> read = read_whole_file(path, &cancel);
    if (cancel.stopped()) return nullptr;  // the handler's exception is set
    if (const IoError* error = std::get_if<IoError>(&read)) {
        raise_io_error_by_kind(*error);
        return nullptr;
    }
    auto* state = [&]() -> ReaderState* {
        const FileBytes text = std::move(std::get<FileBytes>(read));
        // The reader never shows the quarantine: its rows are only counted.
        SalvageOutcome outcome = salvage_slice(text.view(), options, &cancel, false);
        if (cancel.stopped()) return nullptr;
        if (!outcome.refused.empty()) {
            PyErr_SetString(PyExc_ValueError, outcome.refused.c_str());
            return nullptr;
        }
        // The text goes here; only rows and counters stay.
        return new ReaderState(std::move(outcome.rows), to_py_summary(outcome.summary));
    }();
    if (state == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete state;
        return nullptr;
    }
    as_reader(self)->state = state;
    new (&as_reader(self)->claim) ClaimFlag();
    return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"SalvageReader.__new__", kParameters, kParameterCount, 1};
        PyObject* bound[kParameterCount];
        if (!bind_arguments(sig, args, kwargs, bound)) return nullptr;
        return construct(type, "SalvageReader.__new__", bound);
    });
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_reader(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // holds no other Python object
    return 0;
}

PyObject* reader_iter(PyObject* self) {
    SharedClaim claim(as_reader(self)->claim);
    if (!claim.held()) return nullptr;
    Py_INCREF(self);  // no rewind: the reader is its own iterator
    return self;
}

PyObject* field_object(std::string_view text, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (!ascii) return PyUnicode_DecodeUTF8(text.data(), size, "strict");  // already valid UTF-8
    PyObject* s = PyUnicode_New(size, 127);
    if (s == nullptr) return nullptr;
    // A padded field is an empty view with no data pointer at all.
    if (size != 0) std::memcpy(PyUnicode_DATA(s), text.data(), text.size());
    return s;
}

PyObject* reader_next(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ExclusiveClaim claim(as_reader(self)->claim);
        if (!claim.held()) return nullptr;
        ReaderState& st = *as_reader(self)->state;
        PyRef list;
        Py_ssize_t filled = 0;
        const bool found = st.cursor.visit_next(
            [&](std::size_t count) {
                list = PyRef(PyList_New(static_cast<Py_ssize_t>(count)));
                return static_cast<bool>(list);
            },
            [&](std::string_view text, bool ascii) {
                PyObject* item = field_object(text, ascii);
                if (item == nullptr) return false;
                PyList_SET_ITEM(list.get(), filled++, item);
                return true;
            });
        if (!found) return nullptr;  // end: StopIteration
        // A str or the list could not be made: the cursor stayed on the row,
        // so the next call hands out this same row.
        if (PyErr_Occurred()) {
            // The interpreter's bare MemoryError becomes the reader's out-of-memory outcome.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                list = PyRef();  // gives back what the partial row took
                PyErr_Clear();
                raise_out_of_memory();
            }
            return nullptr;
        }
        return list.release();
    });
}

Py_ssize_t reader_length(PyObject* self) {
    SharedClaim claim(as_reader(self)->claim);
    if (!claim.held()) return -1;
    return static_cast<Py_ssize_t>(as_reader(self)->state->rows.size());
}

PyObject* reader_summary(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedClaim claim(as_reader(self)->claim);
        if (!claim.held()) return nullptr;
        return new_summary_object(as_reader(self)->state->summary);
    });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
    SharedClaim claim(as_reader(self)->claim);
    if (!claim.held()) return nullptr;
    Py_INCREF(self);
    return self;
}

PyObject* reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"_exc_type", "_exc_val", "_exc_tb"};
    static const Signature sig{"SalvageReader.__exit__", names, 3, 0};
    PyObject* bound[3];
    if (!bind_arguments(sig, args, PyVectorcall_NARGS(nargs), kwnames, bound)) return nullptr;
    SharedClaim claim(as_reader(self)->claim);
    if (!claim.held()) return nullptr;
    Py_RETURN_FALSE;  // never swallows the exception of the block
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_length)},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.SalvageReader",  // a class of no module of its own, as the interpreter's own are
    static_cast<int>(sizeof(ReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // not a base type: cannot be subclassed
    reader_slots,
};

PyTypeObject* g_reader_type = nullptr;

}  // namespace

PyObject* create_reader_type() {
    PyObject* type = make_class(reader_spec, g_reader_type);
#if PY_VERSION_HEX < 0x030A0000
    // Python 3.9 keeps only the description of a spec's doc, which loses the
    // class's text signature; give the class its whole doc back (__doc__ in
    // its dict was already set from the description).
    if (type != nullptr) {
        auto* klass = reinterpret_cast<PyTypeObject*>(type);
        char* doc = static_cast<char*>(PyObject_Malloc(sizeof kReaderDoc));
        if (doc == nullptr) {
            Py_DECREF(type);
            return PyErr_NoMemory();
        }
        std::memcpy(doc, kReaderDoc, sizeof kReaderDoc);
        PyObject_Free(const_cast<char*>(klass->tp_doc));
        klass->tp_doc = doc;
    }
#endif
    return type;
}

PyObject* open_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"open", kParameters, kParameterCount, 1};
        PyObject* bound[kParameterCount];
        if (!bind_arguments(sig, args, PyVectorcall_NARGS(nargs), kwnames, bound)) return nullptr;
        if (g_reader_type == nullptr) {
            raise_internal_fault("SalvageReader class is not initialised");
            return nullptr;
        }
        return construct(g_reader_type, "open", bound);
    });
}

}  // namespace brinewick::py
