// Test oracles: a plain, byte-by-byte model of the resilient parser's rules
// and a table-driven lenient UTF-8 decoder. Both favour being obviously right
// over being fast (the parser model rescans the line for every candidate
// closing quote, so it is quadratic on quote-heavy lines).
//
// Also the small helpers the parser tests share: a dialect record, drivers
// that collect every row of the real parser and of the model, and a printer
// that makes byte strings readable in failure messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "parser/row_buffer.hpp"

namespace brinewick_test {

// ---------------------------------------------------------------------------
// Lenient UTF-8, straight from the table of well-formed byte sequences.

// One row of the table: a lead-byte range and the allowed range of each
// continuation byte that must follow it.
struct WellFormedRow {
    unsigned char lead_lo, lead_hi;
    int continuations;
    unsigned char lo[3], hi[3];
};

inline constexpr WellFormedRow kWellFormed[] = {
    {0x00, 0x7F, 0, {0, 0, 0}, {0, 0, 0}},
    {0xC2, 0xDF, 1, {0x80, 0, 0}, {0xBF, 0, 0}},
    {0xE0, 0xE0, 2, {0xA0, 0x80, 0}, {0xBF, 0xBF, 0}},
    {0xE1, 0xEC, 2, {0x80, 0x80, 0}, {0xBF, 0xBF, 0}},
    {0xED, 0xED, 2, {0x80, 0x80, 0}, {0x9F, 0xBF, 0}},
    {0xEE, 0xEF, 2, {0x80, 0x80, 0}, {0xBF, 0xBF, 0}},
    {0xF0, 0xF0, 3, {0x90, 0x80, 0x80}, {0xBF, 0xBF, 0xBF}},
    {0xF1, 0xF3, 3, {0x80, 0x80, 0x80}, {0xBF, 0xBF, 0xBF}},
    {0xF4, 0xF4, 3, {0x80, 0x80, 0x80}, {0x8F, 0xBF, 0xBF}},
};

inline constexpr char32_t kReplacement = 0xFFFD;

// Code points of `bytes`; every maximal ill-formed subpart (a valid prefix of
// a well-formed sequence cut short, or a byte that starts none) is one U+FFFD.
inline std::u32string reference_code_points(std::string_view bytes, std::size_t* errors = nullptr) {
    std::u32string out;
    std::size_t bad = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const WellFormedRow* row = nullptr;
        for (const auto& r : kWellFormed) {
            if (lead >= r.lead_lo && lead <= r.lead_hi) row = &r;
        }
        if (row == nullptr) {  // 80..C1, F5..FF start nothing
            out.push_back(kReplacement);
            ++bad;
            ++i;
            continue;
        }
        int matched = 0;
        while (matched < row->continuations && i + 1 + static_cast<std::size_t>(matched) < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i + 1 + static_cast<std::size_t>(matched)]);
            if (c < row->lo[matched] || c > row->hi[matched]) break;
            ++matched;
        }
        if (matched < row->continuations) {
            out.push_back(kReplacement);
            ++bad;
            i += 1 + static_cast<std::size_t>(matched);
            continue;
        }
        // Well formed: assemble the scalar value.
        char32_t cp = row->continuations == 0 ? lead
                      : row->continuations == 1 ? (lead & 0x1Fu)
                      : row->continuations == 2 ? (lead & 0x0Fu)
                                                : (lead & 0x07u);
        for (int k = 0; k < row->continuations; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + 1 + static_cast<std::size_t>(k)]) & 0x3Fu);
        }
        out.push_back(cp);
        i += 1 + static_cast<std::size_t>(row->continuations);
    }
    if (errors != nullptr) *errors = bad;
    return out;
}

inline std::string encode_utf8(std::u32string_view code_points) {
    std::string out;
    for (const char32_t cp : code_points) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

inline std::string reference_decode(std::string_view bytes) {
    return encode_utf8(reference_code_points(bytes));
}

// ---------------------------------------------------------------------------
// The parser model.

struct Dialect {
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    bool repair = true;
    std::optional<std::uint8_t> escape;
    bool trim = false;
};

struct ModelRow {
    std::vector<std::string> raw;  // field bytes as collected, undecoded
    std::size_t line;              // the parser's line counter after the row
    std::size_t position;          // the parser's position after the row
};

class ReferenceParser {
public:
    ReferenceParser(std::string_view text, Dialect dialect) : text_(text), d_(dialect) {
        if (text_.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) pos_ = 3;
    }

    std::size_t line() const { return line_; }
    std::size_t position() const { return pos_; }

    std::optional<std::vector<std::string>> next_row() {
        const std::size_t n = text_.size();
        if (pos_ >= n) return std::nullopt;

        enum class State { FieldStart, Unquoted, Quoted, AfterQuote };
        std::vector<std::string> row;
        std::string field;
        State state = State::FieldStart;

        auto complete_field = [&] {
            row.push_back(field);
            field.clear();
        };
        // Ends the row at the CR or LF under the cursor.
        auto end_row = [&] {
            if (byte(pos_) == '\r') {
                ++pos_;
                if (pos_ < n && byte(pos_) == '\n') ++pos_;
            } else {
                ++pos_;
            }
            ++line_;
            complete_field();
            return row;
        };

        while (pos_ < n) {
            unsigned char b = byte(pos_);
            switch (state) {
            case State::FieldStart:
                if (d_.trim) {
                    while (pos_ < n && is_blank(byte(pos_))) ++pos_;
                    if (pos_ == n) goto end_of_text;
                    b = byte(pos_);
                }
                if (b == d_.quote) {
                    ++pos_;
                    state = State::Quoted;
                } else if (b == d_.delimiter) {
                    row.emplace_back();
                    ++pos_;
                } else if (is_break(b)) {
                    return end_row();
                } else {
                    field.push_back(static_cast<char>(b));
                    ++pos_;
                    state = State::Unquoted;
                }
                break;
            case State::Unquoted:
                if (b == d_.delimiter) {
                    complete_field();
                    ++pos_;
                    state = State::FieldStart;
                } else if (is_break(b)) {
                    return end_row();
                } else {
                    field.push_back(static_cast<char>(b));
                    ++pos_;
                }
                break;
            case State::Quoted:
                if (d_.escape && b == *d_.escape && pos_ + 1 < n) {
                    field.push_back(static_cast<char>(byte(pos_ + 1)));
                    pos_ += 2;
                } else if (b == d_.quote && pos_ + 1 == n) {
                    ++pos_;
                    state = State::AfterQuote;
                } else if (b == d_.quote && byte(pos_ + 1) == d_.quote) {
                    field.push_back(static_cast<char>(d_.quote));
                    pos_ += 2;
                } else if (b == d_.quote) {
                    if (!d_.repair || quote_closes(pos_)) {
                        ++pos_;
                        state = State::AfterQuote;
                    } else {
                        field.push_back(static_cast<char>(d_.quote));
                        ++pos_;
                    }
                } else {
                    if (b == '\n') ++line_;
                    field.push_back(static_cast<char>(b));
                    ++pos_;
                }
                break;
            case State::AfterQuote:
                if (b == d_.delimiter) {
                    complete_field();
                    ++pos_;
                    state = State::FieldStart;
                } else if (is_blank(b)) {
                    ++pos_;
                } else if (is_break(b)) {
                    return end_row();
                } else {
                    field.push_back(static_cast<char>(b));
                    ++pos_;
                    state = State::Unquoted;
                }
                break;
            }
        }
    end_of_text:
        if (state == State::FieldStart && row.empty()) return std::nullopt;
        complete_field();
        return row;
    }

private:
    static bool is_blank(unsigned char b) { return b == ' ' || b == '\t'; }
    static bool is_break(unsigned char b) { return b == '\r' || b == '\n'; }
    unsigned char byte(std::size_t i) const { return static_cast<unsigned char>(text_[i]); }

    // True when the candidate closing quote at q (followed by a byte that is
    // not the quote) closes the field, false when it is stray.
    bool quote_closes(std::size_t q) const {
        const std::size_t n = text_.size();
        // The look-ahead passes over blanks but never over the delimiter.
        const auto skippable = [&](unsigned char b) { return is_blank(b) && b != d_.delimiter; };
        std::size_t i = q + 1;
        while (i < n && skippable(byte(i))) ++i;
        if (i == n) return true;
        if (byte(i) == d_.delimiter || is_break(byte(i))) return true;
        for (;;) {
            const unsigned char c = byte(i);
            if (is_break(c)) return true;
            ++i;
            if (c == d_.quote) {
                std::size_t j = i;
                while (j < n && skippable(byte(j))) ++j;
                if (j == n || byte(j) == d_.delimiter || is_break(byte(j))) return false;
            }
            if (i == n) return true;
        }
    }

    std::string_view text_;
    Dialect d_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

inline std::vector<ModelRow> model_rows(std::string_view text, const Dialect& dialect) {
    ReferenceParser parser(text, dialect);
    std::vector<ModelRow> rows;
    while (auto row = parser.next_row()) rows.push_back({std::move(*row), parser.line(), parser.position()});
    return rows;
}

// ---------------------------------------------------------------------------
// Helpers shared by the parser tests.

inline brinewick::ResilientParser make_parser(std::string_view text, const Dialect& d) {
    brinewick::ResilientParser parser(text, d.delimiter, d.quote, d.repair);
    parser.set_escape(d.escape);
    parser.set_trim_leading_whitespace(d.trim);
    return parser;
}

inline std::vector<std::string> decoded(const std::vector<std::string>& raw) {
    std::vector<std::string> out;
    out.reserve(raw.size());
    for (const auto& f : raw) out.push_back(reference_decode(f));
    return out;
}

// True when `text` holds a byte that a field_may_need_quotes() of false rules
// out: CR, LF, or an ASCII quote or delimiter. A quote or delimiter byte from
// 0x80 up is left out: U+FFFD repairs can bring such bytes into a field, and
// writers search the text for the character form of those themselves.
inline bool holds_special(std::string_view text, const Dialect& d) {
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '\r' || b == '\n') return true;
        if (b < 0x80 && (b == d.quote || b == d.delimiter)) return true;
    }
    return false;
}

// The clean line a writer makes of `fields` (without its LF), for an ASCII
// quote and delimiter: a field is quoted, its quotes doubled, exactly when it
// holds the quote, the delimiter, CR or LF.
inline std::string written_line(const std::vector<std::string>& fields, const Dialect& d) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) out.push_back(static_cast<char>(d.delimiter));
        const std::string& f = fields[i];
        if (!holds_special(f, d)) {
            out += f;
            continue;
        }
        out.push_back(static_cast<char>(d.quote));
        for (const char c : f) {
            out.push_back(c);
            if (static_cast<unsigned char>(c) == d.quote) out.push_back(c);
        }
        out.push_back(static_cast<char>(d.quote));
    }
    return out;
}

// Bytes made readable: printable ASCII as is, the rest as escapes.
inline std::string printable(std::string_view bytes, std::size_t limit = 400) {
    std::string out = "`";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\n') out += "\\n";
        else if (b == '\r') out += "\\r";
        else if (b == '\t') out += "\\t";
        else if (b == '\\') out += "\\\\";
        else if (b >= 0x20 && b < 0x7F) out.push_back(static_cast<char>(b));
        else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    out += "`";
    if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

inline std::string printable(const std::vector<std::string>& row) {
    std::string out = "[";
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i != 0) out += " | ";
        out += printable(row[i], 120);
    }
    return out + "]";
}

inline std::string describe(const Dialect& d) {
    std::string out = "delimiter=" + printable(std::string(1, static_cast<char>(d.delimiter))) +
                      " quote=" + printable(std::string(1, static_cast<char>(d.quote))) +
                      " repair=" + (d.repair ? "on" : "off");
    if (d.escape) out += " escape=" + printable(std::string(1, static_cast<char>(*d.escape)));
    if (d.trim) out += " trim=on";
    return out;
}

}  // namespace brinewick_test
