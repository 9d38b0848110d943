#include "atomic_output.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace brinewick::stream {
namespace {

struct DescriptorName {
    pid_t pid;
    int fd;
};

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

// A short hidden name in `directory`: the target's own name is not in it, so
// a target name of any valid length still leaves room for it.
std::string hidden_name(const std::string& directory) {
    return (directory == "/" ? "/" : directory + "/") + ".brinewick-" + random_suffix() + ".tmp";
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The pid whose descriptor table `directory` (already resolved) lists:
// /proc/PID/fd or /proc/PID/task/TID/fd on a proc file system; 0 otherwise.
pid_t descriptor_table_owner(const std::string& directory) {
    std::string_view rest = directory;
    if (rest.substr(0, 6) != "/proc/" || rest.size() < 4 || rest.substr(rest.size() - 3) != "/fd") return 0;
    rest = rest.substr(6, rest.size() - 9);  // "PID" or "PID/task/TID"
    const std::size_t slash = rest.find('/');
    const std::string_view pid = rest.substr(0, slash);
    if (!all_digits(pid) || pid.size() > 9) return 0;
    if (slash != std::string_view::npos) {
        const std::string_view task = rest.substr(slash);
        if (task.substr(0, 6) != "/task/" || !all_digits(task.substr(6))) return 0;
    }
    struct statfs fs {};
    if (::statfs(directory.c_str(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return 0;
    return static_cast<pid_t>(std::strtol(std::string(pid).c_str(), nullptr, 10));
}

// Follows the symbolic links of `path` one at a time and stops at one that
// stands for an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N,
// /proc/PID/fd/N): such a link names whatever the descriptor holds, not a
// file that may be replaced.
std::optional<DescriptorName> descriptor_named(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return std::nullopt;
        const auto [directory, name] = split_path(current);
        char* resolved = ::realpath(directory.c_str(), nullptr);
        if (resolved == nullptr) return std::nullopt;
        const std::string real_directory = resolved;
        std::free(resolved);
        if (all_digits(name) && name.size() <= 9) {
            if (const pid_t owner = descriptor_table_owner(real_directory)) {
                return DescriptorName{owner, static_cast<int>(std::strtol(name.c_str(), nullptr, 10))};
            }
        }
        char link[PATH_MAX];
        const ssize_t size = ::readlink(current.c_str(), link, sizeof link);
        if (size <= 0 || static_cast<std::size_t>(size) >= sizeof link) return std::nullopt;
        const std::string text(link, static_cast<std::size_t>(size));
        current = text.front() == '/' ? text : (real_directory == "/" ? "/" : real_directory + "/") + text;
    }
    return std::nullopt;
}

// An unnamed file is given its name through /proc/self/fd at commit.
bool proc_fd_usable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

}  // namespace

Result<AtomicOutput> AtomicOutput::create(const std::string& target, const std::atomic<bool>* cancel) {
    auto compressor = output_compressor_for(target);
    if (!compressor.is_ok()) return std::move(compressor).status();
    auto opened = open_target(target, cancel);
    if (opened.is_ok()) opened.value().compressor_ = std::move(compressor).value();
    return opened;
}

Result<AtomicOutput> AtomicOutput::open_target(const std::string& target, const std::atomic<bool>* cancel) {
    if (target.find('\0') != std::string::npos) {
        return Status::output_io(IoError{IoError::Kind::NulInPath, 0}, target);
    }
    if (target.empty()) return Status::output_io(IoError::from_errno(ENOENT), target);

    // /dev/stdout and its kind name a descriptor, not a file: stat() sees the
    // file a shell redirected into, and replacing that file would destroy
    // what `>>` meant to keep. Written through the descriptor instead.
    if (const auto named = descriptor_named(target)) {
        int fd;
        if (named->pid == ::getpid()) {
            // The same open file description: `>>` keeps appending, `>`
            // goes on at the shell's offset.
            fd = ::fcntl(named->fd, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) return Status::output_io(IoError::from_errno(errno), target);
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
                ::close(fd);
                return Status::output_io(IoError::from_errno(EBADF), target);
            }
        } else {
            // Another process's descriptor cannot be shared; appending
            // never writes over what its file already holds.
            fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) return Status::output_io(IoError::from_errno(errno), target);
        }
        return direct(fd, target);
    }

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) return Status::output_io(IoError::from_errno(EISDIR), target);
    if (target.back() == '/') return Status::output_io(IoError::from_errno(EISDIR), target);

    if (exists && !S_ISREG(existing.st_mode)) {
        // A device, FIFO or socket (/dev/null, a pipe) is a stream, not a
        // file to replace: renaming over it would swap the node itself for a
        // plain file. Such a target is written directly. A FIFO with no
        // reader yet would block the open without end: wait in short polls
        // instead, so that a stop is still seen.
        int fd;
        for (;;) {
            fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
            if (fd >= 0 || errno == EINTR) {
                if (fd >= 0) break;
                continue;
            }
            if (errno != ENXIO || !S_ISFIFO(existing.st_mode)) break;
            if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
                return Status::cancelled();
            }
            ::usleep(5000);
        }
        if (fd < 0) return Status::output_io(IoError::from_errno(errno), target);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return direct(fd, target);
    }

    std::string destination = target;
    struct stat link {};
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            destination = resolved;
            std::free(resolved);
        }
    }
    const std::string directory = split_path(destination).first;

    // A file without a name until commit: a process killed before then
    // leaves nothing behind. Not every file system has them.
    if (proc_fd_usable()) {
        const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            AtomicOutput output(fd, target, destination, std::string());
            output.mode_ = Mode::Unnamed;
            if (exists && ::fchmod(fd, existing.st_mode & 07777) != 0) return output.failed(errno);
            return output;
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = hidden_name(directory);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR) continue;
            return Status::output_io(IoError::from_errno(errno), target);
        }
        AtomicOutput output(fd, target, destination, std::move(temporary));
        // A target that exists keeps its permission bits.
        if (exists && ::fchmod(fd, existing.st_mode & 07777) != 0) return output.failed(errno);
        return output;
    }
    return Status::output_io(IoError::from_errno(EEXIST), target);
}

AtomicOutput AtomicOutput::direct(int fd, const std::string& target) {
    AtomicOutput output(fd, target, target, std::string());
    output.mode_ = Mode::Direct;
    output.renamed_ = true;  // nothing to rename, nothing to remove
    return output;
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
      written_(other.written_),
      written_back_(other.written_back_),
      write_back_(other.write_back_),
      renamed_(std::exchange(other.renamed_, true)),
      mode_(other.mode_),
      cancel_(other.cancel_),
      compressor_(std::move(other.compressor_)) {}

AtomicOutput::~AtomicOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

bool AtomicOutput::writes_into(const std::string& path) const {
    struct stat mine {};
    struct stat theirs {};
    return is_direct() && fd_ >= 0 && ::fstat(fd_, &mine) == 0 && S_ISREG(mine.st_mode) &&
           ::stat(path.c_str(), &theirs) == 0 && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

Status AtomicOutput::failed(int err) const { return Status::output_io(IoError::from_errno(err), target_); }

std::string AtomicOutput::directory() const { return split_path(destination_).first; }

Status AtomicOutput::flush_buffer() {
    BRINEWICK_RETURN_IF_ERROR(write_through(buffer_.get(), used_));
    used_ = 0;
    return Status::ok();
}

Status AtomicOutput::write_through(const char* data, std::size_t size) {
    if (!compressor_) return write_raw(data, size);
    return compressor_->put(std::string_view(data, size), false,
                            [this](const char* packed, std::size_t count) { return write_raw(packed, count); });
}

Status AtomicOutput::write_raw(const char* data, std::size_t size) {
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
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A shared descriptor may be non-blocking; its flags are
                // not ours to change.
                pollfd ready{fd_, POLLOUT, 0};
                (void)::poll(&ready, 1, 100);
                if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) return Status::cancelled();
                continue;
            }
            return failed(errno);
        }
        if (n == 0) return Status::output_io(IoError{IoError::Kind::WriteZero, 0}, target_);
        written += static_cast<std::size_t>(n);
    }
    written_ += size;
    if (write_back_ && written_ - written_back_ >= kWriteBackStep) start_write_back();
    return Status::ok();
}

void AtomicOutput::start_write_back() noexcept {
    // A hint, as databases give it: the kernel starts writing these pages
    // now, without waiting for them. A failure here is met again, and
    // reported, by the fsync in finish.
    const auto from = static_cast<off_t>(written_back_);
    const auto length = static_cast<off_t>(written_ - written_back_);
    (void)::sync_file_range(fd_, from, length, SYNC_FILE_RANGE_WRITE);
    written_back_ = written_;
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
    if (compressor_) {
        BRINEWICK_RETURN_IF_ERROR(compressor_->put({}, true, [this](const char* packed, std::size_t count) {
            return write_raw(packed, count);
        }));
        compressor_.reset();
    }
    if (durable && !is_direct()) {
        while (::fsync(fd_) != 0) {
            if (errno != EINTR) return failed(errno);
        }
    }
    // An unnamed file stays open until it is linked into place.
    if (mode_ == Mode::Unnamed) return Status::ok();
    return close_descriptor();
}

Status AtomicOutput::close_descriptor() {
    // Not retried on EINTR: Linux frees the descriptor even then.
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return failed(errno);
    return Status::ok();
}

Status AtomicOutput::rename_into_place() {
    if (is_direct()) return Status::ok();
    if (mode_ == Mode::Unnamed && temporary_.empty()) {
        // linkat cannot replace a file: the unnamed file gets a hidden name
        // first, which the rename then puts over the target at once.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        const std::string directory = split_path(destination_).first;
        for (int attempt = 0; attempt < 100 && temporary_.empty(); ++attempt) {
            std::string name = hidden_name(directory);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                temporary_ = std::move(name);
            } else if (errno != EEXIST && errno != EINTR) {
                return failed(errno);
            }
        }
        if (temporary_.empty()) return failed(EEXIST);
        BRINEWICK_RETURN_IF_ERROR(close_descriptor());
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return failed(errno);
    renamed_ = true;
    return Status::ok();
}

Status sync_directory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Status::output_io(IoError::from_errno(errno), directory);
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot flush a directory; the rename itself is done.
    if (result != 0 && err != EINVAL && err != EROFS) return Status::output_io(IoError::from_errno(err), directory);
    return Status::ok();
}

}  // namespace brinewick::stream
