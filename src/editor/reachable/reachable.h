// Additions that the tokenizer actually produces.
//
// A merge appended to the merge list has the lowest priority of all, so it
// fires only on what every earlier merge leaves behind: the token's current
// segmentation. Building the token from those pieces therefore needs merges
// of adjacent pieces, and each such merge, appended when the word is fully
// merged, is the only one that can fire next: it always fires. The addition
// merges one adjacent pair at a time, re-encoding after each, following the
// binary tree over the pieces that needs the fewest new tokens (a node whose
// string is already a token is free), and plans again whenever the earlier
// merges take a turn the plan did not foresee.
//
// No token reachable before becomes unreachable: its own string is merged into
// one piece before any appended merge can fire, and new tokens are longer than
// one character except for characters the vocabulary lacked, which no
// reachable token can contain.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "editor/management/state/editor.h"

namespace quorvane {

struct ReachableRecord {
  std::string token;
  bool added = false;      // the token entered the Vocabulary in this call
  bool reachable = false;  // the token's string now encodes to exactly it
  std::vector<std::string> pieces;  // what it encoded to before
  // Vocabulary entries made for it, in order: missing characters,
  // intermediate tokens and the token itself.
  std::vector<std::string> added_tokens;
  std::vector<std::pair<std::string, std::string>> added_merges;  // in the order appended
  std::optional<std::string> reason;  // why it is not reachable
};

// Longest token the addition builds, in characters.
inline constexpr std::size_t kMaxReachableChars = 8192;

// Adds the tokens in order; each sees the additions before it. New tokens take
// ids from allocate_id; merges go to the end of the merge list.
std::vector<ReachableRecord> add_tokens_reachable(Editor& editor, const std::vector<std::string>& tokens);

}  // namespace quorvane
