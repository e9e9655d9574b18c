// Merge indexes: which merge yields a string, which merges use a string as an
// input, and whether an exact (left, right) pair is already in the list.
//
// Two parts, each built on first use, so that additions never pay for what
// only removals need:
//  - pair counts, for "is (left, right) already in the list": a table from a
//    64-bit hash of the pair to one slot holding it and the live count, the
//    strings compared on every hit (distinct pairs with equal hashes go to a
//    small overflow list);
//  - dependents, for cascades: every merge input and product interned as a
//    32-bit symbol, then per-symbol linked lists of users and producers
//    threaded through next-link arrays (no allocation per list).
//
// The index keeps its own table of merge slots in merge-list order. Deleting a
// merge only marks its slot dead, so a batch of cascades costs what the
// cascades touch, not a rebuild of the list per cascade; `commit` then writes
// the live slots back as the document's merge list, once per operation.
// Appending goes to both the slot table and the document's list.
//
// Invariants:
//  - the live slots, in slot order, are the document's merge list once
//    `commit` has run (and whenever no slot died since the last commit);
//  - user and producer lists may hold dead slots, which every walk skips and
//    unlinks; producer lists are ascending, so the first live entry is the
//    first merge (in merge-list order) that yields the string;
//  - pair counts count live slots only.
// Strings must live in the Arena given at construction, which must outlive the
// index; products are stored there too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/base/hashing.h"
#include "editor/management/document/document.h"
#include "editor/management/state/arena.h"
#include "editor/management/state/symbol_table.h"

namespace quorvane {

class MergeIndex {
 public:
  using SlotId = std::uint32_t;
  using Symbol = std::uint32_t;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  MergeIndex(const std::vector<Merge>& merges, Arena& arena);

  // The symbol of `s`, or none when no merge has it as an input or product.
  std::optional<Symbol> find(std::string_view s);
  std::string_view text(Symbol sym) const { return strings_[sym]; }

  // True when a live merge has exactly this (left, right).
  bool contains_pair(std::string_view left, std::string_view right);

  // Appends a merge at the end (lowest priority) of the slot table and of
  // `list`, the document's merge list.
  SlotId append(Merge merge, std::vector<Merge>& list);

  // Appends (left, right) unless a live merge already has exactly that pair;
  // `store` copies a string into the arena and is called only when appending.
  // Returns whether it appended.
  template <typename Store>
  bool append_if_absent(std::string_view left, std::string_view right, std::vector<Merge>& list,
                        Store&& store) {
    ensure_pairs();
    if (const PairEntry* entry = find_pair(Merge{left, right}); entry && entry->count > 0) return false;
    append(Merge{store(left), store(right)}, list);
    return true;
  }

  // The first live merge yielding `product`.
  std::optional<SlotId> first_producer(Symbol product);

  // Calls f(slot) for each live merge using `sym` as its left or right input
  // (a merge with both inputs equal to it once), in merge-list order. f must
  // not append merges.
  template <typename F>
  void for_each_user(Symbol sym, F&& f) {
    ensure_dependents();
    List& list = users_[sym];
    std::uint32_t prev = kNone;
    for (std::uint32_t node = list.head; node != kNone;) {
      const std::uint32_t next = user_next_[node];
      if (slots_[node >> 1].alive) {
        prev = node;
        f(static_cast<SlotId>(node >> 1));
      } else {
        unlink(list, user_next_, prev, node);
      }
      node = next;
    }
  }

  Merge merge(SlotId id) const { return slots_[id].merge; }
  Symbol product(SlotId id) const { return slots_[id].product; }

  // The slot table as it stands, dead slots included (for consistency checks).
  std::size_t slot_count() const { return slots_.size(); }
  bool alive(SlotId id) const { return slots_[id].alive; }

  // Marks a live merge deleted; the document's list is stale until commit.
  void kill(SlotId id);

  // Writes the live slots back into `list` when any slot died since the last
  // commit, and renumbers once dead slots outnumber the live ones.
  void commit(std::vector<Merge>& list);

 private:
  struct Slot {
    Merge merge;
    Symbol left = kNone;  // symbols: set once the dependents are built
    Symbol right = kNone;
    Symbol product = kNone;
    bool alive = true;
  };
  struct PairEntry {
    SlotId slot;          // a slot holding the pair (alive or not)
    std::uint32_t count;  // live slots holding it
  };
  // A singly linked list threaded through an array of next links.
  struct List {
    std::uint32_t head = kNone;
    std::uint32_t tail = kNone;
  };

  static void push(List& list, std::vector<std::uint32_t>& next, std::uint32_t node);
  static void unlink(List& list, std::vector<std::uint32_t>& next, std::uint32_t prev, std::uint32_t node);
  static std::uint64_t pair_hash(const Merge& m) {
    return mix64(hash_bytes(m.left) ^ (hash_bytes(m.right) * 0x9E3779B97F4A7C15ull));
  }

  void reset(const std::vector<Merge>& merges);
  void ensure_pairs();
  void ensure_dependents();
  PairEntry* find_pair(const Merge& m);
  void count_pair(SlotId id);
  Symbol intern(std::string_view s, std::uint64_t hash);
  Symbol intern_product(const std::string& product, std::uint64_t hash);
  void link(SlotId id, std::uint64_t left_hash, std::uint64_t right_hash, const std::string& product,
            std::uint64_t product_hash);
  void link(SlotId id);
  std::size_t live_count() const { return slots_.size() - dead_; }

  Arena& arena_;
  std::vector<Slot> slots_;
  std::size_t dead_ = 0;
  bool dirty_ = false;  // a slot died since the last commit

  bool pairs_ready_ = false;
  boost::unordered_flat_map<std::uint64_t, PairEntry> pairs_;
  std::vector<std::pair<std::uint64_t, PairEntry>> pair_overflow_;  // equal hashes, other strings

  bool dependents_ready_ = false;
  SymbolTable symbols_;
  std::vector<std::string_view> strings_;
  std::vector<List> users_;       // by symbol; nodes are slot * 2 + role (0 left, 1 right)
  std::vector<std::uint32_t> user_next_;
  std::vector<List> producers_;   // by symbol; nodes are slots
  std::vector<std::uint32_t> producer_next_;
  std::string scratch_;
};

}  // namespace quorvane
