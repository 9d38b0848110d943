// The fields of one parsed row. A field is a view into the parsed text while
// its bytes stand there contiguously (the usual case); only a field that a
// doubled quote, dropped blanks or a UTF-8 repair breaks up is copied, into
// a byte arena reused from row to row.
//
// A field costs 8 bytes besides its text: a 32-bit offset (from the row's
// start, or into the arena) and a 32-bit size with three flag bits.
// The rare field that does not fit (a row past 4 GiB, a field of 512 MiB or
// more) takes a marked slot whose full-width entry lives in a side list.
// Empty fields added by padding are only counted, never stored.
// A long run of views of one size and flags, each one byte after the
// previous (a row of millions of empty fields, or of one-digit columns),
// takes one marked slot too: its entry in a side list holds the run's start
// and length, so such a row costs a few bytes whatever its width. Runs are
// looked for only when a row of thousands of entries fills its entry array
// (a pass over the entries added since the last look), so the common push
// pays nothing for them; a long run of delimiters becomes a run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../memory/buffer.hpp"
#include "single_byte.hpp"

namespace brinewick {

class RowBuffer {
public:
    RowBuffer() = default;
    // Smaller limits for the compact field entries, so that tests reach the
    // full-width fallback with small rows; 0 keeps the default. `run_min`:
    // fields a run needs before it takes one slot, and new entries between
    // two passes that look for runs, so that tests meet runs in small rows
    // (0: the defaults; SIZE_MAX keeps every field in its own entry).
    RowBuffer(std::size_t offset_limit, std::size_t size_limit, std::size_t run_min = 0) noexcept
        : offset_limit_(offset_limit != 0 ? offset_limit : kOffsetLimit),
          size_limit_(size_limit != 0 ? size_limit : kSizeLimit),
          run_min_(run_min == 0 ? kRunMin : run_min),
          compact_from_(run_min == 0 ? kCompactFrom : run_min) {}

    // Every field, the counted padding included.
    [[nodiscard]] std::size_t size() const noexcept { return held_size() + padding_; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    // Fields held (one by one or in runs); the padding follows them.
    [[nodiscard]] std::size_t held_size() const noexcept { return fields_.size() + run_extra_; }
    // Runs of fields held in one slot (for tests and memory accounting).
    [[nodiscard]] std::size_t run_count() const noexcept { return runs_.size(); }
    // Empty fields at the end of the row that are only counted.
    [[nodiscard]] std::size_t padding() const noexcept { return padding_; }

    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        if (i >= fields_.size() || !runs_.empty()) [[unlikely]] {
            if (runs_.empty() || i >= held_size()) return {};
            return field_with_runs(i);
        }
        const Field f = fields_[i];
        if (f.size_flags == kWide) [[unlikely]] return wide_field(f.offset);
        const char* base = (f.size_flags & kInArena) != 0 ? arena_.data() : source_ + base_;
        return {base + f.offset, f.size_flags >> kFlagBits};
    }
    // True when the field's text is pure ASCII (learned during the scan).
    // Rows read undecoded (next_row_raw) leave it false except for empty fields.
    [[nodiscard]] bool field_is_ascii(std::size_t i) const noexcept { return (flags(i) & kAscii) != 0; }
    // False when the field's bytes certainly hold none of the quote, the
    // delimiter, CR or LF bytes of the dialect it was parsed with. Exact for
    // ASCII quote and delimiter; for bytes >= 0x80 (which a UTF-8 repair can
    // bring into a field) callers must look at the text themselves.
    [[nodiscard]] bool field_may_need_quotes(std::size_t i) const noexcept {
        return (flags(i) & kSpecial) != 0;
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
    // Fields of this row that were not UTF-8 and were read through the
    // fallback table instead.
    [[nodiscard]] std::size_t transcoded_fields() const noexcept { return transcoded_; }
    // True when decoding changed a byte of this row (replaced or transcoded).
    [[nodiscard]] bool decode_repaired() const noexcept { return (replacements_ | transcoded_) != 0; }

    // A field whose bytes are not UTF-8 is read through `table` (every byte
    // a character) instead of having U+FFFD put in; null (the default) keeps
    // the U+FFFD repair. Lasts across rows.
    void set_fallback(const SingleByteTable* table) noexcept { fallback_ = table; }
    [[nodiscard]] const SingleByteTable* fallback() const noexcept { return fallback_; }

    // Starts a new row over `source` (the text that views point into).
    // `row_start`: where the row begins in it; views are kept relative to it,
    // so a row costs the same anywhere in a long text.
    void reset(const char* source, std::size_t row_start = 0) noexcept {
        source_ = source;
        base_ = row_start;
        arena_.clear();
        fields_.clear();
        wide_.clear();
        runs_.clear();
        run_extra_ = 0;
        compacted_ = 0;
        padding_ = 0;
        open_ = OpenField{};
        bare_run_ = 0;
        bare_open_ = true;
        bare_end_ = 0;
        text_size_ = 0;
        special_size_ = 0;
        replacements_ = 0;
        transcoded_ = 0;
        verbatim_ = false;
    }
    void clear() noexcept { reset(source_, base_); }

    // Building a row: spans of the source go to the open field, which is
    // then closed. `high`: a byte >= 0x80 is among them; `special`: the
    // quote, delimiter, CR or LF is.
    void append_span(std::size_t offset, std::size_t size, bool high, bool special) {
        if (open_.in_arena || (open_.size != 0 && open_.offset + open_.size != offset)) [[unlikely]] {
            move_open_to_arena();  // not contiguous with what the field holds
            arena_.append(source_ + offset, size);
        } else {
            open_.offset = open_.size == 0 ? offset : open_.offset;  // a fresh field starts as a view
        }
        open_.size += size;
        open_.high |= high;
        open_.special |= special;
    }
    // Closes the open field; `decode` checks and repairs its UTF-8 (needed
    // only when a byte >= 0x80 went into it).
    void complete_field(bool decode) { complete_field(decode, false); }
    // The same, where `known_valid` says the caller has already found the
    // field's bytes well-formed: decoding then needs no check of its own.
    void complete_field(bool decode, bool known_valid) {
        std::uint32_t flags = open_.in_arena ? kInArena : 0;
        if (open_.special) flags |= kSpecial;
        if (!open_.high) {
            if (decode) flags |= kAscii;
        } else if (decode && !known_valid) {
            flags = repair_open_utf8(flags);
        }
        push_field(open_.offset, open_.size, flags);
        open_ = OpenField{};
    }
    // True when a byte >= 0x80 went into the open field.
    [[nodiscard]] bool open_field_high() const noexcept { return open_.high; }
    // True when the quote, the delimiter, CR or LF went into the open field.
    [[nodiscard]] bool open_field_special() const noexcept { return open_.special; }

    // Set by the parser on a row whose clean CSV line is its source text as
    // it stands, from the row's start to `end` (absolute), plus the final
    // LF: every field plain without a quote, or quoted, holding a byte that
    // needs the quotes, with only doubled quotes inside; well-formed UTF-8;
    // nothing dropped or repaired. Padding, merging and truncating clear it.
    void set_verbatim_end(std::size_t end) noexcept {
        verbatim_end_ = end;
        verbatim_ = true;
    }
    [[nodiscard]] bool is_verbatim() const noexcept { return verbatim_; }
    // The row's source text, when is_verbatim().
    [[nodiscard]] std::string_view verbatim_text() const noexcept {
        return {source_ + base_, verbatim_end_ - base_};
    }

    // Closes a whole field that is one span of the source, with no open field
    // pending: the common plain field, without the open-field bookkeeping.
    void push_view_field(std::size_t offset, std::size_t size, bool high, bool special, bool decode) {
        push_view_field(offset, size, high, special, decode, false);
    }
    // The same, `known_valid` as for complete_field.
    void push_view_field(std::size_t offset, std::size_t size, bool high, bool special, bool decode,
                         bool known_valid) {
        if (decode & high & !known_valid) [[unlikely]] {  // needs its UTF-8 checked
            open_ = OpenField{offset, size, false, true, special};
            complete_field(true);
            return;
        }
        push_field(offset, size, (special ? kSpecial : 0) | ((decode && !high) ? kAscii : 0));
    }

    // Whole fields of already valid text (padding and merging).
    void push_text_field(std::string_view text, bool ascii, bool special);
    // Empty fields up to `count` in all, counted rather than stored (a row
    // already that wide is left alone). Padding ends a row: only
    // push_text_field and merge_tail may follow it (they make it real
    // first); the parser's pushes come after a reset.
    void pad_to(std::size_t count) noexcept {
        if (count > size()) {
            padding_ = count - held_size();
            verbatim_ = false;
        }
    }
    // `count` empty views at `offset`, offset + 1, ...: a run of delimiters.
    // The same as that many push_view_field(offset + k, 0, ...) calls.
    void push_empty_views(std::size_t offset, std::size_t count, bool decode) {
        if (count == 1) [[likely]] {
            push_field(offset, 0, decode ? kAscii : 0);
        } else {
            push_empty_run(offset, count, decode ? kAscii : 0);
        }
    }
    // Drops fields from index `first` on.
    void truncate(std::size_t first);
    // Fields from `first` on become one field, joined by the delimiter
    // character (a byte; >= 0x80 stands for that Latin-1 character).
    void merge_tail(std::size_t first, std::uint8_t delimiter);

    [[nodiscard]] std::vector<std::string> to_strings() const;

private:
    static constexpr std::uint32_t kInArena = 1;
    static constexpr std::uint32_t kAscii = 2;
    static constexpr std::uint32_t kSpecial = 4;
    static constexpr unsigned kFlagBits = 3;
    static constexpr std::uint32_t kFlagMask = (1U << kFlagBits) - 1;
    // size_flags of a slot whose entry is in `wide_` (offset: its index).
    static constexpr std::uint32_t kWide = 0xFFFFFFFFU;
    // Largest offset and size a compact slot holds; kWide stays out of reach.
    static constexpr std::size_t kOffsetLimit = 0xFFFFFFFFU;
    static constexpr std::size_t kSizeLimit = (std::size_t{1} << (32 - kFlagBits)) - 2;
    // size_flags of a slot holding a run (offset: its index in runs_).
    static constexpr std::uint32_t kRunSlot = 0xFFFFFFFEU;
    // Long enough that ordinary rows never form runs and keep direct indexing.
    static constexpr std::size_t kRunMin = 32;
    // Rows with fewer entries never look for runs.
    static constexpr std::size_t kCompactFrom = 4096;

    struct Field {
        std::uint32_t offset;
        std::uint32_t size_flags;  // size << kFlagBits | flags, or kWide
    };
    struct WideField {
        std::size_t offset;  // absolute: into the source or the arena
        std::size_t size;
        std::uint32_t flags;
    };
    struct Run {
        std::size_t first;   // index of its first field
        std::size_t count;   // fields in it
        std::size_t entry;   // its slot in fields_
        std::size_t offset;  // absolute source offset of its first field
        std::size_t size;    // of each field; the next starts size + 1 bytes on
        std::uint32_t flags;
    };
    // Where field i is held: its slot, and the run (or null) with its place in it.
    struct Place {
        std::size_t entry;
        const Run* run;
        std::size_t k;
    };
    struct OpenField {
        std::size_t offset = 0;
        std::size_t size = 0;
        bool in_arena = false;
        bool high = false;
        bool special = false;
    };

    [[nodiscard]] std::uint32_t flags(std::size_t i) const noexcept {
        if (i < fields_.size() && runs_.empty()) [[likely]] {
            const Field f = fields_[i];
            if (f.size_flags == kWide) [[unlikely]] return wide_[f.offset].flags;
            return f.size_flags & kFlagMask;
        }
        return flags_slow(i);
    }
    // Padding, or a row holding runs.
    [[nodiscard, gnu::pure]] std::uint32_t flags_slow(std::size_t i) const noexcept;
    [[nodiscard]] std::string_view wide_field(std::size_t w) const noexcept {
        const WideField& f = wide_[w];
        const char* base = (f.flags & kInArena) != 0 ? arena_.data() : source_;
        return {base + f.offset, f.size};
    }
    // Where field i starts in the source (a view) or in the arena.
    [[nodiscard]] std::size_t absolute_offset(std::size_t i) const noexcept;
    [[nodiscard]] Place locate(std::size_t i) const noexcept;
    [[nodiscard, gnu::pure]] std::string_view field_with_runs(std::size_t i) const noexcept;

    // `offset` is absolute: into the source, or into the arena for kInArena.
    void push_field(std::size_t offset, std::size_t size, std::uint32_t flags) {
        const bool view = (flags & kInArena) == 0;
        if (bare_open_) {
            const bool follows = fields_.empty() || offset == bare_end_ + 1;
            if (view && (flags & kSpecial) == 0 && follows) {
                ++bare_run_;
                bare_end_ = offset + size;
            } else {
                bare_open_ = false;
            }
        }
        text_size_ += size;
        special_size_ += (flags & kSpecial) != 0 ? size : 0;
        // Below the row's start (never, from the parser) wraps and goes wide.
        const std::size_t relative = view ? offset - base_ : offset;
        if ((relative <= offset_limit_) & (size <= size_limit_)) [[likely]] {
            const Field entry{static_cast<std::uint32_t>(relative),
                              static_cast<std::uint32_t>(size << kFlagBits) | flags};
            if (!fields_.try_push_back(entry)) [[unlikely]] push_when_full(entry);
        } else {
            push_wide(offset, size, flags);
        }
    }
    // The entries are full: a wide row first looks for runs among its
    // newest entries, and the array grows only if that freed too little.
    void push_when_full(Field entry);
    // Runs among the entries from compacted_ on become run slots.
    void compact_tail();
    // True when a view of `size` and `flags` at `offset` continues the run
    // in the last slot.
    [[nodiscard]] bool continues_last_run(std::size_t offset, std::size_t size,
                                          std::uint32_t flags) const noexcept;
    void push_empty_run(std::size_t offset, std::size_t count, std::uint32_t flags);
    // `count` more empty views past the last run's end.
    void extend_last_run(std::size_t count);
    void push_wide(std::size_t offset, std::size_t size, std::uint32_t flags);
    void materialize_padding();
    void move_open_to_arena();
    std::uint32_t repair_open_utf8(std::uint32_t flags);

    const char* source_ = nullptr;
    std::size_t base_ = 0;  // source offset the row's views are kept from
    std::string arena_;
    // Grown with realloc: a huge row's entries are never held twice.
    memory::Buffer<Field, memory::HeapBlocks> fields_;
    std::vector<WideField> wide_;
    memory::Buffer<Run, memory::HeapBlocks> runs_;  // in field order
    std::size_t run_extra_ = 0;  // fields held beyond one per slot
    // Entries before compacted_ have been looked at for runs, and no run
    // slot stands after it.
    std::size_t compacted_ = 0;
    std::size_t padding_ = 0;
    OpenField open_;
    std::size_t bare_run_ = 0;
    bool bare_open_ = true;
    std::size_t bare_end_ = 0;  // source offset just past the bare run
    std::size_t text_size_ = 0;
    std::size_t special_size_ = 0;
    std::size_t offset_limit_ = kOffsetLimit;
    std::size_t size_limit_ = kSizeLimit;
    std::size_t run_min_ = kRunMin;
    std::size_t compact_from_ = kCompactFrom;
    std::size_t replacements_ = 0;
    std::size_t transcoded_ = 0;
    const SingleByteTable* fallback_ = nullptr;
    bool verbatim_ = false;
    std::size_t verbatim_end_ = 0;
};

}  // namespace brinewick
