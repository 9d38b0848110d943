// The buffers of Arrow arrays: growable bytes from the block cache, handed
// to an array when a batch is finished (the array's release callback gives
// them back with OwnedBuffer::free_released). A reader's batches are about
// the same size from file to file, and fresh pages cost a fault and a
// zeroing each, a tenth of a string read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../memory/buffer.hpp"

namespace brinewick::arrow {

// Buffers allocated and not yet freed, over the whole process: tests check
// that releasing every batch brings it back to where it was.
[[nodiscard]] std::int64_t live_buffers() noexcept;

namespace detail {
extern std::atomic<std::int64_t> live_buffer_count;
}

// Cached blocks, each buffer counted from its first block until it is freed.
struct CountedBlocks {
    static constexpr bool kFreesByPointer = true;
    static void* grow(void* block, std::size_t used, std::size_t held, std::size_t& capacity) noexcept {
        void* grown = memory::CachedBlocks::grow(block, used, held, capacity);
        if (grown != nullptr && block == nullptr) detail::live_buffer_count.fetch_add(1, std::memory_order_relaxed);
        return grown;
    }
    static void free(void* block, std::size_t held) noexcept {
        memory::CachedBlocks::free(block, held);
        detail::live_buffer_count.fetch_sub(1, std::memory_order_relaxed);
    }
};

// Callers reserve before release, so a released block is never null:
// consumers may refuse a null pointer for a data buffer, even an empty one.
using OwnedBuffer = memory::Buffer<std::uint8_t, CountedBlocks>;

}  // namespace brinewick::arrow
