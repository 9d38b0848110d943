#include "salvage_error.hpp"

#include <cerrno>
#include <cstring>

namespace brinewick {
namespace {

// strerror_r comes in two shapes: GNU returns the text (which may or may not
// be the buffer), XSI returns a status and always fills the buffer. Overloads
// on the return type pick the right reading for whichever the C library has.
[[maybe_unused]] std::string strerror_text(const char* text, const char* /*buffer*/, int err) {
    if (text != nullptr && *text != '\0') return text;
    return "Unknown error " + std::to_string(err);
}
[[maybe_unused]] std::string strerror_text(int status, const char* buffer, int err) {
    if (status == 0 && *buffer != '\0') return buffer;
    return "Unknown error " + std::to_string(err);
}

}  // namespace

std::string describe_errno(int err) {
    char buffer[256];
    buffer[0] = '\0';
    return strerror_text(strerror_r(err, buffer, sizeof buffer), buffer, err);
}

std::string IoError::message() const {
    switch (kind) {
        case Kind::Os:
            return describe_errno(code) + " (os error " + std::to_string(code) + ")";
        case Kind::WriteZero:
            return "failed to write whole buffer";
        case Kind::FlushZero:
            return "failed to write the buffered data";
        case Kind::NulInPath:
            return "file name contained an unexpected NUL byte";
        case Kind::OutOfMemory:
            return "out of memory";
    }
    return "unknown error";
}

IoErrorClass classify_io_error(const IoError& error) noexcept {
    if (error.kind == IoError::Kind::OutOfMemory) return IoErrorClass::OutOfMemory;
    if (error.kind != IoError::Kind::Os) return IoErrorClass::Other;
    switch (error.code) {
        case ENOENT: return IoErrorClass::NotFound;
        case EACCES:
        case EPERM: return IoErrorClass::PermissionDenied;
        case ECONNREFUSED: return IoErrorClass::ConnectionRefused;
        case ECONNRESET: return IoErrorClass::ConnectionReset;
        case ECONNABORTED: return IoErrorClass::ConnectionAborted;
        case EPIPE: return IoErrorClass::BrokenPipe;
        case EEXIST: return IoErrorClass::AlreadyExists;
        case EAGAIN: return IoErrorClass::WouldBlock;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK: return IoErrorClass::WouldBlock;
#endif
        case ENOTDIR: return IoErrorClass::NotADirectory;
        case EISDIR: return IoErrorClass::IsADirectory;
        case ETIMEDOUT: return IoErrorClass::TimedOut;
        case EINTR: return IoErrorClass::Interrupted;
        case ENOMEM: return IoErrorClass::OutOfMemory;
        default: return IoErrorClass::Other;
    }
}

std::string SalvageError::message() const {
    struct Visitor {
        std::string operator()(const IoError& e) const { return e.message(); }
        std::string operator()(const MessageError& e) const { return e.message; }
        std::string operator()(const LineMessageError& e) const {
            return "Line " + std::to_string(e.line) + ": " + e.message;
        }
        std::string operator()(const DetailMessageError& e) const { return e.message; }
    };
    return std::visit(Visitor{}, payload_);
}

}  // namespace brinewick
