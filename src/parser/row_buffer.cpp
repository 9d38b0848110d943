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
    if (!runs_.empty()) {
        const Place at = locate(i);
        if (at.run != nullptr) return at.run->offset + at.k * (at.run->size + 1);
        i = at.entry;
    }
    const Field f = fields_[i];
    if (f.size_flags == kWide) return wide_[f.offset].offset;
    return (f.size_flags & kInArena) != 0 ? f.offset : base_ + f.offset;
}

RowBuffer::Place RowBuffer::locate(std::size_t i) const noexcept {
    // The last run starting at or before field i.
    std::size_t lo = 0;
    std::size_t hi = runs_.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (runs_[mid].first <= i) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == 0) return {i, nullptr, 0};
    const Run& r = runs_[lo - 1];
    const std::size_t k = i - r.first;
    if (k < r.count) return {r.entry, &r, k};
    return {r.entry + 1 + (k - r.count), nullptr, 0};
}

std::string_view RowBuffer::field_with_runs(std::size_t i) const noexcept {
    const Place at = locate(i);
    if (at.run != nullptr) {
        const Run& r = *at.run;
        return {source_ + r.offset + at.k * (r.size + 1), r.size};
    }
    const Field f = fields_[at.entry];
    if (f.size_flags == kWide) return wide_field(f.offset);
    const char* base = (f.size_flags & kInArena) != 0 ? arena_.data() : source_ + base_;
    return {base + f.offset, f.size_flags >> kFlagBits};
}

void RowBuffer::start_run() {
    const std::size_t entry = fields_.size() - run_min_;
    const Field f = fields_[entry];
    fields_.resize_down(entry);
    runs_.push_back(Run{held_ - run_min_, run_min_, entry, base_ + f.offset,
                        f.size_flags >> kFlagBits, f.size_flags & kFlagMask});
    fields_.push_back(Field{static_cast<std::uint32_t>(runs_.size() - 1), kRunSlot});
}

void RowBuffer::push_empty_views(std::size_t offset, std::size_t count, bool decode) {
    const std::uint32_t flags = decode ? kAscii : 0;
    std::size_t k = 0;
    // One by one until they extend a run (their size_flags are the flags).
    for (; k < count; ++k) {
        if (streak_ >= run_min_ && streak_size_flags_ == flags && streak_next_ + base_ == offset + k) break;
        push_field(offset + k, 0, flags);
    }
    const std::size_t rest = count - k;
    if (rest == 0) return;
    // The rest extend the last run; a bare run still open takes them too,
    // as each stands one byte past the previous.
    if (bare_open_) {
        bare_run_ += rest;
        bare_end_ += rest;
    }
    held_ += rest;
    runs_.back().count += rest;
    streak_ += rest;
    streak_next_ += rest;
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
    if (first >= held_) {  // within the padding: only the count shrinks
        if (first < size()) padding_ = first - held_;
        return;
    }
    padding_ = 0;
    if (runs_.empty()) {
        fields_.resize_down(first);
    } else {
        const Place at = locate(first);
        if (at.run != nullptr && at.k > 0) {  // the run keeps its head
            const auto index = static_cast<std::size_t>(at.run - &runs_[0]);
            runs_[index].count = at.k;
            fields_.resize_down(at.run->entry + 1);
            runs_.resize_down(index + 1);
        } else {
            fields_.resize_down(at.entry);
            while (!runs_.empty() && runs_.back().entry >= at.entry) runs_.resize_down(runs_.size() - 1);
        }
    }
    held_ = first;
    streak_ = 0;
    streak_size_flags_ = kWide;
    // Side entries of dropped fields stay until the next row: rare, and
    // finding them would cost a pass.
    if (bare_run_ > first) bare_run_ = first;
    bare_open_ = false;  // fields added later never extend the run
    text_size_ = 0;
    special_size_ = 0;
    for (std::size_t e = 0; e < fields_.size(); ++e) {
        const Field f = fields_[e];
        std::size_t size;
        std::uint32_t flags;
        if (f.size_flags == kRunSlot) {
            const Run& r = runs_[f.offset];
            size = r.size * r.count;
            flags = r.flags;
        } else if (f.size_flags == kWide) {
            size = wide_[f.offset].size;
            flags = wide_[f.offset].flags;
        } else {
            size = f.size_flags >> kFlagBits;
            flags = f.size_flags & kFlagMask;
        }
        text_size_ += size;
        if ((flags & kSpecial) != 0) special_size_ += size;
    }
}

void RowBuffer::merge_tail(std::size_t first, std::uint8_t delimiter) {
    if (padding_ != 0) materialize_padding();
    const std::size_t count = held_;
    if (first + 1 >= count) return;  // nothing to join

    // The usual case: views each one delimiter byte after the previous. The
    // joined text is then the source span they cover, and stays a view.
    bool span = delimiter < 0x80;
    bool ascii = true;
    std::size_t end = 0;  // just past the previous field
    for (std::size_t i = first; span && i < count;) {
        // A run is walked whole: its fields are views of one size and flags.
        const Place at = runs_.empty() ? Place{i, nullptr, 0} : locate(i);
        const std::size_t n = at.run != nullptr ? at.run->count - at.k : 1;
        const std::size_t size = at.run != nullptr ? at.run->size : field(i).size();
        const std::uint32_t f = at.run != nullptr ? at.run->flags : flags(i);
        ascii = ascii && (f & kAscii) != 0;
        if ((f & kInArena) != 0) {
            span = false;
            break;
        }
        std::size_t start = absolute_offset(i);
        if (i > first) {
            span = start == end + 1 && static_cast<std::uint8_t>(source_[end]) == delimiter;
        }
        for (std::size_t j = 1; span && j < n; ++j) {  // the bytes between a run's fields
            span = static_cast<std::uint8_t>(source_[start + size]) == delimiter;
            start += size + 1;
        }
        end = start + size;
        i += n;
    }
    if (span) {
        const std::size_t start = absolute_offset(first);
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
