// A whole salvage, from bytes to both sinks: the reader's table (salvage_slice)
// and the clean and quarantine CSV (the writers, and salvage_file on disk).
//
// Checked on every input: the rows and records against a model built on the
// reference parser and the heuristics model; the table read through its
// cursor; the counters' invariants; the bytes of salvage_file against the
// writers' lines; and, read back by a strict CSV reader, the clean CSV gives
// exactly the table's rows and the quarantine exactly its records.
//
// Input: flags (bit 0 delimiter given, bit 1 fill_ragged_rows, bit 2
// merge_overflow, bit 3 repair_quotes, bits 4-5 expected_columns: inferred,
// 0, or the next byte mod 64 twice), delimiter byte, quote byte, column
// byte, then the text.
#include <stdlib.h>  // mkdtemp
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "heuristics_model.hpp"
#include "reference_parser.hpp"
#include "salvage/csv_writer.hpp"
#include "salvage/row_table.hpp"
#include "salvage/salvage.hpp"
#include "salvage/salvage_file.hpp"

namespace {

using brinewick_fuzz::fail;
using brinewick_fuzz::latin1_utf8;
using brinewick_test::printable;
using Rows = std::vector<std::vector<std::string>>;

// Feeds the writers and a second table, as salvage_file and the reader do.
class WriterSink final : public brinewick::RowSink {
public:
    WriterSink(std::uint8_t delimiter, std::uint8_t quote) : delimiter_(delimiter), quote_(quote) {}
    bool clean_row(const brinewick::RowBuffer& row) override {
        brinewick::append_clean_line(clean, row, delimiter_, quote_);
        table.push_row(row);
        return true;
    }
    void quarantine_row(brinewick::QuarantineRecord record) override {
        brinewick::append_quarantine_line(quarantine, record, delimiter_);
    }

    std::string clean;
    std::string quarantine{brinewick::kQuarantineHeader};
    brinewick::RowTable table;

private:
    std::uint8_t delimiter_;
    std::uint8_t quote_;
};

struct ModelOutcome {
    Rows clean;
    std::vector<brinewick::QuarantineRecord> quarantine;
    brinewick::SalvageSummary summary;
};

std::string join(const std::vector<std::string>& fields, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) out += separator;
        out += fields[i];
    }
    return out;
}

// The classification rules over the reference parser's rows.
ModelOutcome model_salvage(std::string_view text, const brinewick::SalvageOptions& o) {
    ModelOutcome m;
    if (text.empty()) return m;
    const std::uint8_t delimiter = o.delimiter ? *o.delimiter : brinewick_test::model_sniff(text);
    const std::size_t expected = o.expected_columns ? *o.expected_columns : brinewick_test::model_infer(text, delimiter);
    m.summary.detected_delimiter = delimiter;
    m.summary.inferred_columns = expected;
    brinewick_test::Dialect d;
    d.delimiter = delimiter;
    d.quote = o.quote_char;
    d.repair = o.repair_quotes;
    std::size_t begins = 1;
    for (const auto& parsed : brinewick_test::model_rows(text, d)) {
        auto fields = brinewick_test::decoded(parsed.raw);
        const std::size_t line = begins;
        begins = parsed.line;
        ++m.summary.total_rows;
        bool repaired = false;
        if (expected != 0 && fields.size() < expected) {
            if (!o.fill_ragged_rows) {
                m.quarantine.push_back({fields, "Row has too few columns (expected " + std::to_string(expected) + ")", line});
                continue;
            }
            fields.resize(expected);
            repaired = true;
        } else if (expected != 0 && fields.size() > expected) {
            if (!o.merge_overflow) {
                m.quarantine.push_back({fields, "Row has extra columns (expected " + std::to_string(expected) + ")", line});
                continue;
            }
            const std::vector<std::string> tail(fields.begin() + static_cast<std::ptrdiff_t>(expected - 1), fields.end());
            fields.resize(expected - 1);
            fields.push_back(join(tail, latin1_utf8(delimiter)));
            repaired = true;
        }
        m.clean.push_back(std::move(fields));
        ++m.summary.salvaged_rows;
        if (repaired) ++m.summary.repaired_rows;
    }
    m.summary.quarantined_rows = m.quarantine.size();
    return m;
}

std::string describe(const brinewick::SalvageOptions& o) {
    std::string out = "delimiter=";
    out += o.delimiter ? printable(std::string(1, static_cast<char>(*o.delimiter))) : "sniffed";
    out += " quote=" + printable(std::string(1, static_cast<char>(o.quote_char)));
    out += " expected=" + (o.expected_columns ? std::to_string(*o.expected_columns) : std::string("inferred"));
    out += std::string(" fill=") + (o.fill_ragged_rows ? "on" : "off") + " merge=" + (o.merge_overflow ? "on" : "off") +
           " repair=" + (o.repair_quotes ? "on" : "off");
    return out;
}

std::string summary_text(const brinewick::SalvageSummary& s) {
    return "delimiter " + std::to_string(static_cast<std::uint32_t>(s.detected_delimiter)) + " total " +
           std::to_string(s.total_rows) + " salvaged " + std::to_string(s.salvaged_rows) + " repaired " +
           std::to_string(s.repaired_rows) + " quarantined " + std::to_string(s.quarantined_rows) + " columns " +
           std::to_string(s.inferred_columns);
}

bool same(const brinewick::SalvageSummary& a, const brinewick::SalvageSummary& b) {
    return summary_text(a) == summary_text(b);
}

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// Every row through the cursor the reader uses, with its ASCII flags (the
// reader builds an ASCII str from a field without looking when it is set).
Rows read_table(const brinewick::RowTable& table, std::string_view text, const std::string& context) {
    Rows rows;
    auto cursor = table.cursor();
    std::vector<std::string_view> fields;
    std::vector<bool> ascii;
    while (cursor.next(fields, &ascii)) {
        std::vector<std::string> row(fields.begin(), fields.end());
        for (std::size_t f = 0; f < row.size(); ++f) {
            if (ascii[f] && !is_ascii(row[f])) fail("a non-ASCII field flagged ASCII in the table", text, context);
        }
        rows.push_back(std::move(row));
    }
    if (rows.size() != table.size()) fail("the table's size is not its row count", text, context);
    return rows;
}

// A scratch directory for salvage_file, made once per process.
class Scratch {
public:
    Scratch() {
        // Memory-backed when possible: on a disk file system truncating and
        // closing a written file waits for writeback, ten times the cost of a run.
        const char* base = std::getenv("TMPDIR");
        if (base == nullptr || *base == '\0') base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/brinewick-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    [[nodiscard]] std::string file(const char* name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const std::string& path, std::string_view text) {
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (std::fclose(f) != 0 || !written) std::abort();
    } else {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    brinewick_fuzz::FuzzInput input(data, size);
    const std::uint8_t flags = input.byte();
    const std::uint8_t delimiter_byte = input.byte();
    const std::uint8_t quote_byte = input.byte();
    const std::uint8_t columns = input.byte();
    const std::string_view text = input.rest();

    brinewick::SalvageOptions options;
    if ((flags & 1) != 0) options.delimiter = delimiter_byte;
    options.quote_char = quote_byte;
    options.fill_ragged_rows = (flags & 2) != 0;
    options.merge_overflow = (flags & 4) != 0;
    options.repair_quotes = (flags & 8) != 0;
    switch ((flags >> 4) & 3) {
    case 0: break;
    case 1: options.expected_columns = 0; break;
    default: options.expected_columns = columns % 64; break;
    }
    const std::string context = describe(options);

    // The reader's view: the whole outcome in memory.
    const brinewick::SalvageOutcome outcome = brinewick::salvage_slice(text, options);
    if (!outcome.refused.empty()) {
        // Only a sniffed delimiter that is the quote is refused, and
        // salvage_file refuses it too, before it writes anything.
        if (options.delimiter || text.empty() || brinewick::settle_dialect(text, options).delimiter != options.quote_char) {
            fail("refused a usable dialect: " + outcome.refused, text, context);
        }
        const std::string in = scratch.file("in.csv");
        const std::string out = scratch.file("out.csv");
        spit(in, text);
        std::remove(out.c_str());
        if (std::holds_alternative<brinewick::SalvageSummary>(brinewick::salvage_file(in, out, std::nullopt, options))) {
            fail("salvage_file took a dialect salvage_slice refused", text, context);
        }
        if (std::FILE* f = std::fopen(out.c_str(), "rb")) {
            std::fclose(f);
            fail("salvage_file wrote a refused dialect's output", text, context);
        }
        return 0;
    }
    const brinewick::SalvageSummary& s = outcome.summary;
    if (!options.delimiter && !text.empty() && s.detected_delimiter == options.quote_char) {
        fail("the sniffed delimiter is the quote, and the salvage ran", text, context);
    }
    const Rows table = read_table(outcome.rows, text, context);

    const ModelOutcome model = model_salvage(text, options);
    if (!same(s, model.summary)) {
        fail("summary " + summary_text(s) + "\n   model   " + summary_text(model.summary), text, context);
    }
    if (s.total_rows != s.salvaged_rows + s.quarantined_rows || s.repaired_rows > s.salvaged_rows ||
        table.size() != s.salvaged_rows || outcome.quarantine.size() != s.quarantined_rows) {
        fail("counters do not add up: " + summary_text(s), text, context);
    }
    for (std::size_t r = 0; r < table.size(); ++r) {
        if (s.inferred_columns != 0 && table[r].size() != s.inferred_columns) {
            fail("clean row " + std::to_string(r) + " has " + std::to_string(table[r].size()) + " fields", text, context);
        }
        if (r >= model.clean.size() || table[r] != model.clean[r]) {
            fail("clean row " + std::to_string(r) + " " + printable(table[r]) + "\n   model " +
                     (r < model.clean.size() ? printable(model.clean[r]) : std::string("(none)")),
                 text, context);
        }
    }
    for (std::size_t r = 0; r < outcome.quarantine.size(); ++r) {
        const auto& got = outcome.quarantine[r];
        const auto& want = model.quarantine[r];
        if (got.fields != want.fields || got.reason != want.reason || got.line != want.line) {
            fail("quarantine record " + std::to_string(r) + ": line " + std::to_string(got.line) + " " + got.reason +
                     " " + printable(got.fields) + "\n   model line " + std::to_string(want.line) + " " + want.reason +
                     " " + printable(want.fields),
                 text, context);
        }
    }

    // The writers' view: the same classification into the CSV writers.
    const std::uint8_t delimiter = static_cast<std::uint8_t>(s.detected_delimiter);
    WriterSink sink(delimiter, options.quote_char);
    if (!text.empty()) {
        const brinewick::SalvageSummary again =
            brinewick::classify_rows(text, options, brinewick::settle_dialect(text, options), sink);
        if (!same(again, s)) fail("classify_rows and salvage_slice disagree: " + summary_text(again), text, context);
    }
    if (read_table(sink.table, text, context) != table) fail("a second table holds other rows", text, context);

    // salvage_file writes the same bytes.
    {
        const std::string in = scratch.file("in.csv");
        const std::string out = scratch.file("out.csv");
        const std::string quarantine = scratch.file("quarantine.csv");
        spit(in, text);
        const auto result = brinewick::salvage_file(in, out, quarantine, options);
        if (const auto* summary = std::get_if<brinewick::SalvageSummary>(&result)) {
            if (!same(*summary, s)) fail("salvage_file summary " + summary_text(*summary), text, context);
        } else {
            fail("salvage_file failed on a scratch file", text, context);
        }
        if (slurp(out) != sink.clean) fail("salvage_file's clean CSV differs from the writer's lines", text, context);
        if (slurp(quarantine) != sink.quarantine) fail("salvage_file's quarantine differs from the writer's lines", text, context);
    }

    // Strictly read back. A delimiter equal to the quote, or a CR or LF in
    // either role, makes a CSV that no reader can split the same way.
    const std::uint8_t quote = options.quote_char;
    const bool writable = delimiter != quote && delimiter != '\r' && delimiter != '\n' && quote != '\r' && quote != '\n';
    Rows read;
    if (writable) {
        const std::string error = brinewick_fuzz::read_strict_csv(sink.clean, delimiter, quote, true, read);
        if (!error.empty()) fail("clean CSV: " + error + "\n   clean " + printable(sink.clean, 2000), text, context);
        if (read != table) {
            fail("clean CSV reads back as other rows\n   clean " + printable(sink.clean, 2000), text, context);
        }
    }
    const std::string error = brinewick_fuzz::read_strict_csv(sink.quarantine, U',', U'"', false, read);
    if (!error.empty()) fail("quarantine CSV: " + error + "\n   " + printable(sink.quarantine, 2000), text, context);
    if (read.size() != outcome.quarantine.size() + 1 ||
        read[0] != std::vector<std::string>{"line", "reason", "raw_content"}) {
        fail("quarantine CSV has the wrong header or record count", text, context);
    }
    for (std::size_t r = 0; r < outcome.quarantine.size(); ++r) {
        const auto& record = outcome.quarantine[r];
        const std::vector<std::string> want = {std::to_string(record.line), record.reason,
                                               join(record.fields, latin1_utf8(delimiter))};
        if (read[r + 1] != want) {
            fail("quarantine record " + std::to_string(r) + " reads back as " + printable(read[r + 1]), text, context);
        }
    }
    return 0;
}
