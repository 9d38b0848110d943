// The fields of one parsed row, back to back in one reusable byte arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brinewick {

class RowBuffer {
public:
    [[nodiscard]] std::size_t size() const noexcept { return ends_.size(); }
    [[nodiscard]] bool empty() const noexcept { return ends_.empty(); }

    [[nodiscard]] std::string_view field(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + begin, ends_[i] - begin};
    }
    // True when the field's text is pure ASCII (known without another pass).
    [[nodiscard]] bool field_is_ascii(std::size_t i) const noexcept { return ascii_[i] != 0; }

    // Every field's text, concatenated.
    [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }

    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
        ascii_.clear();
        field_start_ = 0;
    }

    // Building a row: bytes go to the open field, which is then closed.
    void append(const unsigned char* data, std::size_t size) {
        bytes_.append(reinterpret_cast<const char*>(data), size);
    }
    void append(std::string_view s) { bytes_.append(s); }
    void append_byte(unsigned char b) { bytes_.push_back(static_cast<char>(b)); }
    // Closes the open field; `decode` checks and repairs its UTF-8.
    void complete_field(bool decode);
    // Closes the open field with text already known to be valid.
    void complete_field_as(bool ascii) {
        ends_.push_back(bytes_.size());
        ascii_.push_back(ascii ? 1 : 0);
        field_start_ = bytes_.size();
    }
    // Drops fields from index `first` on (their bytes too).
    void truncate(std::size_t first) {
        const std::size_t keep = first == 0 ? 0 : ends_[first - 1];
        bytes_.resize(keep);
        ends_.resize(first);
        ascii_.resize(first);
        field_start_ = keep;
    }

    [[nodiscard]] std::vector<std::string> to_strings() const;

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
    std::vector<std::uint8_t> ascii_;
    std::size_t field_start_ = 0;
    std::string scratch_;
};

}  // namespace brinewick
