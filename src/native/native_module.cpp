// brinewick._native: the package's door into the streaming salvage engine.
//
// One function, `salvage`: the paths, the settings object the Python layer
// (python/brinewick) checked, and a progress callback. The settings are
// checked here again (settings.hpp), so a call that bypasses the package is
// refused what the package refuses. The engine runs on a worker
// thread with the interpreter lock released; the calling thread waits on a
// condition variable in short slices and takes the lock between them to run
// signal handlers and the progress callback, either of which may stop the
// run through StreamControl::cancel.
#include "module/py_ref.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "conversions.hpp"
#include "errors.hpp"
#include "read_functions.hpp"
#include "results.hpp"
#include "settings.hpp"
#include "stream/records.hpp"
#include "stream/stream_salvage.hpp"

namespace brinewick::native {
namespace {

using py::PyRef;
using stream::StreamControl;
using stream::StreamPaths;
using stream::StreamSettings;
using stream::StreamSummary;
using Clock = std::chrono::steady_clock;

// Short enough that Ctrl-C lands well within 100 ms, long enough that the
// waiting thread costs nothing measurable.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// Progress runs with the lock held; ten calls a second keep it cheap.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr Py_ssize_t kArgumentCount = 6;

// ------------------------------------------------------------------ arguments

constexpr Converter kArgs{"salvage"};

bool to_path(const char* param, PyObject* value, std::string& out) {
    if (!PyBytes_Check(value)) return kArgs.wrong_type(param, "bytes", value);
    const char* data = PyBytes_AS_STRING(value);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
    if (std::char_traits<char>::find(data, size, '\0') != nullptr) {
        PyErr_Format(PyExc_ValueError, "salvage(): '%s' contains a NUL byte", param);
        return false;
    }
    out.assign(data, size);
    return true;
}

bool to_optional_path(const char* param, PyObject* value, std::optional<std::string>& out) {
    if (value == Py_None) return true;
    std::string path;
    if (!to_path(param, value, path)) return false;
    out = std::move(path);
    return true;
}

// ------------------------------------------------------------------ the run

// What the worker and the waiting thread share. Everything but `control` is
// guarded by `mutex` until `done` is seen true.
struct Run {
    StreamPaths paths;
    StreamSettings settings;
    StreamControl control;

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::optional<Result<StreamSummary>> outcome;
    // The last progress report comes before the outputs are put in place:
    // the worker waits at `before_commit` until the waiting thread made it.
    std::condition_variable answered_cv;
    std::optional<std::uint64_t> commit_bytes;  // set while the worker waits
    bool answered = false;

    void wait_for_answer(const StreamSummary&) {
        std::unique_lock<std::mutex> lock(mutex);
        // The input's own bytes: for a compressed file, its compressed size.
        commit_bytes = control.bytes_done.load();
        finished.notify_all();
        answered_cv.wait(lock, [this] { return answered; });
    }

    // Lets a worker waiting at `before_commit` go on (or never wait).
    void answer() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex);
            answered = true;
        }
        answered_cv.notify_all();
    }

    [[nodiscard]] bool is_done() {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    }

    void work() noexcept {
        std::optional<Result<StreamSummary>> result;
        try {
            result.emplace(stream::stream_salvage(paths, settings, control));
        } catch (const std::bad_alloc&) {
            result.emplace(Status::out_of_memory());
        } catch (...) {
            result.emplace(internal_fault("brinewick: the salvage engine failed unexpectedly"));
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            outcome = std::move(result);
            done = true;
        }
        finished.notify_all();
    }

    // Waits up to `slice` without the interpreter lock; true once the worker
    // is done or waits for the last report.
    bool wait_released(std::optional<Clock::duration> slice) noexcept {
        bool result = false;
        Py_BEGIN_ALLOW_THREADS
        // Nothing may unwind past the lock hand-back below.
        try {
            std::unique_lock<std::mutex> lock(mutex);
            const auto ready = [this] { return done || (commit_bytes && !answered); };
            if (slice) {
                result = finished.wait_for(lock, *slice, ready);
            } else {
                finished.wait(lock, ready);
                result = true;
            }
        } catch (...) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Py_END_ALLOW_THREADS
        return result;
    }
};

// Joins the worker on every way out, stopping it first if the caller gave up.
class WorkerGuard {
public:
    WorkerGuard(Run& run, std::thread& thread) noexcept : run_(run), thread_(thread) {}
    WorkerGuard(const WorkerGuard&) = delete;
    WorkerGuard& operator=(const WorkerGuard&) = delete;
    ~WorkerGuard() {
        if (!thread_.joinable()) return;
        run_.control.cancel.store(true);
        run_.answer();
        Py_BEGIN_ALLOW_THREADS
        thread_.join();
        Py_END_ALLOW_THREADS
    }

private:
    Run& run_;
    std::thread& thread_;
};

PyObject* total_or_none(const StreamControl& control) {
    const std::int64_t total = control.bytes_total.load();
    if (total < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(total);
}

// progress(bytes_done, bytes_total or None); false with the exception set.
bool report_progress(PyObject* progress, std::uint64_t done, PyObject* total) {
    PyRef done_obj(PyLong_FromUnsignedLongLong(done));
    if (!done_obj) return false;
    PyRef result(PyObject_CallFunctionObjArgs(progress, done_obj.get(), total, nullptr));
    return static_cast<bool>(result);
}

// The last report, bytes_done == bytes_total (None when the total is not
// known); false with the exception set.
bool report_last(Run& run, PyObject* progress, std::uint64_t bytes) {
    PyRef done(PyLong_FromUnsignedLongLong(bytes));
    if (!done) return false;
    PyRef total(total_or_none(run.control));
    if (!total) return false;
    return report_progress(progress, bytes, total.get() == Py_None ? Py_None : done.get());
}

// Waits for the worker; false with a Python exception set when a signal
// handler or the progress callback raised (the worker is then cancelled).
// The callback's last call is made while the worker waits before putting
// its outputs in place, so an exception from it leaves nothing behind too.
// A signal handler that raises after the commit is raised all the same, as
// the caller asked to stop, and nothing half-written exists either way.
bool wait_for_worker(Run& run, PyObject* progress) {
    auto last_report = Clock::now();
    for (;;) {
        if (run.wait_released(kWaitSlice)) {
            if (run.is_done()) return true;
            // The worker waits before its commit: the last report, then on.
            std::uint64_t bytes = 0;
            {
                std::lock_guard<std::mutex> lock(run.mutex);
                bytes = *run.commit_bytes;
            }
            const bool ok = PyErr_CheckSignals() >= 0 && report_last(run, progress, bytes);
            if (!ok) run.control.cancel.store(true);
            run.answer();
            if (!ok) {
                run.wait_released(std::nullopt);
                return false;
            }
            continue;
        }
        bool stop = PyErr_CheckSignals() < 0;
        if (!stop && progress != Py_None && Clock::now() - last_report >= kProgressInterval &&
            run.control.bytes_total.load() != StreamControl::kInputNotOpen) {
            PyRef total(total_or_none(run.control));
            stop = !total || !report_progress(progress, run.control.bytes_done.load(), total.get());
            last_report = Clock::now();
        }
        if (stop) {
            run.control.cancel.store(true);
            run.answer();
            // The worker removes its temporaries before it returns; wait for that.
            run.wait_released(std::nullopt);
            return false;
        }
    }
}

// Binds the arguments into `run`; false with TypeError/ValueError set.
bool bind(PyObject* const* args, Run& run) {
    StreamPaths& paths = run.paths;
    if (!to_path("input", args[0], paths.input) || !to_path("output", args[1], paths.output) ||
        !to_optional_path("quarantine", args[2], paths.quarantine) ||
        !to_optional_path("changes", args[3], paths.changes)) {
        return false;
    }
    const SettingsReader settings{"salvage", args[4]};
    StreamSettings& s = run.settings;
    if (!settings.dialect(s.options) || !settings.encoding(s.encoding) || !settings.flag("durable", s.durable) ||
        !settings.size("read_size", 1LL << 30, s.read_size) || !settings.size("jobs", 1 << 16, s.jobs) ||
        !settings.size("chunk_size", 1LL << 30, s.chunk_size) || !settings.source(s.open_input)) {
        return false;
    }
    if (args[5] != Py_None && !PyCallable_Check(args[5])) {
        return kArgs.wrong_type("progress", "callable or None", args[5]);
    }
    return true;
}

PyObject* salvage_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != kArgumentCount) {
        PyErr_Format(PyExc_TypeError, "salvage() takes exactly %zd positional arguments (%zd given)",
                     kArgumentCount, nargs);
        return nullptr;
    }
    Run run;
    if (!bind(args, run)) return nullptr;
    PyObject* progress = args[5];
    // A last report, so a progress bar ends at 100%, made before the commit.
    if (progress != Py_None) {
        run.control.before_commit = [&run](const StreamSummary& summary) { run.wait_for_answer(summary); };
    }

    std::thread worker;
    try {
        worker = std::thread([&run] { run.work(); });
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    WorkerGuard guard(run, worker);
    const bool completed = wait_for_worker(run, progress);
    {
        Py_BEGIN_ALLOW_THREADS
        worker.join();
        Py_END_ALLOW_THREADS
    }
    if (!completed) return nullptr;  // the handler's or the callback's exception

    if (!run.outcome->is_ok()) {
        raise_status(run.outcome->status());
        return nullptr;
    }
    return salvage_result(run.outcome->value());
}

constexpr const char kSalvageDoc[] =
    "salvage(input, output, quarantine, changes, settings, progress, /)\n"
    "--\n"
    "\n"
    "Low-level streaming salvage; use brinewick.salvage instead. Paths are bytes\n"
    "(quarantine and changes may be None), settings a brinewick._options.NativeSettings,\n"
    "progress a callable or None. Returns a SalvageResult.";

constexpr const char kEncodingKnownDoc[] =
    "encoding_known(name, /)\n"
    "--\n"
    "\n"
    "True when name is 'auto', UTF-8, cp1252, Latin-1 or an encoding the C library's iconv reads.";

PyObject* encoding_known_impl(PyObject*, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "encoding_known() argument must be str, not %.200s", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return nullptr;
    try {
        return PyBool_FromLong(stream::encoding_known(std::string_view(text, static_cast<std::size_t>(size))) ? 1 : 0);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char kSniffEncodingDoc[] =
    "sniff_encoding(sample, whole, encoding, fallback_encoding, /)\n"
    "--\n"
    "\n"
    "The encoding a salvage would read an input starting with sample (bytes; whole: all of it) in,\n"
    "and whether the sample held bytes that are not UTF-8: (name, legacy).";

PyObject* sniff_encoding_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "sniff_encoding() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(args[0], &data, &size) < 0) return nullptr;
    const int whole = PyObject_IsTrue(args[1]);
    if (whole < 0) return nullptr;
    const char* encoding = PyUnicode_Check(args[2]) ? PyUnicode_AsUTF8(args[2]) : nullptr;
    if (encoding == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "sniff_encoding(): encoding must be a str");
        return nullptr;
    }
    stream::EncodingRequest request;
    request.encoding = encoding;
    if (!stream::encoding_known(request.encoding)) {
        PyErr_Format(PyExc_ValueError, "unknown encoding: %R", args[2]);
        return nullptr;
    }
    if (args[3] == Py_None) {
        request.fallback = nullptr;
    } else {
        const char* fallback = PyUnicode_Check(args[3]) ? PyUnicode_AsUTF8(args[3]) : nullptr;
        request.fallback = fallback != nullptr ? single_byte_table(fallback) : nullptr;
        if (request.fallback == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "unknown fallback encoding: %R", args[3]);
            return nullptr;
        }
    }
    const stream::Decoding d =
        stream::decide_encoding(std::string_view(data, static_cast<std::size_t>(size)), whole != 0, request);
    return Py_BuildValue("(s#O)", d.name.data(), static_cast<Py_ssize_t>(d.name.size()),
                         d.legacy_looking ? Py_True : Py_False);
}

PyMethodDef g_functions[] = {
    {"sniff_encoding", fastcall<sniff_encoding_impl>(), METH_FASTCALL, kSniffEncodingDoc},
    {"salvage", fastcall<salvage_impl>(), METH_FASTCALL, kSalvageDoc},
    {"encoding_known", encoding_known_impl, METH_O, kEncodingKnownDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Adds `names` to the module as a tuple of str called `attribute`.
template <typename Names>
int add_names(PyObject* module, const char* attribute, const Names& names) noexcept {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(std::size(names))));
    if (!tuple) return -1;
    Py_ssize_t i = 0;
    for (const std::string_view name : names) {
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return -1;
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    if (PyModule_AddObject(module, attribute, tuple.get()) < 0) return -1;
    (void)tuple.release();  // the module owns it now
    return 0;
}

int exec_module(PyObject* module) noexcept {
    try {
        std::array<std::string_view, stream::kChangeKindCount> kinds{};
        for (std::size_t i = 0; i < stream::kChangeKindCount; ++i) {
            kinds[i] = stream::change_kind_name(static_cast<stream::ChangeKind>(i));
        }
        if (add_names(module, "CHANGE_KINDS", kinds) < 0) return -1;
        if (add_names(module, "QUARANTINE_COLUMNS", stream::kQuarantineColumns) < 0) return -1;
        if (add_names(module, "CHANGES_COLUMNS", stream::kChangesColumns) < 0) return -1;
        StreamSettings defaults;
        if (PyModule_AddIntConstant(module, "DEFAULT_READ_SIZE", static_cast<long>(defaults.read_size)) < 0) {
            return -1;
        }
        if (PyModule_AddIntConstant(module, "DEFAULT_CHUNK_SIZE", static_cast<long>(defaults.chunk_size)) < 0) {
            return -1;
        }
        if (add_result_types(module) < 0) return -1;
        return add_read_functions(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "brinewick._native",
    "Native core of the brinewick package: the streaming salvage engine, run off the interpreter lock.",
    0,  // no per-module state
    g_functions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brinewick::native

extern "C" PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&brinewick::native::g_module);
}
