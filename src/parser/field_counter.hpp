// A row sink for callers that need only how many fields a row has, plus the
// text of its first field (which tells a blank row). The parser builds it
// exactly as it builds a RowBuffer, but fields after the first cost a count,
// not a stored entry: a row of millions of fields costs no memory here.
#pragma once

#include <cstddef>
#include <string_view>

#include "row_buffer.hpp"

namespace brinewick {

class FieldCounter {
public:
    // Fields completed so far (the whole row once the parser has returned).
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    // Raw bytes of the first field; valid while the parsed text lives, and
    // whole only while first_may_be_blank() holds.
    [[nodiscard]] std::string_view first_field() const noexcept { return first_.field(0); }
    // False once the first field holds an ASCII byte that is not white space:
    // then it cannot be blank, and its bytes are no longer kept (a quoted
    // field of 100 MB would otherwise be copied whole by every count).
    [[nodiscard]] bool first_may_be_blank() const noexcept { return may_be_blank_; }

    // The parser's building interface, as on RowBuffer.
    void reset(const char* source, std::size_t row_start = 0) noexcept {
        first_.reset(source, row_start);
        source_ = source;
        count_ = 0;
        may_be_blank_ = true;
    }
    void append_span(std::size_t offset, std::size_t size, bool high, bool special) {
        if (count_ != 0 || !may_be_blank_) return;
        if (!all_maybe_blank(offset, size)) return;
        first_.append_span(offset, size, high, special);
    }
    void complete_field(bool decode) {
        if (count_ == 0) first_.complete_field(decode);
        ++count_;
    }
    void push_view_field(std::size_t offset, std::size_t size, bool high, bool special, bool decode) {
        if (count_ == 0 && may_be_blank_ && all_maybe_blank(offset, size)) {
            first_.push_view_field(offset, size, high, special, decode);
        }
        ++count_;
    }
    // Fields counted in bulk, after the first.
    void add_fields(std::size_t count) noexcept { count_ += count; }
    void push_empty_views(std::size_t offset, std::size_t count, bool decode) {
        if (count_ == 0) first_.push_view_field(offset, 0, false, false, decode);
        count_ += count;
    }

private:
    // False (and remembered) at the first ASCII byte that is not white space;
    // bytes >= 0x80 may belong to a white space character (U+00A0, U+3000, ...).
    bool all_maybe_blank(std::size_t offset, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size; ++i) {
            const auto b = static_cast<unsigned char>(source_[offset + i]);
            if (b < 0x80 && b != ' ' && (b < '\t' || b > '\r')) {
                may_be_blank_ = false;
                return false;
            }
        }
        return true;
    }

    RowBuffer first_;  // holds the first field only
    const char* source_ = nullptr;
    std::size_t count_ = 0;
    bool may_be_blank_ = true;
};

}  // namespace brinewick
