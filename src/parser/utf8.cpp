#include "utf8.hpp"

#include <atomic>
#include <cstring>

#include "utf8_paths.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// An AVX2 path needs x86 and a compiler that builds single functions for it.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define BRINEWICK_UTF8_AVX2 1
#include <immintrin.h>
#else
#define BRINEWICK_UTF8_AVX2 0
#endif

namespace brinewick {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

inline bool has_high_bit(std::uint64_t word) noexcept {
    return (word & 0x8080808080808080ULL) != 0;
}

// Length of the well-formed sequence starting at data[0] (lead >= 0x80), or
// 0 when ill-formed; `maximal` gets the length of the maximal subpart then.
inline std::size_t sequence_length(const unsigned char* data, std::size_t size,
                                   std::size_t& maximal) noexcept {
    const unsigned char lead = data[0];
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;        // no overlong forms
        else if (lead == 0xED) hi = 0x9F;   // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;        // no overlong forms
        else if (lead == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        maximal = 1;  // continuation byte, C0, C1 or F5..FF: never valid
        return 0;
    }
    std::size_t i = 1;
    for (; i < need; ++i) {
        if (i >= size) break;
        const unsigned char c = data[i];
        const unsigned char l = i == 1 ? lo : 0x80;
        const unsigned char h = i == 1 ? hi : 0xBF;
        if (c < l || c > h) break;
    }
    if (i == need) return need;
    maximal = i;
    return 0;
}

// The first ill-formed sequence at or after `i` (a character boundary), or
// `size`: the byte-at-a-time answer, for the few bytes around a fault.
std::size_t first_fault(const unsigned char* data, std::size_t i, std::size_t size) noexcept {
    while (i < size) {
        if (data[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t maximal = 0;
        const std::size_t len = sequence_length(data + i, size - i, maximal);
        if (len == 0) return i;
        i += len;
    }
    return size;
}

// Byte classes of a 64-byte block, bit k standing for byte k.
struct Classes {
    std::uint64_t high;   // >= 0x80
    std::uint64_t cont;   // 0x80..0xBF, continuation bytes
    std::uint64_t ge_e0;  // >= 0xE0: leads of three or four bytes
    std::uint64_t ge_f0;  // >= 0xF0: leads of four bytes
    std::uint64_t bad;    // C0, C1, F5..FF: never in well-formed text
};

// Each path below gives the block checks their instructions:
//   kAsciiTestFirst: whether block_is_ascii(block), no byte >= 0x80, is
//     asked before the others;
//   classify_two_byte(block, high, cont): the usual block of non-ASCII
//     text, ASCII and two-byte characters only (leads C2..DF): sets `high`
//     and `cont` and returns true when no byte is C0, C1 or from E0 on;
//     false sends the block to the full check;
//   classify(block): all the classes.
// The rules on top of the classes are written once, in block_faulty.

struct PlainPath {
    static constexpr bool kAsciiTestFirst = true;

    static bool block_is_ascii(const unsigned char* block) noexcept {
        std::uint64_t any = 0;
        for (unsigned k = 0; k < 64; k += 8) {
            std::uint64_t word;
            std::memcpy(&word, block + k, 8);
            any |= word;
        }
        return !has_high_bit(any);
    }

    // No cheaper form byte by byte: every block takes the full check.
    static bool classify_two_byte(const unsigned char*, std::uint64_t&, std::uint64_t&) noexcept {
        return false;
    }

    static Classes classify(const unsigned char* block) noexcept {
        Classes c{};
        for (unsigned k = 0; k < 64; ++k) {
            const unsigned char b = block[k];
            const std::uint64_t bit = std::uint64_t{1} << k;
            if (b >= 0x80) c.high |= bit;
            if (b >= 0x80 && b < 0xC0) c.cont |= bit;
            if (b >= 0xE0) c.ge_e0 |= bit;
            if (b >= 0xF0) c.ge_f0 |= bit;
            if (b == 0xC0 || b == 0xC1 || b >= 0xF5) c.bad |= bit;
        }
        return c;
    }
};

#if defined(__SSE2__)
inline std::uint64_t bits(__m128i m, unsigned at) noexcept {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << at;
}

struct Sse2Path {
    static constexpr bool kAsciiTestFirst = true;

    static bool block_is_ascii(const unsigned char* block) noexcept {
        const auto* v = reinterpret_cast<const __m128i*>(block);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                         _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
        return _mm_movemask_epi8(any) == 0;
    }

    static bool classify_two_byte(const unsigned char* block, std::uint64_t& high, std::uint64_t& cont) noexcept {
        const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0));
        const __m128i fe = _mm_set1_epi8(static_cast<char>(0xFE));
        const __m128i df = _mm_set1_epi8(static_cast<char>(0xDF));
        __m128i other = _mm_setzero_si128();  // nonzero bytes where the block needs the full check
        std::uint64_t h = 0;
        std::uint64_t c = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
            h |= bits(x, 16 * k);
            c |= bits(_mm_cmplt_epi8(x, c0), 16 * k);
            // Unsigned x - DF saturates to zero up to DF: nonzero from E0 on.
            other = _mm_or_si128(other, _mm_or_si128(_mm_subs_epu8(x, df),
                                                     _mm_cmpeq_epi8(_mm_and_si128(x, fe), c0)));
        }
        high = h;
        cont = c;
        return _mm_movemask_epi8(_mm_cmpeq_epi8(other, _mm_setzero_si128())) == 0xFFFF;
    }

    // Signed byte compares: 0x80..0xFF are -128..-1, so each range of high
    // bytes is one compare (ASCII, being positive, is masked off by `high`).
    static Classes classify(const unsigned char* block) noexcept {
        Classes c{};
        const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0));
        const __m128i fe = _mm_set1_epi8(static_cast<char>(0xFE));
        const __m128i df = _mm_set1_epi8(static_cast<char>(0xDF));
        const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
        const __m128i f4 = _mm_set1_epi8(static_cast<char>(0xF4));
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
            const unsigned at = 16 * k;
            c.high |= bits(x, at);
            c.cont |= bits(_mm_cmplt_epi8(x, c0), at);  // below 0xC0 and high
            c.ge_e0 |= bits(_mm_cmpgt_epi8(x, df), at);
            c.ge_f0 |= bits(_mm_cmpgt_epi8(x, ef), at);
            // C0 and C1 are 0xC0 with the low bit ignored; F5..FF are above F4.
            c.bad |= bits(_mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(x, fe), c0), _mm_cmpgt_epi8(x, f4)), at);
        }
        c.ge_e0 &= c.high;
        c.ge_f0 &= c.high;
        c.bad &= c.high;
        return c;
    }
};
#endif

#if BRINEWICK_UTF8_AVX2
// Compiled for AVX2 alone (the rest of the build stays at the baseline) and
// run only where the CPU has it. The same compares as SSE2, 32 bytes each.
#define BRINEWICK_AVX2 __attribute__((target("avx2")))

BRINEWICK_AVX2 inline std::uint64_t bits(__m256i m, unsigned at) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(m))) << at;
}

struct Avx2Path {
    // The two-byte check costs little more than an ASCII test here, and
    // passes ASCII blocks too (no leads, nothing owed). In mixed text, where
    // a third of the blocks are ASCII at random, a branch on ASCII-ness
    // mispredicts and holds up the loads of the blocks after it: without
    // it such text validated about twice as fast, measured on a mixed CSV.
    static constexpr bool kAsciiTestFirst = false;

    BRINEWICK_AVX2 static bool classify_two_byte(const unsigned char* block, std::uint64_t& high,
                                                 std::uint64_t& cont) noexcept {
        const __m256i c0 = _mm256_set1_epi8(static_cast<char>(0xC0));
        const __m256i fe = _mm256_set1_epi8(static_cast<char>(0xFE));
        const __m256i df = _mm256_set1_epi8(static_cast<char>(0xDF));
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
        high = bits(x0, 0) | bits(x1, 32);
        cont = bits(_mm256_cmpgt_epi8(c0, x0), 0) | bits(_mm256_cmpgt_epi8(c0, x1), 32);
        // Unsigned x - DF saturates to zero up to DF: nonzero from E0 on.
        const __m256i other0 = _mm256_or_si256(_mm256_subs_epu8(x0, df),
                                               _mm256_cmpeq_epi8(_mm256_and_si256(x0, fe), c0));
        const __m256i other1 = _mm256_or_si256(_mm256_subs_epu8(x1, df),
                                               _mm256_cmpeq_epi8(_mm256_and_si256(x1, fe), c0));
        const __m256i other = _mm256_or_si256(other0, other1);
        return _mm256_testz_si256(other, other) != 0;
    }

    BRINEWICK_AVX2 static Classes classify(const unsigned char* block) noexcept {
        Classes c{};
        const __m256i c0 = _mm256_set1_epi8(static_cast<char>(0xC0));
        const __m256i fe = _mm256_set1_epi8(static_cast<char>(0xFE));
        const __m256i df = _mm256_set1_epi8(static_cast<char>(0xDF));
        const __m256i ef = _mm256_set1_epi8(static_cast<char>(0xEF));
        const __m256i f4 = _mm256_set1_epi8(static_cast<char>(0xF4));
        for (unsigned k = 0; k < 2; ++k) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * k));
            const unsigned at = 32 * k;
            c.high |= bits(x, at);
            c.cont |= bits(_mm256_cmpgt_epi8(c0, x), at);
            c.ge_e0 |= bits(_mm256_cmpgt_epi8(x, df), at);
            c.ge_f0 |= bits(_mm256_cmpgt_epi8(x, ef), at);
            c.bad |= bits(_mm256_or_si256(_mm256_cmpeq_epi8(_mm256_and_si256(x, fe), c0),
                                          _mm256_cmpgt_epi8(x, f4)),
                          at);
        }
        c.ge_e0 &= c.high;
        c.ge_f0 &= c.high;
        c.bad &= c.high;
        return c;
    }
};
#endif

// True when the block breaks the UTF-8 rules, given `carry` (bit k: byte k
// must be a continuation byte, owed by a lead in the block before); sets
// `carry` to what this block's leads owe the next one. `avail`: bytes of
// input from the block's start (more than 64 when a block follows).
template <class Path>
inline bool block_faulty(const unsigned char* block, std::size_t avail, std::uint64_t& carry) noexcept {
    std::uint64_t high;
    std::uint64_t cont;
    if (Path::classify_two_byte(block, high, cont)) {
        const std::uint64_t leads = high & ~cont;
        const std::uint64_t owed = (leads << 1) | carry;
        carry = leads >> 63;
        return owed != cont;
    }
    const Classes c = Path::classify(block);
    const std::uint64_t leads = c.high & ~c.cont;
    // Each lead owes one, two or three continuation bytes right after it;
    // well-formed text has exactly the owed ones and no others.
    const std::uint64_t owed = (leads << 1) | (c.ge_e0 << 2) | (c.ge_f0 << 3) | carry;
    carry = (leads >> 63) | (c.ge_e0 >> 62) | (c.ge_f0 >> 61);
    if ((owed ^ c.cont) != 0 || c.bad != 0) return true;
    // E0, ED, F0 and F4 narrow their second byte (no overlong forms, no
    // surrogates, nothing past U+10FFFF); rare enough for a byte test each.
    for (std::uint64_t m = c.ge_e0; m != 0; m &= m - 1) {
        const auto k = static_cast<std::size_t>(__builtin_ctzll(m));
        if (k + 1 >= avail) break;  // cut short by the end: the owed bytes are missing
        const unsigned char lead = block[k];
        const unsigned char second = block[k + 1];
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
            (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
            return true;
        }
    }
    return false;
}

// Where the fault found in the block at `base` lies: from the last
// character boundary before the block, byte by byte.
std::size_t fault_in_block(const unsigned char* data, std::size_t base, std::size_t size,
                           std::uint64_t carry_in) noexcept {
    std::size_t from = base;
    if (carry_in != 0) {  // a sequence began in the (well-formed) block before: back to its lead
        do {
            --from;
        } while ((data[from] & 0xC0) == 0x80);
    }
    return first_fault(data, from, size);
}

template <class Path>
inline std::size_t valid_prefix(const unsigned char* data, std::size_t size) noexcept {
    std::uint64_t carry = 0;
    std::size_t base = 0;
    for (; base + 64 <= size; base += 64) {
        if constexpr (Path::kAsciiTestFirst) {
            if (carry == 0 && Path::block_is_ascii(data + base)) continue;
        }
        const std::uint64_t carry_in = carry;
        if (block_faulty<Path>(data + base, size - base, carry)) return fault_in_block(data, base, size, carry_in);
    }
    const std::size_t rest = size - base;
    if (rest == 0) {
        // Owed bytes past the end: the last sequence is cut short.
        return carry == 0 ? size : fault_in_block(data, base, size, carry);
    }
    // The last partial block, padded with ASCII: a sequence cut short by
    // the end owes a byte where the padding stands, which is a fault.
    unsigned char tail[64] = {};
    std::memcpy(tail, data + base, rest);
    const std::uint64_t carry_in = carry;
    if (block_faulty<Path>(tail, rest, carry)) return fault_in_block(data, base, size, carry_in);
    return size;
}

using PrefixFunction = std::size_t (*)(const unsigned char*, std::size_t) noexcept;

std::size_t valid_prefix_plain(const unsigned char* data, std::size_t size) noexcept {
    return valid_prefix<PlainPath>(data, size);
}

#if defined(__SSE2__)
std::size_t valid_prefix_sse2(const unsigned char* data, std::size_t size) noexcept {
    return valid_prefix<Sse2Path>(data, size);
}
#endif

#if BRINEWICK_UTF8_AVX2
// flatten: the shared loop and rules are inlined here, into AVX2 code, so
// that the AVX2 block checks inline too (they cannot go into a caller
// compiled for the baseline).
BRINEWICK_AVX2 __attribute__((flatten)) std::size_t valid_prefix_avx2(const unsigned char* data,
                                                                      std::size_t size) noexcept {
    return valid_prefix<Avx2Path>(data, size);
}
#endif

PrefixFunction function_for(Utf8Path path) noexcept {
    switch (path) {
        case Utf8Path::plain:
            break;
        case Utf8Path::sse2:
#if defined(__SSE2__)
            return &valid_prefix_sse2;
#else
            break;
#endif
        case Utf8Path::avx2:
#if BRINEWICK_UTF8_AVX2
            if (utf8_path_supported(Utf8Path::avx2)) return &valid_prefix_avx2;
            // An unsupported path runs the plain one.
#endif
            break;
    }
    return &valid_prefix_plain;
}

Utf8Path pick_path() noexcept {
    if (utf8_path_supported(Utf8Path::avx2)) return Utf8Path::avx2;
    if (utf8_path_supported(Utf8Path::sse2)) return Utf8Path::sse2;
    return Utf8Path::plain;
}

// The first call asks the CPU and puts its answer in place of itself.
// Constant-initialised, so callers from other static initialisers find it
// set; threads that race store the same answer.
std::size_t choose_and_run(const unsigned char* data, std::size_t size) noexcept;
std::atomic<PrefixFunction> chosen_function{&choose_and_run};

std::size_t choose_and_run(const unsigned char* data, std::size_t size) noexcept {
    const PrefixFunction function = function_for(pick_path());
    chosen_function.store(function, std::memory_order_relaxed);
    return function(data, size);
}

}  // namespace

bool utf8_path_supported(Utf8Path path) noexcept {
    switch (path) {
        case Utf8Path::plain:
            return true;
        case Utf8Path::sse2:
#if defined(__SSE2__)
            return true;
#else
            return false;
#endif
        case Utf8Path::avx2:
#if BRINEWICK_UTF8_AVX2
            // Also false where the OS does not save the wide registers.
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
#else
            return false;
#endif
    }
    return false;
}

Utf8Path utf8_chosen_path() noexcept {
    return pick_path();
}

const char* utf8_path_name(Utf8Path path) noexcept {
    switch (path) {
        case Utf8Path::plain:
            return "plain";
        case Utf8Path::sse2:
            return "sse2";
        case Utf8Path::avx2:
            return "avx2";
    }
    return "?";
}

std::size_t valid_utf8_prefix_on(Utf8Path path, const unsigned char* data, std::size_t size) noexcept {
    return function_for(path)(data, size);
}

std::size_t valid_utf8_prefix(const unsigned char* data, std::size_t size) noexcept {
    return chosen_function.load(std::memory_order_relaxed)(data, size);
}

Utf8Check check_utf8(const unsigned char* data, std::size_t size) noexcept {
    std::size_t i = 0;
    // Skip ASCII eight bytes at a time.
    while (i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (has_high_bit(word)) {
            i += static_cast<std::size_t>(__builtin_ctzll(word & 0x8080808080808080ULL)) / 8;
            break;
        }
        i += 8;
    }
    while (i < size && data[i] < 0x80) ++i;
    if (i >= size) return {true, true};
    // From the first high byte, which starts a character.
    return {valid_utf8_prefix(data + i, size - i) == size - i, false};
}

std::size_t append_lenient_utf8(std::string& out, const unsigned char* data, std::size_t size) {
    // Well-formed stretches are copied whole; each maximal ill-formed
    // subpart becomes one U+FFFD. Room is made a chunk at a time (at most
    // three output bytes per input byte), written through a pointer: text
    // full of bad bytes would otherwise cost two appends per byte.
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    std::size_t replaced = 0;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t end = size - i > kChunk ? i + kChunk : size;
        const std::size_t at = out.size();
        out.resize(at + 3 * (end - i) + 4);
        char* w = out.data() + at;
        while (i < end) {
            const std::size_t good = valid_utf8_prefix(data + i, end - i);
            std::memcpy(w, data + i, good);
            w += good;
            i += good;
            if (i >= end) break;
            // A fault, or a sequence the chunk's end cuts: judged on the whole input.
            std::size_t maximal = 0;
            const std::size_t len = sequence_length(data + i, size - i, maximal);
            if (len != 0) {
                std::memcpy(w, data + i, len);
                w += len;
                i += len;
            } else {
                std::memcpy(w, kReplacement, 3);
                w += 3;
                ++replaced;
                i += maximal;
            }
        }
        out.resize(static_cast<std::size_t>(w - out.data()));
    }
    return replaced;
}

std::string decode_lenient_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_lenient_utf8(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

void append_latin1_char(std::string& out, std::uint8_t byte) {
    if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
    } else {
        out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
}

}  // namespace brinewick
