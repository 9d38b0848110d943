// RowTable: rows come back exactly as pushed, in order, with their ASCII flags.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "parser/row_buffer.hpp"
#include "salvage/row_table.hpp"

#include "test_support.hpp"

namespace brinewick {
namespace {

using namespace brinewick::test_support;


using Row = std::vector<std::string>;

bool is_ascii(const std::string& s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

RowBuffer make_buffer(const Row& fields) {
    RowBuffer row;
    for (const std::string& f : fields) row.push_text_field(f, is_ascii(f), false);
    return row;
}

TEST(RowTable, RandomRowsRoundTrip) {
    const unsigned seed = test_seed();
    std::cout << "[ seed ] RowTable " << seed << " (BRINEWICK_TEST_SEED to replay)\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pieces[] = {"a", "xyz", "", ",", "\"", "\n", "\xC3\xA9", "\xE2\x82\xAC",
                                  "\xF0\x9F\x98\x80", std::string(1, '\0')};

    std::vector<Row> rows;
    rows.push_back({});                    // a row with no field at all
    rows.push_back({""});                  // one empty field
    rows.push_back({"", "", ""});
    rows.push_back({std::string(200, 'q')});  // a length needing a two-byte varint
    for (int i = 0; i < 30000; ++i) {      // several blocks' worth
        Row row(rng() % 8);
        for (std::string& f : row) {
            const unsigned n = rng() % 12;
            for (unsigned k = 0; k < n; ++k) f += pieces[rng() % std::size(pieces)];
        }
        rows.push_back(std::move(row));
        if (i == 15000) rows.push_back({"head", std::string((3U << 20) / 2, 'x') + "\xC3\xA9", "tail"});
    }

    RowTable table;
    for (const Row& row : rows) table.push_row(make_buffer(row));
    ASSERT_EQ(table.size(), rows.size());
    EXPECT_EQ(table.to_vectors(), rows);

    auto cursor = table.cursor();
    std::vector<std::string_view> fields;
    std::vector<bool> ascii;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_TRUE(cursor.next(fields, &ascii));
        ASSERT_EQ(cursor.row_index(), i + 1);
        ASSERT_EQ(ascii.size(), rows[i].size());
        for (std::size_t f = 0; f < rows[i].size(); ++f) ASSERT_EQ(ascii[f], is_ascii(rows[i][f]));
    }
    EXPECT_FALSE(cursor.next(fields, &ascii));
    EXPECT_TRUE(fields.empty());
    EXPECT_FALSE(cursor.next(fields));
}

TEST(RowTable, EmptyTableHasNoRows) {
    const RowTable table;
    auto cursor = table.cursor();
    std::vector<std::string_view> fields;
    EXPECT_FALSE(cursor.next(fields));
    EXPECT_EQ(table.size(), 0U);
    EXPECT_TRUE(table.to_vectors().empty());
}

// Rows a little over half a block each must not leave half of every block unused.
TEST(RowTable, LargeRowsKeepMemoryNearTextSize) {
    RowTable table;
    const std::size_t row_size = 600 * 1024;
    const RowBuffer row = make_buffer({std::string(row_size, 'z')});
    for (int i = 0; i < 10; ++i) table.push_row(row);
    EXPECT_LT(table.memory_bytes(), 10 * row_size * 5 / 4);
    EXPECT_GE(table.memory_bytes(), 10 * row_size);
}

TEST(RowTable, SmallRowsCostAboutTheirText) {
    RowTable table;
    const RowBuffer row = make_buffer({"abcdefgh", "ijklmnop"});
    for (int i = 0; i < 200000; ++i) table.push_row(row);
    // 16 text bytes and 3 varint bytes per row, plus at most one partly used block.
    EXPECT_LT(table.memory_bytes(), 200000U * 19 + (1U << 20) + 4096);
}

}  // namespace
}  // namespace brinewick
