// Calling conventions shared by every callable of the module: binding by
// position and keyword with the interpreter's own TypeError wording, and
// conversion of each kind of parameter (a failure gets the note
// "while processing '<parameter>'").
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "salvage/salvage.hpp"

namespace brinewick::py {

struct Signature {
    const char* name;                // callable as shown in messages, e.g. "salvage_file"
    const char* const* parameters;   // every parameter, positional-or-keyword, in order
    Py_ssize_t count;
    Py_ssize_t required;             // the first `required` have no default
};

// Binds vectorcall arguments; `bound` (count entries) gets borrowed
// references, nullptr where absent. False with TypeError set on failure.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);
// The same for a tuple and an optional dict (tp_new).
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound);

// Conversions; each returns false with the exception set and the note added.
// `callable` names the function in TypeError messages.
bool to_utf8_view(const char* callable, const char* param, PyObject* value, std::string_view& out);
bool to_owned_string(const char* callable, const char* param, PyObject* value, std::string& out);
bool to_optional_string(const char* callable, const char* param, PyObject* value,
                        std::optional<std::string>& out);
bool to_flag(const char* callable, const char* param, PyObject* value, bool& out);
bool to_optional_size(const char* callable, const char* param, PyObject* value,
                      std::optional<std::size_t>& out);

// The six salvage options, bound in the order delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns, repair_quotes.
inline constexpr Py_ssize_t kOptionCount = 6;
bool to_salvage_options(const char* callable, PyObject* const* bound, SalvageOptions& out);

}  // namespace brinewick::py
