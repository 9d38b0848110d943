// Resilient parser: input -> rows tables, one per behaviour and dialect.
//
// Every case runs through the three entry points of the real parser
// (next_row(), next_row(RowBuffer&), next_row_raw) and through the reference
// model, so the tables also pin the model that the random tests trust.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"
#include "reference_parser.hpp"
#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using brinewick::ResilientParser;
using brinewick::RowBuffer;
using brinewick_test::Dialect;
using brinewick_test::holds_special;
using brinewick_test::printable;

#define U_FFFD "\xEF\xBF\xBD"

struct Row {
    std::vector<std::string> fields;
    std::size_t line;  // line() right after the row
};

struct Case {
    std::string input;
    std::vector<Row> rows;
};

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

void check_next_row(const Dialect& d, const Case& c) {
    ResilientParser parser = brinewick_test::make_parser(c.input, d);
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
        auto row = parser.next_row();
        ASSERT_TRUE(row.has_value()) << "row " << i << " missing";
        EXPECT_EQ(printable(*row), printable(c.rows[i].fields)) << "row " << i;
        EXPECT_EQ(parser.line(), c.rows[i].line) << "line after row " << i;
    }
    const std::size_t line_at_end = parser.line();
    for (int k = 0; k < 3; ++k) {
        auto extra = parser.next_row();
        EXPECT_FALSE(extra.has_value()) << "call " << k << " after the last row gave " << printable(*extra);
        EXPECT_EQ(parser.line(), line_at_end);
        EXPECT_EQ(parser.position(), c.input.size());
    }
}

void check_model(const Dialect& d, const Case& c) {
    const auto rows = brinewick_test::model_rows(c.input, d);
    ASSERT_EQ(rows.size(), c.rows.size()) << "model row count";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(printable(brinewick_test::decoded(rows[i].raw)), printable(c.rows[i].fields)) << "model row " << i;
        EXPECT_EQ(rows[i].line, c.rows[i].line) << "model line after row " << i;
    }
}

// next_row(RowBuffer&) with one buffer reused for all rows.
void check_buffer(const Dialect& d, const Case& c) {
    ResilientParser parser = brinewick_test::make_parser(c.input, d);
    RowBuffer buffer;
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
        ASSERT_TRUE(parser.next_row(buffer)) << "buffer row " << i << " missing";
        const auto& want = c.rows[i].fields;
        EXPECT_EQ(printable(buffer.to_strings()), printable(want)) << "buffer row " << i;
        ASSERT_EQ(buffer.size(), want.size());
        for (std::size_t f = 0; f < want.size(); ++f) {
            EXPECT_EQ(buffer.field(f), want[f]);
            EXPECT_EQ(buffer.field_is_ascii(f), is_ascii(want[f])) << "ascii flag, row " << i << " field " << f;
            if (!buffer.field_may_need_quotes(f)) {
                EXPECT_FALSE(holds_special(want[f], d)) << "quoting flag, row " << i << " field " << f;
            }
        }
        EXPECT_EQ(parser.line(), c.rows[i].line) << "buffer line after row " << i;
    }
    EXPECT_FALSE(parser.next_row(buffer));
    EXPECT_FALSE(parser.next_row(buffer));
}

// next_row_raw: the model's raw bytes, which decode to the expected text.
void check_raw(const Dialect& d, const Case& c) {
    const auto model = brinewick_test::model_rows(c.input, d);
    ResilientParser parser = brinewick_test::make_parser(c.input, d);
    RowBuffer buffer;
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
        ASSERT_TRUE(parser.next_row_raw(buffer)) << "raw row " << i << " missing";
        const std::vector<std::string> raw = buffer.to_strings();
        EXPECT_EQ(printable(brinewick_test::decoded(raw)), printable(c.rows[i].fields)) << "raw row " << i;
        if (i < model.size()) {
            EXPECT_EQ(printable(raw), printable(model[i].raw)) << "raw row " << i;
        }
        // Raw rows need not learn ASCII-ness, but a flag that is set must hold.
        for (std::size_t f = 0; f < raw.size(); ++f) {
            if (buffer.field_is_ascii(f)) {
                EXPECT_TRUE(is_ascii(raw[f])) << "raw ascii flag, row " << i << " field " << f;
            }
        }
        EXPECT_EQ(parser.line(), c.rows[i].line) << "raw line after row " << i;
    }
    EXPECT_FALSE(parser.next_row_raw(buffer));
    EXPECT_FALSE(parser.next_row_raw(buffer));
}

void check_table(const Dialect& d, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE("input " + printable(c.input) + " with " + brinewick_test::describe(d));
        check_next_row(d, c);
        check_model(d, c);
        check_buffer(d, c);
        check_raw(d, c);
    }
}

const Dialect kCsv{};  // comma, double quote, repair on

Dialect with_repair(Dialect d, bool on) {
    d.repair = on;
    return d;
}

TEST(ParserTable, EmptyInput) {
    check_table(kCsv, {
        {"", {}},
        {"\xEF\xBB\xBF", {}},
    });
}

TEST(ParserTable, LineEnds) {
    check_table(kCsv, {
        {"a,b,c", {{{"a", "b", "c"}, 1}}},
        {"a\n", {{{"a"}, 2}}},
        {"a,b\r\nc,d\n", {{{"a", "b"}, 2}, {{"c", "d"}, 3}}},
        {"a\rb", {{{"a"}, 2}, {{"b"}, 2}}},
        {"a,b\r", {{{"a", "b"}, 2}}},
        {"a\n\rb", {{{"a"}, 2}, {{""}, 3}, {{"b"}, 3}}},
        {"a\r\r\nb", {{{"a"}, 2}, {{""}, 3}, {{"b"}, 3}}},
        {"a\r\n\r\nb\r\n", {{{"a"}, 2}, {{""}, 3}, {{"b"}, 4}}},
        {"\r\n", {{{""}, 2}}},
        {"\r", {{{""}, 2}}},
        {"a\n\r\n", {{{"a"}, 2}, {{""}, 3}}},
    });
}

TEST(ParserTable, BlankLinesAndEmptyFields) {
    check_table(kCsv, {
        {"a\n\nb\n", {{{"a"}, 2}, {{""}, 3}, {{"b"}, 4}}},
        {"\n", {{{""}, 2}}},
        {"a\n\n", {{{"a"}, 2}, {{""}, 3}}},
        {"\n\n\n", {{{""}, 2}, {{""}, 3}, {{""}, 4}}},
        {"a,b,\n", {{{"a", "b", ""}, 2}}},
        {",a", {{{"", "a"}, 1}}},
        {",", {{{"", ""}, 1}}},
        {",,\n,", {{{"", "", ""}, 2}, {{"", ""}, 2}}},
        {" \n", {{{" "}, 2}}},
        {"a\0,b"s, {{{"a\0"s, "b"}, 1}}},
    });
}

TEST(ParserTable, QuotedFields) {
    check_table(kCsv, {
        {"\"a\",\"b\"\n", {{{"a", "b"}, 2}}},
        {"\"\",x", {{{"", "x"}, 1}}},
        {"\"\"", {{{""}, 1}}},
        {"\"x,y\nz\",w\n", {{{"x,y\nz", "w"}, 3}}},
        {"\"a\r\nb\",c\r\n", {{{"a\r\nb", "c"}, 3}}},
        {"\"a\rb\",c\n", {{{"a\rb", "c"}, 2}}},
        {"\"\n\n\"\n", {{{"\n\n"}, 4}}},
        {"ab\"c,d", {{{"ab\"c", "d"}, 1}}},
        {"a\"\"b", {{{"a\"\"b"}, 1}}},
    });
}

TEST(ParserTable, DoubledQuotes) {
    check_table(kCsv, {
        {"\"a\"\"b\",c", {{{"a\"b", "c"}, 1}}},
        {"\"\"\"\",c", {{{"\"", "c"}, 1}}},
        {"\"a\"\"", {{{"a\""}, 1}}},
        {"\"a\"\"\"", {{{"a\""}, 1}}},
        {"\"\"\"\"\"\"", {{{"\"\""}, 1}}},
        {"\"a\"\"\"\"b\"\n", {{{"a\"\"b"}, 2}}},
        // Runs of doubled quotes, ending in every way a run can end.
        {"\"\"\"\"\"\"\"", {{{"\"\"\""}, 1}}},
        {"\"\"\"\"\"\"\"\"", {{{"\"\"\""}, 1}}},
        {"\"\"\"\"\"\",x\n", {{{"\"\"", "x"}, 2}}},
        {"\"\"\"\"\"\"\",x\n", {{{"\"\"\",x\n"}, 2}}},
        {"\"a\"\"\"\"\"\"b\"\"\"\"c\",d", {{{"a\"\"\"b\"\"c", "d"}, 1}}},
        {"x,\"\"\"\"\"\"\"y\"\"\"\"\"\n", {{{"x", "\"\"\"y\"\""}, 2}}},
        {"\"\"\"\"\"\"\"\"\"\"\"\"\n\"\"\"\"", {{{"\"\"\"\"\""}, 2}, {{"\""}, 2}}},
        {"\"\"\"\"\"\"\"\"\"\"\"\n", {{{"\"\"\"\"\"\n"}, 2}}},
    });
}

// A quote inside a quoted field that is not followed by the delimiter, a line
// end or the end of the text: stray when a later quote on the line is.
TEST(ParserTable, StrayQuotesRepaired) {
    check_table(kCsv, {
        {"\"ab\"cd,e", {{{"abcd", "e"}, 1}}},
        {"\"a\"b\",c\n", {{{"a\"b", "c"}, 2}}},
        {"\"a\"b,c\",d", {{{"a\"b,c", "d"}, 1}}},
        {"\"a\"b\nc\",d\n", {{{"ab"}, 2}, {{"c\"", "d"}, 3}}},
        {"\"a\" \"b\",c", {{{"a\" \"b", "c"}, 1}}},
        {"\"a\"x\"y\" q,z\n", {{{"ax\"y\" q", "z"}, 2}}},
        {"\"a\"b\"", {{{"a\"b"}, 1}}},
        {"\"a\"b\" ,c", {{{"a\"b", "c"}, 1}}},
        {"\"a\"b\"\t\r\nc", {{{"a\"b"}, 2}, {{"c"}, 2}}},
        {"\"a\"b\"c", {{{"ab\"c"}, 1}}},
        {"\"a\"b\"\"c\",d", {{{"a\"b\"c", "d"}, 1}}},
        {"\"a\"b\"c\"d\",e", {{{"a\"b\"c\"d", "e"}, 1}}},
        {"\"a\"b\r\"c\",d", {{{"ab"}, 2}, {{"c", "d"}, 2}}},
    });
}

TEST(ParserTable, StrayQuotesNotRepaired) {
    check_table(with_repair(kCsv, false), {
        {"\"ab\"cd,e", {{{"abcd", "e"}, 1}}},
        {"\"a\"b\",c\n", {{{"ab\"", "c"}, 2}}},
        {"\"a\"b,c\",d", {{{"ab", "c\"", "d"}, 1}}},
        {"\"a\" \"b\",c", {{{"a\"b\"", "c"}, 1}}},
        {"\"a\"b\"", {{{"ab\""}, 1}}},
        {"\"a\"\"b\",c", {{{"a\"b", "c"}, 1}}},
    });
}

TEST(ParserTable, BlanksAfterClosingQuote) {
    check_table(kCsv, {
        {"\"a\"  ,b", {{{"a", "b"}, 1}}},
        {"\"a\" x,b", {{{"ax", "b"}, 1}}},
        {"\"a\" \t\n", {{{"a"}, 2}}},
        {"\"a\" ", {{{"a"}, 1}}},
        {"\"a\"x y", {{{"ax y"}, 1}}},
        {" \"a\" ,b", {{{" \"a\" ", "b"}, 1}}},
    });
}

TEST(ParserTable, UnclosedQuotes) {
    check_table(kCsv, {
        {"a,\"", {{{"a", ""}, 1}}},
        {"\"abc", {{{"abc"}, 1}}},
        {"\"", {{{""}, 1}}},
        {"\"abc\nd,e\nf", {{{"abc\nd,e\nf"}, 3}}},
        {"\"a\r\nb", {{{"a\r\nb"}, 2}}},
        {"x\n\"a,\rb\n", {{{"x"}, 2}, {{"a,\rb\n"}, 3}}},
    });
}

// With a blank as delimiter the stray-quote look-ahead still skips the
// other blank, but stops at the delimiter: quoted TSV must read the same
// with repair on or off, and a stray quote is still found across the other
// blank.
TEST(ParserTable, TabDelimiter) {
    Dialect tab;
    tab.delimiter = '\t';
    const std::vector<Case> both = {
        {"\"a\"\t\"b\"\n", {{{"a", "b"}, 2}}},
        {"\"a\"\t\"b\"\t\"\"\n\"c\"\t\"d\"\t\"e\"\n", {{{"a", "b", ""}, 2}, {{"c", "d", "e"}, 3}}},
        {"\"a\" \t\"b\" \n", {{{"a", "b"}, 2}}},
        {"a\tb\t\n", {{{"a", "b", ""}, 2}}},
        {"\"a\" \tb", {{{"a", "b"}, 1}}},
        {"\"a\"\t b", {{{"a", " b"}, 1}}},
        {"a,b\tc", {{{"a,b", "c"}, 1}}},
        {"\"x\ty\"\t\"z\"\r\n", {{{"x\ty", "z"}, 2}}},
    };
    check_table(tab, both);
    check_table(with_repair(tab, false), both);
    check_table(tab, {
        {"\"a\"b\" \tc\n", {{{"a\"b", "c"}, 2}}},   // the later quote closes across a space
        {"\"a\" b\"\tc\n", {{{"a\" b", "c"}, 2}}},  // the candidate is judged across a space
    });
}

TEST(ParserTable, SpaceDelimiter) {
    Dialect space;
    space.delimiter = ' ';
    const std::vector<Case> both = {
        {"a b", {{{"a", "b"}, 1}}},
        {"\"a\" b", {{{"a", "b"}, 1}}},
        {"\"a\" \"b\"", {{{"a", "b"}, 1}}},
        {"\"a\" \"b\" \"\"\n\"c\" \"d\" \"e\"\n", {{{"a", "b", ""}, 2}, {{"c", "d", "e"}, 3}}},
        {"\"a\"\t \"b\"\t\n", {{{"a", "b"}, 2}}},
    };
    check_table(space, both);
    check_table(with_repair(space, false), both);
    check_table(space, {
        {"\"a\"b\"\t c\n", {{{"a\"b", "c"}, 2}}},
    });
}

// The quote test comes first at a field start, the delimiter test first
// inside unquoted text and after a closing quote.
TEST(ParserTable, QuoteEqualsDelimiter) {
    Dialect same;
    same.delimiter = ',';
    same.quote = ',';
    check_table(same, {
        {"a,b", {{{"a", "b"}, 1}}},
        {",a,b", {{{"ab"}, 1}}},
        {",a,,b", {{{"a,b"}, 1}}},
        {"a,,b", {{{"a", "b"}, 1}}},
        {",a,\n", {{{"a"}, 2}}},
    });
}

TEST(ParserTable, ByteOrderMark) {
    check_table(kCsv, {
        {"\xEF\xBB\xBFx,y", {{{"x", "y"}, 1}}},
        {"\xEF\xBB\xBF\n", {{{""}, 2}}},
        {"\xEF\xBB\xBF\"a,b\"", {{{"a,b"}, 1}}},
        {"\xEF\xBB", {{{U_FFFD}, 1}}},
        {"\xEF\xBB\xBF\xEF\xBB\xBF" "a", {{{"\xEF\xBB\xBF" "a"}, 1}}},
        {" \xEF\xBB\xBF" "a", {{{" \xEF\xBB\xBF" "a"}, 1}}},
    });
}

TEST(ParserTable, Utf8Fields) {
    check_table(kCsv, {
        {"\xC3\xA9,\xFF", {{{"\xC3\xA9", U_FFFD}, 1}}},
        {"a\xFF" "b", {{{"a" U_FFFD "b"}, 1}}},
        {"\"\xE2\x82\xAC\"", {{{"\xE2\x82\xAC"}, 1}}},
        {"\xE2\x82,\xAC", {{{U_FFFD, U_FFFD}, 1}}},
        {"\"\xF0\x9F\x98\x80\"\"\xC0\",\xED\xA0\x80", {{{"\xF0\x9F\x98\x80\"" U_FFFD, U_FFFD U_FFFD U_FFFD}, 1}}},
        {"\xC3\n\xA9", {{{U_FFFD}, 2}, {{U_FFFD}, 2}}},
    });
}

// Delimiter or quote bytes from 0x80 up cut multi-byte characters apart.
TEST(ParserTable, NonAsciiDelimiterAndQuote) {
    Dialect delim_a9;
    delim_a9.delimiter = 0xA9;
    check_table(delim_a9, {
        {"\xC3\xA9", {{{U_FFFD, ""}, 1}}},
        {"a\xA9" "b", {{{"a", "b"}, 1}}},
        {"\xE2\x82\xAC\xA9\xC3\xA9x", {{{"\xE2\x82\xAC", U_FFFD, "x"}, 1}}},
    });
    Dialect delim_82;
    delim_82.delimiter = 0x82;
    check_table(delim_82, {
        {"\xE2\x82\xAC", {{{U_FFFD, U_FFFD}, 1}}},
    });
    Dialect quote_c3;
    quote_c3.quote = 0xC3;
    check_table(quote_c3, {
        {"\xC3\xA9x\xC3,y", {{{U_FFFD "x", "y"}, 1}}},
        {"a\xC3\xA9", {{{"a\xC3\xA9"}, 1}}},
        {"\xC3" "a,b\xC3\xC3" "c\xC3", {{{"a,b" U_FFFD "c"}, 1}}},
    });
}

TEST(ParserTable, EscapeInsideQuotes) {
    Dialect esc;
    esc.escape = '\\';
    check_table(esc, {
        {"\"a\\\"b\",c", {{{"a\"b", "c"}, 1}}},
        {"a\\,b", {{{"a\\", "b"}, 1}}},
        {"\"a\\\nb\"\nc", {{{"a\nb"}, 2}, {{"c"}, 2}}},
        {"\"a\\\\\",b", {{{"a\\", "b"}, 1}}},
        {"\"a\\", {{{"a\\"}, 1}}},
        {"\"a\\,b\",c", {{{"a,b", "c"}, 1}}},
    });
    // An escape equal to the quote is tested first: `"` then takes the next byte.
    Dialect esc_quote;
    esc_quote.escape = '"';
    check_table(esc_quote, {
        {"\"a\"\"b\"", {{{"a\"b"}, 1}}},
        {"\"a\",b", {{{"a,b"}, 1}}},
    });
}

TEST(ParserTable, TrimLeadingWhitespace) {
    Dialect trim;
    trim.trim = true;
    check_table(trim, {
        {"  a,  b", {{{"a", "b"}, 1}}},
        {"a,  \"b\"", {{{"a", "b"}, 1}}},
        {"  ", {}},
        {" \t", {}},
        {"a,  ", {{{"a", ""}, 1}}},
        {"  \n", {{{""}, 2}}},
        {"a\n   ", {{{"a"}, 2}}},
        {"  a b ,c", {{{"a b ", "c"}, 1}}},
        {"\t\"a\" ,b", {{{"a", "b"}, 1}}},
    });
    Dialect trim_tab = trim;
    trim_tab.delimiter = '\t';
    check_table(trim_tab, {
        {"a\t\tb", {{{"a", "b"}, 1}}},
        {"\ta", {{{"a"}, 1}}},
    });
}

// The three entry points share one cursor: mixing them continues the rows.
TEST(ParserTable, MixedEntryPointsShareTheCursor) {
    const std::string text = "a,\xFF\n\"b\nc\",d\r\ne\n";
    ResilientParser parser(text, ',', '"', true);
    RowBuffer buffer;
    auto first = parser.next_row();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, (std::vector<std::string>{"a", U_FFFD}));
    EXPECT_EQ(parser.line(), 2u);
    ASSERT_TRUE(parser.next_row_raw(buffer));
    EXPECT_EQ(buffer.to_strings(), (std::vector<std::string>{"b\nc", "d"}));
    EXPECT_EQ(parser.line(), 4u);
    ASSERT_TRUE(parser.next_row(buffer));
    EXPECT_EQ(buffer.to_strings(), (std::vector<std::string>{"e"}));
    EXPECT_EQ(parser.line(), 5u);
    EXPECT_FALSE(parser.next_row_raw(buffer));
    EXPECT_FALSE(parser.next_row().has_value());
}

// A raw row keeps ill-formed bytes; the decoded one replaces them.
TEST(ParserTable, RawRowsKeepIllFormedBytes) {
    const std::string text = "\xFF\xC3\xA9,ok\n";
    ResilientParser raw_parser(text, ',', '"', true);
    ResilientParser decoding_parser(text, ',', '"', true);
    RowBuffer raw;
    RowBuffer decoded;
    ASSERT_TRUE(raw_parser.next_row_raw(raw));
    ASSERT_TRUE(decoding_parser.next_row(decoded));
    EXPECT_EQ(raw.field(0), "\xFF\xC3\xA9");
    EXPECT_EQ(decoded.field(0), U_FFFD "\xC3\xA9");
    EXPECT_FALSE(raw.field_is_ascii(0));
    EXPECT_FALSE(decoded.field_is_ascii(0));
    EXPECT_TRUE(decoded.field_is_ascii(1));
}

// Rows whose clean line is their source text: a writer then copies the
// line whole. Every field must be written as it stands (plain without a
// quote; quoted, needing its quotes, with only doubled quotes inside), the
// text well-formed, nothing dropped; any other row goes field by field.
struct VerbatimCase {
    std::string input;                // one row; what follows the first row is not looked at
    std::optional<std::string> text;  // the row's text when verbatim
    Dialect dialect = Dialect{};
};

TEST(ParserVerbatimRows, Table) {
    Dialect latin1;
    latin1.delimiter = 0xA7;
    Dialect escaped;
    escaped.escape = '\\';
    Dialect trimmed;
    trimmed.trim = true;
    Dialect strict;
    strict.repair = false;
    const std::vector<VerbatimCase> cases = {
        {"a,b,c\n", "a,b,c"},
        {"a,b,c\r\nx\n", "a,b,c"},
        {"a,b,c\rx", "a,b,c"},
        {"a,b,c", "a,b,c"},                               // ends with the text
        {"a,,\n", "a,,"},                                // empty fields
        {",,,,\n", ",,,,"},                              // a run of empty fields
        {"\n", ""},                                      // an empty line
        {"\"a,b\",c\n", "\"a,b\",c"},                  // the quotes are needed
        {"x,\"a\"\"b\"\n", "x,\"a\"\"b\""},              // doubled quotes only
        {"\"\"\"\"\n", "\"\"\"\""},                        // one quote, quoted
        {"\"line\nbreak\",z\n", "\"line\nbreak\",z"},      // a line break inside quotes
        {"\"a,b\"", "\"a,b\""},                           // closed by the end of the text
        {"caf\xC3\xA9,\xE6\x9D\xB1\n", "caf\xC3\xA9,\xE6\x9D\xB1"},
        {"\"a,b\",c\n", "\"a,b\",c", strict},
        {"\"ab\",c\n", std::nullopt},                      // quotes a writer drops
        {"\"\",c\n", std::nullopt},                          // an empty quoted field
        {"a\"b,c\n", std::nullopt},                         // a plain field holding a quote
        {"\"a,b\" ,c\n", std::nullopt},                    // a blank after the closing quote
        {"\"a,b\"x,c\n", std::nullopt},                    // text after the closing quote
        {"\"a,\"b\",c\n", std::nullopt},                    // a stray quote kept as text
        {"\"a,b\n", std::nullopt},                          // never closed
        {"a,\xFF,c\n", std::nullopt},                       // repaired UTF-8
        {"a,\"\xC3\",c\n", std::nullopt},                   // repaired inside quotes
        {"a\xA7" "b\n", std::nullopt, latin1},            // a delimiter written as two bytes
        {"a,b\n", std::nullopt, escaped},
        {"a,b\n", std::nullopt, trimmed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input " + printable(c.input));
        ResilientParser parser = brinewick_test::make_parser(c.input, c.dialect);
        RowBuffer row;
        ASSERT_TRUE(parser.next_row(row));
        ASSERT_EQ(row.is_verbatim(), c.text.has_value());
        if (c.text) EXPECT_EQ(row.verbatim_text(), *c.text);
        // Padding, merging and truncating change the line: no longer verbatim.
        if (c.text) {
            RowBuffer padded = row;
            padded.pad_to(row.size() + 1);
            EXPECT_FALSE(padded.is_verbatim());
            RowBuffer merged = row;
            merged.merge_tail(0, ',');
            EXPECT_EQ(merged.is_verbatim(), row.size() < 2);
            RowBuffer cut = row;
            cut.truncate(row.size());
            EXPECT_FALSE(cut.is_verbatim());
        }
    }
}

// Passing a run of line breaks at a row start must land where reading those
// blank rows one by one lands: same position, same line, one row each, and
// the rows that follow unchanged. Runs long and short, across the 16-byte
// blocks of the vector loop, with CR LF pairs split at every offset.
TEST(ParserSkipEmptyLines, MatchesReadingTheBlankRows) {
    const unsigned seed = brinewick::test_support::test_seed();
    std::printf("[ seed ] ParserSkipEmptyLines %u (BRINEWICK_TEST_SEED to replay)\n", seed);
    std::mt19937 rng(seed);
    const char pieces[] = {'\r', '\n', '\r', '\n', 'a', ',', '"', ' '};
    Dialect lf_delimiter;
    lf_delimiter.delimiter = '\n';
    Dialect cr_quote;
    cr_quote.quote = '\r';
    const Dialect dialects[] = {kCsv, with_repair(kCsv, false), lf_delimiter, cr_quote};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const std::size_t length = rng() % 90;
        const unsigned breaks_only = rng() % 3;  // long pure runs often
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(pieces[rng() % (breaks_only == 0 ? 8 : 4)]);
        }
        if (rng() % 4 == 0) text.insert(0, "\xEF\xBB\xBF");
        for (const Dialect& d : dialects) {
            SCOPED_TRACE("input " + printable(text) + " with " + brinewick_test::describe(d));
            ResilientParser parser = brinewick_test::make_parser(text, d);
            brinewick_test::ReferenceParser model(text, d);
            const bool breaks_end_rows = d.delimiter != '\r' && d.delimiter != '\n' &&
                                         d.quote != '\r' && d.quote != '\n';
            RowBuffer row;
            for (int guard = 0; guard < 200; ++guard) {
                std::size_t blank = 0;
                while (breaks_end_rows && model.position() < text.size() &&
                       (text[model.position()] == '\r' || text[model.position()] == '\n')) {
                    const auto r = model.next_row();
                    ASSERT_TRUE(r.has_value());
                    ASSERT_EQ(*r, std::vector<std::string>{""});
                    ++blank;
                }
                ASSERT_EQ(parser.skip_empty_lines(), blank);
                ASSERT_EQ(parser.position(), model.position());
                ASSERT_EQ(parser.line(), model.line());
                const auto expected = model.next_row();
                ASSERT_EQ(parser.next_row_raw(row), expected.has_value());
                if (!expected) break;
                ASSERT_EQ(printable(row.to_strings()), printable(*expected));
            }
        }
    }
}

// The counting sink sees the rows next_row_raw builds: same count, same
// first field, on inputs rich in the cases that break a field up.
TEST(ParserFieldCounter, MatchesTheRawRows) {
    const unsigned seed = brinewick::test_support::test_seed();
    std::printf("[ seed ] ParserFieldCounter %u (BRINEWICK_TEST_SEED to replay)\n", seed);
    std::mt19937 rng(seed);
    const std::string pieces[] = {"\"", "\"\"", ",", "\t", " ", "\r", "\n", "\r\n", "a", "bc", "\xC3\xA9", "\xFF"};
    Dialect tab;
    tab.delimiter = '\t';
    const Dialect dialects[] = {kCsv, with_repair(kCsv, false), tab};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        // Every fourth input is long and mostly plain fields, so that counting by
        // whole 64-byte blocks meets quotes and line breaks on both sides of a block's end.
        const bool long_plain = round % 4 == 0;
        const std::size_t length = long_plain ? rng() % 400 : rng() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            text += long_plain && rng() % 4 != 0 ? std::string(rng() % 2 == 0 ? "a" : ",")
                                                 : pieces[rng() % std::size(pieces)];
        }
        for (const Dialect& d : dialects) {
            SCOPED_TRACE("input " + printable(text) + " with " + brinewick_test::describe(d));
            ResilientParser raw_parser = brinewick_test::make_parser(text, d);
            ResilientParser counting_parser = brinewick_test::make_parser(text, d);
            RowBuffer raw;
            brinewick::FieldCounter counted;
            for (;;) {
                const bool more = raw_parser.next_row_raw(raw);
                ASSERT_EQ(counting_parser.next_row_count(counted), more);
                if (!more) break;
                ASSERT_EQ(counted.size(), raw.size());
                // The first field is kept while it may be blank; once it holds a
                // byte that is surely not white space, only that is known.
                const std::string_view first = raw.field(0);
                const bool surely_not_blank = std::any_of(first.begin(), first.end(), [](char c) {
                    const auto b = static_cast<unsigned char>(c);
                    return b < 0x80 && b != ' ' && (b < '\t' || b > '\r');
                });
                ASSERT_EQ(counted.first_may_be_blank(), !surely_not_blank);
                if (!surely_not_blank) ASSERT_EQ(printable(counted.first_field()), printable(first));
                ASSERT_EQ(counting_parser.position(), raw_parser.position());
                ASSERT_EQ(counting_parser.line(), raw_parser.line());
            }
        }
    }
}

}  // namespace
