// Vocabulary: the model's map from token to id.
//
// Tokens are views into the document's Arena (see arena.h) and stay valid for
// the Arena's life. Callers that insert a token must pass a view that already
// lives in that Arena.
//
// The map is kept as an entry list plus a hash index built on first use, so that
// opening a large file costs only the parse. Loading appends entries in file
// order; a token given twice keeps its last id (the earlier entry is dropped when
// the index is built). "Vocabulary order", the order every listing uses, is
// ascending UTF-8 bytes of the token; sorted() computes it on demand and caches
// it until the next erase or id change (inserted tokens are merged in).
//
// Threads: edits need the vocabulary to themselves. Readers on several threads
// may ask for the index at once (an encoder is built beside other readers): the
// first builds it, once, while the others wait, and a copy made meanwhile waits
// too. The other caches const members fill (sorted(), token_lengths()) are for
// one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/base/hashing.h"

namespace quorvane {

using TokenId = std::uint32_t;

struct VocabEntry {
  std::string_view token;
  TokenId id;
};

class Vocabulary {
 public:
  Vocabulary() = default;
  Vocabulary(const Vocabulary& other) { *this = other; }
  Vocabulary& operator=(const Vocabulary& other);
  Vocabulary(Vocabulary&& other) noexcept { *this = std::move(other); }
  Vocabulary& operator=(Vocabulary&& other) noexcept;

  // Loading: appends in file order; a repeated token keeps the last id.
  void load_append(std::string_view token, TokenId id) {
    entries_.push_back({token, id, true});
    indexed_.store(false, std::memory_order_relaxed);
    lengths_built_ = false;
  }
  void reserve(std::size_t n) { entries_.reserve(n); }
  // Room for `n` more tokens, inserted without growing the entry list or the
  // index on the way.
  void reserve_more(std::size_t n) {
    ensure_index();
    entries_.reserve(entries_.size() + n);
    index_.reserve(index_.size() + n);
  }

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // The distinct byte lengths of the tokens, longest first. Built on first
  // use and kept up to date by insert and erase; valid until the next change.
  const std::vector<std::size_t>& token_lengths() const;
  std::optional<TokenId> find(std::string_view token) const;
  bool contains(std::string_view token) const { return find(token).has_value(); }

  // Inserts an absent token. Returns false (and changes nothing) when present.
  bool insert(std::string_view token, TokenId id);
  // Removes a token; returns its id, or none when it was absent.
  std::optional<TokenId> erase(std::string_view token);
  // Replaces the whole map (tokens must be distinct).
  void assign(std::vector<VocabEntry> entries);

  // Entries in Vocabulary order. The reference dies with the next insert/erase.
  const std::vector<VocabEntry>& sorted() const;
  // For building that order on another thread: whether sorted() has it
  // cached; the order computed from scratch (only reads, once the index is
  // built); and keeping such a result, unless the cache was filled meanwhile.
  // The vocabulary must not change between the first two and the third.
  bool has_sorted() const {
    return indexed_.load(std::memory_order_acquire) && sorted_valid_ && sorted_upto_ == entries_.size();
  }
  std::vector<VocabEntry> compute_sorted() const;
  void install_sorted(std::vector<VocabEntry> order) const;

  // Entries with a handle that stays valid until the next insert or erase,
  // for changing ids in place without looking tokens up again.
  struct Handle {
    std::string_view token;
    TokenId id;
    std::uint32_t slot;
  };
  std::vector<Handle> handles() const;
  // The slot of `token`'s entry (as handles() gives it), or none.
  std::optional<std::uint32_t> slot_of(std::string_view token) const;
  void set_id(std::uint32_t slot, TokenId id) {
    entries_[slot].id = id;
    sorted_valid_ = false;
  }

  // Calls f(entry) for every entry in unspecified order (no sort).
  template <typename F>
  void for_each(F&& f) const {
    ensure_index();
    for (const Slot& slot : entries_) {
      if (slot.live) f(VocabEntry{slot.token, slot.id});
    }
  }

 private:
  struct Slot {
    std::string_view token;
    TokenId id;
    bool live;
  };

  void ensure_index() const {
    if (!indexed_.load(std::memory_order_acquire)) build_index();
  }
  void build_index() const;
  void compact() const;
  // The live entries of entries_[first..] in Vocabulary order.
  std::vector<VocabEntry> sorted_from(std::size_t first) const;

  // Copies and moves take every field below but the lock (vocabulary.cc).
  mutable std::vector<Slot> entries_;
  mutable boost::unordered_flat_map<std::string_view, std::uint32_t, StringHash, StringEq> index_;
  // Set, with release, once index_ describes entries_; readers that find it
  // clear build the index under index_lock_ (see the threads note above).
  mutable std::atomic<bool> indexed_ = true;
  mutable std::mutex index_lock_;
  mutable std::size_t dead_ = 0;
  // Vocabulary order of entries_[0, sorted_upto_); inserts only append
  // after it, every other change clears sorted_valid_.
  mutable std::vector<VocabEntry> sorted_;
  mutable std::size_t sorted_upto_ = 0;
  mutable bool sorted_valid_ = false;
  // Number of tokens of each byte length, and its keys in descending order.
  mutable boost::unordered_flat_map<std::size_t, std::uint32_t> length_counts_;
  mutable bool lengths_built_ = false;
  mutable std::vector<std::size_t> lengths_;
  mutable bool lengths_valid_ = false;
};

// Sorts entries by token bytes (unsigned), the Vocabulary order.
void sort_by_token(std::vector<VocabEntry>& entries);

}  // namespace quorvane
