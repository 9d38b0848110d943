#include "values.hpp"

#include <cfloat>
#include <charconv>
#include <cmath>

namespace brinewick::arrow {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Value of the two (or four) digits at `p`; -1 if any is not a digit.
int two_digits(const char* p) noexcept {
    if (!is_digit(p[0]) || !is_digit(p[1])) return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}
int four_digits(const char* p) noexcept {
    const int hi = two_digits(p);
    const int lo = two_digits(p + 2);
    return hi < 0 || lo < 0 ? -1 : hi * 100 + lo;
}

bool is_leap(int y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) noexcept {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a proleptic Gregorian date (eras of 400 years).
std::int64_t days_from_civil(int y, int m, int d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

// YYYY-MM-DD at the start of `text` (which has at least 10 bytes).
bool parse_date_prefix(std::string_view text, std::int64_t& days) noexcept {
    const char* p = text.data();
    if (p[4] != '-' || p[7] != '-') return false;
    const int y = four_digits(p);
    const int m = two_digits(p + 5);
    const int d = two_digits(p + 8);
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return false;
    days = days_from_civil(y, m, d);
    return true;
}

}  // namespace

std::string_view column_type_name(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Utf8: return "str";
        case ColumnType::Int64: return "int64";
        case ColumnType::Float64: return "float64";
        case ColumnType::Bool: return "bool";
        case ColumnType::Date32: return "date32";
        case ColumnType::Timestamp: return "timestamp";
        case ColumnType::TimestampUtc: return "timestamp[UTC]";
        case ColumnType::Float64DecimalComma: return "float64[decimal_comma]";
        case ColumnType::Date32DayFirst: return "date32[%d/%m/%Y]";
        case ColumnType::Date32MonthFirst: return "date32[%m/%d/%Y]";
        case ColumnType::Date32DayFirstDots: return "date32[%d.%m.%Y]";
        case ColumnType::TimestampDayFirst: return "timestamp[%d/%m/%Y]";
        case ColumnType::TimestampMonthFirst: return "timestamp[%m/%d/%Y]";
        case ColumnType::TimestampDayFirstDots: return "timestamp[%d.%m.%Y]";
        case ColumnType::Int64Commas: return "int64[thousands_comma]";
        case ColumnType::Float64Commas: return "float64[thousands_comma]";
    }
    return "str";
}

std::optional<ColumnType> column_type_from_name(std::string_view name) noexcept {
    struct Entry {
        std::string_view name;
        ColumnType type;
    };
    static constexpr Entry kNames[] = {
        {"str", ColumnType::Utf8},           {"string", ColumnType::Utf8},
        {"utf8", ColumnType::Utf8},          {"int64", ColumnType::Int64},
        {"int", ColumnType::Int64},          {"float64", ColumnType::Float64},
        {"float", ColumnType::Float64},      {"bool", ColumnType::Bool},
        {"date32", ColumnType::Date32},      {"date", ColumnType::Date32},
        {"timestamp", ColumnType::Timestamp}, {"timestamp[UTC]", ColumnType::TimestampUtc},
        {"float64[decimal_comma]", ColumnType::Float64DecimalComma},
        {"date32[%d/%m/%Y]", ColumnType::Date32DayFirst},
        {"date32[%m/%d/%Y]", ColumnType::Date32MonthFirst},
        {"date32[%d.%m.%Y]", ColumnType::Date32DayFirstDots},
        {"timestamp[%d/%m/%Y]", ColumnType::TimestampDayFirst},
        {"timestamp[%m/%d/%Y]", ColumnType::TimestampMonthFirst},
        {"timestamp[%d.%m.%Y]", ColumnType::TimestampDayFirstDots},
        {"int64[thousands_comma]", ColumnType::Int64Commas},
        {"float64[thousands_comma]", ColumnType::Float64Commas},
    };
    for (const Entry& e : kNames) {
        if (e.name == name) return e.type;
    }
    return std::nullopt;
}

bool parse_int64(std::string_view text, std::int64_t& out) noexcept {
    const std::size_t n = text.size();
    const std::size_t first = n != 0 && text[0] == '-' ? 1 : 0;
    const std::size_t digits = n - first;
    if (digits == 0 || digits > 19) return false;
    if (text[first] == '0' && digits != 1) return false;  // "007", "-00": identifiers
    std::uint64_t v = 0;
    for (std::size_t k = first; k < n; ++k) {
        const char c = text[k];
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit in 64 bits unsigned
    }
    const std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX) + (first == 1 ? 1 : 0);
    if (v > limit) return false;
    out = first == 1 ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

namespace {

// What the fast path cannot settle: the correctly rounded double of the
// text, as every reader gives it. Out of range (1e400, or digits that would
// underflow to zero) stays a string; so does an integer past int64, which a
// double could only hold inexactly.
bool parse_long_float(std::string_view text, bool integer_spelling, double& out) noexcept {
    if (integer_spelling) {
        std::int64_t whole = 0;
        if (!parse_int64(text, whole)) return false;
    }
    const char* end = text.data() + text.size();
    double value = 0.0;
    const auto res = std::from_chars(text.data(), end, value);
    if (res.ec != std::errc{} || res.ptr != end || !std::isfinite(value)) return false;
    out = value;
    return true;
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The usual cell of a float column, a plain decimal of at most DBL_DIG
// digits ("2222.48", "-0.5", "17"), read in one pass: true and `out` set,
// or false with `decided` telling whether the text is certainly not in the
// format (else the general reading decides).
bool parse_plain_decimal(std::string_view text, double& out, bool& decided) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    const std::size_t first = n != 0 && p[0] == '-' ? 1 : 0;
    decided = false;
    if (n == first || n - first > DBL_DIG + 1) return false;
    std::uint64_t mantissa = 0;
    std::size_t point = n;
    for (std::size_t i = first; i < n; ++i) {
        const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(p[i])) - '0';
        if (d < 10) {
            mantissa = mantissa * 10 + d;
        } else if (p[i] == '.' && point == n) {
            point = i;
        } else {
            return false;  // an exponent, a second point, anything else
        }
    }
    const std::size_t int_len = (point == n ? n : point) - first;
    const std::size_t frac_len = point == n ? 0 : n - point - 1;
    // "5." or "." and "01.5" are strings, whatever the general reading says.
    if ((point != n && frac_len == 0) || (int_len > 1 && p[first] == '0')) {
        decided = true;
        return false;
    }
    if (int_len + frac_len > DBL_DIG) return false;
    // Below 10^15, so exact in a double, and 10^frac_len is a double too:
    // one divide rounds correctly, as in the general reading.
    const double v = static_cast<double>(mantissa) / kPow10[frac_len];
    out = first == 1 ? -v : v;
    return true;
}

}  // namespace

bool parse_float64(std::string_view text, double& out) noexcept {
    bool decided = false;
    if (parse_plain_decimal(text, out, decided)) return true;
    if (decided) return false;
    const std::size_t n = text.size();
    std::size_t i = n > 0 && text[0] == '-' ? 1 : 0;
    const std::size_t int_begin = i;
    std::uint64_t mantissa = 0;
    int digits = 0;  // significant digits so far (from the first non-zero one)
    auto take = [&](char c) {
        if (digits == 0 && c == '0') return;
        if (digits < 19) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        ++digits;
    };
    while (i < n && is_digit(text[i])) take(text[i++]);
    const std::size_t int_len = i - int_begin;
    if (int_len > 1 && text[int_begin] == '0') return false;  // "01.5" keeps its zero as a string
    std::size_t frac_begin = i;
    std::size_t frac_end = i;
    if (i < n && text[i] == '.') {
        frac_begin = ++i;
        while (i < n && is_digit(text[i])) take(text[i++]);
        frac_end = i;
        if (frac_end == frac_begin) return false;  // "5." or "."
    }
    if (int_len == 0 && frac_end == frac_begin) return false;  // no digit at all
    long exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        if (i >= n) return false;
        for (; i < n; ++i) {
            if (!is_digit(text[i])) return false;
            if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');  // far past any double
        }
        if (negative) exponent = -exponent;
    }
    if (i != n) return false;

    // The common case exactly: at most 15 digits make an integer below 2^53
    // and 10^k for k <= 22 is a double, so one multiply or divide gives the
    // correctly rounded value, which reads back as the text's digits (DBL_DIG).
    const long scale = exponent - static_cast<long>(frac_end - frac_begin);
    if (digits <= DBL_DIG && scale >= -22 && scale <= 22) {
        double v = static_cast<double>(mantissa);
        v = scale >= 0 ? v * kPow10[scale] : v / kPow10[-scale];
        out = int_begin == 1 ? -v : v;
        return true;
    }
    return parse_long_float(text, text.find_first_of(".eE") == std::string_view::npos, out);
}

namespace {

// The decimal comma with `group` between thousands ("1.234,56", "1 234,56"),
// rewritten as the float64 format ("1234.56") and read as such.
bool decimal_comma(std::string_view text, char group, double& out) noexcept {
    char buf[64];
    const std::size_t size = text.size();
    if (size == 0 || size >= sizeof buf) return false;
    std::size_t n = 0;
    std::size_t i = 0;
    if (text[0] == '-') buf[n++] = text[i++];
    const std::size_t int_begin = i;
    std::size_t digits = 0;  // digits since the start or the last group mark
    bool grouped = false;
    for (; i < size && text[i] != ','; ++i) {
        const char c = text[i];
        if (is_digit(c)) {
            buf[n++] = c;
            ++digits;
        } else if (c == group && (grouped ? digits == 3 : digits >= 1 && digits <= 3)) {
            grouped = true;
            digits = 0;
        } else {
            return false;
        }
    }
    if (i == int_begin || (grouped && digits != 3)) return false;
    if (i < size) {
        buf[n++] = '.';
        if (++i == size) return false;  // "5," is cut off
        for (; i < size; ++i) {
            if (!is_digit(text[i])) return false;
            buf[n++] = text[i];
        }
    }
    return parse_float64(std::string_view(buf, n), out);
}

// `text` into `buf` without the `thousands` marks of its integer part, when
// each stands between groups of three digits after a first group of one to
// three ("1,234,567"); false when one is misplaced ("1,23", "12,3456",
// ",123"). From the first byte that is neither a digit nor a mark (a
// decimal point, an exponent) the text is copied as it is.
template <std::size_t N>
bool ungroup(std::string_view text, char thousands, char (&buf)[N], std::size_t& n) noexcept {
    const std::size_t size = text.size();
    if (size >= N) return false;
    n = 0;
    std::size_t i = 0;
    if (size != 0 && text[0] == '-') buf[n++] = text[i++];
    std::size_t digits = 0;
    bool grouped = false;
    for (; i < size; ++i) {
        const char c = text[i];
        if (is_digit(c)) {
            buf[n++] = c;
            ++digits;
        } else if (c == thousands) {
            if (grouped ? digits != 3 : digits == 0 || digits > 3) return false;
            grouped = true;
            digits = 0;
        } else {
            break;
        }
    }
    if (grouped && digits != 3) return false;
    for (; i < size; ++i) buf[n++] = text[i];
    return true;
}

}  // namespace

bool parse_decimal_comma(std::string_view text, double& out) noexcept { return decimal_comma(text, '.', out); }

bool parse_grouped_int64(std::string_view text, std::int64_t& out, char thousands) noexcept {
    if (text.find(thousands) == std::string_view::npos) return parse_int64(text, out);
    char buf[40];
    std::size_t n = 0;
    return ungroup(text, thousands, buf, n) && parse_int64(std::string_view(buf, n), out);
}

bool parse_grouped_float64(std::string_view text, double& out, char thousands) noexcept {
    if (text.find(thousands) == std::string_view::npos) return parse_float64(text, out);
    char buf[64];
    std::size_t n = 0;
    return ungroup(text, thousands, buf, n) && parse_float64(std::string_view(buf, n), out);
}

bool parse_grouped_decimal_comma(std::string_view text, double& out, char thousands) noexcept {
    if (thousands == ',') return false;  // the comma groups: it marks no decimal
    return decimal_comma(text, thousands, out);
}

bool parse_date32_parts(std::string_view text, char separator, bool day_first, std::int32_t& days) noexcept {
    if (text.size() != 10 || text[2] != separator || text[5] != separator) return false;
    const char* p = text.data();
    const int first = two_digits(p);
    const int second = two_digits(p + 3);
    const int y = four_digits(p + 6);
    const int d = day_first ? first : second;
    const int m = day_first ? second : first;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return false;
    days = static_cast<std::int32_t>(days_from_civil(y, m, d));
    return true;
}

bool parse_bool(std::string_view text, bool& out) noexcept {
    if (text == "true" || text == "True" || text == "TRUE") {
        out = true;
        return true;
    }
    if (text == "false" || text == "False" || text == "FALSE") {
        out = false;
        return true;
    }
    return false;
}

bool parse_date32(std::string_view text, std::int32_t& days) noexcept {
    std::int64_t d = 0;
    if (text.size() != 10 || !parse_date_prefix(text, d)) return false;
    days = static_cast<std::int32_t>(d);  // years 1..9999 are within +-3 million days
    return true;
}

namespace {

// The time of day from `i` on: HH:MM(:SS(.f{1,6})?)? on the 24-hour clock,
// or H:MM or HH:MM (seconds and fraction likewise) then AM, PM, am or pm,
// with one space before it or none, on the 12-hour clock. `i` ends past it.
bool parse_clock(std::string_view text, std::size_t& i, std::int64_t& micros, bool& twelve_hour) noexcept {
    const std::size_t n = text.size();
    const char* p = text.data();
    int hh = 0;
    std::size_t hour_digits = 0;
    while (i < n && is_digit(p[i]) && hour_digits < 2) {
        hh = hh * 10 + (p[i++] - '0');
        ++hour_digits;
    }
    if (hour_digits == 0 || i + 3 > n || p[i] != ':') return false;
    const int mm = two_digits(p + i + 1);
    if (mm < 0 || mm > 59) return false;
    i += 3;
    int ss = 0;
    std::int64_t fraction = 0;
    if (i < n && p[i] == ':') {
        if (i + 3 > n) return false;
        ss = two_digits(p + i + 1);
        if (ss < 0 || ss > 59) return false;
        i += 3;
        if (i < n && p[i] == '.') {
            ++i;
            int digits = 0;
            while (i < n && is_digit(p[i])) {
                if (++digits > 6) return false;  // below a microsecond: would be cut
                fraction = fraction * 10 + (p[i] - '0');
                ++i;
            }
            if (digits == 0) return false;
            for (int k = digits; k < 6; ++k) fraction *= 10;
        }
    }
    std::size_t k = i < n && p[i] == ' ' ? i + 1 : i;
    twelve_hour = k + 2 == n && ((p[k + 1] == 'M' && (p[k] == 'A' || p[k] == 'P')) ||
                                 (p[k + 1] == 'm' && (p[k] == 'a' || p[k] == 'p')));
    if (twelve_hour) {
        if (hh < 1 || hh > 12) return false;
        const bool pm = p[k] == 'P' || p[k] == 'p';
        hh = hh % 12 + (pm ? 12 : 0);
        i = n;
    } else if (hour_digits != 2 || hh > 23) {
        return false;  // "3:04" alone could be either half of the day
    }
    micros = (static_cast<std::int64_t>(hh) * 3600 + mm * 60 + ss) * 1000000 + fraction;
    return true;
}

}  // namespace

bool parse_timestamp(std::string_view text, std::int64_t& micros, bool& zoned) noexcept {
    // Shortest: "YYYY-MM-DDTHH:MM" (16 bytes).
    const std::size_t n = text.size();
    if (n < 16) return false;
    std::int64_t days = 0;
    if (!parse_date_prefix(text, days)) return false;
    const char* p = text.data();
    if (p[10] != 'T' && p[10] != ' ') return false;
    std::size_t i = 11;
    std::int64_t clock = 0;
    bool twelve_hour = false;
    if (!parse_clock(text, i, clock, twelve_hour)) return false;
    std::int64_t offset_minutes = 0;
    zoned = false;
    if (i < n) {
        if (p[i] == 'Z') {
            zoned = true;
            ++i;
        } else if (p[i] == '+' || p[i] == '-') {
            if (n - i != 6 || p[i + 3] != ':') return false;
            const int oh = two_digits(p + i + 1);
            const int om = two_digits(p + i + 4);
            if (oh < 0 || oh > 23 || om < 0 || om > 59) return false;
            offset_minutes = (p[i] == '-' ? -1 : 1) * (oh * 60 + om);
            zoned = true;
            i = n;
        }
        if (i != n) return false;
    }
    micros = (days * 86400 - offset_minutes * 60) * 1000000 + clock;
    return true;
}

bool parse_timestamp_parts(std::string_view text, char separator, bool day_first, std::int64_t& micros) noexcept {
    std::int32_t days = 0;
    if (text.size() < 15 || text[10] != ' ' || !parse_date32_parts(text.substr(0, 10), separator, day_first, days)) {
        return false;
    }
    std::size_t i = 11;
    std::int64_t clock = 0;
    bool twelve_hour = false;
    if (!parse_clock(text, i, clock, twelve_hour) || i != text.size()) return false;
    micros = static_cast<std::int64_t>(days) * 86400 * 1000000 + clock;
    return true;
}

NullTexts::NullTexts(std::vector<std::string> texts) {
    if (!texts.empty()) texts_ = std::make_shared<const std::vector<std::string>>(std::move(texts));
}

void ColumnInference::narrow(std::string_view value, bool tolerant, char thousands) noexcept {
    if (value.empty()) {
        // "" is a value (empty_as_null off) that no type can hold.
        for (std::size_t t = 0; t < kTypes; ++t) {
            if (misfits_[t] != kTooMany) misfits_[t] += (candidates_ >> t) & 1u;
        }
        if (!tolerant) candidates_ = 0;
        return;
    }
    const char c = value[0];
    std::uint16_t keep = 0;
    if (is_digit(c) || c == '-' || c == '.') {
        // Commas between groups of three are looked for only when no
        // thousands separator is given; a value without one fits them as it
        // fits the plain int and float readings.
        const bool commas = thousands == 0 && (candidates_ & (kIntCommas | kFloatCommas)) != 0;
        // Searched for only when a reading needs to know, and by a loop: a
        // value that reads as a plain number holds none, and values are a
        // few bytes, for which a call to memchr costs more than the search.
        int comma = -1;
        const auto has_comma = [&] {
            if (comma < 0) {
                comma = 0;
                for (const char b : value) comma |= b == ',' ? 1 : 0;
            }
            return comma == 1;
        };
        bool is_short_int = false;
        if ((candidates_ & kInt) != 0 || (commas && (candidates_ & kIntCommas) != 0 && !has_comma())) {
            std::int64_t v = 0;
            if (parse_int64(value, v, thousands)) {
                keep |= kInt | kIntCommas;
                // Certainly a float too, in every form (unless the comma groups thousands).
                is_short_int = thousands == 0 && value.size() <= DBL_DIG;
            }
        }
        if (is_short_int) {
            keep |= kFloat | kComma | kFloatCommas;
        } else {
            double v = 0;
            const bool plain = ((candidates_ & kFloat) != 0 ||
                                (commas && (candidates_ & kFloatCommas) != 0 && !has_comma())) &&
                               parse_float64(value, v, thousands);
            if (plain) keep |= kFloat | kFloatCommas;
            if ((candidates_ & kComma) != 0 && parse_decimal_comma(value, v, thousands)) keep |= kComma;
            // A plain float has no comma in it (no thousands mark is given here).
            if (commas && !plain && has_comma()) {
                std::int64_t i = 0;
                if ((candidates_ & kIntCommas) != 0 && parse_grouped_int64(value, i, ',')) keep |= kIntCommas;
                if ((candidates_ & kFloatCommas) != 0 && parse_grouped_float64(value, v, ',')) keep |= kFloatCommas;
            }
        }
        if ((candidates_ & kDate) != 0 && value.size() == 10) {
            std::int32_t v = 0;
            if (parse_date32(value, v)) keep |= kDate;
        }
        if ((candidates_ & (kDayFirst | kMonthFirst | kDayFirstDots)) != 0 && value.size() == 10) {
            std::int32_t v = 0;
            if ((candidates_ & kDayFirst) != 0 && parse_date32_parts(value, '/', true, v)) keep |= kDayFirst;
            if ((candidates_ & kMonthFirst) != 0 && parse_date32_parts(value, '/', false, v)) keep |= kMonthFirst;
            if ((candidates_ & kDayFirstDots) != 0 && parse_date32_parts(value, '.', true, v)) keep |= kDayFirstDots;
        }
        if ((candidates_ & (kNaive | kZoned)) != 0 && value.size() >= 16) {
            std::int64_t v = 0;
            bool zoned = false;
            if (parse_timestamp(value, v, zoned)) keep |= zoned ? kZoned : kNaive;
        }
        constexpr std::uint16_t kStamps = kStampDayFirst | kStampMonthFirst | kStampDayFirstDots;
        if ((candidates_ & kStamps) != 0 && value.size() >= 15 && (value[2] == '/' || value[2] == '.')) {
            std::int64_t v = 0;
            if ((candidates_ & kStampDayFirst) != 0 && parse_timestamp_parts(value, '/', true, v)) {
                keep |= kStampDayFirst;
            }
            if ((candidates_ & kStampMonthFirst) != 0 && parse_timestamp_parts(value, '/', false, v)) {
                keep |= kStampMonthFirst;
            }
            if ((candidates_ & kStampDayFirstDots) != 0 && parse_timestamp_parts(value, '.', true, v)) {
                keep |= kStampDayFirstDots;
            }
        }
    } else if ((candidates_ & kBool) != 0) {
        bool v = false;
        if (parse_bool(value, v)) keep |= kBool;
    }
    const auto missed = static_cast<std::uint16_t>(candidates_ & ~keep);
    if (missed == 0) return;
    for (std::size_t t = 0; t < kTypes; ++t) {
        if (misfits_[t] != kTooMany) misfits_[t] += (missed >> t) & 1u;
    }
    if (!tolerant) candidates_ &= keep;
}

namespace {

constexpr ColumnType kInferred[] = {ColumnType::Int64,     ColumnType::Float64,      ColumnType::Bool,
                                    ColumnType::Date32,    ColumnType::Timestamp,    ColumnType::TimestampUtc,
                                    ColumnType::Float64DecimalComma, ColumnType::Date32DayFirst,
                                    ColumnType::Date32MonthFirst,    ColumnType::Date32DayFirstDots,
                                    ColumnType::TimestampDayFirst,   ColumnType::TimestampMonthFirst,
                                    ColumnType::TimestampDayFirstDots, ColumnType::Int64Commas,
                                    ColumnType::Float64Commas};

}  // namespace

bool ColumnInference::within_tolerance(std::size_t t) const noexcept {
    if ((candidates_ & (1u << t)) == 0) return false;
    // At least 99% of the values, and one at least.
    return misfits_[t] != kTooMany && misfits_[t] < values_ && std::uint64_t{misfits_[t]} * 100 <= values_;
}

ColumnType ColumnInference::result(char decimal, char thousands) const noexcept {
    if (!seen_ || candidates_ == 0) return ColumnType::Utf8;
    const bool no_point = decimal == ',' || thousands == '.';
    const bool no_comma = decimal == '.' || thousands == ',';
    std::size_t best = kTypes;
    for (std::size_t t = 0; t < kTypes; ++t) {
        const ColumnType type = kInferred[t];
        if (no_point && (type == ColumnType::Float64 || type == ColumnType::Float64Commas)) continue;
        if (no_comma && type == ColumnType::Float64DecimalComma) continue;
        // Given a thousands separator, or the comma as the decimal mark, no comma groups by itself.
        if ((thousands != 0 || decimal == ',') && (type == ColumnType::Int64Commas || type == ColumnType::Float64Commas)) {
            continue;
        }
        if (within_tolerance(t) && (best == kTypes || misfits_[t] < misfits_[best])) best = t;
    }
    if (best == kTypes) return ColumnType::Utf8;
    // 03/04/2024 and the like all through: which part is the day, only the writer knows.
    for (const std::size_t day_first : {std::size_t{7}, std::size_t{10}}) {
        const std::size_t month_first = day_first + 1;
        if ((best == day_first || best == month_first) && within_tolerance(day_first) &&
            within_tolerance(month_first) && misfits_[day_first] == misfits_[month_first]) {
            return ColumnType::Utf8;
        }
    }
    return kInferred[best];
}

bool ColumnInference::admits(ColumnType type) const noexcept {
    if (!seen_ || type == ColumnType::Utf8) return true;
    for (std::size_t t = 0; t < kTypes; ++t) {
        if (kInferred[t] == type) return within_tolerance(t);
    }
    return false;
}

std::uint64_t ColumnInference::misfits(ColumnType type) const noexcept {
    for (std::size_t t = 0; t < kTypes; ++t) {
        if (kInferred[t] == type) return misfits_[t];
    }
    return 0;
}

}  // namespace brinewick::arrow
