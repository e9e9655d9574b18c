// Writing a tokenizer document back as JSON text.
//
// Pretty-printed with a two-space unit, no final newline. Two key orders:
// KeyOrder::kDeclared (to_json: record fields in declared order) and
// KeyOrder::kSorted (save: every object's keys in ascending byte order).
// Generic values always write their members in key order.
#pragma once

#include <string>

#include "editor/base/error.h"
#include "editor/management/document/document.h"

namespace quorvane {

enum class KeyOrder { kDeclared, kSorted };

std::string write_document(const Document& document, KeyOrder order);

// Writes `value` pretty-printed at the given indentation level (for tests and
// for writing generic sections).
void write_value(std::string& out, const Value& value, int indent);

// Appends `s` (UTF-8) as a JSON string: '"', '\\' and control characters
// escaped (the short forms where JSON has them, else \u00xx), all else as is.
void write_string(std::string& out, std::string_view s);

// Writes the document in sorted key order to `path`, atomically: the text goes
// to a temporary file in the same directory, which is then renamed over the
// target (through a symbolic link, the link's target is replaced). On failure
// the temporary file is removed, an existing target is left as it was, and the
// error is "Failed to write: {path}".
Result<void> save_document(const Document& document, const std::string& path);

}  // namespace quorvane
