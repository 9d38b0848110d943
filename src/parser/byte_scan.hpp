// Byte scanning for the parser's hot states: find the next byte of interest
// sixteen at a time (SSE2), with a plain loop elsewhere and for tails.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brinewick::scan {

// First index >= i holding a, b or c; n when there is none.
inline std::size_t find_any3(const unsigned char* p, std::size_t i, std::size_t n,
                             unsigned char a, unsigned char b, unsigned char c) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_cmpeq_epi8(x, vc));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    while (i < n && p[i] != a && p[i] != b && p[i] != c) ++i;
    return i;
}

// First index >= i holding a or b; n when there is none. Adds the LF bytes
// passed over (before the returned index) to `lf_count`.
inline std::size_t find_any2_counting_lf(const unsigned char* p, std::size_t i, std::size_t n,
                                         unsigned char a, unsigned char b,
                                         std::size_t& lf_count) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vlf = _mm_set1_epi8('\n');
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto stop = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb))));
        auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vlf)));
        if (stop != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(stop));
            lf &= (1u << at) - 1u;  // only the LFs before the stop byte
            lf_count += static_cast<std::size_t>(__builtin_popcount(lf));
            return i + at;
        }
        lf_count += static_cast<std::size_t>(__builtin_popcount(lf));
        i += 16;
    }
#endif
    while (i < n && p[i] != a && p[i] != b) {
        if (p[i] == '\n') ++lf_count;
        ++i;
    }
    return i;
}

}  // namespace brinewick::scan
