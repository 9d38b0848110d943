#include "summary_object.hpp"

#include <new>

#include "claim.hpp"
#include "errors.hpp"
#include "parser/utf8.hpp"

namespace brinewick::py {
namespace {

struct SummaryObject {
    PyObject_HEAD
    PySalvageSummary data;
    ClaimFlag claim;
};

// The class as created by the latest module execution; kept alive for the
// interpreter's life so that readers can make summaries.
PyTypeObject* g_summary_type = nullptr;

SummaryObject* as_summary(PyObject* self) { return reinterpret_cast<SummaryObject*>(self); }

PyObject* summary_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.SalvageSummary' instances");
    return nullptr;
}

void summary_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_summary(self)->data.~PySalvageSummary();
    type->tp_free(self);
    Py_DECREF(type);
}

int summary_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // holds no other Python object
    return 0;
}

PyObject* size_object(std::size_t n) { return PyLong_FromUnsignedLongLong(n); }

PyObject* delimiter_object(const PySalvageSummary& d) {
    return PyUnicode_FromStringAndSize(d.detected_delimiter.data(),
                                       static_cast<Py_ssize_t>(d.detected_delimiter.size()));
}

template <std::size_t PySalvageSummary::*Field>
PyObject* get_count(PyObject* self, void*) {
    SharedClaim claim(as_summary(self)->claim);
    if (!claim.held()) return nullptr;
    return size_object(as_summary(self)->data.*Field);
}

PyObject* get_delimiter(PyObject* self, void*) {
    SharedClaim claim(as_summary(self)->claim);
    if (!claim.held()) return nullptr;
    return delimiter_object(as_summary(self)->data);
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
    SharedClaim claim(as_summary(self)->claim);
    if (!claim.held()) return nullptr;
    const PySalvageSummary& d = as_summary(self)->data;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const struct {
        const char* key;
        PyObject* value;
    } items[] = {
        {"total_rows", size_object(d.total_rows)},
        {"salvaged_rows", size_object(d.salvaged_rows)},
        {"repaired_rows", size_object(d.repaired_rows)},
        {"quarantined_rows", size_object(d.quarantined_rows)},
        {"detected_delimiter", delimiter_object(d)},
        {"inferred_columns", size_object(d.inferred_columns)},
    };
    bool ok = true;
    for (const auto& item : items) {
        PyRef value(item.value);  // owns it whatever happens below
        if (!ok) continue;
        if (!value || PyDict_SetItemString(dict.get(), item.key, value.get()) < 0) ok = false;
    }
    return ok ? dict.release() : nullptr;
}

PyObject* summary_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedClaim claim(as_summary(self)->claim);
        if (!claim.held()) return nullptr;
        const PySalvageSummary& d = as_summary(self)->data;
        // The delimiter goes in unescaped: a tab shows as a real tab.
        std::string text = "<SalvageSummary total_rows=" + std::to_string(d.total_rows) +
                           " salvaged_rows=" + std::to_string(d.salvaged_rows) +
                           " repaired_rows=" + std::to_string(d.repaired_rows) +
                           " quarantined_rows=" + std::to_string(d.quarantined_rows) + " delimiter='" +
                           d.detected_delimiter + "' inferred_columns=" + std::to_string(d.inferred_columns) +
                           ">";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyGetSetDef summary_getset[] = {
    {"total_rows", get_count<&PySalvageSummary::total_rows>, nullptr, nullptr, nullptr},
    {"salvaged_rows", get_count<&PySalvageSummary::salvaged_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&PySalvageSummary::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&PySalvageSummary::quarantined_rows>, nullptr, nullptr, nullptr},
    {"detected_delimiter", get_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&PySalvageSummary::inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a salvage operation.")},
    {Py_tp_new, reinterpret_cast<void*>(summary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(summary_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "builtins.SalvageSummary",  // a class of no module of its own, as the interpreter's own are
    static_cast<int>(sizeof(SummaryObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // not a base type: cannot be subclassed
    summary_slots,
};

}  // namespace

PySalvageSummary to_py_summary(const SalvageSummary& summary) {
    PySalvageSummary out;
    out.total_rows = summary.total_rows;
    out.salvaged_rows = summary.salvaged_rows;
    out.repaired_rows = summary.repaired_rows;
    out.quarantined_rows = summary.quarantined_rows;
    append_latin1_char(out.detected_delimiter, static_cast<std::uint8_t>(summary.detected_delimiter));
    out.inferred_columns = summary.inferred_columns;
    return out;
}

PyObject* create_summary_type() { return make_class(summary_spec, g_summary_type); }

PyObject* new_summary_object(const PySalvageSummary& data) {
    PyTypeObject* type = g_summary_type;
    if (type == nullptr) {
        raise_internal_fault("SalvageSummary class is not initialised");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);  // tracked by the collector already
    if (self == nullptr) return nullptr;
    try {
        new (&as_summary(self)->data) PySalvageSummary(data);
    } catch (const std::bad_alloc&) {
        new (&as_summary(self)->data) PySalvageSummary();
        Py_DECREF(self);
        PyErr_NoMemory();
        return nullptr;
    }
    new (&as_summary(self)->claim) ClaimFlag();
    return self;
}

}  // namespace brinewick::py
