// Reading a tokenizer document from JSON text or from a file.
//
// parse_document reads exactly one JSON value (optionally surrounded by JSON
// whitespace) into a Document. Its error messages end with
// " at line {line} column {column}", the 1-based position where reading
// stopped. Nesting deeper than 128 arrays/objects is refused.
#pragma once

#include <string>
#include <string_view>

#include "editor/base/error.h"
#include "editor/management/document/document.h"

namespace quorvane {

inline constexpr unsigned kMaxDepth = 128;

// Parses `text`. Unescaped strings become views into an adopted copy of the
// text held by the document's arena.
Result<Document> parse_document(std::string text);

// Fails with "Only BPE tokenizers are supported" unless model.type is "BPE".
Result<void> require_bpe(const Document& document);

// Reads, parses and checks the file at `path`. Messages: "Failed to read: {path}",
// "Failed to parse tokenizer.json", "Only BPE tokenizers are supported".
Result<Document> load_document(const std::string& path);

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs, <= U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quorvane
