#include "salvage_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

// read() that retries interruptions while `cancel` says go on; -1 with
// `err` set on failure (EINTR when told to stop). One call reads at most
// CancelCheck::kInterval bytes, so the caller can ask between calls.
ssize_t read_some(int fd, char* data, std::size_t size, CancelCheck* cancel, int& err) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, data, size < CancelCheck::kInterval ? size : CancelCheck::kInterval);
        if (n >= 0) return n;
        err = errno;  // saved: the cancel check may run code that sets errno
        if (err != EINTR || (cancel != nullptr && !cancel->go_on())) return -1;
    }
}

// An open() that retries interruptions while `cancel` says go on; a FIFO
// with no writer blocks here until a signal arrives.
int open_retrying(const char* path, int flags, CancelCheck* cancel, int& err) noexcept {
    for (;;) {
        const int fd = ::open(path, flags);
        if (fd >= 0) return fd;
        err = errno;
        if (err != EINTR || (cancel != nullptr && !cancel->go_on())) return -1;
    }
}

IoError interrupted() noexcept { return IoError::from_errno(EINTR); }

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
          keep_quarantine_(keep_quarantine) {}

    bool clean_row(const RowBuffer& row) override {
        error_ = write_clean_row(file_, row, delimiter_, quote_char_, line_);
        return !error_;
    }
    bool clean_row_repeated(const RowBuffer& row, std::size_t count) override {
        error_ = write_clean_row_repeated(file_, row, delimiter_, quote_char_, line_, count);
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
    [[nodiscard]] std::optional<IoError> write_quarantine(const std::string& path,
                                                          CancelCheck* cancel) const {
        auto created = BufferedFile::create(path, cancel);
        if (auto* error = std::get_if<IoError>(&created)) return *error;
        BufferedFile& file = std::get<BufferedFile>(created);
        if (auto error = file.write_all(kQuarantineHeader)) return error;
        const std::string_view lines = quarantine_lines_;
        std::size_t begin = 0;
        std::size_t next_check = CancelCheck::kInterval;
        for (const std::size_t end : quarantine_ends_) {
            if (auto error = file.write_all(lines.substr(begin, end - begin))) return error;
            begin = end;
            if (begin >= next_check) {
                if (cancel != nullptr && !cancel->go_on()) return interrupted();
                next_check = begin + CancelCheck::kInterval;
            }
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


constexpr const char* kQuarantineOnOutput = "quarantine_path and output_path name the same file";

// The file an in-place run rewrites: the real path of `output_path` when it
// names the same regular file as `input_path` (just read), else nothing.
// Devices and FIFOs are written in place as any other output: a rename
// would put a plain file where the node was.
std::optional<std::string> regular_file_rewritten(const std::string& input_path,
                                                  const std::string& output_path) {
    if (has_nul(output_path)) return std::nullopt;
    struct stat in {};
    if (::stat(input_path.c_str(), &in) != 0 || !S_ISREG(in.st_mode)) return std::nullopt;
    if (!same_file(input_path, output_path)) return std::nullopt;
    // Resolved so that a symbolic link keeps pointing at the rewritten file.
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(output_path.c_str(), nullptr),
                                                     &std::free);
    if (!real) return output_path;  // cannot resolve: replace the name as given
    return std::string(real.get());
}

// The clean CSV of an in-place run: a hidden file beside its target,
// created exclusively under a random name, with the target's permission
// bits. Removed on destruction unless it has replaced the target.
class TemporaryOutput {
public:
    static std::variant<TemporaryOutput, IoError> create(const std::string& target,
                                                         CancelCheck* cancel) {
        struct stat status {};
        if (::stat(target.c_str(), &status) != 0) return IoError::from_errno(errno);
        const std::size_t slash = target.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        // Kept well below NAME_MAX with the dot and the suffix added.
        const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1, 200);
        for (;;) {
            std::string name = dir + "." + base + ".XXXXXX";
            const int fd = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd < 0) {
                const int err = errno;
                if (err == EINTR && (cancel == nullptr || cancel->go_on())) continue;
                return IoError::from_errno(err);
            }
            TemporaryOutput made(fd, std::move(name), target);
            if (::fchmod(fd, status.st_mode & 07777) != 0) return IoError::from_errno(errno);
            return made;
        }
    }

    TemporaryOutput(TemporaryOutput&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)),
          path_(std::exchange(other.path_, {})),
          target_(std::move(other.target_)) {}
    TemporaryOutput& operator=(TemporaryOutput&&) = delete;
    TemporaryOutput(const TemporaryOutput&) = delete;
    ~TemporaryOutput() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    // The descriptor, to be closed by its new owner.
    [[nodiscard]] int take_descriptor() noexcept { return std::exchange(fd_, -1); }

    // Puts the (complete, closed) temporary in the target's place.
    [[nodiscard]] std::optional<IoError> replace_target() {
        if (::rename(path_.c_str(), target_.c_str()) != 0) return IoError::from_errno(errno);
        path_.clear();
        return std::nullopt;
    }

private:
    TemporaryOutput(int fd, std::string path, std::string target)
        : fd_(fd), path_(std::move(path)), target_(std::move(target)) {}
    int fd_;
    std::string path_;  // empty once it replaced the target
    std::string target_;
};

}  // namespace

std::variant<FileBytes, IoError> read_whole_file(const std::string& path, CancelCheck* cancel) {
    if (has_nul(path)) return IoError{IoError::Kind::NulInPath, 0};
    int err = 0;
    const int raw_fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, cancel, err);
    if (raw_fd < 0) return IoError::from_errno(err);
    const ReadDescriptor fd(raw_fd);

    // The size is only a hint: the file may grow or shrink while it is read.
    std::size_t hint = 0;
    struct stat status {};
    if (::fstat(fd.get(), &status) == 0 && status.st_size > 0) {
        hint = static_cast<std::size_t>(status.st_size);
    }

    FileBytes bytes;
    if (!bytes.try_reserve(hint)) return IoError{IoError::Kind::OutOfMemory, 0};
    std::size_t next_check = CancelCheck::kInterval;
    for (;;) {
        const std::size_t size = bytes.size();
        if (size >= next_check) {
            if (cancel != nullptr && !cancel->go_on()) return interrupted();
            next_check = size + CancelCheck::kInterval;
        }
        if (size == bytes.capacity()) {
            // Full: probe for the end before growing, so an exact hint costs no extra memory.
            char probe[64];
            const ssize_t n = read_some(fd.get(), probe, sizeof probe, cancel, err);
            if (n < 0) return IoError::from_errno(err);
            if (n == 0) break;
            const std::size_t got = static_cast<std::size_t>(n);
            const std::size_t grown = size < 8192 ? 8192 : size * 2;
            if (grown < size || !bytes.try_reserve(grown)) return IoError{IoError::Kind::OutOfMemory, 0};
            std::memcpy(bytes.data() + size, probe, got);
            bytes.commit(bytes.data() + size + got);
            continue;
        }
        const ssize_t n = read_some(fd.get(), bytes.data() + size, bytes.capacity() - size, cancel, err);
        if (n < 0) return IoError::from_errno(err);
        if (n == 0) break;
        bytes.commit(bytes.data() + size + static_cast<std::size_t>(n));
    }
    return bytes;
}

namespace {

std::variant<SalvageSummary, SalvageError> salvage_file_steps(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options,
    CancelCheck* cancel) {
    // Checked before anything is read or written: the quarantine would
    // overwrite the clean CSV it follows, or the input itself.
    if (quarantine_path && same_file(*quarantine_path, output_path)) {
        return SalvageError(MessageError{kQuarantineOnOutput});
    }
    if (quarantine_path && same_file(*quarantine_path, input_path)) {
        return SalvageError(MessageError{"quarantine_path and input_path name the same file"});
    }

    auto input = read_whole_file(input_path, cancel);
    if (auto* error = std::get_if<IoError>(&input)) return SalvageError(*error);
    FileBytes input_bytes = std::move(std::get<FileBytes>(input));
    const std::string_view text = input_bytes.view();

    SalvageSummary summary;  // an empty text: comma and zero counters
    Dialect dialect;
    if (!text.empty()) dialect = settle_dialect(text, options, cancel);
    if (was_cancelled(cancel)) return SalvageError(interrupted());
    if (!text.empty() && !options.delimiter) {
        if (std::string clash = sniffed_quote_clash(dialect.delimiter, options.quote_char); !clash.empty()) {
            return SalvageError(MessageError{std::move(clash)});
        }
    }

    // Rewriting the input in place would destroy it on a failure part way;
    // it is replaced whole instead, once the new text is complete.
    std::optional<TemporaryOutput> temporary;
    std::optional<BufferedFile> output;
    if (const auto in_place = regular_file_rewritten(input_path, output_path)) {
        auto created = TemporaryOutput::create(*in_place, cancel);
        if (auto* error = std::get_if<IoError>(&created)) return SalvageError(*error);
        temporary.emplace(std::move(std::get<TemporaryOutput>(created)));
        output.emplace(BufferedFile::adopt(temporary->take_descriptor(), cancel));
    } else {
        auto created = BufferedFile::create(output_path, cancel);
        if (auto* error = std::get_if<IoError>(&created)) return SalvageError(*error);
        output.emplace(std::move(std::get<BufferedFile>(created)));
    }

    FileSink sink(*output, dialect.delimiter, options.quote_char, quarantine_path.has_value());
    if (!text.empty()) {
        summary = classify_rows(text, options, dialect, sink, cancel);
        if (sink.error()) return SalvageError(*sink.error());
        if (was_cancelled(cancel)) return SalvageError(interrupted());
    }
    input_bytes.reset();  // the rows are out; the input is no longer needed
    if (temporary) {
        if (auto error = output->sync()) return SalvageError(*error);
        output.reset();  // closed before it takes the input's place
        if (auto error = temporary->replace_target()) return SalvageError(*error);
    } else if (auto error = output->flush()) {
        return SalvageError(*error);
    }

    if (quarantine_path) {
        // Asked again now that the output exists: two spellings of a path
        // that did not exist before are only seen to match at this point.
        if (same_file(*quarantine_path, output_path)) {
            return SalvageError(MessageError{kQuarantineOnOutput});
        }
        if (auto error = sink.write_quarantine(*quarantine_path, cancel)) {
            return SalvageError(*error);
        }
    }
    return summary;
}

}  // namespace

std::variant<SalvageSummary, SalvageError> salvage_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options,
    CancelCheck* cancel) {
    try {
        return salvage_file_steps(input_path, output_path, quarantine_path, options, cancel);
    } catch (const std::bad_alloc&) {
        // Memory ran out at some step: that step fails as a write would.
        // Unwinding closes the files, flushing what their buffers held, so
        // the disk is as after a write failure at the same step: during the
        // clean rows, an output holding every row before the one in progress
        // and no quarantine file; while sniffing or inferring, no output; in
        // the quarantine, a complete output and the records written so far.
        // In place, the temporary goes with the unwinding: the input stays.
        return SalvageError(IoError{IoError::Kind::OutOfMemory, 0});
    }
}

}  // namespace brinewick
