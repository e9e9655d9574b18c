// Pruning by use: removing the leaves of the merge structure that the user's
// text needs least.
//
// The structure is read from how each vocabulary token is actually encoded,
// not from the raw merge list (whose extra merges do not form a tree in real
// files): a token is used by another when a merge taking it as an input fires
// while the other's own string is encoded. A leaf is used by no token, so
// removing it changes no other token's encoding; once it is gone, the tokens
// only it used may become leaves in turn.
//
// With text, the least-used leaves go first (use counted by encoding the
// words; a removed token's use passes to the two tokens its last merge joined,
// which cover its text instead; ties to the higher id); without text, the
// highest ids first. Never removed: single characters, byte-fallback tokens,
// the unknown token, special-shaped tokens, added-token contents and the
// tokens the caller keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "editor/learn/word_counts.h"
#include "editor/management/editor.h"
#include "editor/management/error.h"

namespace quorvane {

struct PruneOptions {
  std::uint64_t count = 0;
  std::vector<std::string> keep;
  const WordCounts* words = nullptr;  // none: highest ids first
};

struct PruneRecord {
  std::vector<std::string> selected;  // the leaves chosen, in the order chosen
  std::uint64_t tokens_removed = 0;   // by the cascades, the selected included
  std::uint64_t merges_removed = 0;   // by the cascades and the sweep of merges left without a product
};

// Removes options.count leaves through the cascade removal, then the merges
// whose product is gone; ids are not closed up. Fails with "Only {k} tokens
// can be pruned ({n} asked for)" and changes nothing.
Result<PruneRecord> prune_leaves(Editor& editor, const PruneOptions& options);

}  // namespace quorvane
