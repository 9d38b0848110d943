// Parser throughput against the practical upper bound of a memchr scan.
//
//   parser_throughput FILE [--reps N] [--delimiter C] [--no-repair]
//       Parses FILE (read whole into memory) with next_row(RowBuffer&) and
//       with next_row_raw, and counts its LF bytes with memchr, best of N
//       runs each, interleaved; prints MB/s and the ratios. Also parses
//       with an active cancel check (one that always says go on), which is
//       what the Python module runs, to show what asking costs. Then runs
//       the UTF-8 validator alone over FILE on each instruction-set path the
//       CPU supports (past each fault it goes on a byte later), with the
//       ratios to the path valid_utf8_prefix picks.
//   parser_throughput --storm SIZE_MB [--reps N] [--lines KB]
//       Builds '"' + 'a"b' * n + '"' in memory at SIZE_MB and at 4 * SIZE_MB
//       and times both: a linear parser takes about 4 times as long on the
//       larger one. --lines KB cuts the storm into rows of KB kilobytes.
//
// MB is 10^6 bytes. Field and row counts are summed and printed so the
// compiler cannot drop the work.
#include <stdlib.h>  // getloadavg

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"
#include "parser/utf8_paths.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double bytes_per_mb = 1e6;

struct Tally {
    std::size_t rows = 0;
    std::size_t fields = 0;
    std::size_t field_bytes = 0;
};

struct Timed {
    double best_seconds = 0.0;
    Tally tally;
};

struct Dialect {
    std::uint8_t delimiter = ',';
    bool repair_quotes = true;
};

std::size_t g_questions = 0;
bool count_and_go_on(void*) noexcept {
    ++g_questions;
    return true;
}

template <bool Raw>
Tally parse_all(std::string_view text, const Dialect& dialect, bool ask = false) {
    brinewick::ResilientParser parser(text, dialect.delimiter, '"', dialect.repair_quotes);
    brinewick::CancelCheck cancel(&count_and_go_on, nullptr);
    if (ask) parser.set_cancel_check(&cancel);
    brinewick::RowBuffer row;
    Tally tally;
    while (Raw ? parser.next_row_raw(row) : parser.next_row(row)) {
        ++tally.rows;
        tally.fields += row.size();
        for (std::size_t i = 0; i < row.size(); ++i) tally.field_bytes += row.field(i).size();
    }
    return tally;
}

// Counting LF bytes with memchr: what reading the buffer costs at the least.
Tally count_lines(std::string_view text) {
    Tally tally;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (hit == nullptr) break;
        ++tally.rows;
        p = static_cast<const char*>(hit) + 1;
    }
    tally.field_bytes = text.size();
    return tally;
}

// The validator over the whole text: the faults it stops at are counted in
// `rows`, the well-formed bytes in `field_bytes`.
Tally validate_all(std::string_view text, brinewick::Utf8Path path) {
    Tally tally;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t good = brinewick::valid_utf8_prefix_on(path, p + at, text.size() - at);
        tally.field_bytes += good;
        at += good;
        if (at < text.size()) {
            ++tally.rows;
            ++at;
        }
    }
    return tally;
}

template <typename Work>
double time_once(Work&& work, Tally& tally) {
    const auto start = Clock::now();
    tally = work();
    const auto stop = Clock::now();
    return std::chrono::duration<double>(stop - start).count();
}

double mb_per_s(std::size_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / bytes_per_mb / seconds : 0.0;
}

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    out = std::move(buf).str();
    return static_cast<bool>(in) || in.eof();
}

void print_line(const char* name, std::size_t bytes, const Timed& t) {
    std::printf("  %-22s %9.1f MB/s  best %8.4f s  rows %zu  fields %zu\n", name,
                mb_per_s(bytes, t.best_seconds), t.best_seconds, t.tally.rows, t.tally.fields);
}

int run_file(const char* path, int reps, const Dialect& dialect) {
    std::string text;
    if (!read_file(path, text)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    const std::string_view view(text);
    Timed decoded;
    Timed asking;
    Timed raw;
    Timed scan;
    decoded.best_seconds = asking.best_seconds = raw.best_seconds = scan.best_seconds = 1e300;
    std::vector<brinewick::Utf8Path> paths;
    for (const auto p : {brinewick::Utf8Path::plain, brinewick::Utf8Path::sse2, brinewick::Utf8Path::ssse3,
                         brinewick::Utf8Path::avx2, brinewick::Utf8Path::avx512})
        if (brinewick::utf8_path_supported(p)) paths.push_back(p);
    std::vector<Timed> validated(paths.size());
    for (auto& t : validated) t.best_seconds = 1e300;
    // Interleaved, so that a burst of load on the shared machine hits all
    // three alike rather than one of them.
    for (int r = 0; r < reps; ++r) {
        decoded.best_seconds = std::min(
            decoded.best_seconds, time_once([&] { return parse_all<false>(view, dialect); }, decoded.tally));
        asking.best_seconds = std::min(
            asking.best_seconds,
            time_once([&] { return parse_all<false>(view, dialect, true); }, asking.tally));
        raw.best_seconds = std::min(
            raw.best_seconds, time_once([&] { return parse_all<true>(view, dialect); }, raw.tally));
        scan.best_seconds =
            std::min(scan.best_seconds, time_once([&] { return count_lines(view); }, scan.tally));
        for (std::size_t k = 0; k < paths.size(); ++k) {
            validated[k].best_seconds =
                std::min(validated[k].best_seconds,
                         time_once([&] { return validate_all(view, paths[k]); }, validated[k].tally));
        }
    }
    std::printf("input %s: %zu bytes (%.1f MB), best of %d, delimiter '%c', repair_quotes %s\n", path,
                text.size(), static_cast<double>(text.size()) / bytes_per_mb, reps,
                static_cast<char>(dialect.delimiter), dialect.repair_quotes ? "on" : "off");
    print_line("next_row(RowBuffer&)", text.size(), decoded);
    print_line("next_row, cancel check", text.size(), asking);
    print_line("next_row_raw", text.size(), raw);
    std::printf("  %-22s %9.1f MB/s  best %8.4f s  LF bytes %zu\n", "memchr LF count",
                mb_per_s(text.size(), scan.best_seconds), scan.best_seconds, scan.tally.rows);
    std::printf("  ratio memchr / next_row      %6.2fx\n", decoded.best_seconds / scan.best_seconds);
    std::printf("  ratio memchr / next_row_raw  %6.2fx\n", raw.best_seconds / scan.best_seconds);
    std::printf("  ratio next_row_raw / next_row %5.2fx faster\n", decoded.best_seconds / raw.best_seconds);
    std::printf("  ratio cancel check / next_row %5.3fx time (%zu questions over all runs)\n",
                asking.best_seconds / decoded.best_seconds, g_questions);
    const brinewick::Utf8Path chosen = brinewick::utf8_chosen_path();
    double chosen_seconds = 0.0;
    for (std::size_t k = 0; k < paths.size(); ++k)
        if (paths[k] == chosen) chosen_seconds = validated[k].best_seconds;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        std::printf("  utf8 prefix, %-8s %9.1f MB/s  best %8.4f s  faults %zu  %5.2fx the time of %s%s\n",
                    brinewick::utf8_path_name(paths[k]), mb_per_s(text.size(), validated[k].best_seconds),
                    validated[k].best_seconds, validated[k].tally.rows,
                    validated[k].best_seconds / chosen_seconds, brinewick::utf8_path_name(chosen),
                    paths[k] == chosen ? " (chosen)" : "");
    }
    double load[3];
    if (::getloadavg(load, 3) == 3) std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}

std::string make_storm(std::size_t size, std::size_t line_bytes) {
    std::string text;
    text.reserve(size + 8);
    if (line_bytes == 0) {
        text.push_back('"');
        while (text.size() + 4 <= size) text.append("a\"b");
        text.push_back('"');
        return text;
    }
    // Rows of '"' + 'a"b' * k + '",x' and a line feed.
    std::string row = "\"";
    while (row.size() + 3 + 4 <= line_bytes) row.append("a\"b");
    row.append("\",x\n");
    while (text.size() < size) text.append(row);
    return text;
}

Timed time_storm(std::string_view text, int reps) {
    Timed t;
    t.best_seconds = 1e300;
    const Dialect dialect{};
    for (int r = 0; r < reps; ++r)
        t.best_seconds = std::min(t.best_seconds,
                                  time_once([&] { return parse_all<false>(text, dialect); }, t.tally));
    return t;
}

int run_storm(double size_mb, int reps, double line_kb) {
    const auto small_size = static_cast<std::size_t>(size_mb * bytes_per_mb);
    const auto line_bytes = static_cast<std::size_t>(line_kb * 1000.0);
    const std::string small = make_storm(small_size, line_bytes);
    // Four times the bytes actually built, so that whole rows scale exactly.
    const std::string large = make_storm(4 * small.size(), line_bytes);
    const Timed ts = time_storm(small, reps);
    const Timed tl = time_storm(large, reps);
    std::printf("quote storm%s, best of %d, repair_quotes on\n",
                line_bytes == 0 ? " (one field)" : " (rows)", reps);
    print_line("size S", small.size(), ts);
    print_line("size 4S", large.size(), tl);
    std::printf("  S = %zu bytes: %.4f s; 4S = %zu bytes: %.4f s\n", small.size(), ts.best_seconds,
                large.size(), tl.best_seconds);
    std::printf("  time ratio 4S / S: %.2f for a size ratio of %.2f (equal for linear time)\n",
                tl.best_seconds / ts.best_seconds,
                static_cast<double>(large.size()) / static_cast<double>(small.size()));
    // Every quote inside is stray, so each field keeps all of its 'a"b'.
    if (line_bytes == 0 && tl.tally.field_bytes != large.size() - 2)
        std::printf("  note: field holds %zu bytes, expected %zu\n", tl.tally.field_bytes,
                    large.size() - 2);
    return 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: parser_throughput FILE [--reps N] [--delimiter C] [--no-repair]\n"
                 "       parser_throughput --storm SIZE_MB [--reps N] [--lines KB]\n");
}

}  // namespace

int main(int argc, char** argv) {
#ifndef NDEBUG
    std::fprintf(stderr, "warning: assertions on; build with -DCMAKE_BUILD_TYPE=Release\n");
#endif
    const char* path = nullptr;
    int reps = 5;
    double storm_mb = 0.0;
    double line_kb = 0.0;
    Dialect dialect;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--reps" && has_value) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--storm" && has_value) {
            storm_mb = std::atof(argv[++i]);
        } else if (arg == "--lines" && has_value) {
            line_kb = std::atof(argv[++i]);
        } else if (arg == "--delimiter" && has_value) {
            dialect.delimiter = static_cast<std::uint8_t>(argv[++i][0]);
        } else if (arg == "--no-repair") {
            dialect.repair_quotes = false;
        } else if (!arg.empty() && arg[0] != '-' && path == nullptr) {
            path = argv[i];
        } else {
            usage();
            return 2;
        }
    }
    if (storm_mb > 0) return run_storm(storm_mb, reps, line_kb);
    if (path == nullptr) {
        usage();
        return 2;
    }
    return run_file(path, reps, dialect);
}
