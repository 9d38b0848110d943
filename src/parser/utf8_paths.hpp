// The instruction-set paths of valid_utf8_prefix, so that the tests and the
// benchmarks can run each one the machine supports. All give the same
// answer; valid_utf8_prefix picks the fastest once, at the first call.
#pragma once

#include <cstddef>

namespace brinewick {

enum class Utf8Path {
    plain,   // ASCII eight bytes a word, other characters one by one; any CPU
    sse2,    // 16-byte compares (x86-64 baseline)
    ssse3,   // 16-byte table lookups; the wider ones and this chosen at run time
    avx2,    // 32-byte table lookups
    avx512,  // 64-byte table lookups (AVX-512 BW, on CPUs that also have VBMI)
};

// Built into this binary and supported by the CPU it runs on.
[[nodiscard]] bool utf8_path_supported(Utf8Path path) noexcept;

// The path valid_utf8_prefix runs.
[[nodiscard]] Utf8Path utf8_chosen_path() noexcept;

[[nodiscard]] const char* utf8_path_name(Utf8Path path) noexcept;

// valid_utf8_prefix on `path`; a path that is not supported runs the plain one.
[[nodiscard]] std::size_t valid_utf8_prefix_on(Utf8Path path, const unsigned char* data,
                                               std::size_t size) noexcept;

}  // namespace brinewick
