// The BPE encoder: what the tokenizer makes of one pre-tokenized word.
//
// It reproduces the Hugging Face client's BPE model token for token:
//  - a word starts as one symbol per character, the character looked up with
//    the continuing-subword prefix (every character but the first) and the
//    end-of-word suffix (the last) attached; a character without a token
//    becomes its <0xNN> byte tokens under byte fallback (when all of them
//    exist), else the unknown token (runs of them fused under fuse_unk), else
//    nothing;
//  - merges are keyed by the ids of their inputs; a pair given twice keeps the
//    rank of its LAST occurrence (the client collects the list into a hash map,
//    later entries overwriting earlier ones); a merge's product is left + right
//    with the prefix's bytes cut from the right;
//  - the lowest-ranked applicable merge fires first, ties by position, with the
//    client's queue discipline, stale entries included;
//  - with ignore_merges a word that is itself a token is returned whole.
// Dropout is treated as absent. A merge whose inputs or product are not tokens
// is one the client refuses to load; the encoder skips it until the missing
// tokens appear (see add_token).
//
// The encoder keeps its own copy of the token table and the merge map, built
// from a document; it never looks at the document again, so it stays valid
// when its Editor moves. Token strings are views into the document's Arena,
// which must outlive the encoder. Edits made behind its back make it stale:
// the Editor drops its encoder on every mutable access (editor.h).
// Encoding uses scratch space of the encoder's own, so the calls without a
// Scratch argument are not thread-safe; threads that share an encoder each
// pass a Scratch of their own (the encoder is then only read).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/base/hashing.h"
#include "editor/encode/pair_table.h"
#include "editor/management/document/document.h"
#include "editor/management/state/symbol_table.h"
#include "editor/management/state/vocabulary.h"

namespace quorvane {

class Encoder {
 public:
  // One symbol of a word being merged: a token id covering `len` bytes of the
  // word (0 once merged into its left neighbour). `prev` and `next` link the
  // live symbols, -1 at the ends.
  struct Symbol {
    TokenId id;
    std::int32_t prev;
    std::int32_t next;
    std::uint32_t len;
  };

  explicit Encoder(const Document& document);

  // A queued merge: the symbol at `pos` with its right neighbour, which were
  // `left` and `right` when it was queued.
  struct Candidate {
    std::size_t pos;
    std::uint32_t rank;
    TokenId product;
    TokenId left;
    TokenId right;
  };
  // The working space of one encoding thread.
  struct Scratch {
    std::vector<Candidate> queue;
    std::vector<Symbol> symbols;
  };

  // The ids of `word`'s pieces. False when a piece needs the unknown token and
  // the vocabulary lacks it (the client fails the same way).
  bool tokenize(std::string_view word, std::vector<TokenId>& out) const { return tokenize(word, out, scratch_); }
  bool tokenize(std::string_view word, std::vector<TokenId>& out, Scratch& scratch) const;
  // The same as symbols, with their byte lengths in the word.
  bool split(std::string_view word, std::vector<Symbol>& out) const;
  // Runs the merges over `symbols` and drops the merged ones. With `fired`,
  // appends the (left, right) ids of every merge that fired, in order.
  void merge_all(std::vector<Symbol>& symbols, std::vector<std::pair<TokenId, TokenId>>* fired = nullptr) const {
    merge_all(symbols, fired, scratch_);
  }
  void merge_all(std::vector<Symbol>& symbols, std::vector<std::pair<TokenId, TokenId>>* fired,
                 Scratch& scratch) const;

  std::optional<TokenId> find(std::string_view token) const { return find(token, SymbolTable::hash(token)); }
  std::optional<TokenId> find(std::string_view token, std::uint64_t hash) const {
    auto sym = symbols_.find(token, hash);
    if (!sym) return std::nullopt;
    return symbol_ids_[*sym];
  }
  // The table's own copy of `token` (a view into the Arena), or an empty view
  // when it is not a token.
  std::string_view stored(std::string_view token) const {
    auto sym = symbols_.find(token);
    return sym ? symbol_texts_[*sym] : std::string_view();
  }
  // "<0xNN>" with two upper-case hex digits: the client's byte-fallback tokens.
  static bool is_byte_token(std::string_view token) { return byte_token_value(token).has_value(); }
  // The token carrying `id`; with ids shared by several tokens, one of them.
  std::string_view token(TokenId id) const;
  // The rank and product of the merge of (left, right), if it fires.
  struct Target {
    std::uint32_t rank;
    TokenId product;
  };
  std::optional<Target> merge(TokenId left, TokenId right) const {
    const PairTable::Value* v = merges_.find(PairTable::key(left, right));
    if (v == nullptr) return std::nullopt;
    return Target{v->rank, v->product};
  }

  const std::optional<std::string>& unk_token() const { return unk_token_; }
  const std::string& prefix() const { return prefix_; }
  const std::string& suffix() const { return suffix_; }
  bool byte_fallback() const { return byte_fallback_; }
  bool ignore_merges() const { return ignore_merges_; }
  // Whether a merge of the list is waiting for `token` to become a token: adding
  // it would bring that merge back at its own rank.
  bool awaited(std::string_view token) const { return parked_.contains(token); }

  // Keeping up with an edit that the caller makes to the document as well.
  // `token` must live in the document's Arena. A new token may complete
  // merges that were waiting for it; they take their places by rank.
  void add_token(std::string_view token, TokenId id);
  // The merge at `rank` (the end of the merge list) of two tokens whose
  // product is a token.
  void append_merge(TokenId left, TokenId right, std::uint32_t rank, TokenId product);

 private:
  // Lowest rank on top, then lowest position (std heaps are max-heaps).
  struct Later {
    bool operator()(const Candidate& a, const Candidate& b) const {
      return a.rank != b.rank ? a.rank > b.rank : a.pos > b.pos;
    }
  };

  // Registers merge `rank` (`left`, `right`) if all three of its strings are
  // tokens, else parks it under the first one missing.
  void offer(std::uint32_t rank, std::string_view left, std::string_view right);
  void set_merge(TokenId left, TokenId right, std::uint32_t rank, TokenId product);
  static std::optional<std::uint8_t> byte_token_value(std::string_view token);
  void index_token(std::string_view token, TokenId id);
  void intern(std::string_view token, TokenId id, std::uint64_t hash);
  std::optional<TokenId> find_char(std::string_view c) const;

  // Token strings interned as symbols, with each symbol's id and text.
  SymbolTable symbols_;
  std::vector<TokenId> symbol_ids_;
  std::vector<std::string_view> symbol_texts_;
  // Token by id: dense where the ids are, with the rest in a map.
  std::vector<std::string_view> dense_tokens_;
  boost::unordered_flat_map<TokenId, std::string_view> sparse_tokens_;
  // Ids of the tokens of single characters below U+10000 (kNoId: none), for
  // models that spell a character alone; looked up once per character.
  static constexpr TokenId kNoId = 0xFFFFFFFFu;
  std::vector<TokenId> char_ids_;
  PairTable merges_;
  // Merges waiting for a string that is not a token, by that string.
  struct Parked {
    std::uint32_t rank;
    std::string_view left;
    std::string_view right;
  };
  boost::unordered_flat_map<std::string, std::vector<Parked>, StringHash, StringEq> parked_;

  std::array<std::optional<TokenId>, 256> byte_ids_{};
  std::optional<std::string> unk_token_;
  std::string prefix_;
  std::string suffix_;
  bool fuse_unk_ = false;
  bool byte_fallback_ = false;
  bool ignore_merges_ = false;

  mutable Scratch scratch_;
};

}  // namespace quorvane
