// Small helpers for building tokenizer documents in core tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "editor/encode/encoder.h"
#include "editor/management/state/editor.h"

namespace quorvane::testing {

// JSON string literal for `s` (quotes and backslashes escaped; test inputs are
// otherwise plain).
inline std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A minimal BPE document. `vocab` pairs are written in the given order;
// `added` is the raw JSON text of the added_tokens array's elements.
inline std::string bpe_json(const std::vector<std::pair<std::string, long long>>& vocab,
                            const std::vector<std::pair<std::string, std::string>>& merges = {},
                            const std::string& added = "") {
  std::string v;
  for (const auto& [token, id] : vocab) {
    if (!v.empty()) v += ",";
    v += quoted(token) + ":" + std::to_string(id);
  }
  std::string m;
  for (const auto& [left, right] : merges) {
    if (!m.empty()) m += ",";
    m += "[" + quoted(left) + "," + quoted(right) + "]";
  }
  return R"({"version":"1.0","added_tokens":[)" + added +
         R"(],"model":{"type":"BPE","vocab":{)" + v + R"(},"merges":[)" + m + "]}}";
}

// Tokens a, b, c, ... with ids 0, 1, 2, ... in the order given.
inline Editor tiny_bpe(const std::vector<std::string>& tokens,
                       const std::vector<std::pair<std::string, std::string>>& merges = {}) {
  std::vector<std::pair<std::string, long long>> vocab;
  for (std::size_t i = 0; i < tokens.size(); ++i) vocab.emplace_back(tokens[i], static_cast<long long>(i));
  auto editor = editor_from_json(bpe_json(vocab, merges));
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

// The token strings the editor's encoder makes of `word` (a test failure when
// it needs an unknown token the vocabulary lacks).
inline std::vector<std::string> pieces(const Editor& editor, std::string_view word) {
  std::vector<TokenId> ids;
  EXPECT_TRUE(editor.encoder().tokenize(word, ids));
  std::vector<std::string> out;
  for (TokenId id : ids) out.emplace_back(editor.encoder().token(id));
  return out;
}

}  // namespace quorvane::testing
