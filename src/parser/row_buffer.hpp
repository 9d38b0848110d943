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
    [[nodiscard]] bool field_is_ascii(std::size_t i) const noexcept {
        return (fields_[i].flags & kAscii) != 0;
    }
    // True when the field's bytes hold the quote, the delimiter, CR or LF of
    // the dialect it was parsed with; false means it certainly holds none.
    [[nodiscard]] bool field_may_need_quotes(std::size_t i) const noexcept {
        return (fields_[i].flags & kSpecial) != 0;
    }

    // Starts a new row over `source` (the text that views point into).
    void reset(const char* source) noexcept {
        source_ = source;
        arena_.clear();
        fields_.clear();
        open_ = OpenField{};
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
        fields_.push_back(Field{open_.offset, open_.size, flags});
        open_ = OpenField{};
    }

    // Text for the open field from elsewhere than the source, valid UTF-8;
    // complete_field_as then closes it.
    void append(std::string_view text) {
        move_open_to_arena();
        arena_.append(text);
        open_.size += text.size();
        open_.special = true;  // unknown: writers look for themselves
    }
    void complete_field_as(bool ascii) {
        open_.high = !ascii;
        complete_field(true);
    }

    // Whole fields of already valid text (padding and merging).
    void push_text_field(std::string_view text, bool ascii, bool special);
    // Drops fields from index `first` on.
    void truncate(std::size_t first) { fields_.resize(first); }

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

    void move_open_to_arena();
    std::uint8_t repair_open_utf8(std::uint8_t flags);

    const char* source_ = nullptr;
    std::string arena_;
    std::vector<Field> fields_;
    OpenField open_;
};

}  // namespace brinewick
