// Buffered output and the two CSV formats (clean and quarantine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "../error/salvage_error.hpp"
#include "../parser/cancel_check.hpp"
#include "../parser/row_buffer.hpp"
#include "salvage.hpp"

namespace brinewick {

// A file written through a fixed buffer. A piece larger than the buffer
// goes to the file directly; what is left in the buffer is flushed on close,
// with errors ignored (the caller has already had its error, if any). The
// buffer holds only whole rows, so a failure leaves whole rows on disk.
class BufferedFile {
public:
    // As the streaming writers: 8 KiB made a write call per 8 KiB of output,
    // a tenth of a whole salvage's time on a 48 MB file.
    static constexpr std::size_t kCapacity = std::size_t{1} << 18;

    // Creates (truncating) `path` with mode 0666 before the umask. An open or
    // write interrupted by a signal is retried unless `cancel` says stop
    // (then the error is EINTR).
    [[nodiscard]] static std::variant<BufferedFile, IoError> create(const std::string& path,
                                                                    CancelCheck* cancel = nullptr);
    // Takes over `fd`, open for writing; closes it at the end.
    [[nodiscard]] static BufferedFile adopt(int fd, CancelCheck* cancel = nullptr) {
        return BufferedFile(fd, cancel);
    }

    BufferedFile(BufferedFile&& other) noexcept;
    BufferedFile& operator=(BufferedFile&&) = delete;
    BufferedFile(const BufferedFile&) = delete;
    ~BufferedFile();

    [[nodiscard]] std::optional<IoError> write_all(std::string_view data);
    [[nodiscard]] std::optional<IoError> flush();
    // Flushes, then has the system put the bytes on the device (fsync), so
    // that a rename that follows cannot land before the data.
    [[nodiscard]] std::optional<IoError> sync();

    // Room for `size` more bytes in the buffer as it stands, or nullptr.
    // Writing there and committing is exactly write_all of the same bytes
    // (which would neither flush nor bypass the buffer for them), minus a copy.
    [[nodiscard]] char* room_for(std::size_t size) noexcept {
        return used_ + size <= kCapacity && size < kCapacity ? buffer_.get() + used_ : nullptr;
    }
    void commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.get()); }
    // `count` copies of `piece` (shorter than the buffer), as many
    // write_all calls would put them, whole pieces only in each flush.
    [[nodiscard]] std::optional<IoError> write_repeated(std::string_view piece, std::size_t count);
    // Writes out the buffer when `size` more bytes would not fit in it, so
    // that room_for(size) then succeeds for any size below kCapacity.
    [[nodiscard]] std::optional<IoError> make_room(std::size_t size) {
        return used_ + size <= kCapacity ? std::nullopt : flush_buffer();
    }

private:
    BufferedFile(int fd, CancelCheck* cancel);
    [[nodiscard]] std::optional<IoError> flush_buffer();
    int fd_ = -1;
    CancelCheck* cancel_ = nullptr;
    std::size_t unchecked_ = 0;  // bytes flushed since the owner was last asked
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

// Appends one clean CSV line (fields, quoting, final LF) for `row`. When both
// bytes are ASCII, a field whose may-need-quotes flag is clear is written bare
// unexamined: the row must carry flags for this delimiter and quote.
void append_clean_line(std::string& out, const RowBuffer& row, std::uint8_t delimiter,
                       std::uint8_t quote_char);

// The same line for an ASCII delimiter and quote, written at `out`, which
// must have room for clean_line_bound(row) bytes; returns the end.
[[nodiscard]] std::size_t clean_line_bound(const RowBuffer& row) noexcept;
char* write_clean_line(char* out, const RowBuffer& row, std::uint8_t delimiter,
                       std::uint8_t quote_char) noexcept;

// Writes the clean CSV line of `row` to `file` (the bytes of
// append_clean_line). A short line is built whole, in the output buffer or in
// `line`; a long one goes field by field, long quoted fields and padding in
// pieces, so that no line is ever held whole in memory.
// Where a clean line too long to build whole goes, piece by piece; write()
// returns false to stop (the writer keeps its own error).
class PieceWriter {
public:
    virtual ~PieceWriter() = default;
    virtual bool write(std::string_view piece) = 0;
};
// The clean line of `row` (the bytes of append_clean_line) handed to `out` in
// pieces no longer than a field, kPieceSlice bytes of a bare run or 1 KiB of
// padding; false when `out` stopped it.
inline constexpr std::size_t kPieceSlice = std::size_t{1} << 16;
bool write_clean_line_in_pieces(PieceWriter& out, const RowBuffer& row, std::uint8_t delimiter,
                                std::uint8_t quote_char);

[[nodiscard]] std::optional<IoError> write_clean_row(BufferedFile& file, const RowBuffer& row,
                                                     std::uint8_t delimiter, std::uint8_t quote_char,
                                                     std::string& line);
// The same as `count` calls of write_clean_row, a short line built once.
[[nodiscard]] std::optional<IoError> write_clean_row_repeated(BufferedFile& file, const RowBuffer& row,
                                                              std::uint8_t delimiter,
                                                              std::uint8_t quote_char,
                                                              std::string& line, std::size_t count);

// Appends one quarantine CSV line for `record`.
void append_quarantine_line(std::string& out, const QuarantineRecord& record, std::uint8_t delimiter);
// The same line for a row as parsed, without a string per field.
void append_quarantine_line(std::string& out, const RowBuffer& row, std::string_view reason,
                            std::size_t line, std::uint8_t delimiter);

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

}  // namespace brinewick
