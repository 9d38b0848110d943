#include "column_names.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace brinewick::arrow {

namespace {

bool is_blank(std::string_view name) noexcept {
    for (const char c : name) {
        if (c != ' ' && c != '\t') return false;
    }
    return true;
}

// The name as the Arrow schema can carry it: its names end at a NUL, so
// each NUL becomes U+FFFD rather than cutting the name short.
std::string exported(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == '\0') {
            out += "\xEF\xBF\xBD";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> column_names(std::span<const std::string_view> raw_header, std::size_t width) {
    // Blanks and repeats are judged on the names as exported; a header
    // without a NUL (nearly all) is its own exported form, with no copy.
    const bool has_nul = std::any_of(raw_header.begin(), raw_header.end(),
                                     [](std::string_view name) { return name.find('\0') != name.npos; });
    std::vector<std::string> exported_names;
    std::vector<std::string_view> exported_views;
    if (has_nul) {
        exported_names.reserve(raw_header.size());
        for (const std::string_view name : raw_header) exported_names.push_back(exported(name));
        exported_views.assign(exported_names.begin(), exported_names.end());
    }
    const std::span<const std::string_view> header = has_nul ? exported_views : raw_header;
    if (width < header.size()) width = header.size();
    // Every name the header spells out is reserved up front, so no generated
    // name can take one that a later column really has.
    std::unordered_set<std::string> taken;
    // A generated "column_N" can meet another name only when some header name
    // starts with "column" (its repeats take suffixes of it); otherwise the
    // generated names need neither checking nor keeping, which saves a set
    // entry per column on wide tables without a header.
    bool generated_can_clash = false;
    for (const std::string_view name : header) {
        if (!is_blank(name)) taken.emplace(name);
        if (name.starts_with("column")) generated_can_clash = true;
    }
    std::unordered_map<std::string, std::size_t> next_suffix;  // per repeated name
    std::unordered_set<std::string> used;                      // names already given out
    std::vector<std::string> names;
    names.reserve(width);

    auto free_name = [&](const std::string& base, std::size_t first_suffix) {
        std::size_t& k = next_suffix.try_emplace(base, first_suffix).first->second;
        for (;; ++k) {
            std::string candidate = base + "_" + std::to_string(k);
            if (taken.count(candidate) == 0 && used.count(candidate) == 0) {
                ++k;
                return candidate;
            }
        }
    };

    for (std::size_t i = 0; i < width; ++i) {
        std::string name;
        if (i < header.size() && !is_blank(header[i])) {
            name.assign(header[i]);
            if (used.count(name) != 0) name = free_name(name, 2);
        } else {
            name = "column_" + std::to_string(i + 1);
            if (!generated_can_clash) {
                names.push_back(std::move(name));
                continue;
            }
            // Taken by a real header name or an earlier generated one.
            if (taken.count(name) != 0 || used.count(name) != 0) name = free_name(name, 2);
        }
        used.insert(name);
        names.push_back(std::move(name));
    }
    return names;
}

std::vector<ColumnSpec> string_columns(std::size_t width) {
    return std::vector<ColumnSpec>(width, ColumnSpec{{}, ColumnType::Utf8});
}

std::vector<ColumnSpec> named_columns(std::span<const std::string_view> header, std::size_t width) {
    std::vector<std::string> names = column_names(header, width);
    std::vector<ColumnSpec> specs;
    specs.reserve(names.size());
    for (std::string& name : names) specs.push_back({std::move(name), ColumnType::Utf8});
    return specs;
}

}  // namespace brinewick::arrow
