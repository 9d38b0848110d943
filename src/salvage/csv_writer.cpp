#include "csv_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <algorithm>
#include <cstring>
#include <utility>

#include "../parser/byte_scan.hpp"
#include "../parser/utf8.hpp"

namespace brinewick {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
// One write() never asks for more than the system can report back.
constexpr std::size_t kMaxWrite = static_cast<std::size_t>(SSIZE_MAX);

// Nonzero when some byte of `v` is zero (exact as a yes/no answer).
inline std::uint64_t zero_byte_mask(std::uint64_t v) noexcept { return (v - kOnes) & ~v & kHighs; }

// True when `data` holds the delimiter, the quote, LF or CR (all single bytes).
bool has_special_byte(const char* data, std::size_t size, std::uint8_t delimiter,
                      std::uint8_t quote) noexcept {
    const std::uint64_t d = kOnes * delimiter;
    const std::uint64_t q = kOnes * quote;
    const std::uint64_t lf = kOnes * '\n';
    const std::uint64_t cr = kOnes * '\r';
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        if ((zero_byte_mask(w ^ d) | zero_byte_mask(w ^ q) | zero_byte_mask(w ^ lf) |
             zero_byte_mask(w ^ cr)) != 0)
            return true;
    }
    for (; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == delimiter || c == quote || c == '\n' || c == '\r') return true;
    }
    return false;
}

// memcpy for the short fields that dominate CSV: fixed-size overlapping
// copies the compiler inlines, instead of a library call per field.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(dst, src, n);
            return;
        }
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// The UTF-8 form of the character with code `byte`, in `buffer`.
std::string_view latin1_char(std::uint8_t byte, char (&buffer)[2]) noexcept {
    if (byte < 0x80) {
        buffer[0] = static_cast<char>(byte);
        return {buffer, 1};
    }
    buffer[0] = static_cast<char>(0xC0 | (byte >> 6));
    buffer[1] = static_cast<char>(0x80 | (byte & 0x3F));
    return {buffer, 2};
}

// `text` between two `quote`s, every `quote` inside it doubled.
void append_quoted(std::string& out, std::string_view text, std::string_view quote) {
    out.append(quote);
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find(quote, from)) != std::string_view::npos;) {
        const std::size_t past = hit + quote.size();
        out.append(text.substr(from, past - from));
        out.append(quote);
        from = past;
    }
    out.append(text.substr(from));
    out.append(quote);
}

// The quoting test for a two-byte delimiter or quote character.
bool needs_quotes(std::string_view text, std::string_view delimiter_text,
                  std::string_view quote_text) noexcept {
    return text.find(quote_text) != std::string_view::npos ||
           text.find(delimiter_text) != std::string_view::npos ||
           text.find_first_of("\n\r") != std::string_view::npos;
}

void append_doubled_double_quotes(std::string& out, std::string_view text) {
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find('"', from)) != std::string_view::npos;) {
        out.append(text.substr(from, hit + 1 - from));
        out.push_back('"');
        from = hit + 1;
    }
    out.append(text.substr(from));
}

// Writes all of `data` straight to `fd`; `written` tells how far it got.
std::optional<IoError> write_to_fd(int fd, const char* data, std::size_t size,
                                   std::size_t& written, IoError::Kind zero_kind,
                                   CancelCheck* cancel) noexcept {
    written = 0;
    // A write to a regular file is not cut short by signals, and one huge
    // field can take seconds to write: with a cancel check, it goes in
    // pieces with a question between them.
    const std::size_t piece = cancel != nullptr && cancel->active() ? CancelCheck::kInterval : kMaxWrite;
    while (written < size) {
        if (written != 0 && piece != kMaxWrite && !cancel->go_on()) return IoError::from_errno(EINTR);
        const std::size_t want = size - written < piece ? size - written : piece;
        const ssize_t n = ::write(fd, data + written, want);
        if (n < 0) {
            const int err = errno;  // the cancel check may run code that sets errno
            // A signal: the owner may want to stop (a blocked pipe, say).
            if (err == EINTR && (cancel == nullptr || cancel->go_on())) continue;
            return IoError::from_errno(err);
        }
        if (n == 0) return IoError{zero_kind, 0};
        written += static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

}  // namespace

std::variant<BufferedFile, IoError> BufferedFile::create(const std::string& path,
                                                        CancelCheck* cancel) {
    if (path.find('\0') != std::string::npos) return IoError{IoError::Kind::NulInPath, 0};
    for (;;) {
        // Opening a FIFO blocks until a reader comes; a signal may end the wait.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) return BufferedFile(fd, cancel);
        const int err = errno;
        if (err != EINTR || (cancel != nullptr && !cancel->go_on())) return IoError::from_errno(err);
    }
}

BufferedFile::BufferedFile(int fd, CancelCheck* cancel)
    : fd_(fd), cancel_(cancel), buffer_(new char[kCapacity]) {}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      cancel_(other.cancel_),
      unchecked_(other.unchecked_),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)) {}

BufferedFile::~BufferedFile() {
    if (fd_ < 0) return;
    cancel_ = nullptr;      // what the buffer holds goes out once more, whatever the owner said
    (void)flush_buffer();  // the caller already saw any error that matters
    // Not retried on EINTR: Linux frees the descriptor even then, and a
    // second close could hit a descriptor opened meanwhile.
    ::close(fd_);
}

std::optional<IoError> BufferedFile::write_all(std::string_view data) {
    if (used_ + data.size() > kCapacity) {
        if (auto error = flush_buffer()) return error;
    }
    if (data.size() >= kCapacity) {
        std::size_t written = 0;
        return write_to_fd(fd_, data.data(), data.size(), written, IoError::Kind::WriteZero,
                           cancel_);
    }
    if (!data.empty()) std::memcpy(buffer_.get() + used_, data.data(), data.size());
    used_ += data.size();
    return std::nullopt;
}

std::optional<IoError> BufferedFile::write_repeated(std::string_view piece, std::size_t count) {
    const std::size_t size = piece.size();
    if (size == 0) return std::nullopt;
    while (count != 0) {
        if (auto error = make_room(size)) return error;
        std::size_t fit = (kCapacity - used_) / size;
        if (fit > count) fit = count;
        // One copy, then the copies made so far copied again: a doubling
        // fill, a few memcpy calls per buffer whatever the piece's size.
        char* const start = buffer_.get() + used_;
        std::memcpy(start, piece.data(), size);
        std::size_t done = size;
        const std::size_t total = fit * size;
        while (done < total) {
            const std::size_t step = done < total - done ? done : total - done;
            std::memcpy(start + done, start, step);
            done += step;
        }
        used_ += total;
        count -= fit;
    }
    return std::nullopt;
}

std::optional<IoError> BufferedFile::flush() { return flush_buffer(); }

std::optional<IoError> BufferedFile::sync() {
    if (auto error = flush_buffer()) return error;
    while (::fsync(fd_) != 0) {
        const int err = errno;
        if (err != EINTR || (cancel_ != nullptr && !cancel_->go_on())) return IoError::from_errno(err);
    }
    return std::nullopt;
}

std::optional<IoError> BufferedFile::flush_buffer() {
    // Output can outgrow the input without bound (padding to a huge column
    // count), and writes to a regular file are never interrupted: ask the
    // owner after every kInterval bytes written, as reading and parsing do.
    if (cancel_ != nullptr && unchecked_ >= CancelCheck::kInterval) {
        unchecked_ = 0;
        if (!cancel_->go_on()) return IoError::from_errno(EINTR);
    }
    std::size_t written = 0;
    auto error = write_to_fd(fd_, buffer_.get(), used_, written, IoError::Kind::FlushZero, cancel_);
    unchecked_ += written;
    // What reached the file is gone from the buffer, also after a failure.
    if (written != 0 && written < used_) std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
    used_ -= written;
    return error;
}

std::size_t clean_line_bound(const RowBuffer& row) noexcept {
    // Worst case: every flagged field quoted with all of its bytes doubled.
    // A padded field is its delimiter alone, inside the count's share.
    const std::size_t count = row.size();
    return row.text_size() + row.special_text_size() + 2 * count + (count == 0 ? 1 : count);
}

char* write_clean_line(char* p, const RowBuffer& row, std::uint8_t delimiter,
                       std::uint8_t quote_char) noexcept {
    if (row.is_verbatim()) {  // most rows: the source line as it stands
        const std::string_view text = row.verbatim_text();
        std::memcpy(p, text.data(), text.size());
        p += text.size();
        *p++ = '\n';
        return p;
    }
    const std::size_t count = row.held_size();
    const char quote = static_cast<char>(quote_char);
    // Leading fields that stand in the source as they are written go in one copy.
    std::size_t i = row.bare_run();
    if (i > 0) {
        const char* const from = row.field(0).data();
        const std::string_view last = row.field(i - 1);
        const auto size = static_cast<std::size_t>(last.data() + last.size() - from);
        std::memcpy(p, from, size);
        p += size;
    }
    for (; i < count; ++i) {
        if (i > 0) *p++ = static_cast<char>(delimiter);
        const std::string_view text = row.field(i);
        if (text.empty()) continue;
        if (!row.field_may_need_quotes(i) ||
            !has_special_byte(text.data(), text.size(), delimiter, quote_char)) {
            copy_bytes(p, text.data(), text.size());
            p += text.size();
            continue;
        }
        *p++ = quote;
        const char* from = text.data();
        const char* const end = from + text.size();
        while (const void* hit = std::memchr(from, quote, static_cast<std::size_t>(end - from))) {
            const auto* at = static_cast<const char*>(hit);
            std::memcpy(p, from, static_cast<std::size_t>(at - from));
            p += at - from;
            // A run of quotes is doubled at once (a field of only quotes
            // would otherwise cost a search per byte).
            const auto* bytes = reinterpret_cast<const unsigned char*>(at);
            const std::size_t run = scan::end_of_repeats(bytes, 1, static_cast<std::size_t>(end - at), 1);
            std::memset(p, quote, 2 * run);
            p += 2 * run;
            from = at + run;
        }
        std::memcpy(p, from, static_cast<std::size_t>(end - from));
        p += end - from;
        *p++ = quote;
    }
    if (const std::size_t padding = row.padding(); padding != 0) {
        // Each padded (empty) field is its delimiter alone.
        const std::size_t delimiters = count == 0 ? padding - 1 : padding;
        std::memset(p, delimiter, delimiters);
        p += delimiters;
    }
    *p++ = '\n';
    return p;
}

void append_clean_line(std::string& out, const RowBuffer& row, std::uint8_t delimiter,
                       std::uint8_t quote_char) {
    const std::size_t count = row.size();
    if (delimiter < 0x80 && quote_char < 0x80) {
        const std::size_t start = out.size();
        out.resize(start + clean_line_bound(row));
        char* const end = write_clean_line(out.data() + start, row, delimiter, quote_char);
        out.resize(static_cast<std::size_t>(end - out.data()));
        return;
    }

    // A two-byte delimiter or quote character: search the decoded text for
    // its byte sequence (UTF-8 keeps such a match on character boundaries).
    char delimiter_buffer[2];
    char quote_buffer[2];
    const std::string_view delimiter_text = latin1_char(delimiter, delimiter_buffer);
    const std::string_view quote_text = latin1_char(quote_char, quote_buffer);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out.append(delimiter_text);
        const std::string_view text = row.field(i);
        if (needs_quotes(text, delimiter_text, quote_text)) {
            append_quoted(out, text, quote_text);
        } else {
            out.append(text);
        }
    }
    out.push_back('\n');
}

namespace {

// `text` with every `quote` doubled, handed to `out` in pieces. The doubled
// text is gathered in a local buffer: a field of millions of quotes then
// costs a pass over its bytes rather than two writes per quote, and long
// stretches without a quote still go out as they stand.
bool write_doubled(PieceWriter& out, std::string_view text, std::string_view quote) {
    constexpr std::size_t kPiece = std::size_t{1} << 14;
    char piece[kPiece];
    std::size_t used = 0;
    const auto flush = [&] {
        const bool ok = used == 0 || out.write(std::string_view(piece, used));
        used = 0;
        return ok;
    };
    const auto add = [&](std::string_view bytes) {
        if (bytes.size() > kPiece / 2) return flush() && out.write(bytes);
        if (used + bytes.size() > kPiece && !flush()) return false;
        std::memcpy(piece + used, bytes.data(), bytes.size());
        used += bytes.size();
        return true;
    };
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find(quote, from)) != std::string_view::npos;) {
        std::size_t past = hit + quote.size();
        if (quote.size() == 1) {  // a run of quotes at once, in piece-sized fills
            const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
            past = scan::end_of_repeats(bytes, hit + 1, text.size(), 1);
            if (!add(text.substr(from, hit - from))) return false;
            for (std::size_t left = 2 * (past - hit); left != 0;) {
                if (used == kPiece && !flush()) return false;
                const std::size_t n = std::min(left, kPiece - used);
                std::memset(piece + used, quote[0], n);
                used += n;
                left -= n;
            }
        } else if (!add(text.substr(from, past - from)) || !add(quote)) {
            return false;
        }
        from = past;
    }
    return add(text.substr(from)) && flush();
}

}  // namespace

bool write_clean_line_in_pieces(PieceWriter& out, const RowBuffer& row, std::uint8_t delimiter,
                                std::uint8_t quote_char) {
    // Field by field: a long quoted field in pieces between its quotes, the
    // padding in runs of delimiters. Memory stays at the writer's buffer
    // whatever the line's length; the bytes are those of append_clean_line.
    const bool ascii = delimiter < 0x80 && quote_char < 0x80;
    char delimiter_buffer[2];
    char quote_buffer[2];
    const std::string_view delimiter_text = latin1_char(delimiter, delimiter_buffer);
    const std::string_view quote_text = latin1_char(quote_char, quote_buffer);
    const std::size_t held = row.held_size();
    // Leading fields that stand in the source as written go out as slices
    // of that source span, not field by field. Only for a one-byte
    // delimiter: a Latin-1 one is two bytes out but one in the source.
    std::size_t i = ascii ? row.bare_run() : 0;
    if (i > 0) {
        const char* from = row.field(0).data();
        const std::string_view last = row.field(i - 1);
        const char* const end = last.data() + last.size();
        while (from != end) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - from), kPieceSlice);
            if (!out.write(std::string_view(from, n))) return false;
            from += n;
        }
    }
    for (; i < held; ++i) {
        if (i > 0) {
            if (!out.write(delimiter_text)) return false;
        }
        const std::string_view text = row.field(i);
        const bool quoted = ascii ? row.field_may_need_quotes(i) &&
                                        has_special_byte(text.data(), text.size(), delimiter, quote_char)
                                  : needs_quotes(text, delimiter_text, quote_text);
        if (!quoted) {
            if (!out.write(text)) return false;
            continue;
        }
        if (!out.write(quote_text)) return false;
        if (!write_doubled(out, text, quote_text)) return false;
        if (!out.write(quote_text)) return false;
    }
    if (std::size_t left = row.padding(); left != 0) {
        if (held == 0) --left;  // the first field has no delimiter before it
        char run[1024];
        const std::size_t step = delimiter_text.size();
        for (std::size_t at = 0; at + step <= sizeof run; at += step) {
            std::memcpy(run + at, delimiter_text.data(), step);
        }
        const std::size_t per_run = sizeof run / step;
        while (left != 0) {
            const std::size_t n = left < per_run ? left : per_run;
            if (!out.write(std::string_view(run, n * step))) return false;
            left -= n;
        }
    }
    return out.write("\n");
}

std::optional<IoError> write_clean_row(BufferedFile& file, const RowBuffer& row,
                                       std::uint8_t delimiter, std::uint8_t quote_char,
                                       std::string& line) {
    if (row.is_verbatim()) {  // most rows: the source line as it stands, and an LF
        const std::string_view text = row.verbatim_text();
        if (text.size() + 1 < BufferedFile::kCapacity) {
            if (auto error = file.make_room(text.size() + 1)) return error;
            char* const room = file.room_for(text.size() + 1);
            std::memcpy(room, text.data(), text.size());
            room[text.size()] = '\n';
            file.commit(room + text.size() + 1);
            return std::nullopt;
        }
    }
    const bool ascii = delimiter < 0x80 && quote_char < 0x80;
    const std::size_t bound = clean_line_bound(row);
    if (bound < BufferedFile::kCapacity) {
        if (ascii) {  // straight into the output buffer, written out first if full
            if (auto error = file.make_room(bound)) return error;
            file.commit(write_clean_line(file.room_for(bound), row, delimiter, quote_char));
            return std::nullopt;
        }
        line.clear();  // a short line: built whole, one copy
        append_clean_line(line, row, delimiter, quote_char);
        return file.write_all(line);
    }

    // A long line goes out in pieces.
    struct ToFile final : PieceWriter {
        explicit ToFile(BufferedFile& f) : file(f) {}
        bool write(std::string_view piece) override {
            error = file.write_all(piece);
            return !error;
        }
        BufferedFile& file;
        std::optional<IoError> error;
    } out(file);
    write_clean_line_in_pieces(out, row, delimiter, quote_char);
    return out.error;
}

std::optional<IoError> write_clean_row_repeated(BufferedFile& file, const RowBuffer& row,
                                                std::uint8_t delimiter, std::uint8_t quote_char,
                                                std::string& line, std::size_t count) {
    if (clean_line_bound(row) >= BufferedFile::kCapacity) {  // long lines go out in pieces each time
        for (std::size_t i = 0; i < count; ++i) {
            if (auto error = write_clean_row(file, row, delimiter, quote_char, line)) return error;
        }
        return std::nullopt;
    }
    line.clear();
    append_clean_line(line, row, delimiter, quote_char);
    return file.write_repeated(line, count);
}

namespace {

// Appends the raw content of a quarantined row: its fields joined by the
// delimiter character, every '"' doubled for the enclosing quotes.
template <typename FieldAt>
void append_raw_content(std::string& out, std::size_t count, FieldAt&& field_at,
                        std::uint8_t delimiter) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (delimiter == '"') {
                out.append("\"\"");
            } else {
                append_latin1_char(out, delimiter);
            }
        }
        append_doubled_double_quotes(out, field_at(i));
    }
}

void append_quarantine_head(std::string& out, std::size_t line, std::string_view reason) {
    char number[24];
    const auto result = std::to_chars(number, number + sizeof number, line);
    out.append(number, result.ptr);
    out.append(",\"");
    append_doubled_double_quotes(out, reason);
    out.append("\",\"");
}

}  // namespace

void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            std::uint8_t delimiter) {
    append_quarantine_head(out, record.line, record.reason);
    append_raw_content(
        out, record.fields.size(), [&](std::size_t i) -> std::string_view { return record.fields[i]; },
        delimiter);
    out.append("\"\n");
}

void append_quarantine_line(std::string& out, const RowBuffer& row, std::string_view reason,
                            std::size_t line, std::uint8_t delimiter) {
    // Room for the worst case (every byte a doubled quote) up front, so a
    // huge line is not followed by a regrowth that holds it twice; pages
    // never written cost nothing.
    const std::size_t bound = out.size() + 2 * (reason.size() + row.text_size() + row.size()) + 48;
    if (bound > out.capacity()) out.reserve(std::max(bound, 2 * out.capacity()));
    append_quarantine_head(out, line, reason);
    // The leading bare run is its fields joined by the (one-byte) delimiter
    // as they stand in the source: one pass over that span, not a step per
    // field. A '"' delimiter comes out doubled there too, as it must.
    const std::size_t bare = delimiter < 0x80 ? row.bare_run() : 0;
    if (bare > 0) {
        const char* const from = row.field(0).data();
        const std::string_view last = row.field(bare - 1);
        append_doubled_double_quotes(
            out, std::string_view(from, static_cast<std::size_t>(last.data() + last.size() - from)));
    }
    const std::size_t count = row.size();
    for (std::size_t i = bare; i < count; ++i) {
        if (i > 0) {
            if (delimiter == '"') {
                out.append("\"\"");
            } else {
                append_latin1_char(out, delimiter);
            }
        }
        append_doubled_double_quotes(out, row.field(i));
    }
    out.append("\"\n");
}

}  // namespace brinewick
