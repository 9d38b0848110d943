#include "row_buffer.hpp"

#include "utf8.hpp"

namespace brinewick {

void RowBuffer::complete_field(bool decode) {
    bool ascii = false;
    if (decode) {
        const auto* start = reinterpret_cast<const unsigned char*>(bytes_.data()) + field_start_;
        const std::size_t size = bytes_.size() - field_start_;
        const Utf8Check check = check_utf8(start, size);
        ascii = check.ascii;
        if (!check.valid) {
            // Rare: repair through scratch, then put the text back in place.
            scratch_.clear();
            append_lenient_utf8(scratch_, start, size);
            bytes_.resize(field_start_);
            bytes_.append(scratch_);
        }
    }
    complete_field_as(ascii);
}

std::vector<std::string> RowBuffer::to_strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back(field(i));
    return out;
}

}  // namespace brinewick
