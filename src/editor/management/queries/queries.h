// Read-only questions about an editor, and merge validation.
//
// None of these looks at the added-token entries: a token that stands only in
// added_tokens is absent here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "editor/management/state/editor.h"

namespace quorvane {

struct TokenizerStats {
  std::uint64_t vocab_size = 0;
  std::uint64_t merges_count = 0;
  std::uint64_t single_char_count = 0;
  std::uint64_t special_token_count = 0;
  TokenId min_token_id = 0;
  TokenId max_token_id = 0;
  // (length in characters, number of tokens of that length), ascending length.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> length_distribution;
};

struct InvalidMerge {
  std::uint64_t position;
  std::string left;
  std::string right;
};

struct ValidationReport {
  std::uint64_t valid_count = 0;
  std::uint64_t invalid_count = 0;
  std::vector<InvalidMerge> invalid_merges;  // merge-list order
};

// The first token in Vocabulary order carrying `id`, or none.
std::optional<std::string_view> token_by_id(const Editor& editor, TokenId id);

// (token, id) of every single-character token, in Vocabulary order.
std::vector<VocabEntry> single_char_tokens(const Editor& editor);

TokenizerStats get_stats(const Editor& editor);

// A merge is valid when its product (left + right) is in the Vocabulary.
ValidationReport validate_merges(const Editor& editor);

}  // namespace quorvane

namespace quorvane {

// Drops every invalid merge, keeping the others in order; returns how many went.
// Vocabulary, ids and added-token entries are untouched.
std::uint64_t remove_invalid_merges(Editor& editor);

}  // namespace quorvane
