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

std::uint8_t RowBuffer::repair_open_utf8(std::uint8_t flags) {
    const char* base = open_.in_arena ? arena_.data() : source_;
    const auto* start = reinterpret_cast<const unsigned char*>(base) + open_.offset;
    const Utf8Check check = check_utf8(start, open_.size);
    if (check.valid) return check.ascii ? static_cast<std::uint8_t>(flags | kAscii) : flags;
    // Rare: write the repaired text at the end of the arena.
    std::string repaired;
    replacements_ += append_lenient_utf8(repaired, start, open_.size);
    open_.offset = arena_.size();
    open_.size = repaired.size();
    open_.in_arena = true;
    arena_.append(repaired);
    return static_cast<std::uint8_t>(flags | kInArena);
}

void RowBuffer::push_text_field(std::string_view text, bool ascii, bool special) {
    std::uint8_t flags = 0;
    if (ascii) flags |= kAscii;
    if (special) flags |= kSpecial;
    if (!text.empty()) {
        flags |= kInArena;
        push_field(Field{arena_.size(), text.size(), flags});
        arena_.append(text);
    } else {
        push_field(Field{0, 0, static_cast<std::uint8_t>(flags | kInArena)});
    }
}

void RowBuffer::truncate(std::size_t first) {
    fields_.resize(first);
    if (bare_run_ > first) bare_run_ = first;
    bare_open_ = false;  // fields added later never extend the run
    text_size_ = 0;
    special_size_ = 0;
    for (const Field& f : fields_) {
        text_size_ += f.size;
        if ((f.flags & kSpecial) != 0) special_size_ += f.size;
    }
}

std::vector<std::string> RowBuffer::to_strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back(field(i));
    return out;
}

}  // namespace brinewick
