// Merging a source tokenizer into a target.
//
// The target keeps its representation, normalizer, pre-tokenizer and every
// other document field; its model vocabulary and merge list are rebuilt from
// the source's tokens and merges (converted, see representation.h), the
// target's protected tokens, and as many of the target's other tokens (lowest
// ids first) as the size limit leaves room for. Afterwards the model vocabulary
// holds the ids 0..N-1 without gaps, the added tokens outside it follow from N
// upward, and used_ids/next_id describe exactly that.
//
// All work is done aside: on any failure the target is left exactly as it was
// (its document, ids and merge indexes). The source is only read; nothing of
// the result refers into it, so it may be dropped right after the call.
#pragma once

#include <cstdint>
#include <string>

#include "editor/base/error.h"
#include "editor/management/state/editor.h"

namespace quorvane {

struct MergeRecord {
  std::uint64_t initial_target_vocab_size = 0;
  std::uint64_t source_vocab_size = 0;
  std::uint64_t final_model_vocab_size = 0;
  std::uint64_t final_vocab_size = 0;  // added tokens included
  std::uint64_t tokens_injected = 0;
  std::uint64_t target_tokens_removed = 0;
  std::uint64_t bridge_tokens_added = 0;
  std::uint64_t bridge_merges_added = 0;
  std::uint64_t source_merges_added = 0;
  std::uint64_t target_merges_retained = 0;
  std::string representation;  // the target's token representation, by name
};

// `max_vocab_size` bounds the complete vocabulary (model vocabulary plus the
// added tokens outside it) and must be 1..4294967295. Messages:
// "Only BPE tokenizers are supported",
// "max_vocab_size must be between 1 and 4294967295",
// "Unsupported target: no ByteLevel pre-tokenizer or space marker found",
// "Added tokens alone exceed max_vocab_size",
// "Required converted and protected tokens ({n}) exceed model limit ({limit})",
// "Failed to assign a contiguous model vocabulary" (two kept target tokens
// share an id below the new size), and guards that hold by construction:
// "No free model ID for token {token}", "Complete vocabulary exceeds
// max_vocab_size", "Merged tokenizer IDs are not contiguous". A merge is only
// accepted when its product is in the new vocabulary, so the merged list never
// holds an invalid merge.
Result<MergeRecord> merge_from(Editor& target, const Editor& source, std::uint64_t max_vocab_size);

}  // namespace quorvane
