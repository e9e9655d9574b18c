// Closing gaps in the id space: the record a reindex returns.
#pragma once

#include <cstdint>

namespace quorvane {

struct ReindexRecord {
  std::uint64_t vocab_size = 0;
  std::uint64_t merges_count = 0;
  std::uint32_t old_min_id = 0;
  std::uint32_t old_max_id = 0;
  std::uint32_t new_min_id = 0;
  std::uint32_t new_max_id = 0;
  std::uint64_t ids_remapped = 0;
  std::uint64_t gaps_removed = 0;
};

}  // namespace quorvane

#include "editor/management/state/editor.h"

namespace quorvane {

struct GapReport {
  bool has_gaps = false;
  std::uint64_t total_gaps = 0;
  std::uint32_t min_id = 0;
  std::uint32_t max_id = 0;
};

// Ids missing from 0..max_id, assuming distinct ids: (max - min + 1 - n, when
// not negative) + min, in 64-bit arithmetic. Zeros for an empty Vocabulary.
GapReport check_vocab_gaps(const Editor& editor);

// Gives the Vocabulary the ids 0..n-1 in the order of the old ids (stable by
// token bytes among equal ids); entries before the first misplaced one keep
// theirs. An added-token entry whose content is a Vocabulary token and whose
// id was that token's id takes the token's new id; other entries keep theirs.
// Then used_ids holds the new ids plus the added-token entry ids, and the
// cursor sits above the largest. Changes nothing when the ids are already
// exactly 0..n-1. The merge list is never touched.
ReindexRecord reindex_vocab(Editor& editor);

}  // namespace quorvane
