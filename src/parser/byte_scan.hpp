// Byte scanning for the parser's hot states: find the next byte of interest
// sixteen at a time (SSE2), with a plain loop elsewhere and for tails. While
// scanning, the run is also classified for free: whether it holds a byte of
// 0x80 or above (`high`) and whether it holds one of the watched bytes
// (`watched`), so no later pass over the field is needed to learn either.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brinewick::scan {

// Set bits of a 16-bit mask; LFs in quoted fields are rare, so callers skip
// the call for an empty mask (plain x86-64 has no popcount instruction).
inline std::size_t count_bits(unsigned mask) noexcept {
    return static_cast<std::size_t>(__builtin_popcount(mask));
}

struct RunFlags {
    bool high = false;     // some byte >= 0x80 before the stop
    bool watched = false;  // some watched byte before the stop
};

// First index >= i holding a, b or c (n when none); `w` is watched.
inline std::size_t find_any3(const unsigned char* p, std::size_t i, std::size_t n, unsigned char a,
                             unsigned char b, unsigned char c, unsigned char w,
                             RunFlags& flags) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    const __m128i vw = _mm_set1_epi8(static_cast<char>(w));
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_cmpeq_epi8(x, vc));
        const auto stop = static_cast<unsigned>(_mm_movemask_epi8(hit));
        const auto top = static_cast<unsigned>(_mm_movemask_epi8(x));
        const auto seen = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vw)));
        if (stop != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(stop));
            const unsigned before = (1u << at) - 1u;  // only bytes before the stop count
            flags.high |= (top & before) != 0;
            flags.watched |= (seen & before) != 0;
            return i + at;
        }
        flags.high |= top != 0;
        flags.watched |= seen != 0;
        i += 16;
    }
#endif
    for (; i < n; ++i) {
        const unsigned char x = p[i];
        if (x == a || x == b || x == c) break;
        flags.high |= x >= 0x80;
        flags.watched |= x == w;
    }
    return i;
}

// First index >= i holding a or b (n when none). Adds the LF bytes passed
// over to `lf_count`; LF, `w1` and `w2` are watched.
inline std::size_t find_any2_counting_lf(const unsigned char* p, std::size_t i, std::size_t n,
                                         unsigned char a, unsigned char b, unsigned char w1,
                                         unsigned char w2, std::size_t& lf_count,
                                         RunFlags& flags) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vlf = _mm_set1_epi8('\n');
    const __m128i vw1 = _mm_set1_epi8(static_cast<char>(w1));
    const __m128i vw2 = _mm_set1_epi8(static_cast<char>(w2));
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto stop = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb))));
        const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vlf)));
        const auto top = static_cast<unsigned>(_mm_movemask_epi8(x));
        const auto seen = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, vw1), _mm_cmpeq_epi8(x, vw2)))) | lf;
        if (stop != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(stop));
            const unsigned before = (1u << at) - 1u;
            if ((lf & before) != 0) lf_count += count_bits(lf & before);
            flags.high |= (top & before) != 0;
            flags.watched |= (seen & before) != 0;
            return i + at;
        }
        if (lf != 0) lf_count += count_bits(lf);
        flags.high |= top != 0;
        flags.watched |= seen != 0;
        i += 16;
    }
#endif
    for (; i < n; ++i) {
        const unsigned char x = p[i];
        if (x == a || x == b) break;
        lf_count += x == '\n';
        flags.high |= x >= 0x80;
        flags.watched |= x == '\n' || x == w1 || x == w2;
    }
    return i;
}

}  // namespace brinewick::scan
