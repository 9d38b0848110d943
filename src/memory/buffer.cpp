#include "buffer.hpp"

#include <sys/mman.h>

namespace brinewick::memory {

void* MappedBlocks::grow(void* block, std::size_t used, std::size_t held, std::size_t& capacity) noexcept {
    if (capacity < kMappedFrom) return HeapBlocks::grow(block, used, held, capacity);
    const bool mapped = held >= kMappedFrom;
    void* grown = mapped ? ::mremap(block, held, capacity, MREMAP_MAYMOVE)
                         : ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) return nullptr;
    // Only advice: without huge pages the mapping works the same.
    (void)::madvise(grown, capacity, MADV_HUGEPAGE);
    if (!mapped) {
        if (used != 0) std::memcpy(grown, block, used);
        HeapBlocks::free(block, held);
    }
    return grown;
}

void MappedBlocks::free(void* block, std::size_t held) noexcept {
    if (held >= kMappedFrom) {
        ::munmap(block, held);
    } else {
        HeapBlocks::free(block, held);
    }
}

}  // namespace brinewick::memory
