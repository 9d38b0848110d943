// Pass 1 keeping its batches: only for a file that stood still, only under
// the byte limit, only when the guessed types hold; and then buffer for
// buffer the batches pass 2 builds. An empty file, which settles no
// dialect, through both passes. And clean rows read by their fields alone
// against the full parse of every row.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utime.h>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow/salvage_reader.hpp"

#include "test_support.hpp"

namespace brinewick::arrow {
namespace {

class SpinWaiter final : public Waiter {
public:
    bool wait(const std::function<bool()>& slice) override {
        while (!slice()) {
        }
        return true;
    }
};

// Each column's buffers as bytes, as far as its length reaches.
std::vector<std::string> column_bytes(const ArrowArray& batch, const std::vector<ColumnSpec>& columns) {
    std::vector<std::string> out;
    const auto rows = static_cast<std::size_t>(batch.length);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const ArrowArray& col = *batch.children[c];
        const auto* validity = static_cast<const char*>(col.buffers[0]);
        std::string bytes = std::to_string(col.length) + "/" + std::to_string(col.null_count) + ":";
        if (validity != nullptr) bytes.append(validity, (rows + 7) / 8);
        bytes += "|";
        const auto* data = static_cast<const char*>(col.buffers[col.n_buffers - 1]);
        switch (columns[c].type) {
            case ColumnType::Utf8: {
                const auto* offsets = static_cast<const std::int32_t*>(col.buffers[1]);
                bytes.append(reinterpret_cast<const char*>(offsets), (rows + 1) * 4);
                bytes.append(data, static_cast<std::size_t>(offsets[rows]));
                break;
            }
            case ColumnType::Bool: bytes.append(data, (rows + 7) / 8); break;
            case ColumnType::Date32: bytes.append(data, rows * 4); break;
            default: bytes.append(data, rows * 8); break;
        }
        out.push_back(std::move(bytes));
    }
    return out;
}

std::vector<std::vector<std::string>> drain(ArrowArrayStream& stream, const std::vector<ColumnSpec>& columns) {
    std::vector<std::vector<std::string>> batches;
    for (;;) {
        ArrowArray batch{};
        EXPECT_EQ(stream.get_next(&stream, &batch), 0) << stream.get_last_error(&stream);
        if (batch.release == nullptr) break;
        batches.push_back(column_bytes(batch, columns));
        batch.release(&batch);
    }
    stream.release(&stream);
    return batches;
}

std::string table_text(std::size_t rows, const std::string& late_row) {
    std::string text = "id,price,day,flag,name,maybe\n";
    for (std::size_t i = 0; i < rows; ++i) {
        text += std::to_string(i) + "," + std::to_string(i) + ".5,2024-03-" + std::to_string(i % 19 + 10) + "," +
                (i % 3 == 0 ? "true" : "false") + ",n" + std::to_string(i) + "," + (i % 4 == 0 ? "" : "7") + "\n";
    }
    return text + late_row;
}

struct KeptCase {
    const char* name;
    std::string late_row;     // appended after 3000 regular rows
    bool settled;             // mtime set long ago
    std::size_t keep_limit;   // ReadSettings::keep_limit
    std::size_t max_rows;     // batch rows
    bool kept;                // pass 1's batches expected to be kept
    std::size_t jobs = 1;
    std::size_t chunk_size = std::size_t{1} << 20;
    bool tolerant = false;  // type_errors="null"
};

class KeptBatchesTest : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptBatchesTest, KeptOnlyWhenTheyAreWhatPassTwoBuilds) {
    const KeptCase& k = GetParam();
    test_support::TempDir dir;
    const std::string path = dir.file("in.csv");
    test_support::spit(path, table_text(3000, k.late_row));
    if (k.settled) {
        const struct utimbuf old {1000000000, 1000000000};
        ASSERT_EQ(::utime(path.c_str(), &old), 0);
    }
    ReadSettings settings;
    settings.keep_limit = k.keep_limit;
    settings.limits.max_rows = k.max_rows;
    settings.jobs = k.jobs;
    settings.chunk_size = k.chunk_size;
    settings.null_type_errors = k.tolerant;
    stream::StreamControl control;
    auto scanned = scan_input(path, settings, control);
    ASSERT_TRUE(scanned.is_ok());
    ScanResult& scan = scanned.value();
    ASSERT_EQ(scan.kept != nullptr, k.kept);

    ArrowArrayStream pass2{};
    ASSERT_TRUE(
        make_salvage_stream(path, settings, scan.columns, scan.report, std::make_shared<SpinWaiter>(), nullptr, &pass2)
            .is_ok());
    const auto expected = drain(pass2, scan.columns);
    ASSERT_FALSE(expected.empty());
    if (!scan.kept) return;
    ArrowArrayStream once{};
    ASSERT_TRUE(make_kept_stream(scan.columns, std::move(scan.kept), &once));
    EXPECT_EQ(drain(once, scan.columns), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeptBatchesTest,
    ::testing::Values(KeptCase{"held", "", true, std::size_t{256} << 20, 700, true},
                      KeptCase{"one_batch", "", true, std::size_t{256} << 20, 65536, true},
                      KeptCase{"fresh_file", "", false, std::size_t{256} << 20, 700, false},
                      KeptCase{"over_the_limit", "", true, 4096, 700, false},
                      KeptCase{"keeping_off", "", true, 0, 700, false},
                      // Kept as strings, so a late value that changes a type
                      // changes only what they are converted to.
                      KeptCase{"int_turns_float", "2.5,1,2024-03-10,true,n,7\n", true, std::size_t{256} << 20, 700, true},
                      KeptCase{"date_turns_text", "1,1,soon,true,n,7\n", true, std::size_t{256} << 20, 700, true},
                      KeptCase{"bool_turns_text", "1,1,2024-03-10,maybe,n,7\n", true, std::size_t{256} << 20, 700, true},
                      KeptCase{"many_chunks", "1,1,soon,true,n,7\n", true, std::size_t{256} << 20, 700, true, 3, 999},
                      KeptCase{"many_chunks_over_limit", "", true, 20000, 700, false, 2, 4096},
                      // Typed as they are read: within one batch, integers
                      // that turn out floats (but "-0" is not 0.0), a late
                      // text, and with type_errors="null" a misfit.
                      KeptCase{"int_turns_float_in_one_batch", "2.5,1,2024-03-10,true,n,7\n", true,
                               std::size_t{256} << 20, 65536, true},
                      KeptCase{"negative_zero_turns_float", "-0,1,2024-03-10,true,n,-0\n2.5,1,2024-03-10,true,n,0.5\n",
                               true, std::size_t{256} << 20, 65536, true},
                      KeptCase{"late_text_small_chunks", "1,1,soon,true,n,x\n", true, std::size_t{256} << 20, 65536,
                               true, 2, 777},
                      KeptCase{"tolerant_misfit", "x,1,2024-03-10,true,n,7\n", true, std::size_t{256} << 20, 700, true,
                               2, 4096, true}),
    [](const ::testing::TestParamInfo<KeptCase>& info) { return std::string(info.param.name); });

// Nothing counted, as a salvage of nothing reports it.
void expect_nothing_counted(const ReadReport& report) {
    const stream::StreamSummary& s = report.summary;
    EXPECT_EQ(s.counters.detected_delimiter, U',');
    EXPECT_EQ(s.counters.inferred_columns + s.counters.total_rows + s.counters.salvaged_rows +
                  s.counters.repaired_rows + s.counters.quarantined_rows + s.changed_rows + s.bytes_read,
              0u);
    EXPECT_FALSE(report.header_offset);
}

struct EmptyCase {
    const char* name;
    std::optional<std::string> at_scan;  // the file pass 1 reads; none: the stream is the only pass
    std::string at_stream;               // the file when the stream opens it
    bool changed;                        // the stream then fails: the file is not the one pass 1 read
};

class EmptyFileTest : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(EmptyFileTest, NoColumnNoRowNothingCounted) {
    const EmptyCase& k = GetParam();
    test_support::TempDir dir;
    const std::string path = dir.file("in.csv");
    ReadSettings settings;
    settings.infer = k.at_scan.has_value();
    std::optional<std::vector<ColumnSpec>> columns;
    std::optional<ReadReport> expected;
    if (k.at_scan) {
        test_support::spit(path, *k.at_scan);
        const struct utimbuf old {1000000000, 1000000000};  // settled: kept if there were batches
        ASSERT_EQ(::utime(path.c_str(), &old), 0);
        stream::StreamControl control;
        auto scanned = scan_input(path, settings, control);
        ASSERT_TRUE(scanned.is_ok());
        ScanResult& scan = scanned.value();
        if (k.at_scan->empty()) {
            EXPECT_TRUE(scan.columns.empty());
            EXPECT_FALSE(scan.dialect);
            EXPECT_FALSE(scan.kept);
            EXPECT_TRUE(scan.boundaries.empty());
            expect_nothing_counted(scan.report);
            ASSERT_TRUE(scan.report.records);
            EXPECT_TRUE(scan.report.records->quarantine.empty() && scan.report.records->changes.empty());
        }
        columns = scan.columns;
        expected = scan.report;
    }
    // Written again only to change it: any write since pass 1 counts as a change.
    if (k.at_scan != k.at_stream) test_support::spit(path, k.at_stream);
    std::optional<ReadReport> report;
    ArrowArrayStream stream{};
    ASSERT_TRUE(make_salvage_stream(path, settings, columns, expected, std::make_shared<SpinWaiter>(),
                                    [&](const ReadReport& r) { report = r; }, &stream)
                    .is_ok());
    ArrowSchema schema{};
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_EQ(schema.n_children, static_cast<std::int64_t>(columns ? columns->size() : 0));
    schema.release(&schema);
    ArrowArray batch{};
    const int code = stream.get_next(&stream, &batch);
    if (k.changed) {
        EXPECT_EQ(code, EINVAL);
        EXPECT_EQ(std::string(stream.get_last_error(&stream)).rfind("the input changed while it was read: ", 0), 0u);
        EXPECT_FALSE(report);
    } else {
        EXPECT_EQ(code, 0);
        EXPECT_EQ(batch.release, nullptr);  // the end, at once
        ASSERT_TRUE(report);
        expect_nothing_counted(*report);
        EXPECT_EQ(report->records != nullptr, !k.at_scan);  // a second pass keeps none
    }
    stream.release(&stream);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmptyFileTest,
                         ::testing::Values(EmptyCase{"only_pass", std::nullopt, "", false},
                                           EmptyCase{"second_pass", "", "", false},
                                           EmptyCase{"filled_since", "", "a,b\n1,2\n", true},
                                           EmptyCase{"emptied_since", "a,b\n1,2\n", "", true}),
                         [](const ::testing::TestParamInfo<EmptyCase>& info) { return std::string(info.param.name); });

TEST(EmptyFile, DtypesNameNoColumn) {
    test_support::TempDir dir;
    const std::string path = dir.file("in.csv");
    test_support::spit(path, "");
    ReadSettings settings;
    settings.overrides = {{"x", ColumnType::Int64}};
    stream::StreamControl control;
    auto scanned = scan_input(path, settings, control);
    ASSERT_FALSE(scanned.is_ok());
    EXPECT_EQ(scanned.status().kind(), Status::Kind::Invalid);
    EXPECT_EQ(scanned.status().message(), "dtypes names a column the table does not have: 'x'");
}

// A table of `width` columns whose rows mix what exports hold (numbers,
// dates, accents, quoted delimiters, doubled quotes, quotes a writer need
// not have put) with damage of every kind the parse and the table stage
// settle, and with every line break.
std::string mixed_table(std::mt19937& rng, std::size_t width) {
    const std::vector<std::string> plain = {"12", "-7", "3.25", "0", "2024-03-10", "true", "São Paulo", "x y", "",
                                            "NA", "1e5", "007", "2024-03-10T08:00:00"};
    const std::vector<std::string> quoted = {"\"a,b\"", "\"say \"\"hi\"\"\"", "\"12\"", "\"\"", "\"\"\"\"",
                                             "\"Reykjavík\"", "\"two\nlines\""};
    const std::vector<std::string> damage = {"ab\"c", "\"ab\"c", "\"open", "\xff\xfe", "\"a\"\"", "a\rb"};
    const std::vector<std::string> breaks = {"\n", "\n", "\n", "\r\n", "\r"};
    std::string header;
    for (std::size_t c = 0; c < width; ++c) header += (c ? "," : "") + std::string(1, static_cast<char>('a' + c));
    std::string text = header + "\n";
    const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
    const std::size_t rows = 40 + rng() % 200;
    for (std::size_t r = 0; r < rows; ++r) {
        const unsigned kind = rng() % 20;
        if (kind == 0) {
            text += pick(breaks);  // a blank line
            continue;
        }
        if (kind == 1) {
            text += header + pick(breaks);  // the header again
            continue;
        }
        // Mostly the table's width; now and then a field short or over.
        const std::size_t fields = kind == 2 ? width - 1 : kind == 3 ? width + 1 : width;
        for (std::size_t c = 0; c < fields; ++c) {
            if (c) text += ',';
            const unsigned what = rng() % 30;
            // A column keeps to a type mostly, so that inference has something to settle.
            text += what == 0 ? pick(damage) : what < 5 ? pick(quoted) : what < 10 ? pick(plain)
                                                                          : plain[c % plain.size()];
        }
        text += pick(breaks);
    }
    if (rng() % 2) text += "1,2";  // a last row without its line break
    return text;
}

std::string records_text(const ReadRecords& records) {
    std::string out;
    for (const QuarantineRecord& q : records.quarantine) {
        out += "q " + std::to_string(q.line) + " " + std::to_string(q.byte_offset) + " " + q.reason + " " + q.raw;
        out += "\n";
    }
    for (const ChangeRecord& c : records.changes) {
        out += "c " + std::to_string(c.line) + " " + std::to_string(c.byte_offset) + " " +
               std::to_string(static_cast<int>(c.kind)) + " " + c.column + " " + c.detail + "\n";
    }
    return out;
}

std::string summary_text(const stream::StreamSummary& s) {
    std::string out = std::to_string(s.counters.total_rows) + " " + std::to_string(s.counters.salvaged_rows) + " " +
                      std::to_string(s.counters.repaired_rows) + " " + std::to_string(s.counters.quarantined_rows) +
                      " " + std::to_string(s.changed_rows) + " " + std::to_string(s.repeated_headers) + " " +
                      std::to_string(s.reordered_headers) + ":";
    for (const std::uint64_t n : s.changes) out += " " + std::to_string(n);
    return out;
}

// Everything both passes give: the columns, the boundaries, the counts,
// the records and the batches.
std::string read_all(const std::string& path, ReadSettings settings) {
    stream::StreamControl control;
    auto scanned = scan_input(path, settings, control);
    EXPECT_TRUE(scanned.is_ok());
    if (!scanned.is_ok()) return "";
    ScanResult& scan = scanned.value();
    std::string out;
    for (const ColumnSpec& c : scan.columns) out += c.name + ":" + std::string(column_type_name(c.type)) + " ";
    out += "\n";
    for (const Boundary& b : scan.boundaries) {
        out += std::to_string(b.offset) + "/" + std::to_string(b.line) + "/" + std::to_string(b.in_row) + " ";
    }
    out += "\n" + summary_text(scan.report.summary) + "\n" + records_text(*scan.report.records);
    ArrowArrayStream pass2{};
    EXPECT_TRUE(make_salvage_stream(path, settings, scan.columns, scan.report, std::make_shared<SpinWaiter>(), nullptr,
                                    &pass2)
                    .is_ok());
    for (const auto& batch : drain(pass2, scan.columns)) {
        for (const std::string& column : batch) out += column + "\n";
    }
    return out;
}

struct ByFieldsCase {
    const char* name;
    std::size_t jobs;
    std::size_t chunk_size;
    bool infer;
    bool tolerant;
};

class ByFieldsTest : public ::testing::TestWithParam<ByFieldsCase> {};

TEST_P(ByFieldsTest, CleanRowsByTheirFieldsReadAsTheFullParse) {
    const ByFieldsCase& k = GetParam();
    const unsigned seed = test_support::test_seed();
    std::cout << "[ seed ] ByFields " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    std::mt19937 rng(seed);
    test_support::TempDir dir;
    const std::string path = dir.file("in.csv");
    for (int round = 0; round < 25; ++round) {
        const std::string text = mixed_table(rng, 2 + rng() % 5);
        test_support::spit(path, text);
        ReadSettings settings;
        settings.jobs = k.jobs;
        settings.chunk_size = k.chunk_size;
        settings.infer = k.infer;
        settings.null_type_errors = k.tolerant;
        settings.block_size = 97;
        settings.keep_limit = round % 2 ? settings.keep_limit : 0;
        settings.null_texts = NullTexts({"NA"});
        ReadSettings full = settings;
        full.clean_rows_by_fields = false;
        ASSERT_EQ(read_all(path, settings), read_all(path, full)) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ByFieldsTest,
                         ::testing::Values(ByFieldsCase{"one_job", 1, std::size_t{1} << 20, true, false},
                                           ByFieldsCase{"small_chunks", 3, 61, true, false},
                                           ByFieldsCase{"strings", 2, 200, false, false},
                                           ByFieldsCase{"tolerant", 2, 333, true, true}),
                         [](const ::testing::TestParamInfo<ByFieldsCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace brinewick::arrow
