// Status and Result<T>: how the package's drivers (src/stream, src/arrow)
// report a failure. One value says what went wrong, with the errno when
// there is one and the file it concerns; each extension turns it into its
// exception in one place, and the Arrow stream into its errno and text.
//
// A success is a null pointer, so passing an ok Status around costs what a
// pointer costs; the failure's details live on the heap. Out of memory
// without a path needs no allocation (a shared, static state), so it can be
// made where a std::bad_alloc is caught.
//
// The backend's SalvageError (salvage_error.hpp) stays as it is: its
// variants and messages are part of that module's fixed surface. Both share
// IoError, which a Status of kind Io carries.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "salvage_error.hpp"

namespace brinewick {

class [[nodiscard]] Status {
public:
    // What Python raises for each is in src/native (raise_status).
    enum class Kind : std::uint8_t {
        Ok,
        Io,           // an I/O call failed (io_error()), on path() when one is named: OSError by errno
        Cancelled,    // StreamControl::cancel was set, or the consumer gave up waiting
        SameFile,     // two outputs, or the input and an output, name one file: ValueError
        Invalid,      // settings or data that do not fit (dtypes, a cell its column refuses): ValueError
        OutOfMemory,  // MemoryError
        Internal,     // an exception the engine did not expect
    };

    // Which side of a copy failed, where the failure knows it: a read of the
    // input and a write of an output written over it share one path.
    enum class Side : std::uint8_t { Unknown, Output };

    Status() noexcept = default;
    Status(const Status& other);
    Status(Status&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    Status& operator=(const Status& other);
    Status& operator=(Status&& other) noexcept;
    ~Status() { release(); }

    [[nodiscard]] static Status ok() noexcept { return {}; }
    // `io` failed on `path` (empty when there is none to name); the message
    // is io.message() unless given.
    [[nodiscard]] static Status io(IoError io, std::string path = {});
    [[nodiscard]] static Status io(IoError io, std::string path, std::string message);
    // An Io failure met writing an output.
    [[nodiscard]] static Status output_io(IoError io, std::string path);
    [[nodiscard]] static Status cancelled();
    [[nodiscard]] static Status same_file(std::string path, std::string message);
    [[nodiscard]] static Status invalid(std::string message);
    [[nodiscard]] static Status out_of_memory() noexcept;
    [[nodiscard]] static Status out_of_memory(std::string path);
    // `code`: the errno an Arrow stream gives for it.
    [[nodiscard]] static Status internal(std::string message, int code = EIO);

    [[nodiscard]] bool is_ok() const noexcept { return state_ == nullptr; }
    [[nodiscard]] Kind kind() const noexcept { return state_ == nullptr ? Kind::Ok : state_->kind; }
    // Io only: the failure as the system or the I/O layer reported it.
    [[nodiscard]] const IoError& io_error() const noexcept;
    // The errno value for it: the system's for Io (EIO when the I/O layer
    // had none), ECANCELED, EINVAL, ENOMEM, or the internal fault's; 0 when ok.
    [[nodiscard]] int error_number() const noexcept;
    [[nodiscard]] Side side() const noexcept { return state_ == nullptr ? Side::Unknown : state_->side; }
    [[nodiscard]] const std::string& path() const noexcept;
    [[nodiscard]] const std::string& message() const noexcept;
    // "{path}: {message}", or the message alone without a path.
    [[nodiscard]] std::string text() const;

private:
    struct State {
        Kind kind;
        IoError io;
        int code;
        std::string path;
        std::string message;
        Side side = Side::Unknown;
    };
    explicit Status(State* state) noexcept : state_(state) {}
    static Status make(Kind kind, IoError io, int code, std::string path, std::string message);
    // The state of every out-of-memory Status without a path, never freed.
    static State* shared_out_of_memory() noexcept;
    [[nodiscard]] bool is_static() const noexcept;
    void release() noexcept;

    State* state_ = nullptr;  // null: ok
};

// An exception nobody expected, `what` its text, as an internal fault; out
// of memory when even that Status cannot be made. For catch (...) blocks.
[[nodiscard]] Status internal_fault(const char* what) noexcept;

// A value, or the Status of why there is none.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : content_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Status status) : content_(std::in_place_index<1>, std::move(status)) {}  // NOLINT: a failure, never ok

    [[nodiscard]] bool is_ok() const noexcept { return content_.index() == 0; }
    // The failure; ok when there is a value.
    [[nodiscard]] const Status& status() const& noexcept {
        static const Status kOk;
        return is_ok() ? kOk : std::get<1>(content_);
    }
    [[nodiscard]] Status status() && noexcept { return is_ok() ? Status{} : std::move(std::get<1>(content_)); }

    // Only with is_ok().
    [[nodiscard]] T& value() & { return std::get<0>(content_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(content_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(content_)); }
    [[nodiscard]] T* operator->() { return &value(); }
    [[nodiscard]] const T* operator->() const { return &value(); }

private:
    std::variant<T, Status> content_;
};

}  // namespace brinewick

// Returns the Status of `expr` from the enclosing function unless it is ok.
#define BRINEWICK_RETURN_IF_ERROR(expr)                        \
    do {                                                       \
        ::brinewick::Status brinewick_status_ = (expr);        \
        if (!brinewick_status_.is_ok()) return brinewick_status_; \
    } while (false)
