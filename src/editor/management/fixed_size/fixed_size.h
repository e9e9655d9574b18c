// Edits that hold the Vocabulary size: adding tokens while evicting long ones,
// and copying the single characters another tokenizer has and this one lacks.
//
// Both change the editor only through add_token / add_token_atomic, the
// cascade removal and (sync_single_chars only) reindex_vocab, and leave the
// merge list committed. add_tokens_keep_size leaves the ids as those leave
// them (gaps stay); sync_single_chars ends with dense ids whenever it added
// anything.
//
// sync_single_chars reports its phases as text through a ProgressOutput; the
// core never writes to a stream itself. Times come from the output's clock, so
// tests can run the throttle of the progress line on a fake one.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/base/hashing.h"
#include "editor/management/state/editor.h"

namespace quorvane {

struct KeepSizeRecord {
  std::uint64_t initial_vocab_size = 0;
  std::uint64_t final_vocab_size = 0;
  std::uint64_t tokens_requested = 0;  // elements of the list, duplicates included
  std::uint64_t tokens_added = 0;      // elements absent when reached, hence added
  std::uint64_t tokens_removed = 0;    // victims removed by cascade
};

struct SyncRecord {
  std::uint64_t initial_vocab_size = 0;
  std::uint64_t final_vocab_size = 0;
  std::uint64_t chars_in_source = 0;
  std::uint64_t chars_already_present = 0;
  std::uint64_t chars_added_count = 0;
  std::uint64_t total_tokens_removed = 0;  // summed over the cascades
  std::uint64_t total_merges_removed = 0;  // summed over the cascades
};

// Tokens add_tokens_keep_size never picks as victims (a victim's cascade can
// still take one that is built from it). Owns its strings.
using ProtectedSet = boost::unordered_flat_set<std::string, StringHash, StringEq>;

// The whitelist, every single-character and every special-shaped Vocabulary
// token, and "▁" (U+2581) whether present or not. Taken once per call: tokens
// added later are protected only if the set already names them.
ProtectedSet build_protected_set(const Editor& editor, const std::vector<std::string>* whitelist);

// Eviction order of add_tokens_keep_size: longest first (in characters); then
// tokens some live merge yields; then ascending bytes. Keeps every unprotected
// Vocabulary token ready in that order, so choosing a victim costs a heap pop
// instead of a sort of the whole Vocabulary.
//
// A max-heap with lazy invalidation: an entry is (length, produced, token) and
// is current while the token is in the Vocabulary and its produced flag still
// reads the same. The owner must report every change that can make a token a
// candidate or flip its flag (before_addition / note_addition, note_removal);
// stale entries are dropped when they reach the top. The tokens present at
// construction wait in buckets by length and enter the heap only when the
// heap's top is no longer than them: victims come from the longest few
// lengths, so most tokens never need their flag looked up.
class VictimQueue {
 public:
  // Both must outlive the queue.
  VictimQueue(Editor& editor, const ProtectedSet& protected_set);

  // Call before add_token(token): remembers the strings that addition can
  // insert and that are still absent.
  void before_addition(std::string_view token);
  // Call after that add_token, with the merges it appended.
  void note_addition(const std::vector<std::pair<std::string, std::string>>& added_merges);
  // Call after a cascade, with the merges it deleted.
  void note_removal(const std::vector<std::pair<std::string, std::string>>& removed_merges);

  // Takes the first token in eviction order out of the queue, or none when no
  // unprotected token is left. The token stays in the Vocabulary; the view
  // lives as long as the queue.
  std::optional<std::string_view> pop_victim();

 private:
  struct Entry {
    std::uint64_t length;
    bool produced;
    std::string_view token;
  };
  // Heap order: true when `a` is evicted after `b`.
  static bool evicted_later(const Entry& a, const Entry& b);

  bool is_protected(std::string_view token) const;
  bool produced(std::string_view token);
  void push(std::uint64_t length, std::string_view token);
  // Pushes the current entry of `token` if it is an unprotected Vocabulary token.
  void refresh(std::string_view token);
  // Moves waiting buckets into the heap until its top is longer than any.
  void load_buckets();

  Editor& editor_;
  const ProtectedSet& protected_;
  bool protects_other_shapes_ = false;  // a whitelisted token of ordinary shape
  std::vector<Entry> heap_;
  // Tokens present at construction, by length, longest first; next_bucket_
  // is the first not yet in the heap.
  std::vector<std::pair<std::uint64_t, std::vector<std::string_view>>> buckets_;
  std::size_t next_bucket_ = 0;
  std::vector<std::string> pending_;  // absent strings an addition may insert
  std::deque<std::string> owned_;     // tokens of entries pushed after construction
};

// Adds each absent token with add_token; when that leaves the Vocabulary
// above its starting size, removes the first unprotected token in eviction
// order by cascade: at most one victim per added token. A victim may be a
// token this call added (the whitelist keeps it). Present tokens are skipped
// and never cause a removal. The size ends above the start when additions
// insert several entries each (characters, chain steps) or nothing
// unprotected is left, and below it when a cascade takes several tokens.
KeepSizeRecord add_tokens_keep_size(Editor& editor, std::span<const std::string> tokens,
                                    const std::vector<std::string>* whitelist);

// Where sync_single_chars writes its phase and progress text, and its clock.
struct ProgressOutput {
  using Clock = std::chrono::steady_clock;
  std::function<void(std::string_view)> write;
  std::function<Clock::time_point()> now;
};

// Copies into the Vocabulary each (token, id) of `source_chars` whose token it
// lacks, as an atomic addition with a fresh id (the source id is not used).
// First removes as many long tokens as it adds, chosen once by
// select_shrink_candidates(editor, missing, min_id); then reindexes. When
// nothing is missing, writes nothing and changes nothing.
SyncRecord sync_single_chars(Editor& editor, std::span<const VocabEntry> source_chars, TokenId min_id,
                             const ProgressOutput& output);

// Opens the source with open_editor and synchronises from its single-character
// tokens. A source that cannot be opened fails with open_editor's error before
// anything changes.
Result<SyncRecord> sync_single_chars(Editor& editor, const std::string& source_path, TokenId min_id,
                                     const ProgressOutput& output);

}  // namespace quorvane
