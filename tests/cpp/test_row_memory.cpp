// Rows whose shape would cost memory: counted padding, the full-width field
// fallback, joined overflow and long quoted fields written in pieces. Each
// compact form must give exactly the rows and bytes of the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "parser/field_counter.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"
#include "salvage/csv_writer.hpp"
#include "salvage/row_table.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;
using Row = std::vector<std::string>;

// Every field with the flags a writer reads.
struct FieldView {
    std::string text;
    bool ascii;
    bool special;
    bool operator==(const FieldView&) const = default;
};
std::vector<FieldView> snapshot(const RowBuffer& row) {
    std::vector<FieldView> out;
    for (std::size_t i = 0; i < row.size(); ++i) {
        out.push_back({std::string(row.field(i)), row.field_is_ascii(i), row.field_may_need_quotes(i)});
    }
    return out;
}

std::string clean_of(const RowBuffer& row, std::uint8_t delimiter, std::uint8_t quote) {
    std::string out;
    append_clean_line(out, row, delimiter, quote);
    return out;
}

// The bytes write_clean_row gives through a real file, after `before` (so
// that the buffer is partly full when the row comes).
std::string streamed(const RowBuffer& row, std::uint8_t delimiter, std::uint8_t quote,
                     const std::string& before = {}) {
    const TempDir dir;
    const std::string path = dir.file("out.csv");
    {
        auto created = BufferedFile::create(path);
        EXPECT_TRUE(std::holds_alternative<BufferedFile>(created));
        BufferedFile& file = std::get<BufferedFile>(created);
        EXPECT_FALSE(file.write_all(before));
        std::string line;
        EXPECT_FALSE(write_clean_row(file, row, delimiter, quote, line));
        EXPECT_LE(line.capacity(), 2 * BufferedFile::kCapacity) << "a long line was built whole";
        EXPECT_FALSE(file.flush());
    }
    return slurp(path).substr(before.size());
}

RowBuffer text_row(const Row& fields, std::uint8_t delimiter = ',', std::uint8_t quote = '"') {
    RowBuffer row;
    for (const std::string& f : fields) {
        const bool special = std::any_of(f.begin(), f.end(), [&](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b == delimiter || b == quote || b == '\n' || b == '\r' || b >= 0x80;
        });
        const bool ascii = std::none_of(f.begin(), f.end(), [](char c) { return c & 0x80; });
        row.push_text_field(f, ascii, special);
    }
    return row;
}

// The full-width fallback, reached with small limits, must read back the
// same fields, flags, runs and lines as the compact entries, and join the
// same overflow. Random text of short and long fields, some views, some
// copied (doubled quotes, repairs).
TEST(RowMemory, WideFallbackMatchesCompactEntries) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] RowMemory wide " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pieces[] = {"ab", ",", ",", ",,", "\"", "\"\"", "\n", "\xC3\xA9", "\xFE",
                                  "longer text", " "};
    struct Limits {
        std::size_t offset, size;
    };
    const Limits limits[] = {{1, 1}, {7, 3}, {64, 1000}, {1000, 2}};
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const unsigned n = 1 + rng() % 60;
        for (unsigned k = 0; k < n; ++k) text += pieces[rng() % std::size(pieces)];
        const Limits lim = limits[rng() % std::size(limits)];
        const std::size_t keep = rng() % 4;
        SCOPED_TRACE("text '" + text + "' limits " + std::to_string(lim.offset) + "/" + std::to_string(lim.size));
        ResilientParser compact_parser(text, ',', '"', true);
        ResilientParser wide_parser(text, ',', '"', true);
        RowBuffer compact;
        RowBuffer wide(lim.offset, lim.size);
        for (;;) {
            const bool got = compact_parser.next_row(compact);
            ASSERT_EQ(wide_parser.next_row(wide), got);
            if (!got) break;
            ASSERT_EQ(snapshot(wide), snapshot(compact));
            EXPECT_EQ(wide.bare_run(), compact.bare_run());
            EXPECT_EQ(wide.text_size(), compact.text_size());
            EXPECT_EQ(clean_of(wide, ',', '"'), clean_of(compact, ',', '"'));
            if (compact.size() > keep + 1) {
                const Row before = compact.to_strings();
                std::string joined = before[keep];
                for (std::size_t i = keep + 1; i < before.size(); ++i) joined += "," + before[i];
                compact.merge_tail(keep, ',');
                wide.merge_tail(keep, ',');
                ASSERT_EQ(compact.size(), keep + 1);
                EXPECT_EQ(compact.field(keep), joined);
                EXPECT_TRUE(compact.field_may_need_quotes(keep));
                ASSERT_EQ(snapshot(wide), snapshot(compact));
                EXPECT_EQ(clean_of(wide, ',', '"'), clean_of(compact, ',', '"'));
            }
        }
    }
}

// Long runs of same-size views take one slot each; every reader must see
// the fields, flags, bare run, sizes, lines, joins and cuts of the same row
// held one entry per field. Random rows rich in runs (empty fields, one-digit
// columns) broken by quoted, copied and long fields, with short runs and
// small entry limits so that runs meet the full-width fallback.
TEST(RowMemory, RunsMatchPerFieldEntries) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] RowMemory runs " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pieces[] = {",,,,,,,,", "7,7,7,7,7,", "7,7,", "ab,", "\"q\"\"x\",", "\"a,b\",",
                                  "\xC3\xA9,", "\xFE,", ",", "\n", "12,34,56,78,", std::string(40, 'z') + ","};
    struct Setup {
        std::size_t offset, size, run_min;
    };
    const Setup setups[] = {{0, 0, 0}, {0, 0, 2}, {0, 0, 3}, {1, 1, 2}, {7, 3, 2}, {64, 1000, 4}, {30, 0, 3}};
    std::size_t rows_with_runs = 0;
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const unsigned n = 1 + rng() % 40;
        for (unsigned k = 0; k < n; ++k) {
            const std::string& piece = pieces[rng() % std::size(pieces)];
            for (unsigned r = rng() % 3 == 0 ? 1 + rng() % 30 : 1; r > 0; --r) text += piece;
        }
        if (rng() % 2 == 0) text.pop_back();
        const Setup setup = setups[rng() % std::size(setups)];
        const bool decode = rng() % 4 != 0;
        SCOPED_TRACE("text '" + text + "' setup " + std::to_string(setup.offset) + "/" +
                     std::to_string(setup.size) + "/" + std::to_string(setup.run_min) +
                     (decode ? "" : " raw"));
        ResilientParser plain_parser(text, ',', '"', true);
        ResilientParser run_parser(text, ',', '"', true);
        ResilientParser count_parser(text, ',', '"', true);
        RowBuffer plain(0, 0, SIZE_MAX);
        RowBuffer runs(setup.offset, setup.size, setup.run_min);
        FieldCounter counter;
        for (;;) {
            const bool got = decode ? plain_parser.next_row(plain) : plain_parser.next_row_raw(plain);
            ASSERT_EQ(decode ? run_parser.next_row(runs) : run_parser.next_row_raw(runs), got);
            ASSERT_EQ(count_parser.next_row_count(counter), got);
            if (!got) break;
            ASSERT_EQ(plain.run_count(), 0U);
            rows_with_runs += runs.run_count() != 0;
            EXPECT_EQ(counter.size(), plain.size());
            // Raw bytes, kept while the first field may still be blank.
            if (!decode && counter.first_may_be_blank()) EXPECT_EQ(counter.first_field(), plain.field(0));
            ASSERT_EQ(snapshot(runs), snapshot(plain));
            EXPECT_EQ(runs.held_size(), plain.held_size());
            EXPECT_EQ(runs.bare_run(), plain.bare_run());
            EXPECT_EQ(runs.text_size(), plain.text_size());
            EXPECT_EQ(runs.special_text_size(), plain.special_text_size());
            EXPECT_EQ(clean_of(runs, ',', '"'), clean_of(plain, ',', '"'));
            if (round % 10 == 0) EXPECT_EQ(streamed(runs, ',', '"', std::string(9000, 'p')), clean_of(plain, ',', '"'));
            {  // the quarantine line, its bare run taken as one span, against the field-by-field record
                std::string from_row;
                std::string from_record;
                append_quarantine_line(from_row, runs, "why", 3, ',');
                append_quarantine_line(from_record, QuarantineRecord{plain.to_strings(), "why", 3}, ',');
                EXPECT_EQ(from_row, from_record);
            }
            if (plain.size() < 2) continue;
            const std::size_t cut = rng() % plain.size();
            switch (rng() % 3) {
                case 0:  // overflow joined
                    plain.merge_tail(cut, ',');
                    runs.merge_tail(cut, ',');
                    break;
                case 1:  // cut, then fields added after the cut
                    plain.truncate(cut);
                    runs.truncate(cut);
                    for (const char* extra : {"", "", "x", "", ""}) {
                        plain.push_text_field(extra, true, false);
                        runs.push_text_field(extra, true, false);
                    }
                    break;
                default:  // padded past the end
                    plain.pad_to(plain.size() + 3);
                    runs.pad_to(runs.size() + 3);
                    break;
            }
            ASSERT_EQ(snapshot(runs), snapshot(plain));
            EXPECT_EQ(runs.bare_run(), plain.bare_run());
            EXPECT_EQ(runs.text_size(), plain.text_size());
            EXPECT_EQ(runs.special_text_size(), plain.special_text_size());
            EXPECT_EQ(clean_of(runs, ',', '"'), clean_of(plain, ',', '"'));
            RowTable table;
            table.push_row(runs);
            table.push_row(plain);
            const std::vector<Row> both = table.to_vectors();
            EXPECT_EQ(both[0], both[1]);
        }
    }
    EXPECT_GT(rows_with_runs, 50U) << "the rows seldom formed runs: the test lost its point";
}

// A row of millions of empty fields or one-digit columns holds a few slots,
// not one per field, and still reads, writes and joins field by field.
TEST(RowMemory, HugeRunsStayCompact) {
    struct Case {
        std::string unit;
        std::size_t count;
    };
    const Case cases[] = {{",", 3000000}, {"7,", 2000000}, {"ab,", 100000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        std::string text;
        for (std::size_t k = 0; k < c.count; ++k) text += c.unit;
        text += "end\n";
        ResilientParser parser(text, ',', '"', true);
        RowBuffer row;
        ASSERT_TRUE(parser.next_row(row));
        ASSERT_EQ(row.size(), c.count + 1);
        EXPECT_EQ(row.run_count(), 1U);
        EXPECT_EQ(row.bare_run(), c.count + 1);
        const std::string field = c.unit.substr(0, c.unit.size() - 1);
        EXPECT_EQ(row.field(c.count / 2), field);
        EXPECT_EQ(row.field(c.count - 1), field);
        EXPECT_EQ(row.field(c.count), "end");
        EXPECT_EQ(clean_of(row, ',', '"'), text);
        EXPECT_EQ(streamed(row, ',', '"'), text);
        row.merge_tail(2, ',');
        ASSERT_EQ(row.size(), 3U);
        EXPECT_EQ(row.field(2).size(), text.size() - 1 - 2 * c.unit.size());
        EXPECT_EQ(row.field(1), field);
    }
}

// Joining overflow keeps a view where the fields stand one delimiter apart
// and copies otherwise; both must give the joined text and its flags.
TEST(RowMemory, MergeTailJoinsAsText) {
    struct Case {
        std::string text;
        std::uint8_t delimiter;
        std::size_t first;
        std::string joined;
        bool ascii;
    };
    const Case cases[] = {
        {"a,b,c,d\n", ',', 1, "b,c,d", true},               // views one byte apart
        {",,,,\n", ',', 0, ",,,,", true},                      // empty fields only
        {"a,\"b\",c\n", ',', 1, "b,c", true},                  // a quoted field: not adjacent
        {"a,b\"\"x,c\n", ',', 1, "b\"\"x,c", true},            // stray quotes kept as views
        {"a,\"b\"\"c\",d\n", ',', 0, "a,b\"c,d", true},        // a doubled quote: copied
        {"a,\xC3\xA9,z\n", ',', 1, "\xC3\xA9,z", false},       // UTF-8 in a view
        {"a,\xFF,z\n", ',', 1, "\xEF\xBF\xBD,z", false},       // a repaired field
        {"a\xA7" "b\xA7" "c\n", 0xA7, 1, "b\xC2\xA7" "c", false},  // Latin-1 delimiter: two bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ResilientParser parser(c.text, c.delimiter, '"', true);
        RowBuffer row;
        ASSERT_TRUE(parser.next_row(row));
        row.merge_tail(c.first, c.delimiter);
        ASSERT_EQ(row.size(), c.first + 1);
        EXPECT_EQ(row.field(c.first), c.joined);
        EXPECT_EQ(row.field_is_ascii(c.first), c.ascii);
        EXPECT_TRUE(row.field_may_need_quotes(c.first));
    }
}

// Padding is a count; to every reader it is empty fields at the end. The
// table, the string writer and the streamed writer all see the same row as
// one whose empty fields were pushed one by one.
TEST(RowMemory, PaddingReadsAsEmptyFields) {
    struct Case {
        Row fields;
        std::size_t width;
        std::uint8_t delimiter;
    };
    const Case cases[] = {
        {{"a", "b"}, 5, ','},
        {{""}, 3, ','},
        {{"x", ""}, 4, ';'},              // a held empty field before the padding
        {{"q\"uote", "d,e"}, 4, ','},     // quoted fields, then padding
        {{"a"}, 4, 0xA7},                 // a two-byte delimiter
        {{"a", "b"}, 2, ','},             // already wide enough: nothing added
        {{"a"}, 20000, ','},              // a line longer than the output buffer
        {{"a"}, 20000, 0xA7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " from " + std::to_string(c.fields.size()));
        RowBuffer padded = text_row(c.fields, c.delimiter);
        padded.pad_to(c.width);
        Row full = c.fields;
        full.resize(std::max(c.width, c.fields.size()));
        const RowBuffer plain = text_row(full, c.delimiter);

        ASSERT_EQ(padded.size(), plain.size());
        EXPECT_EQ(padded.to_strings(), full);
        EXPECT_EQ(padded.held_size(), c.fields.size());
        const std::string line = clean_of(plain, c.delimiter, '"');
        EXPECT_EQ(clean_of(padded, c.delimiter, '"'), line);
        EXPECT_EQ(streamed(padded, c.delimiter, '"'), line);
        EXPECT_EQ(streamed(padded, c.delimiter, '"', std::string(8000, 'p')), line);

        RowTable table;
        table.push_row(padded);
        table.push_row(plain);
        EXPECT_EQ(table.to_vectors(), (std::vector<Row>{full, full}));
    }
}

// Three million padded fields stream out at constant memory: the line is as long
// as asked and is only delimiters after the held fields.
TEST(RowMemory, HugePaddingStreamsOut) {
    constexpr std::size_t kWidth = 3000000;
    RowBuffer row = text_row({"a", "b"});
    row.pad_to(kWidth);
    const std::string out = streamed(row, ',', '"');
    ASSERT_EQ(out.size(), 2 + (kWidth - 1) + 1);
    EXPECT_EQ(out.substr(0, 3), "a,b");
    EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), ',')), kWidth - 1);
    EXPECT_EQ(out.back(), '\n');

    RowTable table;
    table.push_row(row);
    EXPECT_LT(table.memory_bytes(), std::size_t{2} << 20) << "padding stored field by field";
    std::vector<std::string_view> fields;
    auto cursor = table.cursor();
    ASSERT_TRUE(cursor.next(fields));
    ASSERT_EQ(fields.size(), kWidth);
    EXPECT_EQ(fields[1], "b");
    EXPECT_TRUE(fields[kWidth - 1].empty());
}

// Long fields go to the file in pieces; the bytes are those of the line
// built whole, for every mix of quotes, delimiters, line breaks and both
// one- and two-byte dialect characters.
TEST(RowMemory, LongFieldsStreamByteIdentical) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] RowMemory streamed " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    struct Dialect {
        std::uint8_t delimiter, quote;
    };
    const Dialect dialects[] = {{',', '"'}, {'\t', '\''}, {0xA7, '"'}, {',', 0xB4}};
    const std::string pieces[] = {"abc", "\"", "'", ",", "\t", "\n", "\r", "\xC2\xA7", "\xC2\xB4",
                                  std::string(5000, 'z')};
    for (int round = 0; round < 40; ++round) {
        const Dialect d = dialects[rng() % std::size(dialects)];
        Row fields(1 + rng() % 4);
        for (std::string& f : fields) {
            const unsigned n = rng() % 40;
            for (unsigned k = 0; k < n; ++k) f += pieces[rng() % std::size(pieces)];
        }
        SCOPED_TRACE("round " + std::to_string(round));
        RowBuffer row = text_row(fields, d.delimiter, d.quote);
        if (rng() % 3 == 0) row.pad_to(fields.size() + rng() % 5000);
        const std::string line = clean_of(row, d.delimiter, d.quote);
        EXPECT_TRUE(streamed(row, d.delimiter, d.quote) == line);
        EXPECT_TRUE(streamed(row, d.delimiter, d.quote, std::string(rng() % 9000, 'p')) == line);
    }
}

// A visit that refuses part way leaves the cursor on the row: the next
// visit sees the same row from its start, then the cursor moves on.
TEST(RowMemory, RefusedVisitStaysOnRow) {
    RowTable table;
    RowBuffer first = text_row({"a", "b", ""});
    first.pad_to(6);
    table.push_row(first);
    table.push_row(text_row({"next"}));

    auto cursor = table.cursor();
    const auto visit = [&](std::size_t refuse_at, Row& got) {
        got.clear();
        return cursor.visit_next([&](std::size_t count) { return refuse_at != 0 && count > 0; },
                                 [&](std::string_view text, bool) {
                                     got.emplace_back(text);
                                     return got.size() < refuse_at;
                                 });
    };
    Row got;
    ASSERT_TRUE(visit(0, got));  // refused at the start
    ASSERT_TRUE(visit(2, got));  // refused inside the held fields
    ASSERT_TRUE(visit(5, got));  // refused inside the counted empties
    EXPECT_EQ(cursor.row_index(), 0U);
    ASSERT_TRUE(visit(100, got));
    EXPECT_EQ(got, (Row{"a", "b", "", "", "", ""}));
    ASSERT_TRUE(visit(100, got));
    EXPECT_EQ(got, (Row{"next"}));
    EXPECT_FALSE(visit(100, got));
}

}  // namespace
}  // namespace brinewick
