// SalvageSummary: the read-only Python view of a salvage run's counters.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <string>

#include "salvage/salvage.hpp"

namespace brinewick::py {

struct PySalvageSummary {
    std::size_t total_rows = 0;
    std::size_t salvaged_rows = 0;
    std::size_t repaired_rows = 0;
    std::size_t quarantined_rows = 0;
    std::string detected_delimiter;  // one character, UTF-8
    std::size_t inferred_columns = 0;
};

[[nodiscard]] PySalvageSummary to_py_summary(const SalvageSummary& summary);

// Creates the class (once per module execution); a new reference or nullptr.
PyObject* create_summary_type();
// A new SalvageSummary object holding a copy of `data`.
PyObject* new_summary_object(const PySalvageSummary& data);

}  // namespace brinewick::py
