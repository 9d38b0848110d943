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

// Set bits of a 64-bit mask. Without the popcount instruction the builtin
// is a call into the compiler's library, paid per block where a row of
// millions of delimiters is counted; these few operations stay inline.
inline std::size_t count_bits64(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<std::size_t>(__builtin_popcountll(x));
#else
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
#endif
}

struct RunFlags {
    std::uint64_t high = 0;     // nonzero: some byte >= 0x80 before the stop
    std::uint64_t watched = 0;  // nonzero: some watched byte before the stop
};

// A run of unquoted text: where it stops, what it holds, and whether the
// stop is the delimiter (else a line break, or the end of the text).
// The flags are bit masks, nonzero for yes: kept whole, they stay in
// registers where the caller tests them (bools were packed and unpacked).
struct Run {
    std::size_t end;
    std::uint64_t high;
    std::uint64_t watched;
    bool at_delimiter;
};

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

// First index >= i that holds neither CR nor LF (n when none). Adds to
// `rows` the rows that run of line breaks ends: one per LF, one per CR that
// no LF follows (so CR LF is one).
inline std::size_t skip_line_breaks(const unsigned char* p, std::size_t i, std::size_t n,
                                    std::size_t& rows) noexcept {
    std::size_t breaks = 0;  // CR and LF bytes passed
    std::size_t pairs = 0;   // CR LF, one row for two breaks
#if defined(__SSE2__)
    const __m128i vcr = _mm_set1_epi8('\r');
    const __m128i vlf = _mm_set1_epi8('\n');
    // The pair test looks one byte ahead, so the block must have a successor byte.
    while (i + 17 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vcr)));
        const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vlf)));
        if ((cr | lf) != 0xFFFFu) break;  // the run ends in this block
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const auto lf_next = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(y, vlf)));
        const unsigned crlf = cr & lf_next;
        if (crlf != 0) pairs += count_bits(crlf);
        breaks += 16;
        i += 16;
    }
#endif
    for (; i < n; ++i) {
        const unsigned char x = p[i];
        if (x != '\r' && x != '\n') break;
        ++breaks;
        if (x == '\r' && i + 1 < n && p[i + 1] == '\n') ++pairs;
    }
    rows += breaks - pairs;
    return i;
}

// First index j in [i, n) where p[j] differs from p[j - period] (n when
// none): where text that repeats its last `period` bytes stops repeating.
// Needs i >= period.
inline std::size_t end_of_repeats(const unsigned char* p, std::size_t i, std::size_t n,
                                  std::size_t period) noexcept {
#if defined(__SSE2__)
    while (i + 16 <= n) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - period));
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
        if (same != 0xFFFFu) return i + static_cast<std::size_t>(__builtin_ctz(~same));
        i += 16;
    }
#endif
    while (i < n && p[i] == p[i - period]) ++i;
    return i;
}

// Runs found through bit masks of whole 64-byte blocks: one set of compares
// serves every field that starts in the block, so a short field costs a
// shift and a count of trailing zeros. The masks of the last block are kept,
// since the next field and the next row usually start there.
class BlockScanner {
public:
    BlockScanner(const unsigned char* text, std::size_t size, unsigned char delimiter,
                 unsigned char quote) noexcept
        : text_(text), size_(size), delimiter_(delimiter), quote_(quote) {
#if defined(__SSE2__)
        vd_ = _mm_set1_epi8(static_cast<char>(delimiter));
        vq_ = _mm_set1_epi8(static_cast<char>(quote));
#endif
    }

    // Unquoted text: the run from i to the first delimiter, CR or LF (or to
    // the size when none); quote bytes passed over are the watched ones.
    // Returned whole rather than through an out parameter, so that once
    // inlined the flags live in registers.
    Run find_unquoted_end(std::size_t i) noexcept {
        std::uint64_t high = 0;
        std::uint64_t watched = 0;
        for (;;) {
            const std::size_t base = i & ~std::size_t{63};
            if (base != block_) [[unlikely]] load(base);
            const unsigned shift = static_cast<unsigned>(i - base);
            const std::uint64_t stops = ends_ >> shift;
            if (stops != 0) [[likely]] {
                const unsigned at = static_cast<unsigned>(__builtin_ctzll(stops));
                const std::uint64_t before = below(stops);
                high |= (highs_ >> shift) & before;
                watched |= (quotes_ >> shift) & before;
                return Run{i + at, high, watched, (delimiters_ >> (shift + at) & 1) != 0};
            }
            high |= highs_ >> shift;
            watched |= quotes_ >> shift;
            i = base + 64;
            if (i >= size_) return Run{size_, high, watched, false};
        }
    }

    // Plain fields from i (a field start holding neither the quote, the
    // delimiter nor a line break) up to `limit`, for callers that only
    // count: the delimiters passed over, and where the field after the last
    // of them starts. Stops at a line break, or at a quote just after a
    // delimiter (a quoted field opens there); inside a plain field a quote
    // is only text.
    struct Counted {
        std::size_t delimiters;
        std::size_t resume;
    };
    Counted count_plain_fields(std::size_t i, std::size_t limit) noexcept {
        std::size_t count = 0;
        std::size_t resume = i;
        bool after_delimiter = false;  // the byte before this block's first one
        for (;;) {
            if (i >= limit) return Counted{count, resume};
            const std::size_t base = i & ~std::size_t{63};
            if (base != block_) [[unlikely]] load(base);
            const unsigned shift = static_cast<unsigned>(i - base);
            const std::uint64_t delims = delimiters_ >> shift;
            const std::uint64_t field_starts = (delims << 1) | (after_delimiter ? 1U : 0U);
            std::uint64_t stops = (line_ends_ >> shift) | ((quotes_ >> shift) & field_starts);
            const std::size_t span = 64 - shift;
            if (limit - i < span) stops |= ~std::uint64_t{0} << (limit - i);
            if (stops != 0) {
                const std::uint64_t before = below(stops) & delims;
                if (before != 0) {
                    count += count_bits64(before);
                    resume = i + (63 - static_cast<unsigned>(__builtin_clzll(before))) + 1;
                } else if (after_delimiter) {
                    resume = i;
                }
                return Counted{count, resume};
            }
            if (delims != 0) {
                count += count_bits64(delims);
                resume = i + (63 - static_cast<unsigned>(__builtin_clzll(delims))) + 1;
            }
            after_delimiter = (delims >> (span - 1) & 1) != 0;
            i = base + 64;
        }
    }

    // Quoted text: first index >= i holding the quote (the size when none);
    // adds the LFs passed over to `lf_count`; the delimiter, CR and LF are
    // the watched bytes.
    std::size_t find_quote(std::size_t i, std::size_t& lf_count, RunFlags& flags) noexcept {
        for (;;) {
            const std::size_t base = i & ~std::size_t{63};
            if (base != block_) load(base);
            const unsigned shift = static_cast<unsigned>(i - base);
            const std::uint64_t stops = quotes_ >> shift;
            const std::uint64_t before = stops != 0 ? below(stops) : ~std::uint64_t{0};
            const std::uint64_t lfs = (lfs_ >> shift) & before;
            if (lfs != 0) lf_count += count_bits64(lfs);
            flags.high |= (highs_ >> shift) & before;
            flags.watched |= (ends_ >> shift) & before;
            if (stops != 0) return i + static_cast<std::size_t>(__builtin_ctzll(stops));
            i = base + 64;
            if (i >= size_) return size_;
            i = skip_quote_free_blocks(i, lf_count, flags);
        }
    }

    // The masks of the block holding i, shifted so that bit 0 stands for i
    // (bits past the text's end are clear).
    struct Masks {
        std::uint64_t delimiters;
        std::uint64_t line_ends;
        std::uint64_t quotes;
        std::uint64_t highs;
    };
    Masks masks_from(std::size_t i) noexcept {
        const std::size_t base = i & ~std::size_t{63};
        if (base != block_) load(base);
        const unsigned shift = static_cast<unsigned>(i - base);
        return Masks{delimiters_ >> shift, line_ends_ >> shift, quotes_ >> shift, highs_ >> shift};
    }

    // Bits below the lowest set bit of `stops` (which is not zero).
    static std::uint64_t below(std::uint64_t stops) noexcept { return (stops & (0 - stops)) - 1; }

private:
    // From the block start i, the whole blocks that hold no quote: a long
    // quoted field (a stray quote swallows the rest of a file) is passed at
    // memory speed, with only what the caller learns of it (its LFs and
    // flags) and none of the masks an unquoted scan needs. Returns the
    // start of the first block with a quote, or of the last partial one.
    std::size_t skip_quote_free_blocks(std::size_t i, std::size_t& lf_count, RunFlags& flags) noexcept {
#if defined(__SSE2__)
        const __m128i vlf = _mm_set1_epi8('\n');
        const __m128i vcr = _mm_set1_epi8('\r');
        const __m128i zero = _mm_setzero_si128();
        __m128i high = zero;
        __m128i watched = zero;
        __m128i lfs = zero;  // LFs a lane, flushed before a lane can pass 255
        __m128i lf_sums = zero;
        unsigned blocks = 0;
        while (i + 64 <= size_) {
            const auto* at = reinterpret_cast<const __m128i*>(text_ + i);
            const __m128i a = _mm_loadu_si128(at);
            const __m128i b = _mm_loadu_si128(at + 1);
            const __m128i c = _mm_loadu_si128(at + 2);
            const __m128i d = _mm_loadu_si128(at + 3);
            const __m128i quotes = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, vq_), _mm_cmpeq_epi8(b, vq_)),
                                                _mm_or_si128(_mm_cmpeq_epi8(c, vq_), _mm_cmpeq_epi8(d, vq_)));
            if (_mm_movemask_epi8(quotes) != 0) break;
            const auto take = [&](__m128i x) {
                const __m128i lf = _mm_cmpeq_epi8(x, vlf);
                lfs = _mm_sub_epi8(lfs, lf);
                high = _mm_or_si128(high, x);
                watched = _mm_or_si128(watched,
                                       _mm_or_si128(lf, _mm_or_si128(_mm_cmpeq_epi8(x, vcr), _mm_cmpeq_epi8(x, vd_))));
            };
            take(a);
            take(b);
            take(c);
            take(d);
            i += 64;
            if (++blocks == 63) {  // four a lane a block: 252 at most
                lf_sums = _mm_add_epi64(lf_sums, _mm_sad_epu8(lfs, zero));
                lfs = zero;
                blocks = 0;
            }
        }
        lf_sums = _mm_add_epi64(lf_sums, _mm_sad_epu8(lfs, zero));
        lf_count += static_cast<std::size_t>(_mm_cvtsi128_si64(lf_sums)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lf_sums, lf_sums)));
        flags.high |= static_cast<unsigned>(_mm_movemask_epi8(high));
        flags.watched |= static_cast<unsigned>(_mm_movemask_epi8(watched));
#else
        (void)lf_count;
        (void)flags;
#endif
        return i;
    }

    void load(std::size_t base) noexcept {
        block_ = base;
        std::uint64_t delimiters = 0;
        std::uint64_t line_ends = 0;
        std::uint64_t lfs = 0;
        std::uint64_t quotes = 0;
        std::uint64_t highs = 0;
#if defined(__SSE2__)
        if (base + 64 <= size_) {
            const __m128i vd = vd_;
            const __m128i vcr = _mm_set1_epi8('\r');
            const __m128i vlf = _mm_set1_epi8('\n');
            const __m128i vq = vq_;
            for (unsigned k = 0; k < 4; ++k) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_ + base + 16 * k));
                const unsigned at = 16 * k;
                const auto bits = [&](__m128i m) {
                    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << at;
                };
                const __m128i lf = _mm_cmpeq_epi8(x, vlf);
                delimiters |= bits(_mm_cmpeq_epi8(x, vd));
                line_ends |= bits(_mm_or_si128(lf, _mm_cmpeq_epi8(x, vcr)));
                lfs |= bits(lf);
                quotes |= bits(_mm_cmpeq_epi8(x, vq));
                highs |= bits(x);
            }
            store(delimiters, line_ends, lfs, quotes, highs);
            return;
        }
#endif
        // The last, partial block (or no SSE2): one byte at a time. Past the
        // end nothing is marked, so a scan there runs to the end.
        const std::size_t end = base + 64 <= size_ ? base + 64 : size_;
        for (std::size_t j = base; j < end; ++j) {
            const unsigned char x = text_[j];
            const std::uint64_t bit = std::uint64_t{1} << (j - base);
            if (x == delimiter_) delimiters |= bit;
            if (x == '\r' || x == '\n') line_ends |= bit;
            if (x == '\n') lfs |= bit;
            if (x == quote_) quotes |= bit;
            if (x >= 0x80) highs |= bit;
        }
        store(delimiters, line_ends, lfs, quotes, highs);
    }

    void store(std::uint64_t delimiters, std::uint64_t line_ends, std::uint64_t lfs,
               std::uint64_t quotes, std::uint64_t highs) noexcept {
        delimiters_ = delimiters;
        line_ends_ = line_ends;
        ends_ = delimiters | line_ends;
        lfs_ = lfs;
        quotes_ = quotes;
        highs_ = highs;
    }

    const unsigned char* text_;
    std::size_t size_;
    unsigned char delimiter_;
    unsigned char quote_;
    std::size_t block_ = ~std::size_t{0};
    std::uint64_t delimiters_ = 0;
    std::uint64_t line_ends_ = 0;  // CR or LF
    std::uint64_t ends_ = 0;       // the delimiter, CR or LF: where unquoted text stops
    std::uint64_t lfs_ = 0;
    std::uint64_t quotes_ = 0;
    std::uint64_t highs_ = 0;  // bytes >= 0x80
#if defined(__SSE2__)
    // Broadcast once: set up inside load(), the compiler hoists them into
    // the prologue of every parser call, a cost per row on short rows.
    __m128i vd_;
    __m128i vq_;
#endif
};

}  // namespace brinewick::scan
