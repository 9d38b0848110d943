// Large blocks of memory for buffers that come and go with every run or
// batch: input chunks, a chunk's clean output, Arrow buffers (the
// growable Buffer of buffer.hpp takes its blocks from here).
//
// Blocks of 16 KiB and more come from a small cache of blocks given back
// earlier, by size in steps of a quarter of a power of two. A run's buffers
// are about the same sizes from file to file, and a fresh block from the
// system costs a page fault and a zeroed page per 4 KiB on first touch.
// The cache holds at most 128 MiB, and a block that waits there longer
// than 5 seconds is handed back to the system at the next call. Sanitizer
// builds cache nothing, so that a block freed twice or used after its
// release is still caught.
#pragma once

#include <cstddef>

namespace brinewick::memory {

// Sanitizer builds cache nothing (see above).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCaching = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kCaching = false;
#else
inline constexpr bool kCaching = true;
#endif
#else
inline constexpr bool kCaching = true;
#endif

// A block of at least `capacity` bytes, 64-byte aligned (16-byte for one of
// 64 bytes or less); `capacity` becomes what it holds. Null when there is
// no memory for it.
[[nodiscard]] void* acquire(std::size_t& capacity) noexcept;
// Gives back a block from acquire (null: nothing).
void give_back(void* block) noexcept;
// Frees a block from acquire at once, past the cache: one of a size that
// is not asked for again soon (grown for an unusual input), which cached
// would only add to the peak memory.
void free_now(void* block) noexcept;
// Frees every cached block now; returns the bytes freed.
std::size_t drop_cached() noexcept;
// Bytes held in the cache.
[[nodiscard]] std::size_t cached_bytes() noexcept;

}  // namespace brinewick::memory
