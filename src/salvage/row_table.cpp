#include "row_table.hpp"

#include <cstring>

namespace brinewick {
namespace {

// LEB128: seven bits per byte, low bits first, high bit set on all but the last.
inline std::size_t varint_size(std::size_t value) noexcept {
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

inline char* put_varint(char* out, std::size_t value) noexcept {
    while (value >= 0x80) {
        *out++ = static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

}  // namespace

void RowTable::push_row(const RowBuffer& row) {
    // Trailing empty fields, held or counted, are stored as one count.
    std::size_t count = row.held_size();
    while (count > 0 && row.field(count - 1).empty()) --count;
    const std::size_t tail = row.size() - count;
    const std::size_t header = count << 1 | (tail != 0 ? 1U : 0U);
    std::size_t encoded = varint_size(header) + (tail != 0 ? varint_size(tail) : 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t len = row.field(i).size();
        encoded += varint_size(len << 1) + len;
    }

    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < encoded) {
        if (!blocks_.empty()) {
            // Give back the tail a closed block will never use when it is large.
            std::string& last = blocks_.back();
            if (last.capacity() - last.size() > kBlockSize / 8) last.shrink_to_fit();
        }
        // A row never straddles blocks, so an oversized row gets a block of its own size.
        blocks_.emplace_back();
        blocks_.back().reserve(encoded > kBlockSize ? encoded : kBlockSize);
    }

    std::string& block = blocks_.back();
    const std::size_t start = block.size();
    block.resize(start + encoded);  // within capacity: no reallocation
    char* out = block.data() + start;
    out = put_varint(out, header);
    if (tail != 0) out = put_varint(out, tail);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view text = row.field(i);
        out = put_varint(out, (text.size() << 1) | (row.field_is_ascii(i) ? 1U : 0U));
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
    ++rows_;
}

std::size_t RowTable::memory_bytes() const noexcept {
    std::size_t total = blocks_.capacity() * sizeof(std::string);
    for (const std::string& block : blocks_) total += block.capacity();
    return total;
}

bool RowTable::Cursor::next(std::vector<std::string_view>& fields, std::vector<bool>* ascii) {
    const std::vector<std::string>& blocks = table_->blocks_;
    while (block_ < blocks.size() && offset_ >= blocks[block_].size()) {
        ++block_;
        offset_ = 0;
    }
    fields.clear();
    if (ascii != nullptr) ascii->clear();
    if (block_ >= blocks.size()) return false;

    const std::string& block = blocks[block_];
    const auto* base = reinterpret_cast<const unsigned char*>(block.data());
    const unsigned char* in = base + offset_;
    const std::size_t header = get_varint(in);
    const std::size_t count = header >> 1;
    const std::size_t tail = (header & 1) != 0 ? get_varint(in) : 0;
    fields.reserve(count + tail);
    if (ascii != nullptr) ascii->reserve(count + tail);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t tag = get_varint(in);
        const std::size_t len = tag >> 1;
        fields.emplace_back(reinterpret_cast<const char*>(in), len);
        if (ascii != nullptr) ascii->push_back((tag & 1) != 0);
        in += len;
    }
    fields.resize(count + tail);  // the trailing empty fields
    if (ascii != nullptr) ascii->resize(count + tail, true);
    offset_ = static_cast<std::size_t>(in - base);
    ++row_;
    return true;
}

std::vector<std::vector<std::string>> RowTable::to_vectors() const {
    std::vector<std::vector<std::string>> out;
    out.reserve(rows_);
    Cursor cur = cursor();
    std::vector<std::string_view> fields;
    while (cur.next(fields)) out.emplace_back(fields.begin(), fields.end());
    return out;
}

}  // namespace brinewick
