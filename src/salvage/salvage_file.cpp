#include "salvage_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "csv_writer.hpp"

namespace brinewick {
namespace {

bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

// Closes a read descriptor on every way out; errors on close change nothing read.
class ReadDescriptor {
public:
    explicit ReadDescriptor(int fd) noexcept : fd_(fd) {}
    ReadDescriptor(const ReadDescriptor&) = delete;
    ReadDescriptor& operator=(const ReadDescriptor&) = delete;
    ~ReadDescriptor() { ::close(fd_); }
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

// read() that retries interruptions; -1 with errno set on failure.
ssize_t read_some(int fd, char* data, std::size_t size) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, data, size < static_cast<std::size_t>(SSIZE_MAX)
                                               ? size
                                               : static_cast<std::size_t>(SSIZE_MAX));
        if (n >= 0 || errno != EINTR) return n;
    }
}

// True when both paths name one existing file (or are the same string).
bool same_file(const std::string& a, const std::string& b) noexcept {
    if (a == b) return true;
    if (has_nul(a) || has_nul(b)) return false;
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Serialises each clean row straight into the clean CSV. Quarantine records
// are kept (only when a quarantine file is wanted) as their finished lines in
// one string, which costs about the raw row rather than a string per field.
class FileSink final : public RowSink {
public:
    FileSink(BufferedFile& file, std::uint8_t delimiter, std::uint8_t quote_char,
             bool keep_quarantine)
        : file_(file), delimiter_(delimiter), quote_char_(quote_char),
          keep_quarantine_(keep_quarantine) {
        line_.reserve(BufferedFile::kCapacity);
    }

    bool clean_row(const RowBuffer& row) override {
        error_ = write_clean_row(file_, row, delimiter_, quote_char_, line_);
        return !error_;
    }
    void quarantine_row(QuarantineRecord record) override {
        if (!keep_quarantine_) return;
        append_quarantine_line(quarantine_lines_, record, delimiter_);
        quarantine_ends_.push_back(quarantine_lines_.size());
    }
    void quarantine_parsed(const RowBuffer& row, std::string_view reason, std::size_t line) override {
        if (!keep_quarantine_) return;
        append_quarantine_line(quarantine_lines_, row, reason, line, delimiter_);
        quarantine_ends_.push_back(quarantine_lines_.size());
    }

    [[nodiscard]] const std::optional<IoError>& error() const noexcept { return error_; }

    // Creates the quarantine file and hands it the header and each line.
    [[nodiscard]] std::optional<IoError> write_quarantine(const std::string& path) const {
        auto created = BufferedFile::create(path);
        if (auto* error = std::get_if<IoError>(&created)) return *error;
        BufferedFile& file = std::get<BufferedFile>(created);
        if (auto error = file.write_all(kQuarantineHeader)) return error;
        const std::string_view lines = quarantine_lines_;
        std::size_t begin = 0;
        for (const std::size_t end : quarantine_ends_) {
            if (auto error = file.write_all(lines.substr(begin, end - begin))) return error;
            begin = end;
        }
        return file.flush();
    }

private:
    BufferedFile& file_;
    std::uint8_t delimiter_;
    std::uint8_t quote_char_;
    bool keep_quarantine_;
    std::string line_;
    std::optional<IoError> error_;
    std::string quarantine_lines_;
    std::vector<std::size_t> quarantine_ends_;
};

}  // namespace

bool FileBytes::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    // new[] of char leaves the bytes uninitialised; nothrow turns a failed
    // reservation into the "out of memory" error instead of an exception.
    std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity]);
    if (!grown) return false;
    if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
    return true;
}

std::variant<FileBytes, IoError> read_whole_file(const std::string& path) {
    if (has_nul(path)) return IoError{IoError::Kind::NulInPath, 0};
    int raw_fd;
    do {
        raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) return IoError::from_errno(errno);
    const ReadDescriptor fd(raw_fd);

    // The size is only a hint: the file may grow or shrink while it is read.
    std::size_t hint = 0;
    struct stat status {};
    if (::fstat(fd.get(), &status) == 0 && status.st_size > 0) {
        hint = static_cast<std::size_t>(status.st_size);
    }

    FileBytes bytes;
    if (!bytes.reserve(hint)) return IoError{IoError::Kind::OutOfMemory, 0};
    for (;;) {
        if (bytes.size_ == bytes.capacity_) {
            // Full: probe for the end before growing, so an exact hint costs no extra memory.
            char probe[64];
            const ssize_t n = read_some(fd.get(), probe, sizeof probe);
            if (n < 0) return IoError::from_errno(errno);
            if (n == 0) break;
            const std::size_t got = static_cast<std::size_t>(n);
            const std::size_t grown = bytes.capacity_ < 8192 ? 8192 : bytes.capacity_ * 2;
            if (grown < bytes.capacity_ || !bytes.reserve(grown)) {
                return IoError{IoError::Kind::OutOfMemory, 0};
            }
            std::memcpy(bytes.data_.get() + bytes.size_, probe, got);
            bytes.size_ += got;
            continue;
        }
        const ssize_t n = read_some(fd.get(), bytes.data_.get() + bytes.size_, bytes.capacity_ - bytes.size_);
        if (n < 0) return IoError::from_errno(errno);
        if (n == 0) break;
        bytes.size_ += static_cast<std::size_t>(n);
    }
    return bytes;
}

namespace {

std::variant<SalvageSummary, SalvageError> salvage_file_steps(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options) {
    // Checked before anything is read or written: the quarantine would
    // overwrite the clean CSV it follows.
    if (quarantine_path && same_file(*quarantine_path, output_path)) {
        return SalvageError(MessageError{"quarantine_path and output_path name the same file"});
    }

    auto input = read_whole_file(input_path);
    if (auto* error = std::get_if<IoError>(&input)) return SalvageError(*error);
    FileBytes input_bytes = std::move(std::get<FileBytes>(input));
    const std::string_view text = input_bytes.view();

    SalvageSummary summary;  // an empty text: comma and zero counters
    Dialect dialect;
    if (!text.empty()) dialect = settle_dialect(text, options);

    auto created = BufferedFile::create(output_path);
    if (auto* error = std::get_if<IoError>(&created)) return SalvageError(*error);
    BufferedFile& output = std::get<BufferedFile>(created);

    FileSink sink(output, dialect.delimiter, options.quote_char, quarantine_path.has_value());
    if (!text.empty()) {
        summary = classify_rows(text, options, dialect, sink);
        if (sink.error()) return SalvageError(*sink.error());
    }
    input_bytes.release();  // the rows are out; the input is no longer needed
    if (auto error = output.flush()) return SalvageError(*error);

    if (quarantine_path) {
        // Asked again now that the output exists: two spellings of a path
        // that did not exist before are only seen to match at this point.
        if (same_file(*quarantine_path, output_path)) {
            return SalvageError(MessageError{"quarantine_path and output_path name the same file"});
        }
        if (auto error = sink.write_quarantine(*quarantine_path)) {
            return SalvageError(*error);
        }
    }
    return summary;
}

}  // namespace

std::variant<SalvageSummary, SalvageError> salvage_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options) {
    try {
        return salvage_file_steps(input_path, output_path, quarantine_path, options);
    } catch (const std::bad_alloc&) {
        // Memory ran out at some step: that step fails as a write would.
        // Unwinding closes the files, flushing what their buffers held, so
        // the disk is as after a write failure at the same step: during the
        // clean rows, an output holding every row before the one in progress
        // and no quarantine file; while sniffing or inferring, no output; in
        // the quarantine, a complete output and the records written so far.
        return SalvageError(IoError{IoError::Kind::OutOfMemory, 0});
    }
}

}  // namespace brinewick
