#include "row_buffer.hpp"

#include "utf8.hpp"

namespace brinewick {

void RowBuffer::move_open_to_arena() {
    if (open_.in_arena) return;
    if (open_.size == 0) {  // nothing to move: start the field in the arena
        open_.offset = arena_.size();
        open_.in_arena = true;
        return;
    }
    const std::size_t at = arena_.size();
    arena_.append(source_ + open_.offset, open_.size);
    open_.offset = at;
    open_.in_arena = true;
}

std::uint32_t RowBuffer::repair_open_utf8(std::uint32_t flags) {
    const char* base = open_.in_arena ? arena_.data() : source_;
    const auto* start = reinterpret_cast<const unsigned char*>(base) + open_.offset;
    const Utf8Check check = check_utf8(start, open_.size);
    if (check.valid) return check.ascii ? flags | kAscii : flags;
    // Rare: write the repaired text at the end of the arena.
    std::string repaired;
    replacements_ += append_lenient_utf8(repaired, start, open_.size);
    open_.offset = arena_.size();
    open_.size = repaired.size();
    open_.in_arena = true;
    arena_.append(repaired);
    return flags | kInArena;
}

void RowBuffer::push_wide(std::size_t offset, std::size_t size, std::uint32_t flags) {
    const std::size_t index = wide_.size();
    if (index > kOffsetLimit) throw std::bad_alloc();  // 2^32 fields of 512 MiB: never met
    wide_.push_back(WideField{offset, size, flags});
    fields_.push_back(Field{static_cast<std::uint32_t>(index), kWide});
}

void RowBuffer::materialize_padding() {
    // Only when a field is pushed after padding: the counted empties become real.
    const std::size_t count = padding_;
    padding_ = 0;
    for (std::size_t i = 0; i < count; ++i) push_field(0, 0, kInArena | kAscii);
}

std::size_t RowBuffer::absolute_offset(std::size_t i) const noexcept {
    const Field f = fields_[i];
    if (f.size_flags == kWide) return wide_[f.offset].offset;
    return (f.size_flags & kInArena) != 0 ? f.offset : base_ + f.offset;
}

void RowBuffer::push_text_field(std::string_view text, bool ascii, bool special) {
    std::uint32_t flags = kInArena;
    if (ascii) flags |= kAscii;
    if (special) flags |= kSpecial;
    if (padding_ != 0) materialize_padding();
    const std::size_t at = arena_.size();
    arena_.append(text);
    push_field(text.empty() ? 0 : at, text.size(), flags);
}

void RowBuffer::truncate(std::size_t first) {
    if (first >= fields_.size()) {  // within the padding: only the count shrinks
        if (first < size()) padding_ = first - fields_.size();
        return;
    }
    padding_ = 0;
    fields_.resize_down(first);
    // Side entries of dropped fields stay until the next row: rare, and
    // finding them would cost a pass.
    if (bare_run_ > first) bare_run_ = first;
    bare_open_ = false;  // fields added later never extend the run
    text_size_ = 0;
    special_size_ = 0;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const std::size_t size = field(i).size();
        text_size_ += size;
        if ((flags(i) & kSpecial) != 0) special_size_ += size;
    }
}

void RowBuffer::merge_tail(std::size_t first, std::uint8_t delimiter) {
    if (padding_ != 0) materialize_padding();
    const std::size_t count = fields_.size();
    if (first + 1 >= count) return;  // nothing to join

    // The usual case: views each one delimiter byte after the previous. The
    // joined text is then the source span they cover, and stays a view.
    bool span = delimiter < 0x80;
    bool ascii = true;
    for (std::size_t i = first; span && i < count; ++i) {
        const std::uint32_t f = flags(i);
        ascii = ascii && (f & kAscii) != 0;
        if ((f & kInArena) != 0) span = false;
        if (span && i > first) {
            const std::size_t end = absolute_offset(i - 1) + field(i - 1).size();
            span = absolute_offset(i) == end + 1 &&
                   static_cast<std::uint8_t>(source_[end]) == delimiter;
        }
    }
    if (span) {
        const std::size_t start = absolute_offset(first);
        const std::size_t end = absolute_offset(count - 1) + field(count - 1).size();
        truncate(first);
        push_field(start, end - start, kSpecial | (ascii ? kAscii : 0U));
        return;
    }

    // Otherwise the joined text is written at the end of the arena. Offsets,
    // not pointers, so that the arena may move while it grows.
    std::size_t total = 0;
    ascii = delimiter < 0x80;
    for (std::size_t i = first; i < count; ++i) {
        total += field(i).size() + (i > first ? (delimiter < 0x80 ? 1 : 2) : 0);
        ascii = ascii && field_is_ascii(i);
    }
    arena_.reserve(arena_.size() + total);
    const std::size_t at = arena_.size();
    for (std::size_t i = first; i < count; ++i) {
        if (i > first) append_latin1_char(arena_, delimiter);
        const std::string_view text = field(i);  // valid: the reserve is done
        arena_.append(text.data(), text.size());
    }
    truncate(first);
    push_field(at, total, kInArena | kSpecial | (ascii ? kAscii : 0U));  // it holds the delimiter now
}

std::vector<std::string> RowBuffer::to_strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back(field(i));
    return out;
}

}  // namespace brinewick
