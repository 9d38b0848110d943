// The resilient parser against the tests' reference model, row by row.
//
// Input: delimiter byte, quote byte, flags (bit 0 repair_quotes, bit 1 trim
// leading blanks, bit 2 an escape byte), escape byte, entry-point pattern,
// then the text. Any byte values go, a delimiter equal to the quote
// included: the parser never refuses a dialect.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"
#include "reference_parser.hpp"

namespace {

using brinewick_fuzz::fail;
using brinewick_test::printable;

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// One pass over the text. Entry point of row i: bits of `pattern` pick
// next_row() (0), next_row(RowBuffer&) (1), next_row_raw (2, decoded here
// by the reference decoder) or next_verbatim_line (next_plain_row with
// `plain`) asked for the model row's width, with next_row(RowBuffer&) where
// it declines (3); pattern 0 uses next_row() throughout.
void check_pass(std::string_view text, const brinewick_test::Dialect& d,
                const std::vector<brinewick_test::ModelRow>& model, unsigned pattern, bool plain = false) {
    brinewick::ResilientParser parser = brinewick_test::make_parser(text, d);
    brinewick::RowBuffer buffer;
    const std::string context = brinewick_test::describe(d) + " pattern=" + std::to_string(pattern);
    for (std::size_t i = 0;; ++i) {
        unsigned entry = (pattern >> (2 * (i % 4))) % 4;
        const std::string where = context + " row " + std::to_string(i) + " entry " + std::to_string(entry);
        std::optional<std::vector<std::string>> got;
        bool as_line = false;  // taken by next_verbatim_line or next_plain_row: no fields in the buffer
        if (entry == 3 && plain) {
            const std::size_t start = parser.position();
            std::vector<brinewick::ResilientParser::PlainField> fields(i < model.size() ? model[i].raw.size() : 1);
            if (parser.next_plain_row(fields)) {
                if (i == model.size()) fail("a plain row the model does not have", text, where);
                std::vector<std::string> values;
                for (const auto& f : fields) {
                    std::string& value = values.emplace_back();
                    for (std::size_t k = f.begin; k < f.end; ++k) {
                        value.push_back(text[k]);
                        if (f.doubled && static_cast<std::uint8_t>(text[k]) == d.quote) ++k;
                    }
                }
                got = values;
                as_line = true;
            } else if (parser.position() != start) {
                fail("a declined plain row moved the parser", text, where);
            }
            entry = 1;
        } else if (entry == 3) {
            const std::size_t start = parser.position();
            if (const auto line = parser.next_verbatim_line(i < model.size() ? model[i].raw.size() : 1)) {
                if (i == model.size()) fail("a verbatim line the model does not have", text, where);
                const auto want = brinewick_test::decoded(model[i].raw);
                const std::string written = brinewick_test::written_line(want, d);
                if (text.substr(start, line->end - start) != written) {
                    fail("verbatim line " + printable(text.substr(start, line->end - start)) +
                             " is not the written line " + printable(written),
                         text, where);
                }
                std::size_t text_size = 0;
                std::size_t special_size = 0;
                for (const std::string& f : want) {
                    text_size += f.size();
                    special_size += brinewick_test::holds_special(f, d) ? f.size() : 0;
                }
                if (line->text_size != text_size || line->special_size != special_size) {
                    fail("verbatim line sizes differ from the model's fields", text, where);
                }
                got = want;
                as_line = true;
            } else if (parser.position() != start) {
                fail("a declined verbatim line moved the parser", text, where);
            }
            entry = 1;
        }
        if (as_line) {
            // Checked above; the line and position are checked below.
        } else if (entry == 0) {
            got = parser.next_row();
        } else if (entry == 1 ? parser.next_row(buffer) : parser.next_row_raw(buffer)) {
            got = entry == 1 ? buffer.to_strings() : brinewick_test::decoded(buffer.to_strings());
        }
        if (i == model.size()) {
            if (got) fail("a row the model does not have: " + printable(*got), text, where);
            if (parser.next_row().has_value()) fail("a row after the end", text, where);
            const std::size_t last_line = model.empty() ? 1 : model.back().line;
            if (parser.line() != last_line) {
                fail("line at the end " + std::to_string(parser.line()) + ", model " + std::to_string(last_line),
                     text, where);
            }
            if (parser.position() != text.size()) fail("position at the end is not the text's end", text, where);
            return;
        }
        const auto want = brinewick_test::decoded(model[i].raw);
        if (!got) fail("row missing; model " + printable(want), text, where);
        if (*got != want) fail("fields differ\n   model  " + printable(want) + "\n   parser " + printable(*got), text, where);
        // A row copied whole by the writers must be the line they would write.
        if (entry == 1 && !as_line && buffer.is_verbatim()) {
            if (d.delimiter >= 0x80 || d.quote >= 0x80 || d.escape || d.trim) {
                fail("a row marked verbatim in this dialect", text, where);
            }
            if (buffer.verbatim_text() != brinewick_test::written_line(want, d)) {
                fail("verbatim text " + printable(buffer.verbatim_text()) + " is not the written line " +
                         printable(brinewick_test::written_line(want, d)),
                     text, where);
            }
        }
        for (std::size_t f = 0; entry != 0 && !as_line && f < want.size(); ++f) {
            // Decoded rows know ASCII-ness exactly; raw rows may leave it unset.
            const bool flag = buffer.field_is_ascii(f);
            if (entry == 1 ? flag != is_ascii(want[f]) : flag && !is_ascii(buffer.field(f))) {
                fail("ascii flag wrong on field " + std::to_string(f), text, where);
            }
            // The writers copy a field bare, unexamined, when this flag is clear.
            if (!buffer.field_may_need_quotes(f) && brinewick_test::holds_special(buffer.field(f), d)) {
                fail("field " + std::to_string(f) + " holds a special byte but is not flagged", text, where);
            }
        }
        if (parser.line() != model[i].line) {
            fail("line " + std::to_string(parser.line()) + ", model " + std::to_string(model[i].line), text, where);
        }
        if (parser.position() != model[i].position) {
            fail("position " + std::to_string(parser.position()) + ", model " + std::to_string(model[i].position),
                 text, where);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brinewick_fuzz::FuzzInput input(data, size);
    brinewick_test::Dialect d;
    d.delimiter = input.byte();
    d.quote = input.byte();
    const std::uint8_t flags = input.byte();
    const std::uint8_t escape = input.byte();
    const unsigned pattern = input.byte();
    d.repair = (flags & 1) != 0;
    d.trim = (flags & 2) != 0;
    if ((flags & 4) != 0) d.escape = escape;
    const std::string_view text = input.rest();

    const auto model = brinewick_test::model_rows(text, d);
    check_pass(text, d, model, 0);
    check_pass(text, d, model, 0xAA);  // next_row_raw throughout
    check_pass(text, d, model, 0xFF);  // next_verbatim_line first throughout
    check_pass(text, d, model, 0xFF, true);  // next_plain_row first throughout
    if (pattern != 0 && pattern != 0xAA && pattern != 0xFF) check_pass(text, d, model, pattern);
    return 0;
}
