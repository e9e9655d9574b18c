// Editor state: one tokenizer document plus what the edits need to find
// merges and ids quickly.
//
// Invariants after every public operation:
//  - used_ids holds every Vocabulary id and every added-token entry id as found
//    at creation, plus each id handed out by allocate_id, minus the ids of
//    tokens removed since that no remaining token carries (ids may be shared);
//    reindexing and merging rebuild it from scratch;
//  - next_id is the allocation cursor: allocate_id returns the lowest id at or
//    above it that is not in used_ids. Ids are NOT dense; gaps close only by
//    reindexing.
// used_ids, next_id, the merge indexes (merge_index.h) and the encoder
// (encode/encoder.h) are computed on first use: opening a large file then costs
// only the parse. Every mutable access drops the encoder, so it never describes
// a document that has changed since.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/base/error.h"
#include "editor/encode/encoder.h"
#include "editor/management/document/document.h"
#include "editor/management/state/merge_index.h"

namespace quorvane {

using IdSet = boost::unordered_flat_set<TokenId>;

class Editor {
 public:
  // build_editor: takes the document as it is; nothing is verified.
  explicit Editor(Document document) : document_(std::move(document)) {}

  // The mutable accessors settle used_ids first: it describes the document as
  // it was before any change.
  const Document& document() const { return document_; }
  Document& document() { prepare_edit(); return document_; }
  const Vocabulary& vocab() const { return document_.model.vocab; }
  Vocabulary& vocab() { prepare_edit(); return document_.model.vocab; }
  const std::vector<Merge>& merges() const { return document_.model.merges; }
  std::vector<Merge>& merges() { prepare_edit(); return document_.model.merges; }

  // Copies `s` into the document's arena (tokens inserted by edits must live there).
  std::string_view store(std::string_view s) { return document_.arena->store(s); }

  // Returns the lowest free id at or above the cursor, marks it taken and moves
  // the cursor past it.
  TokenId allocate_id();
  // A token carrying `id` left the Vocabulary: takes the id out of used_ids
  // unless another token still carries it (the cursor does not move back).
  void release_id(TokenId id);
  // Puts the cursor back to 0, so that the next ids fill the gaps that
  // removals left before it goes on above the largest.
  void rewind_id_cursor() {
    ensure_ids();
    next_id_ = 0;
  }
  // Rebuilds used_ids from the Vocabulary and the added-token entry ids and puts
  // the cursor just above the largest (wrapping to 0 above 4294967295).
  void reset_ids();

  const IdSet& used_ids();
  TokenId next_id();

  // Call after changing the merge list directly (not through merge_index()):
  // the indexes are built again from it on their next use.
  void rebuild_merge_indexes() {
    merge_index_.reset();
    encoder_.reset();
  }

  // The merge indexes, built on first use. Edits made through them keep them
  // current; after a kill, call commit_merges() before reading merges().
  MergeIndex& merge_index();
  void commit_merges() {
    if (merge_index_) merge_index_->commit(document_.model.merges);
  }

  // The encoder of the current vocabulary and merges, built on first use.
  // The reference dies with the next mutable access.
  const Encoder& encoder() const;
  // For an operation that edits and keeps the encoder current itself: takes
  // the encoder out (building it first), so that the operation's own mutable
  // accesses do not drop it; give it back with restore_encoder when done.
  std::unique_ptr<Encoder> take_encoder();
  // For building the encoder without the lock that serializes the editor's
  // users (say, on another thread while they only read): Encoder(document())
  // only reads the document but for the vocabulary index, which it builds
  // unless a reader has (vocabulary.h: safe beside other readers); install
  // the result with install_encoder. Readers may run meanwhile; no edit may.
  bool has_encoder() const { return encoder_ != nullptr; }
  // Keeps `encoder`, built from document() as it is now, unless one is there.
  void install_encoder(std::unique_ptr<Encoder> encoder) const {
    if (!encoder_) encoder_ = std::move(encoder);
  }
  void restore_encoder(std::unique_ptr<Encoder> encoder) { encoder_ = std::move(encoder); }

  // Ids that the merge has just laid out densely: used_ids becomes 0 to
  // complete - 1 and the cursor `complete` (wrapping to 0 at 2^32).
  void set_dense_ids(std::uint64_t complete);

 private:
  void ensure_ids();
  void prepare_edit() {
    ensure_ids();
    encoder_.reset();
  }

  Document document_;
  std::unique_ptr<MergeIndex> merge_index_;
  IdSet used_ids_;
  // Ids that several Vocabulary tokens carry, with how many carry each.
  boost::unordered_flat_map<TokenId, std::uint32_t> shared_ids_;
  TokenId next_id_ = 0;
  bool ids_ready_ = false;
  mutable std::unique_ptr<Encoder> encoder_;
};

// Part of creation. Messages as load_document; see json_reader.h.
Result<Editor> open_editor(const std::string& path);
// Messages: "Failed to parse JSON: {parse error with position}",
// "Only BPE tokenizers are supported".
Result<Editor> editor_from_json(std::string text);

// A token is special when it is non-empty and starts with '[' and ends with ']',
// or starts with '<' and ends with '>'.
bool is_special_token(std::string_view token) noexcept;
// Number of Unicode scalar values in valid UTF-8 text.
std::size_t char_count(std::string_view utf8) noexcept;
// Byte offsets of the character boundaries of valid UTF-8 text, its end
// included: n characters give n + 1 offsets.
std::vector<std::size_t> char_boundaries(std::string_view text);
inline bool is_single_char(std::string_view token) noexcept {
  return !token.empty() && char_count(token) == 1;
}

}  // namespace quorvane
