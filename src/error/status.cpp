#include "status.hpp"

namespace brinewick {
namespace {

constexpr const char kCancelled[] = "interrupted while reading the input";
constexpr const char kOutOfMemory[] = "out of memory";  // short enough for a string's own buffer: no allocation

const std::string& empty_text() noexcept {
    static const std::string empty;
    return empty;
}

}  // namespace

Status::Status(const Status& other)
    : state_(other.state_ == nullptr || other.is_static() ? other.state_ : new State(*other.state_)) {}

Status& Status::operator=(const Status& other) {
    if (this != &other) *this = Status(other);
    return *this;
}

Status& Status::operator=(Status&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

Status Status::make(Kind kind, IoError io, int code, std::string path, std::string message) {
    return Status(new State{kind, io, code, std::move(path), std::move(message), Side::Unknown});
}

Status Status::io(IoError io, std::string path) {
    std::string message = io.message();
    return Status::io(io, std::move(path), std::move(message));
}

Status Status::io(IoError io, std::string path, std::string message) {
    if (io.kind == IoError::Kind::OutOfMemory) return make(Kind::OutOfMemory, io, ENOMEM, std::move(path), std::move(message));
    const int code = io.kind == IoError::Kind::Os && io.code != 0 ? io.code : EIO;
    return make(Kind::Io, io, code, std::move(path), std::move(message));
}

Status Status::output_io(IoError io, std::string path) {
    Status status = Status::io(io, std::move(path));
    if (status.state_ != nullptr && !status.is_static()) status.state_->side = Side::Output;
    return status;
}

Status Status::cancelled() { return make(Kind::Cancelled, {}, ECANCELED, {}, kCancelled); }

Status Status::same_file(std::string path, std::string message) {
    return make(Kind::SameFile, {}, EINVAL, std::move(path), std::move(message));
}

Status Status::invalid(std::string message) { return make(Kind::Invalid, {}, EINVAL, {}, std::move(message)); }

Status::State* Status::shared_out_of_memory() noexcept {
    static State shared{Kind::OutOfMemory, {IoError::Kind::OutOfMemory, 0}, ENOMEM, {}, kOutOfMemory, Side::Unknown};
    return &shared;
}

Status Status::out_of_memory() noexcept { return Status(shared_out_of_memory()); }

Status Status::out_of_memory(std::string path) {
    if (path.empty()) return out_of_memory();
    return make(Kind::OutOfMemory, {IoError::Kind::OutOfMemory, 0}, ENOMEM, std::move(path), kOutOfMemory);
}

Status Status::internal(std::string message, int code) {
    return make(Kind::Internal, {}, code, {}, std::move(message));
}

Status internal_fault(const char* what) noexcept {
    try {
        return Status::internal(what);
    } catch (...) {
        return Status::out_of_memory();
    }
}

bool Status::is_static() const noexcept { return state_ == shared_out_of_memory(); }

void Status::release() noexcept {
    if (state_ != nullptr && !is_static()) delete state_;
    state_ = nullptr;
}

const IoError& Status::io_error() const noexcept {
    static const IoError none{};
    return state_ == nullptr ? none : state_->io;
}

int Status::error_number() const noexcept { return state_ == nullptr ? 0 : state_->code; }

const std::string& Status::path() const noexcept { return state_ == nullptr ? empty_text() : state_->path; }

const std::string& Status::message() const noexcept { return state_ == nullptr ? empty_text() : state_->message; }

std::string Status::text() const {
    if (state_ == nullptr) return {};
    return state_->path.empty() ? state_->message : state_->path + ": " + state_->message;
}

}  // namespace brinewick
