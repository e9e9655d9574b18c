// Shrinking by the longest ordinary tokens: the record a shrink returns.
#pragma once

#include <cstdint>

namespace quorvane {

struct ShrinkRecord {
  std::uint64_t initial_vocab_size = 0;
  std::uint64_t initial_merges_count = 0;
  std::uint64_t final_vocab_size = 0;
  std::uint64_t final_merges_count = 0;
  std::uint64_t tokens_removed_count = 0;  // selected tokens removed
  std::uint64_t total_tokens_removed = 0;  // summed over all cascades
  std::uint64_t total_merges_removed = 0;  // summed over all cascades
};

}  // namespace quorvane

#include <string>
#include <vector>

#include "editor/management/state/editor.h"

namespace quorvane {

struct ShrinkCandidate {
  std::string token;
  TokenId id;
  std::uint64_t char_length;
};

// The long ordinary tokens, longest first: every Vocabulary token with
// id >= min_id, at least two characters and not of the special shape, ordered
// by character count descending, then id descending, then Vocabulary order;
// the first `count` of them.
std::vector<ShrinkCandidate> select_shrink_candidates(const Editor& editor, std::uint64_t count,
                                                      TokenId min_id);

// Removes the selected candidates (computed once, up front) by cascade
// removal, skipping those an earlier cascade already took.
ShrinkRecord shrink(Editor& editor, std::uint64_t count, TokenId min_id);

}  // namespace quorvane
