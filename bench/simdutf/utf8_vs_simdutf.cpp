// Our UTF-8 validator against simdutf's, on the same buffers.
//
//   utf8_vs_simdutf [--samples N] [--seed S] [--sizes 64K,1M,32M]
//
// Like with like: valid_utf8_prefix answers where the first ill-formed (or
// cut) sequence starts, which is what the parser needs, so its peer is
// simdutf::validate_utf8_with_errors (error code and position). The plain
// yes/no simdutf::validate_utf8 is timed too, as the floor of what a
// validator can cost. Each of our paths (plain, SSE2, SSSE3, AVX2, AVX-512)
// and the path we pick at run time, and each simdutf kernel this CPU runs
// (fallback, westmere, haswell, icelake) with the one simdutf picks,
// validate every buffer; every answer is checked against ours on the plain
// path.
//
// Buffers, each at every size: pure ASCII CSV; mostly-ASCII CSV with some
// 2-, 3- and 4-byte characters; heavy multi-byte text (Cyrillic, CJK,
// emoji); and each of the three with one invalid byte 100 bytes from the end.
//
// A sample is one buffer validated enough times to take a few milliseconds,
// timed per byte; contenders are interleaved and each figure is the median
// (and best) of N samples. GB is 10^9 bytes. The load average is printed
// before and after: the machine is shared.
#include <stdlib.h>  // getloadavg

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser/utf8.hpp"
#include "parser/utf8_paths.hpp"
#include "simdutf.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers "how many leading bytes are well-formed UTF-8".
using Validate = std::function<std::size_t(const unsigned char*, std::size_t)>;

struct Contender {
    std::string name;
    Validate run;
    bool like_ours = true;  // gives the first fault's position, not only yes/no
};

struct Buffer {
    std::string name;
    std::string bytes;
};

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Drops a character that `size` would cut, so every buffer is well-formed.
void cut_to(std::string& text, std::size_t size) {
    text.resize(size);
    std::size_t lead = size;
    while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0 && static_cast<unsigned char>(text[lead - 1]) >= 0x80) {
        const auto b = static_cast<unsigned char>(text[lead - 1]);
        const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        if (size - (lead - 1) < need) text.resize(lead - 1);
    }
    text.resize(size, '\n');
}

// Rows of ten comma-separated fields; `non_ascii` is the chance that a
// field is a name with a 2-, 3- or 4-byte character in it.
std::string make_csv(std::size_t size, double non_ascii, std::mt19937_64& rng) {
    static constexpr char32_t kWide[] = {U'é', U'ß', U'ø', U'€', U'中', U'ー', U'😀', U'𝄞'};
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<int> digit(0, 99999);
    std::uniform_int_distribution<std::size_t> wide(0, std::size(kWide) - 1);
    std::bernoulli_distribution named(non_ascii);
    std::string out;
    out.reserve(size + 256);
    while (out.size() < size) {
        for (int field = 0; field < 10; ++field) {
            if (field) out.push_back(',');
            if (field % 3 == 0) {
                out.append(std::to_string(digit(rng)));
                continue;
            }
            for (int k = 0; k < 7; ++k) out.push_back(static_cast<char>(letter(rng)));
            if (named(rng)) append_utf8(out, kWide[wide(rng)]);
        }
        out.push_back('\n');
    }
    cut_to(out, size);
    return out;
}

// Words of Cyrillic (2 bytes), CJK (3 bytes) and a few emoji (4 bytes),
// with ASCII spaces and punctuation between them.
std::string make_multibyte(std::size_t size, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> script(0, 9);
    std::uniform_int_distribution<std::uint32_t> cyrillic(0x0430, 0x044F);
    std::uniform_int_distribution<std::uint32_t> cjk(0x4E00, 0x9FA5);
    std::uniform_int_distribution<std::uint32_t> emoji(0x1F600, 0x1F64F);
    std::uniform_int_distribution<int> length(2, 8);
    std::string out;
    out.reserve(size + 64);
    while (out.size() < size) {
        const int s = script(rng);
        for (int k = length(rng); k > 0; --k) {
            append_utf8(out, static_cast<char32_t>(s < 5 ? cyrillic(rng) : s < 9 ? cjk(rng) : emoji(rng)));
        }
        out.push_back(s == 0 ? ',' : s == 1 ? '\n' : ' ');
    }
    cut_to(out, size);
    return out;
}

// A lone 0xFF in place of the character that covers `size - 100`.
std::string with_fault_near_end(std::string text) {
    std::size_t at = text.size() > 100 ? text.size() - 100 : 0;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    text[at] = static_cast<char>(0xFF);
    return text;
}

std::size_t parse_size(std::string_view text) {
    std::size_t value = std::strtoull(std::string(text).c_str(), nullptr, 10);
    switch (text.empty() ? ' ' : text.back()) {
        case 'K': case 'k': value <<= 10; break;
        case 'M': case 'm': value <<= 20; break;
        default: break;
    }
    return value;
}

std::string size_name(std::size_t size) {
    return size >= (1u << 20) ? std::to_string(size >> 20) + " MiB" : std::to_string(size >> 10) + " KiB";
}

double load_average() {
    double load[1] = {0.0};
    return getloadavg(load, 1) == 1 ? load[0] : -1.0;
}

std::size_t simdutf_prefix(const simdutf::result& r, std::size_t size) {
    return r.error == simdutf::error_code::SUCCESS ? size : r.count;
}

std::vector<Contender> contenders() {
    using brinewick::Utf8Path;
    std::vector<Contender> all;
    all.push_back({std::string("ours ") + brinewick::utf8_path_name(brinewick::utf8_chosen_path()) + " (picked)",
                   [](const unsigned char* d, std::size_t n) { return brinewick::valid_utf8_prefix(d, n); }});
    for (const Utf8Path path : {Utf8Path::avx512, Utf8Path::avx2, Utf8Path::ssse3, Utf8Path::sse2, Utf8Path::plain}) {
        if (!brinewick::utf8_path_supported(path)) continue;
        all.push_back({std::string("ours ") + brinewick::utf8_path_name(path),
                       [path](const unsigned char* d, std::size_t n) {
                           return brinewick::valid_utf8_prefix_on(path, d, n);
                       }});
    }
    const std::string picked(simdutf::get_active_implementation()->name());
    all.push_back({"simdutf " + picked + " (picked) with_errors",
                   [](const unsigned char* d, std::size_t n) {
                       return simdutf_prefix(
                           simdutf::validate_utf8_with_errors(reinterpret_cast<const char*>(d), n), n);
                   }});
    all.push_back({"simdutf " + picked + " (picked) yes/no",
                   [](const unsigned char* d, std::size_t n) -> std::size_t {
                       // Only says whether; a failure counts as "not all" for the check.
                       return simdutf::validate_utf8(reinterpret_cast<const char*>(d), n) ? n : 0;
                   },
                   false});
    for (const simdutf::implementation* impl : simdutf::get_available_implementations()) {
        if (!impl->supported_by_runtime_system() || impl->name() == picked) continue;
        all.push_back({"simdutf " + std::string(impl->name()) + " with_errors",
                       [impl](const unsigned char* d, std::size_t n) {
                           return simdutf_prefix(
                               impl->validate_utf8_with_errors(reinterpret_cast<const char*>(d), n), n);
                       }});
    }
    return all;
}

struct Figures {
    double median_gbps = 0.0;
    double best_gbps = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
    int samples = 11;
    std::uint64_t seed = 1;
    std::vector<std::size_t> sizes = {std::size_t{64} << 10, std::size_t{1} << 20, std::size_t{32} << 20};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--samples" && i + 1 < argc) {
            samples = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::string_view list = argv[++i];
            while (!list.empty()) {
                const std::size_t comma = std::min(list.find(','), list.size());
                sizes.push_back(parse_size(list.substr(0, comma)));
                list.remove_prefix(std::min(comma + 1, list.size()));
            }
        } else {
            std::fprintf(stderr, "usage: %s [--samples N] [--seed S] [--sizes 64K,1M,32M]\n", argv[0]);
            return 2;
        }
    }

    const std::vector<Contender> all = contenders();
    std::printf("simdutf %s; its kernels here:", SIMDUTF_VERSION);
    for (const simdutf::implementation* impl : simdutf::get_available_implementations()) {
        if (impl->supported_by_runtime_system()) std::printf(" %s", std::string(impl->name()).c_str());
    }
    std::printf("\nseed %llu, %d samples, load average %.2f at the start\n",
                static_cast<unsigned long long>(seed), samples, load_average());

    std::size_t mismatches = 0;
    std::size_t sink = 0;
    std::string summary;  // one line per buffer: ours picked against simdutf's like-for-like call
    for (const std::size_t size : sizes) {
        std::mt19937_64 rng(seed);
        std::vector<Buffer> buffers;
        buffers.push_back({"ascii csv", make_csv(size, 0.0, rng)});
        buffers.push_back({"mostly-ascii csv", make_csv(size, 0.05, rng)});
        buffers.push_back({"multi-byte text", make_multibyte(size, rng)});
        for (std::size_t k = 0, n = buffers.size(); k < n; ++k) {
            buffers.push_back({buffers[k].name + ", fault near end", with_fault_near_end(buffers[k].bytes)});
        }

        for (const Buffer& buffer : buffers) {
            const auto* data = reinterpret_cast<const unsigned char*>(buffer.bytes.data());
            const std::size_t n = buffer.bytes.size();
            std::size_t high = 0;
            for (const char c : buffer.bytes) high += static_cast<unsigned char>(c) >= 0x80;
            const std::size_t expected = brinewick::valid_utf8_prefix_on(brinewick::Utf8Path::plain, data, n);

            // Enough calls per sample for about 2 ms at 10 GB/s.
            const std::size_t calls = std::max<std::size_t>(1, (std::size_t{20} << 20) / n);
            std::vector<std::vector<double>> gbps(all.size());
            for (int s = 0; s < samples; ++s) {
                for (std::size_t c = 0; c < all.size(); ++c) {
                    const auto start = Clock::now();
                    for (std::size_t k = 0; k < calls; ++k) sink += all[c].run(data, n);
                    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                    gbps[c].push_back(static_cast<double>(n) * static_cast<double>(calls) / seconds / 1e9);
                }
            }

            std::printf("\n%s, %s (%zu bytes, %.1f%% non-ASCII bytes, valid prefix %zu)\n", buffer.name.c_str(),
                        size_name(size).c_str(), n, 100.0 * static_cast<double>(high) / static_cast<double>(n),
                        expected);
            std::vector<Figures> figures(all.size());
            for (std::size_t c = 0; c < all.size(); ++c) {
                std::vector<double>& v = gbps[c];
                std::sort(v.begin(), v.end());
                figures[c] = {v[v.size() / 2], v.back()};
            }
            const double ours = figures[0].median_gbps;
            // The first simdutf contender is its picked kernel's with_errors.
            const auto peer = static_cast<std::size_t>(
                std::find_if(all.begin(), all.end(), [](const Contender& c) { return c.name.rfind("simdutf", 0) == 0; }) -
                all.begin());
            char line[160];
            std::snprintf(line, sizeof line, "  %-34s %-8s %7.2f %9.2f %8.2fx\n", buffer.name.c_str(),
                          size_name(size).c_str(), ours, figures[peer].median_gbps, ours / figures[peer].median_gbps);
            summary += line;
            for (std::size_t c = 0; c < all.size(); ++c) {
                const std::size_t answer = all[c].run(data, n);
                const bool agrees = all[c].like_ours ? answer == expected : (answer == n) == (expected == n);
                mismatches += !agrees;
                std::printf("  %-36s %7.2f GB/s median  %7.2f best  %5.2fx ours picked%s\n", all[c].name.c_str(),
                            figures[c].median_gbps, figures[c].best_gbps, figures[c].median_gbps / ours,
                            agrees ? "" : "  ANSWER DIFFERS");
            }
        }
    }
    std::printf("\nMedian GB/s, ours as picked against simdutf's with_errors as picked (>1: ours faster)\n"
                "  %-34s %-8s %7s %9s %9s\n%s",
                "buffer", "size", "ours", "simdutf", "ratio", summary.c_str());
    std::printf("\nload average %.2f at the end; %zu answers differed from ours (checksum %zu)\n", load_average(),
                mismatches, sink);
    return mismatches == 0 ? 0 : 1;
}
