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
    // The repaired text goes at the end of the arena: straight there when
    // the field lies in the source, through a copy when in the arena itself.
    const std::size_t at = arena_.size();
    std::string copy;
    std::string& out = open_.in_arena ? copy : arena_;
    if (fallback_ != nullptr) {
        append_single_byte(out, *fallback_, start, open_.size);
        ++transcoded_;
    } else {
        replacements_ += append_lenient_utf8(out, start, open_.size);
    }
    if (open_.in_arena) arena_.append(copy);
    open_.offset = at;
    open_.size = arena_.size() - at;
    open_.in_arena = true;
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

std::uint32_t RowBuffer::flags_slow(std::size_t i) const noexcept {
    if (i >= held_size()) return kAscii;  // padding: empty
    const Place at = locate(i);
    if (at.run != nullptr) return at.run->flags;
    const Field f = fields_[at.entry];
    if (f.size_flags == kWide) return wide_[f.offset].flags;
    return f.size_flags & kFlagMask;
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
    if (i >= held_size()) return {};  // padding
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

bool RowBuffer::continues_last_run(std::size_t offset, std::size_t size,
                                   std::uint32_t flags) const noexcept {
    if (fields_.empty() || fields_.back().size_flags != kRunSlot) return false;
    const Run& r = runs_[fields_.back().offset];
    return r.size == size && r.flags == flags && r.offset + r.count * (size + 1) == offset;
}

void RowBuffer::compact_tail() {
    // Invariant kept here: every run slot stands before compacted_, so runs
    // made now come after all earlier ones in field order.
    const std::size_t end = fields_.size();
    std::size_t w = compacted_;
    std::size_t r = compacted_;
    while (r < end) {
        const Field f = fields_[r];
        if (f.size_flags == kWide || (f.size_flags & kInArena) != 0) {
            fields_[w++] = f;
            ++r;
            continue;
        }
        // The longest streak of views like this one, each one byte past the previous.
        const std::size_t stride = (f.size_flags >> kFlagBits) + 1;
        std::size_t n = 1;
        while (r + n < end && fields_[r + n].size_flags == f.size_flags &&
               std::size_t{fields_[r + n].offset} == std::size_t{fields_[r + n - 1].offset} + stride) {
            ++n;
        }
        const std::size_t size = f.size_flags >> kFlagBits;
        const std::uint32_t flags = f.size_flags & kFlagMask;
        const std::size_t offset = base_ + f.offset;
        const bool after_run = w > 0 && fields_[w - 1].size_flags == kRunSlot;
        if (after_run) {
            Run& last = runs_[fields_[w - 1].offset];
            if (last.size == size && last.flags == flags && last.offset + last.count * stride == offset) {
                last.count += n;
                run_extra_ += n;
                r += n;
                continue;
            }
        }
        if (n >= run_min_) {
            // The run's first field: fields held before this entry.
            const std::size_t first = w + run_extra_;
            runs_.push_back(Run{first, n, w, offset, size, flags});
            fields_[w++] = Field{static_cast<std::uint32_t>(runs_.size() - 1), kRunSlot};
            run_extra_ += n - 1;
        } else {
            for (std::size_t k = 0; k < n; ++k) fields_[w++] = fields_[r + k];
        }
        r += n;
    }
    fields_.shrink(w);
    compacted_ = w;
}

void RowBuffer::push_when_full(Field entry) {
    const std::size_t capacity = fields_.capacity();
    if (fields_.size() >= compact_from_) compact_tail();
    // Less than a quarter freed: grow, so that the next look is as far off
    // as this one was and each entry is looked at about once.
    if (fields_.size() > capacity - capacity / 4) fields_.reserve(2 * capacity);
    fields_.push_back(entry);
}

void RowBuffer::push_empty_run(std::size_t offset, std::size_t count, std::uint32_t flags) {
    if (continues_last_run(offset, 0, flags)) {  // the same run, past a cancel check
        extend_last_run(count);
        return;
    }
    push_field(offset, 0, flags);  // the first keeps the bare run and the sizes exact
    if (count - 1 < run_min_) {  // short: one entry each, like any field
        for (std::size_t k = 1; k < count; ++k) push_field(offset + k, 0, flags);
        return;
    }
    compact_tail();  // every other run slot must come before the new one
    runs_.push_back(Run{held_size(), 0, fields_.size(), offset + 1, 0, flags});
    fields_.push_back(Field{static_cast<std::uint32_t>(runs_.size() - 1), kRunSlot});
    runs_.back().count = 1;
    if (bare_open_) {  // the slot's own field, one byte past the first
        ++bare_run_;
        ++bare_end_;
    }
    extend_last_run(count - 2);
}

void RowBuffer::extend_last_run(std::size_t count) {
    // Each stands one byte past the previous: an open bare run takes them too.
    if (bare_open_) {
        bare_run_ += count;
        bare_end_ += count;
    }
    runs_.back().count += count;
    run_extra_ += count;
    compacted_ = fields_.size();
}

void RowBuffer::push_text_field(std::string_view text, bool ascii, bool special) {
    verbatim_ = false;
    std::uint32_t flags = kInArena;
    if (ascii) flags |= kAscii;
    if (special) flags |= kSpecial;
    if (padding_ != 0) materialize_padding();
    const std::size_t at = arena_.size();
    arena_.append(text);
    push_field(text.empty() ? 0 : at, text.size(), flags);
}

void RowBuffer::truncate(std::size_t first) {
    verbatim_ = false;
    if (first >= held_size()) {  // within the padding: only the count shrinks
        if (first < size()) padding_ = first - held_size();
        return;
    }
    padding_ = 0;
    if (runs_.empty()) {
        fields_.shrink(first);
    } else {
        const Place at = locate(first);
        if (at.run != nullptr && at.k > 0) {  // the run keeps its head
            const auto index = static_cast<std::size_t>(at.run - &runs_[0]);
            runs_[index].count = at.k;
            fields_.shrink(at.run->entry + 1);
            runs_.shrink(index + 1);
        } else {
            fields_.shrink(at.entry);
            while (!runs_.empty() && runs_.back().entry >= at.entry) runs_.shrink(runs_.size() - 1);
        }
    }
    run_extra_ = first - fields_.size();
    if (compacted_ > fields_.size()) compacted_ = fields_.size();
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
    const std::size_t count = held_size();
    if (first + 1 >= count) return;  // nothing to join
    verbatim_ = false;

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
