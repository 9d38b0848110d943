// File salvage: read a file whole, classify it, write the clean CSV and,
// on request, the quarantine CSV.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "../error/salvage_error.hpp"
#include "salvage.hpp"

namespace brinewick {

// Reads the whole file at `path` as bytes (retrying interrupted calls).
[[nodiscard]] std::variant<std::string, IoError> read_whole_file(const std::string& path);

// Salvages `input_path` into `output_path` (and `quarantine_path` if given).
// Input is read completely before the output is created; the clean CSV is
// complete before the quarantine file is opened.
[[nodiscard]] std::variant<SalvageSummary, SalvageError> salvage_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const SalvageOptions& options);

}  // namespace brinewick
