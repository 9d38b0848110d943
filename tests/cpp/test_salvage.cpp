// Row classification: padding, merging, quarantine, counters and line numbers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "heuristics/heuristics.hpp"
#include "parser/resilient_parser.hpp"
#include "salvage/salvage.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;

using Rows = std::vector<std::vector<std::string>>;

SalvageOptions options(std::size_t expected, std::uint8_t delimiter = ',', bool fill = true,
                       bool merge = true) {
    SalvageOptions o;
    o.delimiter = delimiter;
    o.expected_columns = expected;
    o.fill_ragged_rows = fill;
    o.merge_overflow = merge;
    return o;
}

struct ClassifyCase {
    const char* name;
    std::string text;
    SalvageOptions opts;
    Rows clean;
    std::size_t repaired;
    // Quarantine as (line, reason, fields).
    std::vector<std::tuple<std::size_t, std::string, std::vector<std::string>>> quarantine;
};

const std::string kFew3 = "Row has too few columns (expected 3)";
const std::string kExtra3 = "Row has extra columns (expected 3)";

std::vector<ClassifyCase> classify_cases() {
    return {
        {"exact_width_unchanged", "a,b,c\n", options(3), {{"a", "b", "c"}}, 0, {}},
        {"short_row_padded", "a,b,c\na,b\n", options(3), {{"a", "b", "c"}, {"a", "b", ""}}, 1, {}},
        {"overflow_merged_comma", "a,b,c,d,e\n", options(3), {{"a", "b", "c,d,e"}}, 1, {}},
        {"overflow_merged_semicolon", "a;b;c;d", options(3, ';'), {{"a", "b", "c;d"}}, 1, {}},
        // A delimiter byte above 0x7F splits raw bytes but joins with its two-byte character.
        {"overflow_merged_high_delimiter", "a\xA6" "b\xA6" "c", options(2, 0xA6),
         {{"a", "b\xC2\xA6" "c"}}, 1, {}},
        {"one_column_merges_whole_row", "a,b,c\nd\n,\n", options(1),
         {{"a,b,c"}, {"d"}, {","}}, 2, {}},
        {"zero_columns_keeps_every_width", "a\nb,c,d\n\n", options(0),
         {{"a"}, {"b", "c", "d"}, {""}}, 0, {}},
        {"blank_line_padded", "a,b,c\n\nd,e,f\n", options(3),
         {{"a", "b", "c"}, {"", "", ""}, {"d", "e", "f"}}, 1, {}},
        {"blank_line_quarantined", "a,b,c\n\nd,e,f\n", options(3, ',', false),
         {{"a", "b", "c"}, {"d", "e", "f"}}, 0, {{2, kFew3, {""}}}},
        {"blank_of_spaces_kept_as_field", " \t\n", options(2), {{" \t", ""}}, 1, {}},
        {"first_row_is_not_special", "a\n1,2,3\n", options(3, ',', false),
         {{"1", "2", "3"}}, 0, {{1, kFew3, {"a"}}}},
        {"quarantined_fields_as_parsed", "a,b\na,b,c,d\n", options(3, ',', false, false),
         {}, 0, {{1, kFew3, {"a", "b"}}, {2, kExtra3, {"a", "b", "c", "d"}}}},
        {"reason_carries_expected", "a\n", options(12, ',', false),
         {}, 0, {{1, "Row has too few columns (expected 12)", {"a"}}}},
        // Line numbers: the line on which the row begins.
        {"line_of_short_row_lf", "a,b,c\n1,2\n3,4,5\n", options(3, ',', false),
         {{"a", "b", "c"}, {"3", "4", "5"}}, 0, {{2, kFew3, {"1", "2"}}}},
        {"line_of_last_row_unterminated", "a,b,c\n1,2", options(3, ',', false),
         {{"a", "b", "c"}}, 0, {{2, kFew3, {"1", "2"}}}},
        {"line_after_multiline_row", "a,b,c\n\"x\ny\",2\n1,2\n", options(3, ',', false),
         {{"a", "b", "c"}}, 0, {{2, kFew3, {"x\ny", "2"}}, {4, kFew3, {"1", "2"}}}},
        {"line_cr_only", "a,b,c\r1,2\r3,4,5\r1\r", options(3, ',', false),
         {{"a", "b", "c"}, {"3", "4", "5"}}, 0, {{2, kFew3, {"1", "2"}}, {4, kFew3, {"1"}}}},
        {"line_crlf_and_quoted_cr", "\"x\ry\",2\r\n1,2\r\n", options(3, ',', false),
         {}, 0, {{1, kFew3, {"x\ry", "2"}}, {2, kFew3, {"1", "2"}}}},
        {"line_after_bom", "\xEF\xBB\xBF" "a,b\n1,2,3\n", options(3, ',', false),
         {{"1", "2", "3"}}, 0, {{1, kFew3, {"a", "b"}}}},
    };
}

class SalvageClassify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(SalvageClassify, Table) {
    const ClassifyCase& c = GetParam();
    const SalvageOutcome out = salvage_slice(c.text, c.opts);
    EXPECT_EQ(out.rows.to_vectors(), c.clean);
    ASSERT_EQ(out.quarantine.size(), c.quarantine.size());
    for (std::size_t i = 0; i < c.quarantine.size(); ++i) {
        const auto& [line, reason, fields] = c.quarantine[i];
        EXPECT_EQ(out.quarantine[i].line, line) << "record " << i;
        EXPECT_EQ(out.quarantine[i].reason, reason) << "record " << i;
        EXPECT_EQ(out.quarantine[i].fields, fields) << "record " << i;
    }
    const SalvageSummary& s = out.summary;
    EXPECT_EQ(s.detected_delimiter, static_cast<char32_t>(*c.opts.delimiter));
    EXPECT_EQ(s.inferred_columns, *c.opts.expected_columns);
    EXPECT_EQ(s.total_rows, c.clean.size() + c.quarantine.size());
    EXPECT_EQ(s.salvaged_rows, c.clean.size());
    EXPECT_EQ(s.quarantined_rows, c.quarantine.size());
    EXPECT_EQ(s.repaired_rows, c.repaired);
}

INSTANTIATE_TEST_SUITE_P(Cases, SalvageClassify, ::testing::ValuesIn(classify_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SalvageSlice, EmptyTextIgnoresOptions) {
    const SalvageOutcome out = salvage_slice("", options(5, ';', false, false));
    EXPECT_EQ(out.rows.size(), 0U);
    EXPECT_TRUE(out.quarantine.empty());
    EXPECT_EQ(out.summary.detected_delimiter, U',');
    EXPECT_EQ(out.summary.inferred_columns, 0U);
    EXPECT_EQ(out.summary.total_rows, 0U);
}

TEST(SalvageSlice, BomOnlyTextHasNoRows) {
    const std::string text = "\xEF\xBB\xBF";
    const SalvageOutcome out = salvage_slice(text, SalvageOptions{});
    EXPECT_EQ(out.summary.total_rows, 0U);
    EXPECT_EQ(out.rows.size(), 0U);
    const std::uint8_t sniffed = sniff_delimiter(text);
    EXPECT_EQ(out.summary.detected_delimiter, static_cast<char32_t>(sniffed));
    EXPECT_EQ(out.summary.inferred_columns, infer_column_count(text, sniffed));
}

TEST(SalvageSlice, OpenDialectIsSniffedAndInferred) {
    const SalvageOutcome out = salvage_slice("a;b;c\n1;2;3\n4;5\n", SalvageOptions{});
    EXPECT_EQ(out.summary.detected_delimiter, U';');
    EXPECT_EQ(out.summary.inferred_columns, 3U);
    EXPECT_EQ(out.rows.to_vectors().back(), (std::vector<std::string>{"4", "5", ""}));
}

TEST(SalvageSlice, BlankLinesOnlyGiveOneFieldRows) {
    const SalvageOutcome out = salvage_slice("\n\n\n", SalvageOptions{});
    EXPECT_EQ(out.summary.inferred_columns, 0U);
    EXPECT_EQ(out.rows.to_vectors(), (Rows{{""}, {""}, {""}}));
    EXPECT_EQ(out.summary.repaired_rows, 0U);
}

TEST(SalvageSlice, MergedFieldWithHighDelimiterIsNotAscii) {
    const SalvageOutcome out = salvage_slice("a\xA6" "b\xA6" "c\n", options(2, 0xA6));
    auto cursor = out.rows.cursor();
    std::vector<std::string_view> fields;
    std::vector<bool> ascii;
    ASSERT_TRUE(cursor.next(fields, &ascii));
    EXPECT_EQ(ascii, (std::vector<bool>{true, false}));
}

// A sink that refuses after `limit` clean rows stops the run at once.
TEST(SalvageSlice, StoppingSinkEndsRun) {
    struct Stopper final : RowSink {
        std::size_t clean = 0, quarantined = 0;
        bool clean_row(const RowBuffer&) override { return ++clean < 2; }
        void quarantine_row(QuarantineRecord) override { ++quarantined; }
    } sink;
    const std::string text = "a,b\nc,d\ne,f\n1\n";
    const SalvageSummary s = classify_rows(text, options(2, ',', false), Dialect{',', 2}, sink);
    EXPECT_EQ(sink.clean, 2U);
    EXPECT_EQ(sink.quarantined, 0U);
    EXPECT_EQ(s.salvaged_rows, 1U);
}

// Plain model of the classification over the parser's owned rows.
SalvageOutcome model(std::string_view text, const SalvageOptions& o, Rows& clean) {
    SalvageOutcome out;
    if (text.empty()) return out;
    const Dialect d = settle_dialect(text, o);
    const std::size_t e = d.expected_columns;
    out.summary.detected_delimiter = d.delimiter;
    out.summary.inferred_columns = e;
    ResilientParser parser(text, d.delimiter, o.quote_char, o.repair_quotes);
    for (;;) {
        const std::size_t line = parser.line();
        auto row = parser.next_row();
        if (!row) break;
        ++out.summary.total_rows;
        if (e != 0 && row->size() < e && !o.fill_ragged_rows) {
            out.quarantine.push_back({*row, too_few_columns_reason(e), line});
            continue;
        }
        if (e != 0 && row->size() > e && !o.merge_overflow) {
            out.quarantine.push_back({*row, extra_columns_reason(e), line});
            continue;
        }
        if (e != 0 && row->size() != e) ++out.summary.repaired_rows;
        while (e != 0 && row->size() < e) row->emplace_back();
        if (e != 0 && row->size() > e) {
            std::string joined;
            for (std::size_t i = e - 1; i < row->size(); ++i) {
                if (i > e - 1) {
                    if (d.delimiter < 0x80) joined += static_cast<char>(d.delimiter);
                    else joined += {static_cast<char>(0xC0 | (d.delimiter >> 6)),
                                    static_cast<char>(0x80 | (d.delimiter & 0x3F))};
                }
                joined += (*row)[i];
            }
            row->resize(e - 1);
            row->push_back(joined);
        }
        clean.push_back(*row);
    }
    out.summary.salvaged_rows = clean.size();
    out.summary.quarantined_rows = out.quarantine.size();
    return out;
}


TEST(SalvageInvariants, RandomTextsMatchModel) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] SalvageInvariants " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string alphabet[] = {"a", "bc", ",", ",", ";", "\"", "\n", "\r", "\r\n", " ",
                                    "\t", "\xC3\xA9", "\xFF", "\xA6", "\xEF\xBB\xBF"};
    const std::uint8_t delimiters[] = {',', ';', '\t', 0xA6};
    for (int iter = 0; iter < 400; ++iter) {
        std::string text;
        const int pieces = static_cast<int>(rng() % 60);
        for (int i = 0; i < pieces; ++i) text += alphabet[rng() % std::size(alphabet)];
        SalvageOptions o;
        if (rng() % 2) o.delimiter = delimiters[rng() % std::size(delimiters)];
        if (rng() % 2) o.expected_columns = rng() % 5;
        o.fill_ragged_rows = rng() % 2;
        o.merge_overflow = rng() % 2;
        o.repair_quotes = rng() % 2;
        o.quote_char = rng() % 4 == 0 ? '\'' : '"';
        SCOPED_TRACE("iteration " + std::to_string(iter));

        const SalvageOutcome got = salvage_slice(text, o);
        const Rows rows = got.rows.to_vectors();
        const SalvageSummary& s = got.summary;
        ASSERT_EQ(s.salvaged_rows, rows.size());
        ASSERT_EQ(s.quarantined_rows, got.quarantine.size());
        ASSERT_EQ(s.total_rows, s.salvaged_rows + s.quarantined_rows);
        ASSERT_LE(s.repaired_rows, s.salvaged_rows);
        for (const auto& row : rows) {
            if (s.inferred_columns != 0) ASSERT_EQ(row.size(), s.inferred_columns);
        }

        Rows want_rows;
        const SalvageOutcome want = model(text, o, want_rows);
        ASSERT_EQ(rows, want_rows);
        ASSERT_EQ(s.repaired_rows, want.summary.repaired_rows);
        ASSERT_EQ(s.detected_delimiter, want.summary.detected_delimiter);
        ASSERT_EQ(s.inferred_columns, want.summary.inferred_columns);
        ASSERT_EQ(got.quarantine.size(), want.quarantine.size());
        for (std::size_t i = 0; i < want.quarantine.size(); ++i) {
            ASSERT_EQ(got.quarantine[i].fields, want.quarantine[i].fields);
            ASSERT_EQ(got.quarantine[i].reason, want.quarantine[i].reason);
            ASSERT_EQ(got.quarantine[i].line, want.quarantine[i].line);
        }
    }
}

// Runs of one line repeated go through the bulk path (skip_repeats); the
// model reads every row. Lines of every kind: blank, lone CR (a copy that an
// LF follows ends elsewhere), quoted breaks, stray quotes, set-aside rows.
TEST(SalvageInvariants, RepeatedLinesMatchModel) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] SalvageRepeats " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string alphabet[] = {"a", "bc", ",", ",", "\"", "\"", "\n", "\r", "\r\n", " ",
                                    "\xC3\xA9", "\xFF", "\xEF\xBB\xBF"};
    for (int iter = 0; iter < 400; ++iter) {
        std::string text;
        const int runs = 1 + static_cast<int>(rng() % 6);
        for (int r = 0; r < runs; ++r) {
            std::string line;
            const int pieces = static_cast<int>(rng() % 5);
            for (int i = 0; i < pieces; ++i) line += alphabet[rng() % std::size(alphabet)];
            line += alphabet[6 + rng() % 3];  // ends at a break
            const std::size_t copies = 1 + rng() % 50;
            for (std::size_t i = 0; i < copies; ++i) text += line;
        }
        if (rng() % 3 == 0) text.pop_back();  // the last copy may end without its break
        SalvageOptions o;
        if (rng() % 2) o.expected_columns = rng() % 4;
        o.fill_ragged_rows = rng() % 2;
        o.merge_overflow = rng() % 2;
        o.repair_quotes = rng() % 2;
        SCOPED_TRACE("iteration " + std::to_string(iter));

        const SalvageOutcome got = salvage_slice(text, o);
        Rows want_rows;
        const SalvageOutcome want = model(text, o, want_rows);
        ASSERT_EQ(got.rows.to_vectors(), want_rows);
        ASSERT_EQ(got.summary.total_rows, want.summary.total_rows);
        ASSERT_EQ(got.summary.salvaged_rows, want.summary.salvaged_rows);
        ASSERT_EQ(got.summary.repaired_rows, want.summary.repaired_rows);
        ASSERT_EQ(got.quarantine.size(), want.quarantine.size());
        for (std::size_t i = 0; i < want.quarantine.size(); ++i) {
            ASSERT_EQ(got.quarantine[i].fields, want.quarantine[i].fields);
            ASSERT_EQ(got.quarantine[i].line, want.quarantine[i].line);
        }
    }
}

// Where one line's copies stop, the parser stands where reading row by row
// would, on the same line: lone CRs before an LF, copies up to the end.
TEST(ParserSkipRepeats, StopsWhereRowByRowReadingWould) {
    struct Case {
        std::string text;
        std::size_t copies;
    };
    const Case cases[] = {
        {"a\na\na\nb\n", 2},     {"\r\r\r\r\n", 2},  // the last CR pairs with the LF
        {"\r\n\r\n\r\n", 2},     {"x,\"y\nz\"\nx,\"y\nz\"\nx", 1},
        {"ab\nab\nab", 1},         {"ab\nac\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ResilientParser fast(c.text, ',', '"', true);
        RowBuffer row;
        ASSERT_TRUE(fast.next_row(row));
        EXPECT_EQ(fast.skip_repeats(0, 1), c.copies);
        ResilientParser slow(c.text, ',', '"', true);
        for (std::size_t i = 0; i <= c.copies; ++i) ASSERT_TRUE(slow.next_row(row));
        EXPECT_EQ(fast.position(), slow.position());
        EXPECT_EQ(fast.line(), slow.line());
    }
}

}  // namespace
}  // namespace brinewick
