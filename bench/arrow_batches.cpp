// Cost of building Arrow batches from parsed rows, against parsing alone.
//
//   arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]
//
// Reads FILE whole into memory, then times, best of N interleaved runs:
//   parse         ResilientParser::next_row(RowBuffer&) over every row
//   parse+str     the same, every row after the header into string batches
//                 (finished and released as they fill)
//   parse+scan    the same parse feeding SchemaScanner with inference on
//                 (the first pass of a typed read)
//   parse+typed   the same parse into batches of the inferred types (the
//                 second pass)
//   keep+convert  one pass: string batches kept while the scanner infers,
//                 then converted to the inferred types (string columns
//                 move over without a copy)
// and prints rows/s, MB/s (of input, 10^6 bytes) and the ratios to parse.
// A typed read costs parse+scan plus parse+typed in two passes, or
// keep+convert in one; their ratios to parse+str are what inference adds. Cell counts are summed and
// printed so the compiler cannot drop the work.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace brinewick;

struct Tally {
    std::size_t rows = 0;
    std::size_t cells = 0;
    std::size_t batches = 0;
};

Tally parse_only(std::string_view text) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    Tally t;
    while (parser.next_row(row)) {
        ++t.rows;
        t.cells += row.size();
    }
    return t;
}

std::vector<std::string> header_of(std::string_view text) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    std::vector<std::string> out;
    if (parser.next_row(row)) {
        for (std::size_t i = 0; i < row.size(); ++i) out.emplace_back(row.field(i));
    }
    return out;
}

Tally build(std::string_view text, const std::vector<arrow::ColumnSpec>& columns, const arrow::BatchOptions& options) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    arrow::BatchBuilder builder(columns, options);
    Tally t;
    auto flush = [&] {
        ArrowArray batch;
        builder.finish(&batch);
        t.cells += static_cast<std::size_t>(batch.length) * static_cast<std::size_t>(batch.n_children);
        ++t.batches;
        batch.release(&batch);
    };
    bool header = true;
    while (parser.next_row(row)) {
        ++t.rows;
        if (header) {
            header = false;
            continue;
        }
        arrow::AppendResult r = builder.append_row(row);
        if (r == arrow::AppendResult::Full) {
            flush();
            r = builder.append_row(row);
        }
        if (r != arrow::AppendResult::Ok) {
            std::fprintf(stderr, "append failed: %s\n", builder.refusal().message().c_str());
            std::exit(1);
        }
        if (builder.full()) flush();
    }
    if (builder.rows() > 0) flush();
    return t;
}

Tally scan_rows(std::string_view text, std::vector<arrow::ColumnSpec>* columns) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    arrow::SchemaScanner scanner({.header = true, .infer = true, .empty_as_null = true});
    Tally t;
    while (parser.next_row(row)) {
        ++t.rows;
        t.cells += row.size();
        scanner.add_row(row);
    }
    auto result = scanner.columns();
    if (columns != nullptr) *columns = std::get<std::vector<arrow::ColumnSpec>>(result);
    return t;
}

// One pass for a typed read: string batches kept while the scanner infers,
// then each converted to the inferred columns (string columns move over).
Tally keep_and_convert(std::string_view text, const std::vector<arrow::ColumnSpec>& strings,
                       const arrow::BatchOptions& options) {
    ResilientParser parser(text, ',', '"', true);
    RowBuffer row;
    arrow::SchemaScanner scanner({.header = true, .infer = true, .empty_as_null = true});
    arrow::BatchBuilder builder(strings, options);
    std::vector<ArrowArray> kept;
    Tally t;
    auto keep = [&] {
        kept.emplace_back();
        builder.finish(&kept.back());
    };
    bool header = true;
    while (parser.next_row(row)) {
        ++t.rows;
        scanner.add_row(row);
        if (header) {
            header = false;
            continue;
        }
        if (builder.append_row(row) != arrow::AppendResult::Ok) {
            std::fprintf(stderr, "append failed: %s\n", builder.refusal().message().c_str());
            std::exit(1);
        }
        if (builder.full()) keep();
    }
    if (builder.rows() > 0) keep();
    const auto columns = std::get<std::vector<arrow::ColumnSpec>>(scanner.columns());
    for (ArrowArray& in : kept) {
        ArrowArray out;
        const std::string error = arrow::convert_batch(&in, false, columns, false, &out);
        if (!error.empty()) {
            std::fprintf(stderr, "convert failed: %s\n", error.c_str());
            std::exit(1);
        }
        t.cells += static_cast<std::size_t>(out.length) * static_cast<std::size_t>(out.n_children);
        ++t.batches;
        out.release(&out);
    }
    return t;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best wall time, and best CPU time of this process (steadier on a loaded
// machine: time spent waiting for a core is not counted).
struct Best {
    double wall = 1e300;
    double cpu = 1e300;
};

template <typename Work>
void time_best(Best& best, Tally& tally, Work&& work) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    tally = work();
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu_start);
    best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
}

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    out = std::move(buf).str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef NDEBUG
    std::fprintf(stderr, "warning: assertions on; build with -DCMAKE_BUILD_TYPE=Release\n");
#endif
    const char* path = nullptr;
    int reps = 5;
    arrow::BatchOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--reps" && has_value) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--max-rows" && has_value) {
            options.limits.max_rows = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (arg == "--max-mb" && has_value) {
            options.limits.max_bytes = static_cast<std::size_t>(std::atof(argv[++i]) * (1 << 20));
        } else if (path == nullptr && !arg.empty() && arg[0] != '-') {
            path = argv[i];
        } else {
            std::fprintf(stderr, "usage: arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]\n");
            return 2;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: arrow_batches FILE [--reps N] [--max-rows N] [--max-mb M]\n");
        return 2;
    }
    std::string text;
    if (!read_file(path, text)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    const std::string_view view(text);

    std::vector<arrow::ColumnSpec> strings;
    for (const std::string& name : header_of(view)) strings.push_back({name, arrow::ColumnType::Utf8});
    std::vector<arrow::ColumnSpec> typed;
    scan_rows(view, &typed);

    Best t_parse, t_str, t_scan, t_typed, t_keep;
    Tally parse_t, str_t, scan_t, typed_t, keep_t;
    for (int r = 0; r < reps; ++r) {
        time_best(t_parse, parse_t, [&] { return parse_only(view); });
        time_best(t_str, str_t, [&] { return build(view, strings, options); });
        time_best(t_scan, scan_t, [&] { return scan_rows(view, nullptr); });
        time_best(t_typed, typed_t, [&] { return build(view, typed, options); });
        time_best(t_keep, keep_t, [&] { return keep_and_convert(view, strings, options); });
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("input %s: %zu bytes (%.1f MB), %zu rows, best of %d; batches of <= %zu rows / %.0f MiB\n", path,
                text.size(), mb, parse_t.rows, reps, options.limits.max_rows,
                static_cast<double>(options.limits.max_bytes) / (1 << 20));
    std::printf("  inferred:");
    for (const auto& c : typed) std::printf(" %s:%s", c.name.c_str(), std::string(arrow::column_type_name(c.type)).c_str());
    std::printf("\n");
    auto line = [&](const char* name, const Best& b, const Tally& t) {
        std::printf("  %-12s wall %7.4f s %7.1f MB/s %5.2f M rows/s x%.2f | cpu %7.4f s %7.1f MB/s x%.2f  (cells %zu, batches %zu)\n",
                    name, b.wall, mb / b.wall, static_cast<double>(t.rows) / b.wall / 1e6, b.wall / t_parse.wall, b.cpu,
                    mb / b.cpu, b.cpu / t_parse.cpu, t.cells, t.batches);
    };
    std::printf("  (x: time as a multiple of parse alone)\n");
    line("parse", t_parse, parse_t);
    line("parse+str", t_str, str_t);
    line("parse+scan", t_scan, scan_t);
    line("parse+typed", t_typed, typed_t);
    line("keep+convert", t_keep, keep_t);
    std::printf("  building string batches adds %.0f%% (wall) / %.0f%% (cpu) to parsing\n",
                (t_str.wall / t_parse.wall - 1) * 100, (t_str.cpu / t_parse.cpu - 1) * 100);
    std::printf("  typed read / string read, wall (cpu): two passes (scan + typed) x%.2f (x%.2f), "
                "one pass (keep+convert) x%.2f (x%.2f)\n",
                (t_scan.wall + t_typed.wall) / t_str.wall, (t_scan.cpu + t_typed.cpu) / t_str.cpu,
                t_keep.wall / t_str.wall, t_keep.cpu / t_str.cpu);
    return 0;
}
