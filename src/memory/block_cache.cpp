#include "block_cache.hpp"

#include <pthread.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace brinewick::memory {
namespace {

// Each block starts with this much room for its capacity (in its last
// eight bytes), so that the data keeps the block's 64-byte alignment and a
// pointer alone says its size.
constexpr std::size_t kHeader = 64;
constexpr std::size_t kAlign = 64;
// Blocks of at most kSmall bytes (a wide table's one-cell buffers, a
// million of them) come from malloc as they are, 16-byte aligned, behind a
// header of 16: a 64-byte aligned one cost some 200 bytes of heap each.
constexpr std::size_t kSmall = 64;
constexpr std::size_t kSmallHeader = 16;

std::size_t header_of(std::size_t capacity) noexcept { return capacity <= kSmall ? kSmallHeader : kHeader; }

// Cached sizes: four steps per power of two from 16 KiB to 64 MiB.
constexpr unsigned kMinShift = 14;
constexpr unsigned kMaxShift = 26;
constexpr std::size_t kClasses = (kMaxShift - kMinShift) * 4 + 1;
constexpr std::size_t kSlots = 64;  // blocks kept per size
constexpr std::size_t kCachedBytes = kCaching ? std::size_t{128} << 20 : 0;
constexpr auto kCacheDecay = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

// The size class of a capacity: its index and the capacity it rounds up to
// (kClasses when the capacity is not cached).
struct SizeClass {
    std::size_t index;
    std::size_t capacity;
};

SizeClass size_class(std::size_t capacity) noexcept {
    capacity = capacity <= SIZE_MAX - kAlign ? (capacity + kAlign - 1) / kAlign * kAlign : capacity;
    if (capacity < (std::size_t{1} << kMinShift) || capacity > (std::size_t{1} << kMaxShift)) {
        return {kClasses, capacity};
    }
    const unsigned shift = 63U - static_cast<unsigned>(__builtin_clzll(capacity));
    const std::size_t step = (std::size_t{1} << shift) / 4;
    const std::size_t steps = (capacity + step - 1) / step;  // 4 to 8
    return {(shift - kMinShift) * 4 + (steps - 4), steps * step};
}

class BlockCache {
public:
    BlockCache() noexcept {
        // A fork while another thread holds the lock would leave the child
        // unable to take it.
        pthread_atfork([] { cache().mutex_.lock(); }, [] { cache().mutex_.unlock(); },
                       [] { cache().mutex_.unlock(); });
    }

    static BlockCache& cache() noexcept {
        static BlockCache instance;
        return instance;
    }

    std::uint8_t* take(std::size_t index) noexcept {
        if (kCachedBytes == 0 || index >= kClasses) return nullptr;
        const std::lock_guard<std::mutex> lock(mutex_);
        Shelf& shelf = shelves_[index];
        if (shelf.count == 0) return nullptr;
        Slot& slot = shelf.slots[--shelf.count];
        held_ -= capacity_of(slot.block);
        return slot.block;
    }

    // False when the block is not kept (the caller frees it).
    bool keep(std::uint8_t* block, std::size_t capacity) noexcept {
        if (kCachedBytes == 0) return false;
        const SizeClass c = size_class(capacity);
        if (c.index >= kClasses || c.capacity != capacity) return false;
        const Clock::time_point now = Clock::now();
        const std::lock_guard<std::mutex> lock(mutex_);
        if (now - last_sweep_ > kCacheDecay / 5) sweep(now - kCacheDecay);
        Shelf& shelf = shelves_[c.index];
        if (shelf.count == kSlots || held_ + capacity > kCachedBytes) return false;
        shelf.slots[shelf.count++] = Slot{block, now};
        held_ += capacity;
        return true;
    }

    std::size_t drop(Clock::time_point before) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        return sweep(before);
    }

    std::size_t held() noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }

    static std::size_t capacity_of(const std::uint8_t* block) noexcept {
        std::size_t capacity = 0;
        std::memcpy(&capacity, block - sizeof capacity, sizeof capacity);
        return capacity;
    }

private:
    struct Slot {
        std::uint8_t* block;
        Clock::time_point since;
    };
    struct Shelf {
        std::array<Slot, kSlots> slots;
        std::size_t count = 0;
    };

    // Frees the blocks kept since before `before`; the lock is held.
    std::size_t sweep(Clock::time_point before) noexcept {
        last_sweep_ = Clock::now();
        std::size_t freed = 0;
        for (Shelf& shelf : shelves_) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < shelf.count; ++i) {
                if (shelf.slots[i].since < before) {
                    freed += capacity_of(shelf.slots[i].block);
                    std::free(shelf.slots[i].block - kHeader);  // cached blocks are never small
                } else {
                    shelf.slots[kept++] = shelf.slots[i];
                }
            }
            shelf.count = kept;
        }
        held_ -= freed;
        return freed;
    }

    std::mutex mutex_;
    std::array<Shelf, kClasses> shelves_{};
    std::size_t held_ = 0;
    Clock::time_point last_sweep_ = Clock::now();
};

}  // namespace

void* acquire(std::size_t& capacity) noexcept {
    const SizeClass c = size_class(capacity);
    if (std::uint8_t* block = BlockCache::cache().take(c.index)) {
        capacity = c.capacity;
        return block;
    }
    if (c.capacity > SIZE_MAX - kHeader) return nullptr;
    const std::size_t header = header_of(c.capacity);
    void* raw = header == kSmallHeader ? std::malloc(header + c.capacity) : std::aligned_alloc(kAlign, header + c.capacity);
    if (raw == nullptr) return nullptr;
    auto* block = static_cast<std::uint8_t*>(raw) + header;
    std::memcpy(block - sizeof c.capacity, &c.capacity, sizeof c.capacity);
    capacity = c.capacity;
    return block;
}

void give_back(void* block) noexcept {
    if (block == nullptr) return;
    auto* bytes = static_cast<std::uint8_t*>(block);
    const std::size_t capacity = BlockCache::capacity_of(bytes);
    if (BlockCache::cache().keep(bytes, capacity)) return;
    std::free(bytes - header_of(capacity));
}

void free_now(void* block) noexcept {
    if (block == nullptr) return;
    auto* bytes = static_cast<std::uint8_t*>(block);
    std::free(bytes - header_of(BlockCache::capacity_of(bytes)));
}

std::size_t drop_cached() noexcept { return BlockCache::cache().drop(Clock::time_point::max()); }

std::size_t cached_bytes() noexcept { return BlockCache::cache().held(); }

}  // namespace brinewick::memory
