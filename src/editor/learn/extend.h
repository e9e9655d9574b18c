// Continued BPE training: new tokens learned from the user's text on top of
// the tokenizer as it is.
//
// Every word starts from its segmentation by the current tokenizer (the exact
// encoder), and each step merges the adjacent pair with the highest count
// over all words (a word counting as often as it occurs), appending the merge
// at the end of the merge list and its product to the vocabulary. Ties go to
// the pair whose left, then right, token is smaller in UTF-8 bytes. Pair counts
// are kept up to date incrementally: a step touches only the words that hold
// its pair.
//
// Because each learned merge is appended after every merge before it and the
// words are fully merged between steps, the tokenizer then encodes every
// training word exactly as the training left it (under ignore_merges, a word
// that has become a token comes back whole): every new token is reachable.
// Never merged: byte-fallback tokens, the unknown token, added-token contents
// and special-shaped tokens, learned ones included. Never learned: a product
// that is already a token,
// one longer than `max_token_length` characters, and for a space-marker
// tokenizer one with the marker anywhere but at its start.
//
// Words given as `unchanged_words` keep their segmentation: no pair adjacent
// in one of them as the tokenizer now splits it is learned, and no product
// spelled like one of them. A learned merge fires only where no earlier merge
// can (it ranks after all of them), that is on a word's final segmentation,
// so such a word is split after the learning exactly as before it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "editor/base/error.h"
#include "editor/learn/word_counts.h"
#include "editor/management/state/editor.h"
#include "editor/placement/placement.h"

namespace quorvane {

struct ExtendOptions {
  std::uint64_t count = 0;            // new tokens to learn
  std::uint64_t max_token_length = 0; // in characters; 0: no limit
  std::uint64_t min_frequency = 2;    // a pair seen fewer times is not merged
  bool reuse_freed_ids = false;       // new tokens take the lowest free ids first
  const WordCounts* unchanged_words = nullptr;  // words no learned merge may touch (counts unused)
};

struct ExtendRecord {
  std::uint64_t words = 0;  // distinct words learned from
  std::vector<std::string> added_tokens;                          // in the order learned
  std::vector<std::pair<std::string, std::string>> added_merges;  // the same order
  std::vector<std::uint64_t> frequencies;                         // each merge's pair count
  std::vector<MovedAddedToken> moved_added_tokens;                // added tokens moved up behind the new ones
};

// Learns options.count tokens, or fails with "Only {k} new tokens can be
// learned from this text ({n} asked for)" and changes nothing.
Result<ExtendRecord> extend_vocabulary(Editor& editor, const WordCounts& words, const ExtendOptions& options);

}  // namespace quorvane
