// SalvageError: the error value of the file-level salvage engine.
//
// Engine code returns these; it never throws across its boundary. Only the
// Io variant is produced today; the message variants exist for the type's
// conversion to Python (they map to ValueError).
#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace brinewick {

// An I/O failure as the operating system or the I/O layer reported it.
struct IoError {
    enum class Kind {
        Os,               // system call failed; `code` holds errno
        WriteZero,        // write accepted zero bytes
        FlushZero,        // write accepted zero bytes while flushing a buffer
        NulInPath,        // path holds a NUL byte, cannot reach the system
        OutOfMemory,      // the input buffer could not be reserved
    };
    Kind kind = Kind::Os;
    int code = 0;

    static IoError from_errno(int err) noexcept { return {Kind::Os, err}; }
    // "{description} (os error {n})" or the fixed text of the kind.
    [[nodiscard]] std::string message() const;
};

// Which Python OSError subclass an IoError corresponds to.
enum class IoErrorClass {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    TimedOut,
    Interrupted,
    OutOfMemory,
    Other,
};
[[nodiscard]] IoErrorClass classify_io_error(const IoError& error) noexcept;

// The system's description of an error number (strerror_r).
[[nodiscard]] std::string describe_errno(int err);

struct MessageError {
    std::string message;
};
struct LineMessageError {
    std::string message;
    std::size_t line;
};
struct DetailMessageError {
    std::string message;
};

enum class ErrorClass { OsError, ValueError };

class SalvageError {
public:
    using Payload = std::variant<IoError, MessageError, LineMessageError, DetailMessageError>;

    SalvageError(IoError e) : payload_(e) {}  // NOLINT: implicit by design
    SalvageError(MessageError e) : payload_(std::move(e)) {}
    SalvageError(LineMessageError e) : payload_(std::move(e)) {}
    SalvageError(DetailMessageError e) : payload_(std::move(e)) {}

    [[nodiscard]] const Payload& payload() const noexcept { return payload_; }
    [[nodiscard]] ErrorClass error_class() const noexcept {
        return std::holds_alternative<IoError>(payload_) ? ErrorClass::OsError : ErrorClass::ValueError;
    }
    // The exception message: the I/O text, the string, or "Line {}: {}".
    [[nodiscard]] std::string message() const;

private:
    Payload payload_;
};

}  // namespace brinewick
