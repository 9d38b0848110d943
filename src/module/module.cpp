// The _brinewick_backend module: definition, exec step, sniff and salvage_file.
#include "py_ref.hpp"

#include <optional>
#include <string>
#include <variant>

#include "arguments.hpp"
#include "errors.hpp"
#include "heuristics/heuristics.hpp"
#include "reader_object.hpp"
#include "salvage/salvage_file.hpp"
#include "summary_object.hpp"

namespace brinewick::py {
namespace {

constexpr const char kModuleDoc[] =
    "High-performance, fault-tolerant brinewick and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr const char kSalvageFileDoc[] =
    "salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=\"\\\"\", "
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
    "--\n"
    "\n"
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.";

constexpr const char kSniffDoc[] =
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.";

constexpr const char kOpenDoc[] =
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, "
    "expected_columns=None, repair_quotes=True)\n--\n\n"
    "Convenience function to open and stream a salvaged CSV file.";

PyObject* sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr const char* names[] = {"sample"};
        static const Signature sig{"sniff", names, 1, 1};
        PyObject* bound[1];
        if (!bind_arguments(sig, args, PyVectorcall_NARGS(nargs), kwnames, bound)) return nullptr;
        std::string_view sample;  // the string's own UTF-8 buffer, not a copy
        if (!to_utf8_view("sniff", "sample", bound[0], sample)) return nullptr;
        return PyUnicode_FromOrdinal(sniff_delimiter(sample));
    });
}

PyObject* salvage_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr const char* names[] = {
            "input_path",     "output_path",    "quarantine_path", "delimiter",    "quote_char",
            "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes"};
        static const Signature sig{"salvage_file", names, 9, 2};
        PyObject* bound[9];
        if (!bind_arguments(sig, args, PyVectorcall_NARGS(nargs), kwnames, bound)) return nullptr;
        std::string input_path;
        std::string output_path;
        std::optional<std::string> quarantine_path;
        SalvageOptions options;
        if (!to_owned_string("salvage_file", "input_path", bound[0], input_path)) return nullptr;
        if (!to_owned_string("salvage_file", "output_path", bound[1], output_path)) return nullptr;
        if (!to_optional_string("salvage_file", "quarantine_path", bound[2], quarantine_path)) return nullptr;
        if (!to_salvage_options("salvage_file", bound + 3, options)) return nullptr;

        CancelCheck cancel = signal_check();
        auto result = salvage_file(input_path, output_path, quarantine_path, options, &cancel);
        // Stopped by a signal handler that raised: its exception goes out as is.
        if (cancel.stopped()) return nullptr;
        if (const SalvageError* error = std::get_if<SalvageError>(&result)) {
            raise_salvage_error(*error);
            return nullptr;
        }
        return new_summary_object(to_py_summary(std::get<SalvageSummary>(result)));
    });
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_method(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

// Bound to the module by the exec step, so they must outlive it.
PyMethodDef g_functions[] = {
    {"salvage_file", as_method(salvage_file_function), METH_FASTCALL | METH_KEYWORDS, kSalvageFileDoc},
    {"sniff", as_method(sniff), METH_FASTCALL | METH_KEYWORDS, kSniffDoc},
    {"open", as_method(open_function), METH_FASTCALL | METH_KEYWORDS, kOpenDoc},
};

int set_attribute(PyObject* module, const char* name, PyRef value) {
    if (!value) return -1;
    PyRef key(PyUnicode_InternFromString(name));
    if (!key) return -1;
    return PyObject_SetAttr(module, key.get(), value.get());
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (set_attribute(module, "__version__", PyRef(PyUnicode_FromString("0.1.0"))) < 0) return -1;
        if (set_attribute(module, "__doc__", PyRef(PyUnicode_FromString(kModuleDoc))) < 0) return -1;

        PyRef all(PyList_New(0));
        if (!all) return -1;
        for (const char* name : {"salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"}) {
            PyRef entry(PyUnicode_InternFromString(name));
            if (!entry || PyList_Append(all.get(), entry.get()) < 0) return -1;
        }
        if (set_attribute(module, "__all__", std::move(all)) < 0) return -1;

        PyRef module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& def : g_functions) {
            PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
            if (set_attribute(module, def.ml_name, std::move(function)) < 0) return -1;
        }
        if (set_attribute(module, "SalvageSummary", PyRef(create_summary_type())) < 0) return -1;
        if (set_attribute(module, "SalvageReader", PyRef(create_reader_type())) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_brinewick_backend",
    "The native _brinewick_backend Python module.",
    0,        // no per-module state
    nullptr,  // functions are added by the exec step
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brinewick::py

extern "C" PyMODINIT_FUNC PyInit__brinewick_backend(void) {
    return PyModuleDef_Init(&brinewick::py::g_module);
}
