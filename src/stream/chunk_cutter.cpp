#include "chunk_cutter.hpp"

#include <algorithm>
#include <cstring>

namespace brinewick::stream::pipeline {

Result<std::shared_ptr<Chunk>> next_chunk(InputWindow& window, std::size_t chunk_size, std::uint8_t quote_char,
                                          std::shared_ptr<Chunk> chunk, std::optional<std::uint64_t> limit) {
    std::size_t searched = 0;  // bytes looked at for a forward cut
    bool looked_back = false;
    std::size_t cut = 0;
    bool last = false;
    // A limit is a cut point itself: a chunk may always end there.
    const std::size_t cap = limit ? static_cast<std::size_t>(std::min<std::uint64_t>(*limit, SIZE_MAX)) : SIZE_MAX;
    for (;;) {
        const std::string_view view = window.view();
        const std::size_t want = std::min(chunk_size, cap);
        if (view.size() < want && !window.at_end()) {
            // Just what the chunk lacks: the bytes read past its cut are
            // copied on into the window's next buffer.
            BRINEWICK_RETURN_IF_ERROR(window.read_more(want - view.size(), true));
            continue;
        }
        if (cap <= chunk_size) {
            cut = std::min(cap, view.size());
            last = window.at_end() && cut == view.size();
            break;
        }
        if (window.at_end() && view.size() <= chunk_size) {
            cut = view.size();
            last = true;
            break;
        }
        bool found = false;
        if (!looked_back) {
            looked_back = true;
            const std::size_t top = std::min(view.size(), chunk_size);
            for (std::size_t i = top; i-- > 0;) {
                if (is_break(static_cast<std::uint8_t>(view[i])) && cut_after(view, i, window.at_end())) {
                    cut = i + 1;
                    found = true;
                    break;
                }
            }
            searched = top;
        }
        // A CR as the last byte looked at may have had its LF read since.
        const std::size_t stop = std::min(view.size(), cap);
        for (std::size_t i = searched == 0 ? 0 : searched - 1; !found && i < stop; ++i) {
            if (is_break(static_cast<std::uint8_t>(view[i])) && cut_after(view, i, window.at_end())) {
                cut = i + 1;
                found = true;
            }
        }
        if (found) break;
        if (view.size() >= cap) {  // a line that runs past the limit ends the chunk there
            cut = cap;
            break;
        }
        searched = view.size();
        if (window.at_end()) {
            cut = view.size();
            last = true;
            break;
        }
        BRINEWICK_RETURN_IF_ERROR(window.read_more(std::max(window.read_size(), view.size())));
    }
    if (!chunk) chunk = std::make_shared<Chunk>();
    chunk->offset = window.offset();
    chunk->size = cut;
    chunk->last = last;
    if (cut != 0) {
        InputWindow::Handed spare{std::move(chunk->storage), 0};
        auto handed = window.hand_over(cut, std::move(spare));
        if (!handed.is_ok()) return std::move(handed).status();
        auto& taken = handed.value();
        chunk->storage = std::move(taken.buffer);
        chunk->begin = taken.begin;
    } else {
        chunk->storage.reserve(1);
        chunk->begin = 1;
    }
    chunk->storage[chunk->begin - 1] = static_cast<char>(quote_char);
    return chunk;
}

}  // namespace brinewick::stream::pipeline
