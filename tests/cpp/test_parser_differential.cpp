// Resilient parser against the reference model on seeded random and
// adversarial inputs, in many dialects; plus quote storms whose answers are
// known in closed form, at sizes the quadratic model could not handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"
#include "reference_parser.hpp"

namespace {

using brinewick::ResilientParser;
using brinewick::RowBuffer;
using brinewick_test::Dialect;
using brinewick_test::ModelRow;
using brinewick_test::printable;

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// A row marked verbatim is copied whole by the writers: its source text must
// be the line they would write field by field. Only ASCII dialects without
// an escape or trimming mark rows so.
::testing::AssertionResult verbatim_is_written_line(const RowBuffer& row, const std::vector<std::string>& fields,
                                                    const Dialect& d) {
    if (!row.is_verbatim()) return ::testing::AssertionSuccess();
    if (d.delimiter >= 0x80 || d.quote >= 0x80 || d.escape || d.trim) {
        return ::testing::AssertionFailure() << "a row marked verbatim in " << brinewick_test::describe(d);
    }
    const std::string want = brinewick_test::written_line(fields, d);
    if (row.verbatim_text() != want) {
        return ::testing::AssertionFailure() << "verbatim text " << printable(row.verbatim_text())
                                             << " is not the written line " << printable(want);
    }
    return ::testing::AssertionSuccess();
}

// Compares every row, line and position of one pass over `text` with the
// model. With `mix` each row comes from an entry point picked at random
// (seeded by `seed`): next_row(), next_row(RowBuffer&) or next_row_raw, the
// raw one decoded by the reference decoder; otherwise only next_row().
::testing::AssertionResult agrees_with_model(const std::string& text, const Dialect& d,
                                             const std::vector<ModelRow>& model, bool mix,
                                             std::uint64_t seed) {
    ResilientParser parser = brinewick_test::make_parser(text, d);
    RowBuffer buffer;
    std::mt19937_64 pick(seed ^ 0x9E3779B97F4A7C15ull);
    for (std::size_t i = 0;; ++i) {
        const int entry = mix ? static_cast<int>(pick() % 3) : 0;
        std::optional<std::vector<std::string>> got;
        if (entry == 0) {
            got = parser.next_row();
        } else if (entry == 1 ? parser.next_row(buffer) : parser.next_row_raw(buffer)) {
            got = entry == 1 ? buffer.to_strings() : brinewick_test::decoded(buffer.to_strings());
        }
        if (i == model.size()) {
            if (got) return ::testing::AssertionFailure() << "extra row " << i << ": " << printable(*got);
            if (parser.next_row().has_value()) return ::testing::AssertionFailure() << "a row after the end";
            const std::size_t last_line = model.empty() ? 1 : model.back().line;
            if (parser.line() != last_line) {
                return ::testing::AssertionFailure() << "line at the end: expected " << last_line << ", actual "
                                                     << parser.line();
            }
            return ::testing::AssertionSuccess();
        }
        const auto want = brinewick_test::decoded(model[i].raw);
        if (!got) return ::testing::AssertionFailure() << "row " << i << " missing; expected " << printable(want);
        if (*got != want) {
            return ::testing::AssertionFailure() << "row " << i << " (entry " << entry << ")\n  expected "
                                                 << printable(want) << "\n  actual   " << printable(*got);
        }
        if (entry == 1) {
            const auto verbatim = verbatim_is_written_line(buffer, want, d);
            if (!verbatim) return ::testing::AssertionFailure() << "row " << i << ": " << verbatim.message();
        }
        for (std::size_t f = 0; entry != 0 && f < want.size(); ++f) {
            const bool flag = buffer.field_is_ascii(f);
            // Decoded rows know ASCII-ness exactly; raw rows may leave it unset.
            if (entry == 1 ? flag != is_ascii(want[f]) : flag && !is_ascii(buffer.field(f))) {
                return ::testing::AssertionFailure() << "row " << i << " field " << f << " (entry " << entry
                                                     << ") ascii flag " << flag;
            }
            // A field said to need no quotes must hold no byte that would need them.
            if (!buffer.field_may_need_quotes(f) && brinewick_test::holds_special(buffer.field(f), d)) {
                return ::testing::AssertionFailure() << "row " << i << " field " << f << " (entry " << entry
                                                     << ") holds a special byte but is not flagged: "
                                                     << printable(buffer.field(f));
            }
        }
        if (parser.line() != model[i].line) {
            return ::testing::AssertionFailure() << "line after row " << i << ": expected " << model[i].line
                                                 << ", actual " << parser.line() << "; row " << printable(want);
        }
        if (parser.position() != model[i].position) {
            return ::testing::AssertionFailure() << "position after row " << i << ": expected " << model[i].position
                                                 << ", actual " << parser.position() << "; row " << printable(want);
        }
    }
}

::testing::AssertionResult raw_agrees_with_model(const std::string& text, const Dialect& d,
                                                 const std::vector<ModelRow>& model) {
    ResilientParser parser = brinewick_test::make_parser(text, d);
    RowBuffer buffer;
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (!parser.next_row_raw(buffer)) return ::testing::AssertionFailure() << "raw row " << i << " missing";
        const auto got = buffer.to_strings();
        if (got != model[i].raw) {
            return ::testing::AssertionFailure() << "raw row " << i << "\n  expected " << printable(model[i].raw)
                                                 << "\n  actual   " << printable(got);
        }
        if (parser.line() != model[i].line) {
            return ::testing::AssertionFailure() << "raw line after row " << i << ": expected " << model[i].line
                                                 << ", actual " << parser.line();
        }
    }
    if (parser.next_row_raw(buffer)) {
        return ::testing::AssertionFailure() << "extra raw row " << printable(buffer.to_strings());
    }
    return ::testing::AssertionSuccess();
}

// Runs all passes; returns false (after reporting) on the first disagreement.
bool check_against_model(const std::string& text, const Dialect& d, std::uint64_t seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + brinewick_test::describe(d) + ", input " + printable(text));
    const auto model = brinewick_test::model_rows(text, d);
    const auto plain = agrees_with_model(text, d, model, false, seed);
    EXPECT_TRUE(plain);
    const auto mixed = agrees_with_model(text, d, model, true, seed);
    EXPECT_TRUE(mixed);
    const auto raw = raw_agrees_with_model(text, d, model);
    EXPECT_TRUE(raw);
    return plain && mixed && raw;
}

// ---------------------------------------------------------------------------
// Input generation.

struct Piece {
    std::string bytes;
    int weight;
};

class Generator {
public:
    Generator(std::uint64_t seed, const Dialect& d) : rng_(seed) {
        const auto one = [](std::uint8_t b) { return std::string(1, static_cast<char>(b)); };
        // Heavy in the bytes that drive the state machine.
        pieces_ = {
            {one(d.quote), 14}, {one(d.delimiter), 10}, {" ", 6}, {"\t", 4}, {"\r", 3}, {"\n", 5}, {"\r\n", 2},
            {"a", 10}, {"b", 5}, {"xyz", 3}, {"\"", 3}, {"'", 2}, {",", 2}, {";", 2}, {"\\", 2},
            {"\xC3\xA9", 2}, {"\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 1},  // well-formed
            {"\xFF", 1}, {"\x80", 1}, {"\xC3", 1}, {"\xE2\x82", 1}, {"\xED\xA0\x80", 1}, {"\xC0\xAF", 1},
            {"\xEF\xBB\xBF", 1}, {std::string(1, '\0'), 1},
        };
        if (d.escape) pieces_.push_back({one(*d.escape), 5});
        pieces_.push_back({one(d.quote) + one(d.quote), 3});
        pieces_.push_back({one(d.quote) + one(d.delimiter), 3});
        pieces_.push_back({one(d.quote) + " " + one(d.delimiter), 2});
        for (const auto& p : pieces_) total_ += p.weight;
    }

    std::uint64_t below(std::uint64_t n) { return rng_() % n; }

    std::size_t random_length() {
        const auto r = below(100);
        if (r < 45) return below(21);
        if (r < 80) return below(201);
        if (r < 95) return below(1001);
        return below(4001);
    }

    std::string piece() {
        auto r = static_cast<int>(below(static_cast<std::uint64_t>(total_)));
        for (const auto& p : pieces_) {
            if (r < p.weight) return p.bytes;
            r -= p.weight;
        }
        return pieces_.back().bytes;
    }

    std::string random_text(std::size_t length) {
        std::string out;
        const auto start = below(100);
        if (start < 10) out = "\xEF\xBB\xBF";
        else if (start < 13) out = "\xEF\xBB";
        while (out.size() < length) out += piece();
        return out;
    }

    // A run of quoted-looking text with no line break: many candidate
    // closing quotes, few of them in closing position.
    std::string quote_line(std::size_t length, std::uint8_t quote, std::uint8_t delimiter) {
        std::string out(1, static_cast<char>(quote));
        while (out.size() < length) {
            const auto r = below(100);
            if (r < 40) out.push_back(static_cast<char>(quote));
            else if (r < 55) out.push_back(' ');
            else if (r < 60) out.push_back('\t');
            else if (r < 62) out.push_back(static_cast<char>(delimiter));
            else out.push_back(static_cast<char>('a' + below(3)));
        }
        return out;
    }

    // Many short rows of plain fields, some quoted, some damaged: long runs of
    // ordinary bytes for the scanning fast paths, with the usual breakage.
    std::string csv_like(std::size_t length, const Dialect& d) {
        std::string out;
        const char q = static_cast<char>(d.quote);
        const char sep = static_cast<char>(d.delimiter);
        while (out.size() < length) {
            const auto fields = 1 + below(8);
            for (std::uint64_t f = 0; f < fields; ++f) {
                if (f != 0) out.push_back(sep);
                std::string value;
                const auto len = below(100) < 90 ? below(40) : below(300);
                for (std::uint64_t k = 0; k < len; ++k) {
                    const auto r = below(1000);
                    if (r < 5) value += "\xC3\xA9";
                    else if (r < 7) value.push_back(static_cast<char>(0xFF));
                    else if (r < 9) value += "\r\n";
                    else if (r < 14) value.push_back(sep);
                    else if (r < 19) value.push_back(q);
                    else value.push_back(static_cast<char>('a' + below(26)));
                }
                const auto shape = below(100);
                if (shape < 30) out += q + value + q;             // quoted
                else if (shape < 33) out += q + value;            // never closed
                else if (shape < 36) out += q + value + q + "x";  // text after the quote
                else if (shape < 38) out += q + value + q + " ";  // blank after the quote
                else out += value;
            }
            const auto end = below(100);
            out += end < 70 ? "\n" : end < 90 ? "\r\n" : end < 97 ? "\r" : "\n\n";
        }
        return out;
    }

private:
    std::mt19937_64 rng_;
    std::vector<Piece> pieces_;
    int total_ = 0;
};

Dialect dialect(std::uint8_t delimiter, std::uint8_t quote, bool repair, std::optional<std::uint8_t> escape = {},
                bool trim = false) {
    Dialect d;
    d.delimiter = delimiter;
    d.quote = quote;
    d.repair = repair;
    d.escape = escape;
    d.trim = trim;
    return d;
}

const std::vector<Dialect>& dialects() {
    static const std::vector<Dialect> all = {
        dialect(',', '"', true),
        dialect(',', '"', false),
        dialect(';', '"', true),
        dialect('\t', '"', true),
        dialect('\t', '"', false),
        dialect(' ', '"', true),
        dialect('|', '\'', true),
        dialect(',', ',', true),    // quote equal to the delimiter
        dialect(' ', ' ', true),    // quote equal to a blank
        dialect(0xA9, '"', true),   // splits é
        dialect(',', 0xC3, true),   // splits é
        dialect(0xFF, 0x80, false),
        dialect(0xBD, 0xBF, true),  // bytes of the U+FFFD that repairs produce
        dialect(0xE9, 0xE2, true),  // as characters é and â, written C3 A9 and C3 A2
        dialect(',', '"', true, '\\'),
        dialect(',', '"', false, '"'),
        dialect(',', '"', true, {}, true),
        dialect('\t', '"', true, '\\', true),
        dialect(';', '\'', false, '\\', true),
    };
    return all;
}

constexpr std::uint64_t kBaseSeed = 0x5EED0000;
constexpr int kMaxReportedFailures = 5;

TEST(ParserDifferential, RandomInputsAllDialects) {
    int failures = 0;
    std::uint64_t seed = kBaseSeed;
    for (const Dialect& d : dialects()) {
        for (int k = 0; k < 800 && failures < kMaxReportedFailures; ++k, ++seed) {
            Generator gen(seed, d);
            const std::string text = gen.random_text(gen.random_length());
            if (!check_against_model(text, d, seed)) ++failures;
        }
    }
}

TEST(ParserDifferential, LongQuoteLines) {
    int failures = 0;
    std::uint64_t seed = kBaseSeed + 100000;
    for (const Dialect& d : dialects()) {
        for (int k = 0; k < 20 && failures < kMaxReportedFailures; ++k, ++seed) {
            Generator gen(seed, d);
            std::string text = gen.quote_line(500 + gen.below(2500), d.quote, d.delimiter);
            // Sometimes a second line, so the look-ahead memo must not leak across lines.
            if (gen.below(2) == 0) {
                text.push_back('\n');
                text += gen.quote_line(1 + gen.below(1500), d.quote, d.delimiter);
            }
            if (gen.below(2) == 0) text.push_back(static_cast<char>(d.quote));
            if (!check_against_model(text, d, seed)) ++failures;
        }
    }
}

TEST(ParserDifferential, CsvLikeInputs) {
    int failures = 0;
    std::uint64_t seed = kBaseSeed + 200000;
    for (const Dialect& d : dialects()) {
        for (int k = 0; k < 20 && failures < kMaxReportedFailures; ++k, ++seed) {
            Generator gen(seed, d);
            if (!check_against_model(gen.csv_like(gen.below(4000), d), d, seed)) ++failures;
        }
    }
}

// About a megabyte each: long enough for every wide fast path and for the
// look-ahead memo to be reused many times within and across rows.
TEST(ParserDifferential, MegabyteInputs) {
    const std::vector<Dialect> chosen = {dialect(',', '"', true), dialect(',', '"', false), dialect('\t', '"', true),
                                         dialect(0xA9, 0xC3, true)};
    std::uint64_t seed = kBaseSeed + 300000;
    for (const Dialect& d : chosen) {
        Generator gen(seed, d);
        check_against_model(gen.csv_like(1 << 20, d), d, seed);
        ++seed;
        // Quote-heavy lines of bounded length keep the model affordable.
        std::string lines;
        while (lines.size() < (1u << 20)) lines += gen.quote_line(1 + gen.below(400), d.quote, d.delimiter) + "\n";
        check_against_model(lines, d, seed);
        ++seed;
    }
}

// Long runs of plain bytes whose single special byte sits at every offset
// around the widths a vector scan might use.
TEST(ParserDifferential, SpecialByteAtEveryOffset) {
    const std::vector<std::string> specials = {",", "\"", "\n", "\r", "\r\n", "\xFF", "\xC3\xA9", " "};
    const Dialect d = dialect(',', '"', true);
    for (const auto& special : specials) {
        for (std::size_t offset = 0; offset < 140; ++offset) {
            std::string plain(offset, 'p');
            const std::vector<std::string> texts = {
                plain + special + std::string(150, 'q'),
                "\"" + plain + special + std::string(70, 'q') + "\"x\"y" + std::string(offset, 'r') + "\",z",
                "\"" + plain + "\"" + special + plain + "\"" + std::string(3, ' ') + ",",
            };
            for (const auto& text : texts) {
                if (!check_against_model(text, d, offset)) return;
            }
        }
    }
}

// Quoted fields many blocks long, passed without their masks: LFs counted
// past a byte counter's range, and a high or watched byte, or the closing
// quote, at every place in a block.
TEST(ParserDifferential, LongQuotedFields) {
    const Dialect d = dialect(',', '"', true);
    for (const std::string unit : {"\n", "ab\r\n", "lorem, ipsum\n"}) {
        for (std::size_t offset = 0; offset < 130; offset += 7) {
            std::string body;
            while (body.size() < 20000 + offset) body += unit;
            for (const std::string& special : {"", "\xC3\xA9", "\"\"", "\"x"}) {
                const std::string text = "\"" + body + special + body.substr(0, 300) + "\",x\n\"" +
                                         std::string(5000 + offset, 'q') + "\"\nlast";
                if (!check_against_model(text, d, offset)) return;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Quote storms: each stray quote must not cost a rescan of the line.

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

struct Storm {
    std::string name;
    std::string text;
    std::vector<std::vector<std::string>> rows;  // decoded, in order
    std::size_t final_line;
};

// Inputs whose rows follow from the rules without running them: every
// interior quote is stray because the last quote of the line closes.
std::vector<Storm> storms(std::size_t n) {
    std::vector<Storm> out;
    out.push_back({"closed at the end", "\"" + repeat("a\"b", n) + "\"", {{repeat("a\"b", n)}}, 1});
    out.push_back({"closed before a delimiter", "\"" + repeat("a\"b", n) + "\",x\n", {{repeat("a\"b", n), "x"}}, 2});
    out.push_back({"blank after each quote", "\"" + repeat("a\" b", n) + "\"", {{repeat("a\" b", n)}}, 1});
    out.push_back({"delimiters inside", "\"" + repeat("a\"b,", n) + "\"", {{repeat("a\"b,", n)}}, 1});
    out.push_back({"later quoted field", "\"" + repeat("a\"b", n) + ",\"x\"", {{repeat("a\"b", n) + ",\"x"}}, 1});
    // The first quote finds no quote in closing position before the line end,
    // so it closes and the rest of the line is unquoted text.
    out.push_back({"unclosed line", "\"" + repeat("a\"b", n) + "\nc",
                   {{"ab" + repeat("a\"b", n - 1)}, {"c"}}, 2});
    return out;
}

TEST(ParserQuoteStorm, ModerateStormsMatchTheModel) {
    for (const auto& s : storms(2000)) {
        SCOPED_TRACE(s.name);
        check_against_model(s.text, dialect(',', '"', true), 0);
        check_against_model(s.text, dialect(',', '"', false), 0);
        // The model must also give the closed-form answer.
        const auto model = brinewick_test::model_rows(s.text, dialect(',', '"', true));
        ASSERT_EQ(model.size(), s.rows.size());
        for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(brinewick_test::decoded(model[i].raw), s.rows[i]);
        EXPECT_EQ(model.back().line, s.final_line);
    }
    // Quote repair off: the first quote closes and the rest is unquoted.
    const std::string text = "\"" + repeat("a\"b", 2000) + "\"";
    ResilientParser parser(text, ',', '"', false);
    auto row = parser.next_row();
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(*row, std::vector<std::string>{"ab" + repeat("a\"b", 1999) + "\""});
}

TEST(ParserQuoteStorm, HugeStormsGiveTheClosedFormRows) {
    for (const auto& s : storms(1000000)) {
        SCOPED_TRACE(s.name);
        ResilientParser parser(s.text, ',', '"', true);
        for (std::size_t i = 0; i < s.rows.size(); ++i) {
            auto row = parser.next_row();
            ASSERT_TRUE(row.has_value()) << "row " << i;
            ASSERT_EQ(row->size(), s.rows[i].size()) << "row " << i;
            for (std::size_t f = 0; f < row->size(); ++f) {
                EXPECT_TRUE((*row)[f] == s.rows[i][f]) << "row " << i << " field " << f << " differs; sizes "
                                                       << (*row)[f].size() << " vs " << s.rows[i][f].size();
            }
        }
        EXPECT_FALSE(parser.next_row().has_value());
        EXPECT_EQ(parser.line(), s.final_line);
    }
}

// Many stormy lines in a row: a memo kept from one line must not answer for the next.
TEST(ParserQuoteStorm, StormLinesOneAfterAnother) {
    const std::string line = "\"" + repeat("a\"b", 1000) + "\"\n";
    const std::string unclosed = "\"" + repeat("a\"b", 1000) + "\n";
    std::string text;
    for (int i = 0; i < 500; ++i) text += (i % 3 == 2) ? unclosed : line;
    ResilientParser parser(text, ',', '"', true);
    for (std::size_t i = 0; i < 500; ++i) {
        auto row = parser.next_row();
        ASSERT_TRUE(row.has_value()) << "row " << i;
        const std::string want = (i % 3 == 2) ? "ab" + repeat("a\"b", 999) : repeat("a\"b", 1000);
        ASSERT_EQ(row->size(), 1u) << "row " << i;
        ASSERT_TRUE(row->front() == want) << "row " << i;
        EXPECT_EQ(parser.line(), i + 2);
    }
    EXPECT_FALSE(parser.next_row().has_value());
}

// next_plain_row at a row start, against next_row's row `truth` read from
// there: a row it takes is that row, unrepaired, with its fields (doubled
// quotes read as one) and its position and line after the line break that
// ends it. `verbatim`: next_verbatim_line takes the row, so this must too.
::testing::AssertionResult plain_row_agrees(const std::string& text, const ResilientParser& parser,
                                            const ResilientParser& truth, const RowBuffer& row, std::size_t asked,
                                            bool verbatim, std::uint8_t quote, std::size_t& taken) {
    ResilientParser plain = parser;
    std::vector<ResilientParser::PlainField> fields(asked);
    const auto end = plain.next_plain_row(fields);
    const std::string shown = printable(text.substr(parser.position(), truth.position() - parser.position()));
    if (!end) {
        if (verbatim) return ::testing::AssertionFailure() << shown << ": a verbatim row refused";
        if (plain.position() != parser.position() || plain.line() != parser.line()) {
            return ::testing::AssertionFailure() << shown << ": refused, yet read";
        }
        return ::testing::AssertionSuccess();
    }
    ++taken;
    const auto& events = truth.row_events();
    const std::string ending = text.substr(*end, truth.position() - std::min(*end, truth.position()));
    if (row.size() != asked || events.stray_quotes != 0 || events.text_after_quote != 0 || events.unclosed_quote ||
        row.decode_repaired() || plain.position() != truth.position() || plain.line() != truth.line() ||
        (ending != "\n" && ending != "\r\n" && ending != "\r")) {
        return ::testing::AssertionFailure() << shown << ": taken as " << asked << " fields, position "
                                             << plain.position() << "/" << truth.position();
    }
    for (std::size_t k = 0; k < asked; ++k) {
        std::string value;
        for (std::size_t i = fields[k].begin; i < fields[k].end; ++i) {
            value.push_back(text[i]);
            if (fields[k].doubled && static_cast<std::uint8_t>(text[i]) == quote) ++i;
        }
        if (value != row.field(k)) {
            return ::testing::AssertionFailure() << shown << ": field " << k << " " << printable(value);
        }
    }
    return ::testing::AssertionSuccess();
}

// next_verbatim_line against next_row at every row start of `text`: it takes
// exactly the rows that next_row gives verbatim and unrepaired, of the width
// asked, on one line ended by a line break, in a dialect whose clean lines
// are source text; such a row comes with next_row's end, sizes, position
// and line. Otherwise it reads nothing. Adds the rows taken to `taken`.
::testing::AssertionResult verbatim_lines_agree(const std::string& text, const Dialect& d, std::size_t& taken,
                                                std::size_t& taken_plain) {
    const auto is_break = [](std::uint8_t b) { return b == '\r' || b == '\n'; };
    const bool dialect_takes = d.delimiter < 0x80 && d.quote < 0x80 && !d.escape && !d.trim &&
                               d.delimiter != d.quote && !is_break(d.delimiter) && !is_break(d.quote);
    ResilientParser parser = brinewick_test::make_parser(text, d);
    RowBuffer row;
    for (std::size_t i = 0;; ++i) {
        ResilientParser truth = parser;
        if (!truth.next_row(row)) return ::testing::AssertionSuccess();
        const auto& events = truth.row_events();
        std::size_t end = 0;
        bool takeable = false;
        if (row.is_verbatim() && events.stray_quotes == 0 && events.text_after_quote == 0 && !events.unclosed_quote) {
            const std::string_view line = row.verbatim_text();
            end = static_cast<std::size_t>(line.data() - text.data()) + line.size();
            takeable = dialect_takes && line.find_first_of("\r\n") == std::string_view::npos && end < truth.position();
        }
        for (const std::size_t asked : {row.size(), row.size() + 1}) {
            ResilientParser fast = parser;
            const auto got = fast.next_verbatim_line(asked);
            const bool want = takeable && asked == row.size();
            ::testing::AssertionResult plain =
                plain_row_agrees(text, parser, truth, row, asked, want, d.quote, taken_plain);
            if (!plain) return plain << " (row " << i << ", next_plain_row)";
            const std::string shown = printable(text.substr(parser.position(), truth.position() - parser.position()));
            if (got.has_value() != want) {
                return ::testing::AssertionFailure() << "row " << i << " " << shown << " asked " << asked
                                                     << " fields: taken " << got.has_value() << ", expected " << want;
            }
            if (!got) {
                if (fast.position() != parser.position() || fast.line() != parser.line()) {
                    return ::testing::AssertionFailure() << "row " << i << " " << shown << ": refused, yet read";
                }
                continue;
            }
            ++taken;
            if (got->end != end || got->text_size != row.text_size() || got->special_size != row.special_text_size() ||
                fast.position() != truth.position() || fast.line() != truth.line()) {
                return ::testing::AssertionFailure()
                       << "row " << i << " " << shown << ": end " << got->end << "/" << end << ", sizes "
                       << got->text_size << "/" << row.text_size() << " and " << got->special_size << "/"
                       << row.special_text_size() << ", position " << fast.position() << "/" << truth.position()
                       << ", line " << fast.line() << "/" << truth.line();
            }
        }
        parser = truth;
    }
}

// Rows as a writer puts them, mostly, in many widths and line breaks: plain
// and quoted fields (holding the delimiter, doubled quotes, UTF-8), long ones
// across several 64-byte blocks, and now and then a field a writer would
// not quote, a broken character, or a line break inside quotes.
std::string writer_rows(std::mt19937_64& rng, std::size_t rows, const Dialect& d) {
    const auto below = [&rng](std::uint64_t n) { return rng() % n; };
    const char q = static_cast<char>(d.quote);
    const char sep = static_cast<char>(d.delimiter);
    std::string out;
    for (std::size_t r = 0; r < rows; ++r) {
        const auto width = below(10) == 0 ? 1 + below(40) : 1 + below(6);
        for (std::uint64_t f = 0; f < width; ++f) {
            if (f != 0) out.push_back(sep);
            std::string value;
            const auto len = below(8) == 0 ? below(200) : below(12);
            for (std::uint64_t k = 0; k < len; ++k) value.push_back(static_cast<char>('a' + below(26)));
            const auto shape = below(100);
            if (shape < 10) value += "\xC3\xA9\xE2\x82\xAC";
            else if (shape < 12) value += "\xE2\x82";  // cut short
            if (shape >= 50 && shape < 80) {
                value.insert(below(value.size() + 1), below(2) == 0 ? std::string(1, sep) : std::string(2, q));
                out += q + value + q;
            } else if (shape >= 80 && shape < 84) {
                out += q + value + q;  // nothing in it needs the quotes
            } else if (shape >= 84 && shape < 86) {
                out += q + value + "\n" + q;
            } else {
                out += value;
            }
        }
        const auto end = below(100);
        out += end < 70 ? "\n" : end < 90 ? "\r\n" : end < 97 ? "\r" : "\n\n";
    }
    return out;
}

TEST(ParserVerbatimLines, AgreeWithNextRowInEveryDialect) {
    std::size_t taken = 0;
    std::size_t taken_plain = 0;
    std::uint64_t seed = kBaseSeed + 500000;
    for (const Dialect& d : dialects()) {
        for (int k = 0; k < 200; ++k, ++seed) {
            Generator gen(seed, d);
            std::mt19937_64 rng(seed);
            const std::string text = k % 3 == 0   ? gen.random_text(gen.random_length())
                                     : k % 3 == 1 ? gen.csv_like(gen.below(3000), d)
                                                  : writer_rows(rng, 1 + gen.below(60), d);
            ASSERT_TRUE(verbatim_lines_agree(text, d, taken, taken_plain)) << "seed " << seed;
        }
    }
    // Most of the writer-style rows in the plain dialects are taken, and by
    // next_plain_row those with quotes they need not have too.
    EXPECT_GT(taken, 10000u);
    EXPECT_GT(taken_plain, taken);
}

// A row over the point where the parser next asks whether to go on is left
// to next_row, which asks; the questions are those of next_row alone.
TEST(ParserVerbatimLines, RowOverACancelQuestionIsLeftToNextRow) {
    std::string text;
    while (text.size() < brinewick::CancelCheck::kInterval + 100) text += "ab,\"c,d\",ef\n";
    const auto count_questions = [&text](bool fast) {
        std::size_t asked = 0;
        brinewick::CancelCheck check(
            [](void* n) {
                ++*static_cast<std::size_t*>(n);
                return true;
            },
            &asked);
        ResilientParser parser(text, ',', '"', true);
        parser.set_cancel_check(&check);
        RowBuffer row;
        std::size_t rows = 0;
        for (;; ++rows) {
            if (fast && parser.next_verbatim_line(3)) continue;
            if (!parser.next_row(row)) break;
        }
        EXPECT_EQ(rows, text.size() / 12);
        return asked;
    };
    const std::size_t slow = count_questions(false);
    EXPECT_EQ(count_questions(true), slow);
    EXPECT_GE(slow, 2u);
}

}  // namespace
