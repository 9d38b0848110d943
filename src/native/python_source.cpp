#include "python_source.hpp"

#include "conversions.hpp"

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

namespace brinewick::native {
namespace {

using py::PyRef;

// Takes the interpreter lock for a scope, from any thread.
class Locked {
public:
    Locked() noexcept : state_(PyGILState_Ensure()) {}
    ~Locked() { PyGILState_Release(state_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    PyGILState_STATE state_;
};

// A reference that engine threads copy and drop without the lock: the last
// owner takes it to let the object go.
class Held {
public:
    explicit Held(PyRef object) noexcept : object_(std::move(object)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (!object_ || Py_IsInitialized() == 0 || interpreter_finalizing()) {
            (void)object_.release();  // nothing can be run any more: leak it
            return;
        }
        Locked lock;
        object_ = PyRef();
    }
    [[nodiscard]] PyObject* get() const noexcept { return object_.get(); }

private:
    PyRef object_;
};

// The pending Python exception as a failure on `name`; clears it.
Status fetched_failure(const std::string& name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
    int code = EIO;
    std::string message = "the read failed";
    if (value != nullptr) {
        if (PyErr_GivenExceptionMatches(type, PyExc_OSError) != 0) {
            PyRef number(PyObject_GetAttrString(value, "errno"));
            if (number && PyLong_Check(number.get())) {
                const long n = PyLong_AsLong(number.get());
                if (n > 0 && n < 4096) code = static_cast<int>(n);
            }
            PyErr_Clear();
        }
        PyRef text(PyObject_Str(value));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        // A ValueError says the input is not what it was (an object rewritten
        // between passes): raised again as one, with its own words.
        if (PyErr_GivenExceptionMatches(type, PyExc_ValueError) != 0 && utf8 != nullptr) {
            std::string said(utf8);
            PyErr_Clear();
            return Status::invalid(std::move(said));
        }
        const char* type_name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        message = std::string(type_name) + (utf8 != nullptr && *utf8 != '\0' ? std::string(": ") + utf8 : "");
        PyErr_Clear();
    }
    return Status::io(IoError::from_errno(code), name, std::move(message));
}

class PythonSource final : public stream::ByteSource {
public:
    PythonSource(std::shared_ptr<Held> file, std::string name, bool seekable,
                 std::optional<std::uint64_t> size) noexcept
        : file_(std::move(file)), name_(std::move(name)), seekable_(seekable), size_(size) {}

    ~PythonSource() override {
        if (Py_IsInitialized() == 0 || interpreter_finalizing()) return;
        Locked lock;
        PyRef closed(PyObject_CallMethod(file_->get(), "close", nullptr));
        if (!closed) PyErr_Clear();  // a failed close after reading loses nothing
    }

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        if (cancel.load(std::memory_order_relaxed)) return Status::cancelled();
        Locked lock;
        const auto length = static_cast<Py_ssize_t>(std::min<std::size_t>(size, PY_SSIZE_T_MAX));
        PyRef view(PyMemoryView_FromMemory(into, length, PyBUF_WRITE));
        if (!view) return fetched_failure(name_);
        PyRef count(PyObject_CallMethod(file_->get(), "readinto", "O", view.get()));
        // The buffer is the engine's: no Python object may keep a view of it.
        PyRef released(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!count) return fetched_failure(name_);
        if (!released) PyErr_Clear();
        const Py_ssize_t n = count.get() == Py_None ? 0 : PyLong_AsSsize_t(count.get());
        if (n == -1 && PyErr_Occurred() != nullptr) return fetched_failure(name_);
        if (n < 0 || n > length) {
            return Status::io(IoError::from_errno(EIO), name_, "readinto() returned " + std::to_string(n));
        }
        return static_cast<std::size_t>(n);
    }

    bool can_seek() const noexcept override { return seekable_; }

    Status seek(std::uint64_t offset) override {
        Locked lock;
        PyRef to(PyLong_FromUnsignedLongLong(offset));
        if (!to) return fetched_failure(name_);
        PyRef moved(PyObject_CallMethod(file_->get(), "seek", "O", to.get()));
        if (!moved) return fetched_failure(name_);
        return Status::ok();
    }

    std::optional<std::uint64_t> size() const noexcept override { return size_; }

private:
    std::shared_ptr<Held> file_;
    std::string name_;
    bool seekable_;
    std::optional<std::uint64_t> size_;
};

Result<std::unique_ptr<stream::ByteSource>> open_python_source(PyObject* opener, const std::string& name) {
    Locked lock;
    PyRef file(PyObject_CallNoArgs(opener));
    if (!file) return fetched_failure(name);
    PyRef seekable(PyObject_CallMethod(file.get(), "seekable", nullptr));
    if (!seekable) return fetched_failure(name);
    const int can_seek = PyObject_IsTrue(seekable.get());
    if (can_seek < 0) return fetched_failure(name);
    std::optional<std::uint64_t> size;
    PyRef reported(PyObject_GetAttrString(file.get(), "size"));
    if (!reported) return fetched_failure(name);
    if (reported.get() != Py_None) {
        const unsigned long long n = PyLong_AsUnsignedLongLong(reported.get());
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return fetched_failure(name);
        size = n;
    }
    auto held = std::make_shared<Held>(std::move(file));
    return std::unique_ptr<stream::ByteSource>(std::make_unique<PythonSource>(std::move(held), name, can_seek != 0, size));
}

}  // namespace

stream::SourceOpener python_opener(PyObject* opener) {
    auto held = std::make_shared<Held>(PyRef::borrow(opener));
    return [held](const std::string& name) { return open_python_source(held->get(), name); };
}

}  // namespace brinewick::native
