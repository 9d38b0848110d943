#include "atomic_output.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace brinewick::stream {
namespace {

// Directory part of `path` ("." when it has none), and the name after it.
std::pair<std::string, std::string> split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    if (slash == 0) return {"/", path.substr(1)};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// Twelve hex digits from the system's random source (the clock as a fallback).
std::string random_suffix() {
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        const auto mix = static_cast<unsigned long long>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&bytes));
        std::memcpy(bytes, &mix, sizeof bytes);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

}  // namespace

Result<AtomicOutput> AtomicOutput::create(const std::string& target,
                                                              const std::atomic<bool>* cancel) {
    if (target.find('\0') != std::string::npos) {
        return Status::io(IoError{IoError::Kind::NulInPath, 0}, target);
    }
    if (target.empty()) return Status::io(IoError::from_errno(ENOENT), target);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) return Status::io(IoError::from_errno(EISDIR), target);
    if (!target.empty() && target.back() == '/') return Status::io(IoError::from_errno(EISDIR), target);

    if (exists && !S_ISREG(existing.st_mode)) {
        // A device, FIFO or socket (/dev/null, /dev/stdout, a pipe) is a
        // stream, not a file to replace: renaming over it would swap the
        // node itself for a plain file. Such a target is written directly.
        // A FIFO with no reader yet would block the open without end: wait in
        // short polls instead, so that a stop is still seen.
        int fd;
        for (;;) {
            fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0 || (errno != EINTR && errno != ENXIO)) break;
            if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
                return Status::cancelled();
            }
            if (errno == ENXIO) ::usleep(5000);
        }
        if (fd < 0) return Status::io(IoError::from_errno(errno), target);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        AtomicOutput output(fd, target, target, std::string());
        output.renamed_ = true;  // nothing to rename, nothing to remove
        return output;
    }

    std::string destination = target;
    struct stat link {};
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            destination = resolved;
            std::free(resolved);
        }
    }
    const auto [directory, name] = split_path(destination);
    const std::string stem = (directory == "/" ? "/" : directory + "/") + "." + name + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = stem + random_suffix() + ".tmp";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR) continue;
            return Status::io(IoError::from_errno(errno), target);
        }
        AtomicOutput output(fd, target, destination, std::move(temporary));
        // A target that exists keeps its permission bits.
        if (exists && S_ISREG(existing.st_mode) && ::fchmod(fd, existing.st_mode & 07777) != 0) {
            return output.failed(errno);
        }
        return output;
    }
    return Status::io(IoError::from_errno(EEXIST), target);
}

AtomicOutput::AtomicOutput(int fd, std::string target, std::string destination, std::string temporary)
    : fd_(fd), target_(std::move(target)), destination_(std::move(destination)),
      temporary_(std::move(temporary)),
      buffer_(new char[kCapacity]) {}

AtomicOutput::AtomicOutput(AtomicOutput&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      target_(std::move(other.target_)),
      destination_(std::move(other.destination_)),
      temporary_(std::move(other.temporary_)),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)),
      renamed_(std::exchange(other.renamed_, true)),
      cancel_(other.cancel_) {}

AtomicOutput::~AtomicOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

Status AtomicOutput::failed(int err) const { return Status::io(IoError::from_errno(err), target_); }

std::string AtomicOutput::directory() const { return split_path(destination_).first; }

Status AtomicOutput::flush_buffer() {
    BRINEWICK_RETURN_IF_ERROR(write_through(buffer_.get(), used_));
    used_ = 0;
    return Status::ok();
}

Status AtomicOutput::write_through(const char* data, std::size_t size) {
    // One row can write without end (padding to a huge width), so a stop
    // asked for meanwhile is seen here too, once a buffer's worth.
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
        return Status::cancelled();
    }
    std::size_t written = 0;
    while (written < size) {
        std::size_t want = size - written;
        if (want > static_cast<std::size_t>(SSIZE_MAX)) want = static_cast<std::size_t>(SSIZE_MAX);
        const ssize_t n = ::write(fd_, data + written, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        if (n == 0) return Status::io(IoError{IoError::Kind::WriteZero, 0}, target_);
        written += static_cast<std::size_t>(n);
    }
    return Status::ok();
}

Status AtomicOutput::write(std::string_view data) {
    if (data.size() >= kCapacity) {  // a whole chunk's output: no copy through the buffer
        BRINEWICK_RETURN_IF_ERROR(flush_buffer());
        return write_through(data.data(), data.size());
    }
    while (!data.empty()) {
        if (used_ == kCapacity) {
            BRINEWICK_RETURN_IF_ERROR(flush_buffer());
        }
        const std::size_t take = data.size() < kCapacity - used_ ? data.size() : kCapacity - used_;
        std::memcpy(buffer_.get() + used_, data.data(), take);
        used_ += take;
        data.remove_prefix(take);
    }
    return Status::ok();
}

Status AtomicOutput::finish(bool durable) {
    BRINEWICK_RETURN_IF_ERROR(flush_buffer());
    if (durable && !is_direct()) {
        while (::fsync(fd_) != 0) {
            if (errno != EINTR) return failed(errno);
        }
    }
    // Not retried on EINTR: Linux frees the descriptor even then.
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return failed(errno);
    return Status::ok();
}

Status AtomicOutput::rename_into_place() {
    if (is_direct()) return Status::ok();
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return failed(errno);
    renamed_ = true;
    return Status::ok();
}

Status sync_directory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Status::io(IoError::from_errno(errno), directory);
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot flush a directory; the rename itself is done.
    if (result != 0 && err != EINVAL && err != EROFS) return Status::io(IoError::from_errno(err), directory);
    return Status::ok();
}

}  // namespace brinewick::stream
