// Token addition: the record an addition returns.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quorvane {

struct AdditionRecord {
  std::string token;   // the requested token (a copy: it outlives later edits)
  bool added = false;  // true when this call put the token into the Vocabulary
  // "already_exists", "single_char", "longest_prefix" or "char_chain"
  std::string method;
  // Merges appended to the Merge list by this call, in the order appended.
  std::vector<std::pair<std::string, std::string>> added_merges;
};

}  // namespace quorvane

#include <cstddef>
#include <string_view>

#include "editor/management/state/editor.h"

namespace quorvane {

// Adds `token` and, unless it is one character, the merges that build it:
// from its longest prefix already in the Vocabulary plus the rest (built by a
// character chain when absent), or by a character chain over the whole token.
// New tokens take ids from allocate_id in insertion order; merges go to the end
// of the merge list, and only when the exact pair is not there yet.
AdditionRecord add_token(Editor& editor, std::string_view token);

// An upper bound on the bytes of new token text that add_token(editor, token)
// stores, given the Vocabulary as it is now. A character chain stores every
// prefix, so this grows with the square of the token's length. Adding other
// tokens first never raises it: they can only lengthen the prefix found.
std::size_t addition_bytes(const Editor& editor, std::string_view token);
// The same bound for any Vocabulary: a chain over the whole token.
std::size_t addition_bytes_worst(std::string_view token);

// Inserts `token` with a fresh id and no merges; false when already present.
bool add_token_atomic(Editor& editor, std::string_view token);

}  // namespace quorvane
