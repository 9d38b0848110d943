// The fields of one parsed row. A field is a view into the parsed text while
// its bytes stand there contiguously (the usual case); only a field that a
// doubled quote, dropped blanks or a UTF-8 repair breaks up is copied, into
// a byte arena reused from row to row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brinewick {

class RowBuffer {
public:
    [[nodiscard]] std::size_t size() const noexcept { return fields_.size(); }
    [[nodiscard]] bool empty() const noexcept { return fields_.empty(); }

    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        const Field& f = fields_[i];
        const char* base = (f.flags & kInArena) != 0 ? arena_.data() : source_;
        return {base + f.offset, f.size};
    }
    // True when the field's text is pure ASCII (learned during the scan).
    // Rows read undecoded (next_row_raw) leave it false except for empty fields.
    [[nodiscard]] bool field_is_ascii(std::size_t i) const noexcept {
        return (fields_[i].flags & kAscii) != 0;
    }
    // False when the field's bytes certainly hold none of the quote, the
    // delimiter, CR or LF bytes of the dialect it was parsed with. Exact for
    // ASCII quote and delimiter; for bytes >= 0x80 (which a UTF-8 repair can
    // bring into a field) callers must look at the text themselves.
    [[nodiscard]] bool field_may_need_quotes(std::size_t i) const noexcept {
        return (fields_[i].flags & kSpecial) != 0;
    }

    // How many leading fields stand in the source exactly as a writer would
    // put them: views, none holding a byte that needs quotes, each one byte
    // (the delimiter) after the previous. Their text with the delimiters is
    // the source span from field(0) to the end of field(run - 1).
    [[nodiscard]] std::size_t bare_run() const noexcept { return bare_run_; }
    // Bytes of all field texts, and of the fields that may need quotes.
    [[nodiscard]] std::size_t text_size() const noexcept { return text_size_; }
    [[nodiscard]] std::size_t special_text_size() const noexcept { return special_size_; }
    // U+FFFD replacements the UTF-8 repair made in this row's fields.
    [[nodiscard]] std::size_t utf8_replacements() const noexcept { return replacements_; }

    // Starts a new row over `source` (the text that views point into).
    void reset(const char* source) noexcept {
        source_ = source;
        arena_.clear();
        fields_.clear();
        open_ = OpenField{};
        bare_run_ = 0;
        bare_open_ = true;
        text_size_ = 0;
        special_size_ = 0;
        replacements_ = 0;
    }
    void clear() noexcept { reset(source_); }

    // Building a row: spans of the source go to the open field, which is
    // then closed. `high`: a byte >= 0x80 is among them; `special`: the
    // quote, delimiter, CR or LF is.
    void append_span(std::size_t offset, std::size_t size, bool high, bool special) {
        if (open_.size == 0 && !open_.in_arena) {
            open_.offset = offset;  // a fresh field starts as a view
        } else if (open_.in_arena || open_.offset + open_.size != offset) {
            move_open_to_arena();
            arena_.append(source_ + offset, size);
        }
        open_.size += size;
        open_.high |= high;
        open_.special |= special;
    }
    // Closes the open field; `decode` checks and repairs its UTF-8 (needed
    // only when a byte >= 0x80 went into it).
    void complete_field(bool decode) {
        std::uint8_t flags = open_.in_arena ? kInArena : 0;
        if (open_.special) flags |= kSpecial;
        if (!open_.high) {
            if (decode) flags |= kAscii;
        } else if (decode) {
            flags = repair_open_utf8(flags);
        }
        push_field(Field{open_.offset, open_.size, flags});
        open_ = OpenField{};
    }

    // Closes a whole field that is one span of the source, with no open field
    // pending: the common plain field, without the open-field bookkeeping.
    void push_view_field(std::size_t offset, std::size_t size, bool high, bool special, bool decode) {
        if (high && decode) {  // rare: needs its UTF-8 checked
            open_ = OpenField{offset, size, false, true, special};
            complete_field(true);
            return;
        }
        std::uint8_t flags = special ? kSpecial : 0;
        if (!high && decode) flags |= kAscii;
        push_field(Field{offset, size, flags});
    }

    // Whole fields of already valid text (padding and merging).
    void push_text_field(std::string_view text, bool ascii, bool special);
    // Drops fields from index `first` on.
    void truncate(std::size_t first);

    [[nodiscard]] std::vector<std::string> to_strings() const;

private:
    static constexpr std::uint8_t kInArena = 1;
    static constexpr std::uint8_t kAscii = 2;
    static constexpr std::uint8_t kSpecial = 4;

    struct Field {
        std::size_t offset;
        std::size_t size;
        std::uint8_t flags;
    };
    struct OpenField {
        std::size_t offset = 0;
        std::size_t size = 0;
        bool in_arena = false;
        bool high = false;
        bool special = false;
    };

    void push_field(const Field& f) {
        if (bare_open_) {
            const bool follows = fields_.empty() || f.offset == fields_.back().offset + fields_.back().size + 1;
            if ((f.flags & (kInArena | kSpecial)) == 0 && follows) {
                ++bare_run_;
            } else {
                bare_open_ = false;
            }
        }
        text_size_ += f.size;
        if ((f.flags & kSpecial) != 0) special_size_ += f.size;
        fields_.push_back(f);
    }
    void move_open_to_arena();
    std::uint8_t repair_open_utf8(std::uint8_t flags);

    const char* source_ = nullptr;
    std::string arena_;
    std::vector<Field> fields_;
    OpenField open_;
    std::size_t bare_run_ = 0;
    bool bare_open_ = true;
    std::size_t text_size_ = 0;
    std::size_t special_size_ = 0;
    std::size_t replacements_ = 0;
};

}  // namespace brinewick
