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
// highest ids first. Never removed: single characters (also as the model
// spells them with its continuing prefix or end-of-word suffix), byte-fallback tokens,
// the unknown token, special-shaped tokens, added-token contents and the
// tokens the caller keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "editor/base/error.h"
#include "editor/learn/word_counts.h"
#include "editor/management/state/editor.h"
#include "editor/placement/placement.h"

namespace quorvane {

struct PruneOptions {
  std::uint64_t count = 0;
  std::vector<std::string> keep;
  const WordCounts* words = nullptr;  // none: highest ids first
  // Afterwards, give the model the ids 0..n-1 in their old order (as
  // reindex_vocab does) and the added tokens outside it the ids after it, as
  // the client numbers them (placement.h).
  bool close_gaps = false;
};

struct PruneRecord {
  std::vector<std::string> selected;  // the leaves removed, in the order chosen
  std::uint64_t tokens_removed = 0;   // always selected.size()
  std::uint64_t merges_removed = 0;   // the merges naming a removed leaf
  std::uint64_t ids_remapped = 0;     // with close_gaps: model ids that changed
  std::vector<MovedAddedToken> moved_added_tokens;  // with close_gaps: added tokens moved down after the model
};

// Removes options.count leaves, each alone: its vocabulary entry, and every
// merge that takes it as an input or yields it. Not the cascade removal, which
// would also take the products of the merges that take a leaf as an input,
// tokens that other merges build and that may be in heavy use. Ids are closed
// up only with close_gaps. Fails with "Only {k} tokens can be pruned ({n} asked for)" and
// changes nothing.
Result<PruneRecord> prune_leaves(Editor& editor, const PruneOptions& options);

}  // namespace quorvane
