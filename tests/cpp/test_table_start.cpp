// The table inside a file: the header found below a preamble, repeated
// headers and comment rows set aside, alike on one thread and several.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream/table_start.hpp"
#include "stream_test_support.hpp"

namespace brinewick::stream {
namespace {

using namespace brinewick::test_support;

// Rows of comma-separated lines without quotes, as the sample holds them.
std::vector<SampleRow> rows_of(const std::vector<std::string>& lines) {
    std::vector<SampleRow> rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SampleRow& row = rows.emplace_back();
        row.line = i + 1;
        row.raw = lines[i];
        std::size_t from = 0;
        for (;;) {
            const std::size_t comma = lines[i].find(',', from);
            row.fields.push_back(lines[i].substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
        row.width = row.fields.size();
        row.blank = row.fields.size() == 1 && row.fields[0].find_first_not_of(" \t") == std::string::npos;
    }
    return rows;
}

struct HeaderCase {
    const char* name;
    std::vector<std::string> lines;
    std::size_t columns;
    int header;  // -1: none found, the table starts at the first row
};

class FindHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FindHeader, FindsTheRowThatNamesTheColumns) {
    const HeaderCase& c = GetParam();
    const auto rows = rows_of(c.lines);
    const auto found = find_header_row(rows, c.columns, std::nullopt);
    EXPECT_EQ(found ? static_cast<int>(*found) : -1, c.header);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FindHeader,
    ::testing::Values(
        HeaderCase{"usual_file", {"id,name,amount", "1,ann,3.5", "2,bob,4"}, 3, -1},
        HeaderCase{"titles_above", {"Sales report Q3", "Generated 2024-10-01", "", "id,name,amount", "1,ann,3.5"}, 3, 3},
        HeaderCase{"export_parameters",
                   {"Account:,12345678", "Period:,01/01/2024 - 31/01/2024", "", "Date,Text,Amount,Balance",
                    "02/01/2024,Coffee,-3.50,996.50", "03/01/2024,Rent,-900,96.50"},
                   4, 3},
        HeaderCase{"spread_titles", {"Statement,,,", ",,,", "Day,Text,Amount,Saldo", "02.01.2024,Kaffee,-3.50,1"}, 4, 2},
        HeaderCase{"text_table_under_title", {"Contacts", "name,city", "ann,paris", "bob,rome"}, 2, 1},
        // A damaged first row over rows of text is not a preamble: nothing tells them apart.
        HeaderCase{"short_header_over_text", {"name,city", "ann,paris,x", "bob,rome,y"}, 3, -1},
        // Data before any row that reads as names: no header below.
        HeaderCase{"no_header", {"1,2", "3,4,5", "6,7,8", "9,10,11"}, 3, -1},
        HeaderCase{"numbers_under_names_missing", {"Title", "a,b,c", "x,y,z,w", "p,q,r,s"}, 3, -1},
        HeaderCase{"one_column", {"Title", "name", "ann"}, 1, -1},
        HeaderCase{"note_lines", {"# exported by bank, v2, 10:00", "date,amount,memo", "2024-01-02,3.5,x"}, 3, 1},
        // A pivot table names columns by year; a name and years over years is data.
        HeaderCase{"pivot_years", {"Sales by region", "", "region,2022,2023", "north,10.5,12", "south,8,9.25"}, 3, 2},
        HeaderCase{"pivot_years_joined",
                   {"Sales by region", "region,2022,2023", "north,10.5,12", "Sales by region", "region,2022,2023",
                    "north,8,9.25"},
                   3, 1},
        HeaderCase{"years_over_years", {"Members", "ann,2019,2021", "bob,2018,2020", "cy,2020,2022"}, 3, -1},
        // A header written after a '#', over text: the usual file.
        HeaderCase{"hash_header", {"#name,city", "ann,paris", "bob,rome"}, 2, -1}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

struct SniffCase {
    const char* name;
    std::string text;
    std::uint8_t sniffed;  // the heuristics' answer
    int want;              // -1: keep it
};

class TableDelimiter : public ::testing::TestWithParam<SniffCase> {};

TEST_P(TableDelimiter, BreaksNearTiesByTheTable) {
    const SniffCase& c = GetParam();
    const auto got = table_delimiter(c.text, c.sniffed, true, std::nullopt);
    EXPECT_EQ(got ? static_cast<int>(*got) : -1, c.want);
}

std::string rgb_rows() {
    std::string text = "color;rgb\n";
    for (int i = 0; i < 40; ++i) text += "c" + std::to_string(i) + ";" + std::to_string(i) + ",0," + std::to_string(2 * i) + "\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, TableDelimiter,
    ::testing::Values(SniffCase{"rgb_triples", rgb_rows(), ',', ';'},
                      SniffCase{"one_row", "a;b;c\n", ',', ';'},
                      SniffCase{"one_row_of_one_field", "title\n", ',', -1},
                      SniffCase{"names_with_commas", "name, surname;age\nann, lee;3\nbob, ray;4\n", ',', ';'},
                      SniffCase{"clear_winner", "a,b,c\n1,2,3\n4,5,6\n", ',', -1},
                      SniffCase{"decimal_commas_kept", "id;amount\n1;3,50\n2;4,25\n", ';', -1},
                      // Notes and titles with commas above a ';' table.
                      SniffCase{"notes_first",
                                "# Export from Bank, Inc.\n# Account: 12345, EUR\n# Period: Jan, Feb, Mar\n"
                                "Date;Text;Amount\n2024-01-02;Coffee;-3,50\n2024-01-03;Rent;-900,00\n",
                                ',', ';'},
                      SniffCase{"titles_with_commas",
                                "Sales report, Q3 2024\nGenerated on 2024-10-01, by system\n\nid;name;amount\n"
                                "1;ann;3,5\n2;bob;4\n",
                                ',', ';'}),
    [](const ::testing::TestParamInfo<SniffCase>& info) { return std::string(info.param.name); });

TEST(LooksLikeValue, TellsValuesFromNames) {
    for (const char* value : {"3.5", "-1,234.50", "2024-01-02", "02/01/2024", "10:30", "2024-01-02T10:00",
                              "1e5", "3:04 PM", "12 %", "€ 12", "(42)"}) {
        EXPECT_TRUE(looks_like_value(value)) << value;
    }
    for (const char* name : {"id", "Q3", "amount (EUR)", "", "-", "Name 2", "e"}) {
        EXPECT_FALSE(looks_like_value(name)) << name;
    }
}

TEST(TableStage, ReorderedHeaderIsTheSameNamesInAnotherOrder) {
    struct Case {
        const char* raw;
        bool reordered;
    };
    for (const Case c : {Case{"b,c,a", true}, Case{"c,a,b", true}, Case{"a,b,c", false}, Case{"a,b,d", false},
                         Case{"a,b", false}, Case{"a,b,c,", false}, Case{"\"b\",a,c", false}}) {
        EXPECT_EQ(names_header_reordered(c.raw, "a,b,c", ',', '"'), c.reordered) << c.raw;
    }
    EXPECT_FALSE(names_header_reordered("a", "a", ',', '"'));  // one column: a value may be its word
}

// One file through the streamed salvage on one thread and on two with tiny
// chunks: the same clean rows and the same rows set aside.
TEST(TableStage, PreambleRepeatedHeadersAndCommentsOnEveryPath) {
    const std::string input =
        "Bank statement\n"
        "Account:,42\n"
        "\n"
        "date,memo,amount\n"
        "2024-01-02,coffee,3.5\n"
        "# a note, with commas, in it\n"
        "2024-01-03,rent,900\n"
        "\xEF\xBB\xBF"
        "date,memo,amount\n"
        "2024-02-01,coffee,3.5\n"
        "date,memo,amount\n"
        "date,memo,amount\n"
        "2024-02-02,tea,2\n"
        "amount,memo,date\n"   // the names in another order
        "amount,memo,dat3\n";  // as long and alike, but a row
    SalvageOptions options;
    options.find_header = true;
    options.skip_blank_lines = true;
    options.skip_repeated_headers = true;
    options.comment = '#';
    const std::string want_clean = "date,memo,amount\n2024-01-02,coffee,3.5\n2024-01-03,rent,900\n"
                                   "2024-02-01,coffee,3.5\n2024-02-02,tea,2\namount,memo,dat3\n";
    const std::string want_quarantine =
        "line,byte_offset,reason,expected,found,raw\n1,0,preamble,3,1,Bank statement\n"
        "2,15,preamble,3,2,\"Account:,42\"\n6,67,comment,3,3,\"# a note, with commas, in it\"\n"
        "8,116,repeated_header,3,3,\"\xEF\xBB\xBF" "date,memo,amount\"\n10,158,repeated_header,3,3,\"date,memo,amount\"\n"
        "11,175,repeated_header,3,3,\"date,memo,amount\"\n13,209,reordered_header,3,3,\"amount,memo,date\"\n";
    for (const std::size_t jobs : {1, 2}) {
        for (const std::size_t size : {3, 16, 1 << 16}) {
            TempDir dir;
            spit(dir.file("in.csv"), input);
            StreamPaths paths{dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), dir.file("c.csv")};
            StreamSettings settings;
            settings.options = options;
            settings.durable = false;
            settings.read_size = size;
            settings.chunk_size = size;
            settings.jobs = jobs;
            StreamControl control;
            const auto result = stream_salvage(paths, settings, control);
            ASSERT_TRUE(result.is_ok()) << result.status().message();
            const std::string context = "jobs=" + std::to_string(jobs) + " size=" + std::to_string(size);
            EXPECT_EQ(slurp(paths.output), want_clean) << context;
            EXPECT_EQ(slurp(*paths.quarantine), want_quarantine) << context;
            EXPECT_EQ(result.value().preamble_rows, 2u) << context;
            EXPECT_EQ(result.value().comment_rows, 1u) << context;
            EXPECT_EQ(result.value().repeated_headers, 3u) << context;
            EXPECT_EQ(result.value().reordered_headers, 1u) << context;
            EXPECT_EQ(result.value().header_line, 4u) << context;
        }
    }
}

}  // namespace
}  // namespace brinewick::stream
