#include "utf8.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#include "utf8_paths.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The SSSE3, AVX2 and AVX-512 paths need x86 and a compiler that builds
// single functions for an instruction set the rest of the build lacks.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && defined(__SSE2__)
#define BRINEWICK_UTF8_X86 1
#include <immintrin.h>
#else
#define BRINEWICK_UTF8_X86 0
#endif

namespace brinewick {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Offset of the first byte with its high bit set in a word read from memory
// (`high` holds only high bits, at least one).
inline std::size_t first_high_byte(std::uint64_t high) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else {
        return static_cast<std::size_t>(std::countl_zero(high)) / 8;
    }
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

inline std::uint64_t word_at(const unsigned char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// The first ill-formed (or cut short) sequence at or after `i`, a character
// boundary, or `size`: ASCII four words a step, other characters one by one.
// The plain path, and the vector paths' answer once they find a fault.
// (Words read one by one: copied into an array they went through the stack,
// at two thirds the speed.)
std::size_t first_fault(const unsigned char* data, std::size_t i, std::size_t size) noexcept {
    while (i < size) {
        if (size - i >= 32) {
            std::uint64_t any = 0;
            for (std::size_t k = 0; k < 32; k += 8) any |= word_at(data + i + k);
            if ((any & kHighBits) == 0) {
                i += 32;
                continue;
            }
            std::size_t k = 0;
            while ((word_at(data + i + k) & kHighBits) == 0) k += 8;
            i += k + first_high_byte(word_at(data + i + k) & kHighBits);
        } else if (data[i] < 0x80) {
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

// A vector path found a fault in the 64-byte block at `base`, all before it
// being well-formed but for a sequence its last bytes may have begun: the
// answer is byte by byte from that sequence's lead (the block's start if none).
std::size_t fault_from_block(const unsigned char* data, std::size_t base, std::size_t size) noexcept {
    std::size_t from = base;
    while (from > 0 && base - from < 3 && (data[from - 1] & 0xC0) == 0x80) --from;
    if (from > 0 && data[from - 1] >= 0xC0) --from;
    return first_fault(data, from, size);
}

// Whether a lead among the last three bytes of the block at p owes bytes past it.
inline bool owes_past(const unsigned char* p) noexcept {
    return (p[63] >= 0xC0) | (p[62] >= 0xE0) | (p[61] >= 0xF0);
}

// The vector paths share one loop over 64-byte blocks. A kernel K gives
// K::ascii(p), whether the block at p is all ASCII, and well_formed(p),
// whether it breaks no rule given the bytes before it, which the kernel
// keeps from its last call; tail_well_formed(p, n) checks the last n < 64
// bytes as if zero bytes followed them, so that a sequence the end cuts
// short is owed bytes where those stand, which is a fault.
//
// ASCII blocks are only tested, not checked: what the kernel kept from
// before them is then out of date, which is harmless, as they follow a
// block that owed no bytes past its end: its last bytes, like ASCII, make
// no later byte owed, and a block that owes bytes is never skipped.
template <class K>
inline std::size_t block_prefix(const unsigned char* data, std::size_t size) noexcept {
    K kernel;
    bool owes = false;  // the block before ends in a sequence that owes bytes past it
    std::size_t base = 0;
    while (base + 64 <= size) {
        if (K::ascii(data + base)) {
            if (owes) return fault_from_block(data, base, size);
            // A run of ASCII blocks, in a loop of its own, a few instructions
            // a block. Reading ahead keeps long runs from waiting on memory
            // (measured: a third faster on 1 MiB of ASCII, out of the L1 cache).
            do {
                base += 64;
                if (base + 64 > size) goto last;
                __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(data + base) + 1024));
            } while (K::ascii(data + base));
        }
        if (!kernel.well_formed(data + base)) return fault_from_block(data, base, size);
        owes = owes_past(data + base);
        base += 64;
    }
last:
    if (base == size) return owes ? fault_from_block(data, base, size) : size;
    if (!kernel.tail_well_formed(data + base, size - base)) return fault_from_block(data, base, size);
    return size;
}

#if defined(__SSE2__)
// Compares only (SSE2 has no byte shuffle). Byte by byte, against the one,
// two and three bytes before it: a byte must be a continuation byte exactly
// when a lead before it owes one; C0, C1 and F5..FF never appear; and the
// byte after E0, ED, F0 and F4 keeps to its narrower range.
struct Sse2Kernel {
    __m128i prev = _mm_setzero_si128();  // the last 16 bytes checked

    static __m128i splat(unsigned char c) noexcept { return _mm_set1_epi8(static_cast<char>(c)); }

    static bool ascii(const unsigned char* p) noexcept {
        const auto* v = reinterpret_cast<const __m128i*>(p);
        return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                              _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)))) == 0;
    }

    // Bytes whose high bit is set mark faults.
    static __m128i faults(__m128i cur, __m128i before) noexcept {
        const __m128i p1 = _mm_or_si128(_mm_slli_si128(cur, 1), _mm_srli_si128(before, 15));
        const __m128i p2 = _mm_or_si128(_mm_slli_si128(cur, 2), _mm_srli_si128(before, 14));
        const __m128i p3 = _mm_or_si128(_mm_slli_si128(cur, 3), _mm_srli_si128(before, 13));
        // Saturating: the high bit survives the subtraction only from C0,
        // E0 and F0 on, the leads that owe this byte.
        const __m128i owed = _mm_or_si128(_mm_subs_epu8(p1, splat(0x40)),
                                          _mm_or_si128(_mm_subs_epu8(p2, splat(0x60)), _mm_subs_epu8(p3, splat(0x70))));
        // Signed, 80..BF are the bytes below C0 (-64); ASCII is positive.
        const __m128i cont = _mm_cmpgt_epi8(splat(0xC0), cur);
        const __m128i never = _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(cur, splat(0xFE)), splat(0xC0)),
                                           _mm_and_si128(_mm_cmpgt_epi8(cur, splat(0xF4)), cur));
        // After these leads any byte outside the narrow range is a fault
        // (past the range's other end it is not a continuation byte anyway).
        const __m128i narrow = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(p1, splat(0xE0)), _mm_cmpgt_epi8(splat(0xA0), cur)),
                         _mm_and_si128(_mm_cmpeq_epi8(p1, splat(0xED)), _mm_cmpgt_epi8(cur, splat(0x9F)))),
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(p1, splat(0xF0)), _mm_cmpgt_epi8(splat(0x90), cur)),
                         _mm_and_si128(_mm_cmpeq_epi8(p1, splat(0xF4)), _mm_cmpgt_epi8(cur, splat(0x8F)))));
        return _mm_or_si128(_mm_xor_si128(owed, cont), _mm_or_si128(never, narrow));
    }

    bool well_formed(const unsigned char* p) noexcept {
        __m128i bad = _mm_setzero_si128();
        for (int k = 0; k < 4; ++k) {
            const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            bad = _mm_or_si128(bad, faults(cur, prev));
            prev = cur;
        }
        return _mm_movemask_epi8(bad) == 0;
    }

    bool tail_well_formed(const unsigned char* p, std::size_t n) noexcept {
        alignas(16) unsigned char tail[64] = {};
        std::memcpy(tail, p, n);
        return well_formed(tail);
    }
};
#endif

#if BRINEWICK_UTF8_X86
// The lookup method of Keiser and Lemire ("Validating UTF-8 in less than one
// instruction per byte", 2021). Three 16-entry tables, looked up by the high
// and the low half of the byte before and the high half of the byte itself,
// each give the kinds of fault the pair could show; their AND is the kinds
// it does show. The one pair that is fine only in context, a continuation
// byte after a continuation byte, is set against whether a three- or
// four-byte lead two or three bytes back owes it.
constexpr unsigned char kTooShort = 1 << 0;     // a lead, then no continuation byte
constexpr unsigned char kTooLong = 1 << 1;      // ASCII, then a continuation byte
constexpr unsigned char kOverlong3 = 1 << 2;    // E0 80..9F
constexpr unsigned char kTooLarge = 1 << 3;     // F4 90..BF, F5..FF 90..BF
constexpr unsigned char kSurrogate = 1 << 4;    // ED A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;    // C0 or C1, then a continuation byte
constexpr unsigned char kLarge1000 = 1 << 6;    // F5..FF 80..8F
constexpr unsigned char kOverlong4 = 1 << 6;    // F0 80..8F (never with the above: F0 vs F5..FF)
constexpr unsigned char kTwoConts = 1 << 7;     // two continuation bytes
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoConts;  // whatever the low half

// Indexed by the high half of the byte before.
alignas(16) constexpr unsigned char kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kLarge1000 | kOverlong4,
};
// Indexed by the low half of the byte before.
alignas(16) constexpr unsigned char kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000,
    kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000,
    kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000,
    kCarry | kTooLarge | kLarge1000 | kSurrogate,
    kCarry | kTooLarge | kLarge1000, kCarry | kTooLarge | kLarge1000,
};
// Indexed by the high half of the byte itself.
alignas(16) constexpr unsigned char kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort,
};

// Each wider path runs the same steps (utf8_lookup.inc) on its own vector
// type, compiled once per instruction set in its own namespace: only code
// built for that set may pass its vectors around, so the steps cannot be a
// template over the width called from baseline code.
namespace ssse3 {
#define BRINEWICK_TARGET __attribute__((target("ssse3")))
using Reg = __m128i;
constexpr int kRegs = 4;

BRINEWICK_TARGET inline Reg load(const unsigned char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
BRINEWICK_TARGET inline Reg table(const unsigned char* t) noexcept { return load(t); }
BRINEWICK_TARGET inline Reg splat(unsigned char c) noexcept { return _mm_set1_epi8(static_cast<char>(c)); }
BRINEWICK_TARGET inline Reg subs(Reg a, Reg b) noexcept { return _mm_subs_epu8(a, b); }
// table[x & 15] and table[x >> 4] for each byte x; `low_half` is 0F in each byte.
BRINEWICK_TARGET inline Reg by_low_half(Reg table16, Reg x, Reg low_half) noexcept {
    return _mm_shuffle_epi8(table16, x & low_half);
}
BRINEWICK_TARGET inline Reg by_high_half(Reg table16, Reg x, Reg low_half) noexcept {
    return _mm_shuffle_epi8(table16, _mm_srli_epi16(x, 4) & low_half);
}
BRINEWICK_TARGET inline bool any_high_bit(Reg a) noexcept { return _mm_movemask_epi8(a) != 0; }
BRINEWICK_TARGET inline bool any_byte(Reg a) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) != 0xFFFF;
}
// The bytes N back from each of cur's, the first ones from the end of `before`.
template <int N>
BRINEWICK_TARGET inline Reg back(Reg cur, Reg before) noexcept {
    return _mm_alignr_epi8(cur, before, 16 - N);
}
BRINEWICK_TARGET inline void load_tail(const unsigned char* p, std::size_t n, Reg (&v)[kRegs]) noexcept {
    alignas(16) unsigned char tail[64] = {};
    std::memcpy(tail, p, n);
    for (int k = 0; k < kRegs; ++k) v[k] = load(tail + 16 * k);
}

#include "utf8_lookup.inc"
#undef BRINEWICK_TARGET
}  // namespace ssse3

namespace avx2 {
#define BRINEWICK_TARGET __attribute__((target("avx2")))
using Reg = __m256i;
constexpr int kRegs = 2;

BRINEWICK_TARGET inline Reg load(const unsigned char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
BRINEWICK_TARGET inline Reg table(const unsigned char* t) noexcept {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}
BRINEWICK_TARGET inline Reg splat(unsigned char c) noexcept { return _mm256_set1_epi8(static_cast<char>(c)); }
BRINEWICK_TARGET inline Reg subs(Reg a, Reg b) noexcept { return _mm256_subs_epu8(a, b); }
BRINEWICK_TARGET inline Reg by_low_half(Reg table16, Reg x, Reg low_half) noexcept {
    return _mm256_shuffle_epi8(table16, x & low_half);
}
BRINEWICK_TARGET inline Reg by_high_half(Reg table16, Reg x, Reg low_half) noexcept {
    return _mm256_shuffle_epi8(table16, _mm256_srli_epi16(x, 4) & low_half);
}
BRINEWICK_TARGET inline bool any_high_bit(Reg a) noexcept { return _mm256_movemask_epi8(a) != 0; }
BRINEWICK_TARGET inline bool any_byte(Reg a) noexcept { return _mm256_testz_si256(a, a) == 0; }
// Byte shifts stay inside 16-byte lanes: they take the bytes before each
// lane from the vector whose lanes are the lanes before (before's last, cur's first).
template <int N>
BRINEWICK_TARGET inline Reg back(Reg cur, Reg before) noexcept {
    return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(before, cur, 0x21), 16 - N);
}
BRINEWICK_TARGET inline void load_tail(const unsigned char* p, std::size_t n, Reg (&v)[kRegs]) noexcept {
    alignas(32) unsigned char tail[64] = {};
    std::memcpy(tail, p, n);
    for (int k = 0; k < kRegs; ++k) v[k] = load(tail + 32 * k);
}

#include "utf8_lookup.inc"
#undef BRINEWICK_TARGET
}  // namespace avx2

namespace avx512 {
#define BRINEWICK_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
using Reg = __m512i;
constexpr int kRegs = 1;
constexpr std::uint64_t kAll = ~std::uint64_t{0};

BRINEWICK_TARGET inline Reg load(const unsigned char* p) noexcept { return _mm512_loadu_si512(p); }
// The masked forms of some intrinsics below do the same as the plain ones,
// which GCC 12 warns about (an undefined vector they start from).
BRINEWICK_TARGET inline Reg table(const unsigned char* t) noexcept {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}
BRINEWICK_TARGET inline Reg splat(unsigned char c) noexcept { return _mm512_set1_epi8(static_cast<char>(c)); }
BRINEWICK_TARGET inline Reg subs(Reg a, Reg b) noexcept { return _mm512_subs_epu8(a, b); }
// vpermb reads six bits of each index and the table is its 16 bytes four
// times over, so the bits above the half looked up need no clearing.
BRINEWICK_TARGET inline Reg by_low_half(Reg table16, Reg x, Reg) noexcept {
    return _mm512_maskz_permutexvar_epi8(kAll, x, table16);
}
BRINEWICK_TARGET inline Reg by_high_half(Reg table16, Reg x, Reg) noexcept {
    return _mm512_maskz_permutexvar_epi8(kAll, _mm512_srli_epi16(x, 4), table16);
}
BRINEWICK_TARGET inline bool any_high_bit(Reg a) noexcept { return _mm512_movepi8_mask(a) != 0; }
BRINEWICK_TARGET inline bool any_byte(Reg a) noexcept { return _mm512_test_epi8_mask(a, a) != 0; }
// As for AVX2, with four lanes: valignd gives the lanes before.
template <int N>
BRINEWICK_TARGET inline Reg back(Reg cur, Reg before) noexcept {
    return _mm512_alignr_epi8(cur, _mm512_maskz_alignr_epi32(0xFFFF, cur, before, 12), 16 - N);
}
// The bytes past the end are masked off: read as zero, never touched.
BRINEWICK_TARGET inline void load_tail(const unsigned char* p, std::size_t n, Reg (&v)[kRegs]) noexcept {
    v[0] = _mm512_maskz_loadu_epi8((std::uint64_t{1} << n) - 1, p);  // n < 64
}

#include "utf8_lookup.inc"
#undef BRINEWICK_TARGET
}  // namespace avx512
#endif

using PrefixFunction = std::size_t (*)(const unsigned char*, std::size_t) noexcept;

std::size_t valid_prefix_plain(const unsigned char* data, std::size_t size) noexcept {
    return first_fault(data, 0, size);
}

#if defined(__SSE2__)
// Aligned as the lookup paths are (utf8_lookup.inc).
__attribute__((aligned(64))) std::size_t valid_prefix_sse2(const unsigned char* data, std::size_t size) noexcept {
    return block_prefix<Sse2Kernel>(data, size);
}
#endif

PrefixFunction function_for(Utf8Path path) noexcept {
    if (!utf8_path_supported(path)) return &valid_prefix_plain;  // an unsupported path runs the plain one
    switch (path) {
        case Utf8Path::plain:
            break;
#if defined(__SSE2__)
        case Utf8Path::sse2:
            return &valid_prefix_sse2;
#endif
#if BRINEWICK_UTF8_X86
        case Utf8Path::ssse3:
            return &ssse3::valid_prefix;
        case Utf8Path::avx2:
            return &avx2::valid_prefix;
        case Utf8Path::avx512:
            return &avx512::valid_prefix;
#endif
        default:
            break;
    }
    return &valid_prefix_plain;
}

Utf8Path pick_path() noexcept {
    for (const Utf8Path path : {Utf8Path::avx512, Utf8Path::avx2, Utf8Path::ssse3, Utf8Path::sse2}) {
        if (utf8_path_supported(path)) return path;
    }
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
        case Utf8Path::ssse3:
        case Utf8Path::avx2:
        case Utf8Path::avx512:
#if BRINEWICK_UTF8_X86
            // Also false where the OS does not save the wide registers.
            __builtin_cpu_init();
            if (path == Utf8Path::ssse3) return __builtin_cpu_supports("ssse3") != 0;
            if (path == Utf8Path::avx2) return __builtin_cpu_supports("avx2") != 0;
            // VBMI gives the lookups; it also leaves out Skylake servers,
            // whose clock drops for 512-bit work, slowing the code around.
            return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vbmi") != 0;
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
        case Utf8Path::ssse3:
            return "ssse3";
        case Utf8Path::avx2:
            return "avx2";
        case Utf8Path::avx512:
            return "avx512";
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
        const std::uint64_t word = word_at(data + i);
        if ((word & kHighBits) != 0) {
            i += first_high_byte(word & kHighBits);
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
        std::size_t since_fault = 0;  // sequences taken one by one since the last fault
        while (i < end) {
            // Right after a fault the next few sequences are taken one by
            // one: in text full of bad bytes (random bytes) a call of the
            // vector validator costs more than the few good bytes it finds.
            if (since_fault >= 16) {
                const std::size_t good = valid_utf8_prefix(data + i, end - i);
                std::memcpy(w, data + i, good);
                w += good;
                i += good;
                if (i >= end) break;
            }
            // A fault, or a sequence the chunk's end cuts: judged on the whole input.
            std::size_t maximal = 0;
            const std::size_t len = data[i] < 0x80 ? 1 : sequence_length(data + i, size - i, maximal);
            since_fault = len != 0 ? since_fault + 1 : 0;
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
