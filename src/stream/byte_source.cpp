#include "byte_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <climits>

namespace brinewick::stream {
namespace {

// How long a stream read waits before looking at the cancel flag again.
constexpr int kPollMillis = 5;

class FileSource final : public ByteSource {
public:
    FileSource(int fd, bool stream, std::optional<std::uint64_t> size, std::string path) noexcept
        : fd_(fd), stream_(stream), size_(size), path_(std::move(path)) {}
    ~FileSource() override { ::close(fd_); }

    Result<std::size_t> read(char* into, std::size_t size, const std::atomic<bool>& cancel) override {
        if (size > static_cast<std::size_t>(SSIZE_MAX)) size = static_cast<std::size_t>(SSIZE_MAX);
        for (;;) {
            if (cancel.load(std::memory_order_relaxed)) return Status::cancelled();
            if (stream_) {
                pollfd waiting{fd_, POLLIN, 0};
                const int ready = ::poll(&waiting, 1, kPollMillis);
                if (ready < 0) {
                    if (errno == EINTR) continue;
                    return Status::io(IoError::from_errno(errno), path_);
                }
                if (ready == 0) continue;  // nothing yet: look at the cancel flag again
            }
            const ssize_t n = ::read(fd_, into, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR || errno == EAGAIN) continue;  // the loop looks at cancel first
            return Status::io(IoError::from_errno(errno), path_);
        }
    }

    bool can_seek() const noexcept override { return !stream_; }

    Status seek(std::uint64_t offset) override {
        if (stream_) return Status::io(IoError::from_errno(ESPIPE), path_);
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
            return Status::io(IoError::from_errno(errno), path_);
        }
        return Status::ok();
    }

    std::optional<std::uint64_t> size() const noexcept override { return size_; }

private:
    int fd_;
    bool stream_;  // not a regular file: wait with poll so a cancel is seen
    std::optional<std::uint64_t> size_;
    std::string path_;
};

}  // namespace

Result<std::size_t> PrefixedSource::read(char* into, std::size_t size, const std::atomic<bool>& cancel) {
    if (at_ < head_.size()) {
        const std::size_t n = std::min(size, head_.size() - at_);
        std::memcpy(into, head_.data() + at_, n);
        at_ += n;
        if (at_ == head_.size()) std::string().swap(head_), at_ = 0;  // held no longer than needed
        return n;
    }
    return inner_->read(into, size, cancel);
}

Status PrefixedSource::seek(std::uint64_t offset) {
    std::string().swap(head_);
    at_ = 0;
    return inner_->seek(offset);
}

Result<std::unique_ptr<ByteSource>> open_file_source(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Status::io(IoError{IoError::Kind::NulInPath, 0}, path);
    // A FIFO is opened without waiting for its writer, so a cancel is seen
    // while nobody writes; reads then wait in poll.
    struct stat before {};
    const bool fifo = ::stat(path.c_str(), &before) == 0 && S_ISFIFO(before.st_mode);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (fifo ? O_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::io(IoError::from_errno(errno), path);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int err = errno;
        ::close(fd);
        return Status::io(IoError::from_errno(err), path);
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(fd);
        return Status::io(IoError::from_errno(EISDIR), path);
    }
    const bool regular = S_ISREG(status.st_mode);
    std::optional<std::uint64_t> size;
    if (regular) size = static_cast<std::uint64_t>(status.st_size);
    return std::unique_ptr<ByteSource>(std::make_unique<FileSource>(fd, !regular, size, path));
}

}  // namespace brinewick::stream
