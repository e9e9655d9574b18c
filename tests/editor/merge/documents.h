// Tokenizer documents with a normalizer and a pre-tokenizer, for the merge tests.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "editor/management/state/editor.h"
#include "../test_util.h"

namespace quorvane::testing {

// Section texts. "▁" is U+2581, "Ġ" U+0120.
inline const std::string kByteLevelPre =
    R"({"type":"Sequence","pretokenizers":[{"type":"Split","pattern":{"Regex":"\\s+"}},)"
    R"({"type":"ByteLevel","add_prefix_space":false}]})";
inline const std::string kMarkerNorm = R"({"type":"Replace","pattern":{"String":" "},"content":"▁"})";
inline const std::string kNfcMarkerNorm = R"({"type":"Sequence","normalizers":[{"type":"NFC"},)" + kMarkerNorm + "]}";

struct DocParts {
  std::vector<std::pair<std::string, long long>> vocab = {};
  std::vector<std::pair<std::string, std::string>> merges = {};
  std::string normalizer = "null";
  std::string pre_tokenizer = "null";
  std::string added = "";  // raw JSON of the added_tokens elements
};

inline std::string doc_json(const DocParts& parts) {
  const std::string body = bpe_json(parts.vocab, parts.merges, parts.added);
  return R"({"normalizer":)" + parts.normalizer + R"(,"pre_tokenizer":)" + parts.pre_tokenizer + "," + body.substr(1);
}

inline Editor editor_of(const DocParts& parts) {
  auto editor = editor_from_json(doc_json(parts));
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

}  // namespace quorvane::testing
