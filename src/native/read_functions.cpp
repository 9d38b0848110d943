// brinewick._native's Arrow reader: the functions behind brinewick.read.
//
// A reader is a capsule holding the file's path, the settings (read from
// the package's settings object and checked again, settings.hpp) and
// what the passes have learnt (the columns, the summary, the records). Each
// read_stream call opens the file again and returns a fresh
// "arrow_array_stream" capsule, so a table can be consumed any number of
// times. The salvage itself runs on a worker thread owned by the stream
// (src/arrow/salvage_reader.hpp); a thread that asks for a batch waits on it
// without the interpreter lock and, on the main thread, still sees Ctrl-C.
#include "read_functions.hpp"

#include "python_source.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "results.hpp"
#include "settings.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "arrow/salvage_reader.hpp"
#include "memory/block_cache.hpp"
#include "stream/decompress.hpp"
#include "stream/stream_rows.hpp"
#include "stream/table_start.hpp"
#include "pythread.h"

namespace brinewick::native {
namespace {

using arrow::ColumnSpec;
using arrow::ReadReport;
using arrow::ReadSettings;
using py::PyRef;
using stream::StreamSummary;

constexpr const char kReaderCapsule[] = "brinewick._native.Reader";
constexpr const char kStreamCapsule[] = "arrow_array_stream";
constexpr const char kSchemaCapsule[] = "arrow_schema";
constexpr Py_ssize_t kOpenArguments = 2;

unsigned long g_main_thread = 0;  // the thread Python runs signal handlers on

// Waits for the worker in slices. With the interpreter lock held, it is let
// go for each slice and signal handlers run in between. Without it (a
// consumer such as pyarrow pulling batches in C++ after releasing it), the
// main thread takes it briefly between slices for the same purpose; other
// threads never see signals in Python, so they just wait.
class PythonWaiter final : public arrow::Waiter {
public:
    // `keep`: the caller is this module, which raises the handler's exception
    // itself. Otherwise foreign code stands between the wait and Python: the
    // exception cannot travel through it, so a KeyboardInterrupt is re-armed
    // to be raised as soon as control is back in Python.
    explicit PythonWaiter(bool keep) noexcept : keep_(keep) {}

    bool wait(const std::function<bool()>& slice) override {
        if (interpreter_finalizing()) return wait_plainly(slice);
        if (PyGILState_Check() != 0) {
            for (;;) {
                bool ready = false;
                Py_BEGIN_ALLOW_THREADS
                ready = guarded_slice(slice);
                Py_END_ALLOW_THREADS
                if (ready) return true;
                if (PyErr_CheckSignals() < 0) {
                    settle();
                    return false;
                }
            }
        }
        if (PyThread_get_thread_ident() != g_main_thread) return wait_plainly(slice);
        for (;;) {
            if (guarded_slice(slice)) return true;
            if (interpreter_finalizing()) continue;
            const PyGILState_STATE state = PyGILState_Ensure();
            const bool stop = PyErr_CheckSignals() < 0;
            if (stop) settle();
            PyGILState_Release(state);
            if (stop) return false;
        }
    }

private:
    static bool guarded_slice(const std::function<bool()>& slice) noexcept {
        try {
            return slice();
        } catch (...) {
            std::this_thread::sleep_for(arrow::kWaitSlice);
            return false;
        }
    }

    static bool wait_plainly(const std::function<bool()>& slice) noexcept {
        while (!guarded_slice(slice)) {
        }
        return true;
    }

    void settle() const noexcept {
        if (keep_) return;
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        const bool interrupt = type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt) != 0;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (interrupt) PyErr_SetInterrupt();
    }

    bool keep_;
};

// What one brinewick.read call knows. Streams' worker threads report to it,
// hence the mutex.
struct ReaderState {
    std::string path;
    ReadSettings settings;

    std::mutex mutex;
    std::optional<std::vector<ColumnSpec>> columns;  // from pass 1
    std::optional<ReadReport> scanned;               // pass 1's report
    std::optional<ReadReport> report;                // the first complete pass's report
    // Pass 1's batches, for the first stream to take instead of reading the
    // file again; held (at most ReadSettings::keep_limit bytes) until then.
    std::unique_ptr<arrow::KeptBatches> kept;
};

using ReaderRef = std::shared_ptr<ReaderState>;

void destroy_reader(PyObject* capsule) noexcept {
    delete static_cast<ReaderRef*>(PyCapsule_GetPointer(capsule, kReaderCapsule));
}

void destroy_stream(PyObject* capsule) noexcept {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    // A consumer that took the stream over marked it released.
    if (stream->release != nullptr) {
        Py_BEGIN_ALLOW_THREADS  // joins the worker thread
        stream->release(stream);
        Py_END_ALLOW_THREADS
    }
    delete stream;
}

void destroy_schema(PyObject* capsule) noexcept {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

ReaderRef* reader_of(PyObject* capsule) {
    return static_cast<ReaderRef*>(PyCapsule_GetPointer(capsule, kReaderCapsule));
}

// ------------------------------------------------------------------ arguments

constexpr Converter kArgs{"read_open"};
constexpr Converter kSpanArgs{"read_span"};

bool to_text(PyObject* value, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// dtypes as a tuple of (column name, type name) pairs.
bool to_overrides(const SettingsReader& settings, arrow::TypeOverrides& out) {
    const PyRef dtypes = settings.attribute("dtypes");
    if (!dtypes) return false;
    PyObject* value = dtypes.get();
    if (!PyTuple_Check(value)) return kArgs.wrong_type("dtypes", "tuple", value);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(value, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
            return kArgs.wrong_type("dtypes", "a tuple of (str, str) pairs", pair);
        }
        std::string name;
        std::string type_name;
        if (!to_text(PyTuple_GET_ITEM(pair, 0), name) || !to_text(PyTuple_GET_ITEM(pair, 1), type_name)) return false;
        const auto type = arrow::column_type_from_name(type_name);
        if (!type) {
            PyErr_Format(PyExc_ValueError,
                         "dtypes: unknown type '%s' for column '%s'; use one of str, int64, float64, bool, "
                         "date32, timestamp, timestamp[UTC]",
                         type_name.c_str(), name.c_str());
            return false;
        }
        out.emplace_back(std::move(name), *type);
    }
    return true;
}

bool bind(PyObject* const* args, ReaderState& state) {
    PyObject* path = args[0];
    if (!PyBytes_Check(path)) return kArgs.wrong_type("path", "bytes", path);
    state.path.assign(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
    if (state.path.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "read_open(): 'path' contains a NUL byte");
        return false;
    }
    const SettingsReader settings{"read_open", args[1]};
    ReadSettings& s = state.settings;
    return settings.dialect(s.options) && settings.encoding(s.encoding) && settings.flag("header", s.header) && settings.flag("infer", s.infer) &&
           settings.flag("empty_as_null", s.empty_as_null) &&
           settings.flag("null_type_errors", s.null_type_errors) &&
           settings.decimal(s.decimal) && settings.thousands(s.decimal, s.thousands) &&
           settings.null_values(s.null_texts) && to_overrides(settings, s.overrides) &&
           settings.size("batch_rows", 1LL << 30, s.limits.max_rows) &&
           settings.size("read_size", 1LL << 30, s.read_size) && settings.size("jobs", 4096, s.jobs) &&
           settings.size("chunk_size", 1LL << 40, s.chunk_size) && settings.source(s.open_input);
}

// ------------------------------------------------------------------ passes

// Runs `work` on a worker thread while this one waits without the
// interpreter lock (Ctrl-C cancels it); nullopt with an exception set.
template <class T>
std::optional<T> off_lock(const std::function<Result<T>(stream::StreamControl&)>& work) {
    struct Run {
        stream::StreamControl control;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::optional<Result<T>> outcome;
    } run;
    std::thread worker;
    try {
        worker = std::thread([&run, &work] {
            std::optional<Result<T>> outcome;
            try {
                outcome.emplace(work(run.control));
            } catch (...) {
                outcome.emplace(Status::out_of_memory());  // the engine throws nothing else
            }
            std::lock_guard<std::mutex> lock(run.mutex);
            run.outcome = std::move(outcome);
            run.done = true;
            run.finished.notify_all();
        });
    } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
        return std::nullopt;
    }
    PythonWaiter waiter(true);
    const bool completed = waiter.wait([&run] {
        std::unique_lock<std::mutex> lock(run.mutex);
        return run.finished.wait_for(lock, arrow::kWaitSlice, [&run] { return run.done; });
    });
    if (!completed) run.control.cancel.store(true);
    Py_BEGIN_ALLOW_THREADS
    worker.join();
    Py_END_ALLOW_THREADS
    if (!completed) return std::nullopt;  // the signal handler's exception
    if (!run.outcome->is_ok()) {
        raise_status(run.outcome->status());
        return std::nullopt;
    }
    return std::move(*run.outcome).value();
}

// Pass 1, once per reader, on a worker thread; false with an exception set.
bool ensure_scanned(const ReaderRef& reader) {
    {
        std::lock_guard<std::mutex> lock(reader->mutex);
        if (reader->columns) return true;
    }
    auto scanned = off_lock<arrow::ScanResult>(
        [&reader](stream::StreamControl& control) { return arrow::scan_input(reader->path, reader->settings, control); });
    if (!scanned) return false;
    arrow::ScanResult& result = *scanned;
    std::lock_guard<std::mutex> lock(reader->mutex);
    if (!reader->columns) {
        reader->columns = std::move(result.columns);
        reader->scanned = result.report;
        reader->kept = std::move(result.kept);
        if (!reader->report) reader->report = std::move(result.report);
    }
    return true;
}

// A new capsule owning an Arrow struct (a schema or a stream); nullptr with
// an exception set, the struct released.
template <class T>
PyObject* owning_capsule(std::unique_ptr<T> owned, const char* name, PyCapsule_Destructor destroy) {
    PyObject* capsule = PyCapsule_New(owned.get(), name, destroy);
    if (capsule == nullptr) {
        owned->release(owned.get());
        return nullptr;
    }
    (void)owned.release();
    return capsule;
}

// A new "arrow_array_stream" capsule owning `stream`; nullptr with an exception set.
PyObject* stream_capsule(std::unique_ptr<ArrowArrayStream> stream) {
    return owning_capsule(std::move(stream), kStreamCapsule, destroy_stream);
}

// A fresh stream over the reader's file; nullptr with an exception set.
PyObject* new_stream(const ReaderRef& reader, bool keep_interrupts) {
    if (arrow::needs_scan(reader->settings) && !ensure_scanned(reader)) return nullptr;
    std::optional<std::vector<ColumnSpec>> columns;
    std::optional<ReadReport> expected;
    std::unique_ptr<arrow::KeptBatches> kept;
    {
        std::lock_guard<std::mutex> lock(reader->mutex);
        columns = reader->columns;
        expected = reader->scanned;
        kept = std::move(reader->kept);
    }
    // A file changed since pass 1 is read again, which reports the change.
    if (kept && arrow::current_identity(reader->path) != kept->identity) kept.reset();
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->release = nullptr;
    if (kept) {
        // The first stream after pass 1: its batches are the ones pass 2 would build.
        if (!arrow::make_kept_stream(std::move(*columns), std::move(kept), stream.get())) return PyErr_NoMemory();
        return stream_capsule(std::move(stream));
    }
    std::weak_ptr<ReaderState> weak = reader;
    auto on_report = [weak](const ReadReport& report) {
        if (auto state = weak.lock()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!state->report) state->report = report;
        }
    };
    auto waiter = std::make_shared<PythonWaiter>(keep_interrupts);
    // Opening may wait on threads that take the interpreter lock (a
    // decompressor reading ahead from an object store's reader).
    Status error = Status::ok();
    Py_BEGIN_ALLOW_THREADS
    error = arrow::make_salvage_stream(reader->path, reader->settings, std::move(columns), std::move(expected),
                                       std::move(waiter), std::move(on_report), stream.get());
    Py_END_ALLOW_THREADS
    if (!error.is_ok()) {
        raise_status(error);
        return nullptr;
    }
    return stream_capsule(std::move(stream));
}

// ------------------------------------------------------------------ functions

bool one_reader(const char* name, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected, ReaderRef*& out) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", name, expected, nargs);
        return false;
    }
    out = reader_of(args[0]);
    return out != nullptr;
}

PyObject* read_open(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != kOpenArguments) {
        PyErr_Format(PyExc_TypeError, "read_open() takes exactly %zd positional arguments (%zd given)", kOpenArguments,
                     nargs);
        return nullptr;
    }
    auto state = std::make_shared<ReaderState>();
    if (!bind(args, *state)) return nullptr;
    auto* holder = new ReaderRef(std::move(state));
    PyObject* capsule = PyCapsule_New(holder, kReaderCapsule, destroy_reader);
    if (capsule == nullptr) delete holder;
    return capsule;
}

PyObject* read_scan(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_scan", args, nargs, 1, reader)) return nullptr;
    if (!ensure_scanned(*reader)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* read_stream(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_stream", args, nargs, 1, reader)) return nullptr;
    return new_stream(*reader, false);
}

PyObject* read_schema(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_schema", args, nargs, 1, reader)) return nullptr;
    // The stream's schema is the one truth (names from the first row, the
    // offset width from the file's size); in a single pass asking for it
    // reads as far as the header.
    auto schema = std::make_unique<ArrowSchema>();
    schema->release = nullptr;
    {
        // Kept batches are for the stream that follows: the schema comes
        // from what they were built with, without taking them.
        std::lock_guard<std::mutex> lock((*reader)->mutex);
        if ((*reader)->kept && (*reader)->columns) {
            arrow::export_schema(*(*reader)->columns, (*reader)->kept->large_strings, schema.get());
        }
    }
    if (schema->release != nullptr) return owning_capsule(std::move(schema), kSchemaCapsule, destroy_schema);
    PyRef stream_ref(new_stream(*reader, true));
    if (!stream_ref) return nullptr;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(stream_ref.get(), kStreamCapsule));
    const int code = stream->get_schema(stream, schema.get());
    if (code != 0) {
        if (PyErr_Occurred() == nullptr) {
            const char* text = stream->get_last_error(stream);
            errno = code;
            PyErr_Format(PyExc_OSError, "%s", text != nullptr ? text : "cannot read the schema");
        }
        return nullptr;
    }
    return owning_capsule(std::move(schema), kSchemaCapsule, destroy_schema);
}

PyObject* read_summary(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_summary", args, nargs, 1, reader)) return nullptr;
    std::optional<ReadReport> report;
    {
        std::lock_guard<std::mutex> lock((*reader)->mutex);
        report = (*reader)->report;
    }
    if (!report) Py_RETURN_NONE;
    return read_report(*report);
}

// read_records(reader, quarantine: bool): the records as a stream, None until a pass has finished.
PyObject* read_records(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_records", args, nargs, 2, reader)) return nullptr;
    const int quarantine = PyObject_IsTrue(args[1]);
    if (quarantine < 0) return nullptr;
    std::shared_ptr<const arrow::ReadRecords> records;
    {
        std::lock_guard<std::mutex> lock((*reader)->mutex);
        if ((*reader)->report) records = (*reader)->report->records;
    }
    if (!records) Py_RETURN_NONE;
    auto stream = std::make_unique<ArrowArrayStream>();
    const bool made = quarantine != 0 ? arrow::make_quarantine_stream(records, stream.get())
                                      : arrow::make_changes_stream(records, stream.get());
    if (!made) return PyErr_NoMemory();
    return stream_capsule(std::move(stream));
}

// read_plan(reader, block_size): one pass over the whole file that settles
// what a reader of part of it needs, as a ReadPlan (results.hpp), with a
// boundary about every block_size bytes; its records are the reader's.
PyObject* read_plan(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_plan", args, nargs, 2, reader)) return nullptr;
    const unsigned long long block = PyLong_AsUnsignedLongLong(args[1]);
    if (PyErr_Occurred()) return nullptr;
    if (block == 0) {
        PyErr_SetString(PyExc_ValueError, "read_plan(): block_size must be positive");
        return nullptr;
    }
    ReadSettings settings = (*reader)->settings;
    settings.keep_limit = 0;
    settings.block_size = block;
    settings.chunk_size = std::min<std::size_t>(settings.chunk_size, static_cast<std::size_t>(block));
    const std::string path = (*reader)->path;
    auto scanned = off_lock<arrow::ScanResult>(
        [&](stream::StreamControl& control) { return arrow::scan_input(path, settings, control); });
    if (!scanned) return nullptr;
    {
        // The pass's records, for read_records: the whole file's, which the
        // parts need not be read for.
        std::lock_guard<std::mutex> lock((*reader)->mutex);
        if (!(*reader)->report) (*reader)->report = scanned->report;
    }
    return read_plan_result(*scanned);
}

// read_span(reader, columns, delimiter, expected_columns, header_offset, start, line, in_row, end,
//           table_offset, header_text, preamble_keys):
// the rows of the file from boundary `start` to `end` (None: the end), read
// as reading the whole file reads them (the table's start and header text
// are the whole file's, from its plan). Returns a ReadSpan: the data,
// quarantine and changes stream capsules and the part's ReadReport.
PyObject* read_span(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_span", args, nargs, 12, reader)) return nullptr;
    if (!PyTuple_Check(args[1])) {
        kSpanArgs.wrong_type("columns", "tuple", args[1]);
        return nullptr;
    }
    std::vector<ColumnSpec> columns;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[1]); ++i) {
        PyObject* item = PyTuple_GET_ITEM(args[1], i);
        const char* name = nullptr;
        Py_ssize_t name_size = 0;
        const char* type = nullptr;
        Py_ssize_t type_size = 0;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "s#s#", &name, &name_size, &type, &type_size)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "read_span(): columns must be (name, type) pairs");
            return nullptr;
        }
        const auto parsed = arrow::column_type_from_name(std::string_view(type, static_cast<std::size_t>(type_size)));
        if (!parsed) {
            PyErr_Format(PyExc_ValueError, "read_span(): unknown column type '%s'", type);
            return nullptr;
        }
        columns.push_back({std::string(name, static_cast<std::size_t>(name_size)), *parsed});
    }
    std::optional<long long> n;
    Dialect dialect;
    if (!kSpanArgs.to_integer("delimiter", args[2], 0, 127, false, n)) return nullptr;
    dialect.delimiter = static_cast<std::uint8_t>(*n);
    if (!kSpanArgs.to_integer("expected_columns", args[3], 0, PY_SSIZE_T_MAX, false, n)) return nullptr;
    dialect.expected_columns = static_cast<std::size_t>(*n);
    std::optional<std::uint64_t> header_offset;
    if (!kSpanArgs.to_integer("header_offset", args[4], 0, LLONG_MAX, true, n)) return nullptr;
    if (n) header_offset = static_cast<std::uint64_t>(*n);
    arrow::Boundary start;
    if (!kSpanArgs.to_integer("start", args[5], 0, LLONG_MAX, false, n)) return nullptr;
    start.offset = static_cast<std::uint64_t>(*n);
    if (!kSpanArgs.to_integer("line", args[6], 1, LLONG_MAX, false, n)) return nullptr;
    start.line = static_cast<std::size_t>(*n);
    if (!kSpanArgs.to_flag("in_row", args[7], start.in_row)) return nullptr;
    std::optional<std::uint64_t> end;
    if (!kSpanArgs.to_integer("end", args[8], 0, LLONG_MAX, true, n)) return nullptr;
    if (n) end = static_cast<std::uint64_t>(*n);
    if (!kSpanArgs.to_integer("table_offset", args[9], 0, LLONG_MAX, false, n)) return nullptr;
    dialect.table_offset = static_cast<std::uint64_t>(*n);
    if (!PyBytes_Check(args[10])) {
        kSpanArgs.wrong_type("header_text", "bytes", args[10]);
        return nullptr;
    }
    dialect.header_text.assign(PyBytes_AS_STRING(args[10]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[10])));
    if (!PyBytes_Check(args[11])) {
        kSpanArgs.wrong_type("preamble_keys", "bytes", args[11]);
        return nullptr;
    }
    stream::set_preamble_keys(dialect, std::string(PyBytes_AS_STRING(args[11]),
                                                   static_cast<std::size_t>(PyBytes_GET_SIZE(args[11]))));

    const ReadSettings settings = (*reader)->settings;
    const std::string path = (*reader)->path;
    auto read = off_lock<arrow::SpanResult>([&](stream::StreamControl& control) {
        return arrow::read_span(path, settings, dialect, columns, header_offset, start, end, control);
    });
    if (!read) return nullptr;
    auto data = std::make_unique<ArrowArrayStream>();
    auto quarantine = std::make_unique<ArrowArrayStream>();
    auto changes = std::make_unique<ArrowArrayStream>();
    data->release = quarantine->release = changes->release = nullptr;
    if (!arrow::make_kept_stream(columns, std::move(read->batches), data.get())) return PyErr_NoMemory();
    PyRef data_capsule(stream_capsule(std::move(data)));
    if (!data_capsule) return nullptr;
    if (!arrow::make_quarantine_stream(read->report.records, quarantine.get())) return PyErr_NoMemory();
    PyRef quarantine_capsule(stream_capsule(std::move(quarantine)));
    if (!quarantine_capsule) return nullptr;
    if (!arrow::make_changes_stream(read->report.records, changes.get())) return PyErr_NoMemory();
    PyRef changes_capsule(stream_capsule(std::move(changes)));
    if (!changes_capsule) return nullptr;
    return read_span_result(data_capsule.get(), quarantine_capsule.get(), changes_capsule.get(), read->report);
}

PyObject* live_arrow_buffers(PyObject*, PyObject*) { return PyLong_FromLongLong(arrow::live_buffers()); }

PyObject* live_arrow_buffers_guarded(PyObject* self, PyObject* arg) noexcept { return live_arrow_buffers(self, arg); }

PyObject* release_unused_memory(PyObject*, PyObject*) {
    return PyLong_FromSize_t(memory::drop_cached());
}

PyObject* release_unused_memory_guarded(PyObject* self, PyObject* arg) noexcept {
    return release_unused_memory(self, arg);
}

// read_head(path, limit[, source]): up to `limit` bytes of the file's text,
// from its start, decompressed when the file is compressed; `source` opens
// an input that is not a local file (as NativeSettings.source does).
// ValueError for a file that is no text.
PyObject* read_head(PyObject* const* args, Py_ssize_t nargs) {
    if ((nargs != 2 && nargs != 3) || !PyBytes_Check(args[0]) || !PyLong_Check(args[1]) ||
        (nargs == 3 && args[2] != Py_None && PyCallable_Check(args[2]) == 0)) {
        PyErr_SetString(PyExc_TypeError, "read_head(path: bytes, limit: int, source: callable | None = None)");
        return nullptr;
    }
    const stream::SourceOpener opener = nargs == 3 && args[2] != Py_None ? python_opener(args[2]) : nullptr;
    const std::string path(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "read_head(): limit must be >= 0");
        return nullptr;
    }
    std::string head;
    Status failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        const std::atomic<bool> cancel{false};
        auto opened = stream::open_input_source(path, cancel, opener);
        if (!opened.is_ok()) {
            failure = std::move(opened).status();
        } else {
            head.resize(static_cast<std::size_t>(limit));
            std::size_t filled = 0;
            while (filled < head.size()) {
                auto got = opened.value()->read(head.data() + filled, head.size() - filled, cancel);
                if (!got.is_ok()) {
                    failure = std::move(got).status();
                    break;
                }
                if (got.value() == 0) break;
                filled += got.value();
            }
            head.resize(filled);
        }
    } catch (const std::bad_alloc&) {
        failure = Status::out_of_memory();
    }
    Py_END_ALLOW_THREADS
    if (!failure.is_ok()) {
        raise_status(failure);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size()));
}

// read_settle(reader): what a run over the file settles before its first
// row, as (delimiter, columns, header_line, separator_line), or None for an
// empty file.
PyObject* read_settle(PyObject* const* args, Py_ssize_t nargs) {
    ReaderRef* reader = nullptr;
    if (!one_reader("read_settle", args, nargs, 1, reader)) return nullptr;
    const ReadSettings settings = (*reader)->settings;
    const std::string path = (*reader)->path;
    auto settled = off_lock<std::optional<Dialect>>([&](stream::StreamControl& control) {
        auto opened = stream::open_input(path, settings.read_size, control, settings.encoding, settings.open_input);
        if (!opened.is_ok()) return Result<std::optional<Dialect>>(std::move(opened).status());
        return stream::settle_dialect_or_empty(opened.value().window, settings.options);
    });
    if (!settled) return nullptr;
    if (!*settled) Py_RETURN_NONE;
    const Dialect& d = **settled;
    return Py_BuildValue("(CnKO)", static_cast<int>(d.delimiter), static_cast<Py_ssize_t>(d.expected_columns),
                         static_cast<unsigned long long>(d.table_line), d.separator_line ? Py_True : Py_False);
}

PyMethodDef g_read_functions[] = {
    {"read_settle", fastcall<read_settle>(), METH_FASTCALL,
     "read_settle(reader, /)\n--\n\n(delimiter, columns, header_line, separator_line) as a run over the file "
     "settles them before its first row; None for an empty file."},
    {"read_head", fastcall<read_head>(), METH_FASTCALL,
     "read_head(path, limit, source=None, /)\n--\n\nUp to limit bytes of the file's text from its start, "
     "decompressed; source opens an input that is not a local file."},
    {"read_open", fastcall<read_open>(), METH_FASTCALL,
     "read_open(path, settings, /)\n--\n\nA reader of the file at path (bytes) with settings, a "
     "brinewick._options.NativeSettings; use brinewick.read instead."},
    {"read_scan", fastcall<read_scan>(), METH_FASTCALL,
     "read_scan(reader, /)\n--\n\nThe first pass (header, width, types, summary), once."},
    {"read_stream", fastcall<read_stream>(), METH_FASTCALL,
     "read_stream(reader, /)\n--\n\nA fresh 'arrow_array_stream' capsule over the file."},
    {"read_schema", fastcall<read_schema>(), METH_FASTCALL, "read_schema(reader, /)\n--\n\nAn 'arrow_schema' capsule."},
    {"read_summary", fastcall<read_summary>(), METH_FASTCALL,
     "read_summary(reader, /)\n--\n\nThe ReadReport of the first finished pass, or None."},
    {"read_records", fastcall<read_records>(), METH_FASTCALL,
     "read_records(reader, quarantine, /)\n--\n\nThe quarantine or change records as a stream capsule, or None."},
    {"read_plan", fastcall<read_plan>(), METH_FASTCALL,
     "read_plan(reader, block_size, /)\n--\n\nA ReadPlan: columns, dialect, header offset and row boundaries for "
     "reading in parts."},
    {"read_span", fastcall<read_span>(), METH_FASTCALL,
     "read_span(reader, columns, delimiter, expected_columns, header_offset, start, line, in_row, end, table_offset, header_text, preamble_keys, /)\n--\n\n"
     "The rows of one part of the file: a ReadSpan (data, quarantine, changes, report)."},
    {"live_arrow_buffers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&live_arrow_buffers_guarded)),
     METH_NOARGS, "live_arrow_buffers()\n--\n\nArrow buffers allocated and not yet freed (for leak tests)."},
    {"release_unused_memory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&release_unused_memory_guarded)), METH_NOARGS,
     "release_unused_memory()\n--\n\nFrees the cached blocks of released tables and finished runs; returns the bytes freed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_read_functions(PyObject* module) noexcept {
    PyRef threading(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    g_main_thread = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred() != nullptr) return -1;
    return PyModule_AddFunctions(module, g_read_functions);
}

}  // namespace brinewick::native
