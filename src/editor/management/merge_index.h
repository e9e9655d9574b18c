// Merge indexes: which merge yields a string, which merges use a string as an
// input, and whether an exact (left, right) pair is already in the list.
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
//  - users/producers lists may name dead slots; every lookup skips them, and
//    producers lists are ascending, so the first live entry is the first merge
//    (in merge-list order) that yields the string;
//  - pair counts count live slots only.
// The pair counts and the users/producers maps are built on first use, each on
// its own: additions need only the first, removals only the second.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/management/arena.h"
#include "editor/management/document.h"
#include "editor/management/hashing.h"

namespace quorvane {

class MergeIndex {
 public:
  using SlotId = std::uint32_t;

  struct Slot {
    Merge merge;
    std::string_view product;  // empty until the dependents are built
    bool alive = true;
  };

  // Takes the current merge list; strings must live in `arena`, which must
  // outlive the index (products are stored there too).
  MergeIndex(const std::vector<Merge>& merges, Arena& arena);

  // True when a live merge has exactly this (left, right).
  bool contains_pair(std::string_view left, std::string_view right);

  // Appends a merge at the end (lowest priority) of the slot table and of
  // `list`, the document's merge list.
  SlotId append(Merge merge, std::vector<Merge>& list);

  // The first live merge yielding `product`.
  std::optional<SlotId> first_producer(std::string_view product);

  // Calls f(slot) for each live merge using `token` as its left or right input
  // (a merge with both inputs equal to `token` once), in merge-list order.
  // f must not append merges. Dead entries met on the way are dropped.
  template <typename F>
  void for_each_user(std::string_view token, F&& f) {
    ensure_dependents();
    auto it = users_.find(token);
    if (it == users_.end()) return;
    std::vector<SlotId>& users = it->second;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < users.size(); ++i) {
      const SlotId id = users[i];
      if (!slots_[id].alive) continue;
      users[kept++] = id;
      f(id);
    }
    users.resize(kept);
  }

  const Slot& slot(SlotId id) const { return slots_[id]; }
  std::string_view product(SlotId id);

  // Marks a live merge deleted; the document's list is stale until commit.
  void kill(SlotId id);

  // Writes the live slots back into `list` when any slot died since the last
  // commit, and drops dead slots once they outnumber the live ones.
  void commit(std::vector<Merge>& list);

  std::size_t live_count() const { return slots_.size() - dead_; }

 private:
  using PairKey = std::pair<std::string_view, std::string_view>;
  struct PairHash {
    std::size_t operator()(const PairKey& k) const noexcept {
      return mix64(hash_bytes(k.first) ^ (hash_bytes(k.second) * 0x9E3779B97F4A7C15ull));
    }
  };

  void ensure_pairs();
  void ensure_dependents();
  void add_dependents(SlotId id);

  Arena& arena_;
  std::vector<Slot> slots_;
  std::size_t dead_ = 0;
  bool dirty_ = false;  // a slot died since the last commit

  bool pairs_ready_ = false;
  boost::unordered_flat_map<PairKey, std::uint32_t, PairHash> pairs_;  // live count per pair

  bool dependents_ready_ = false;
  boost::unordered_flat_map<std::string_view, std::vector<SlotId>, StringHash, StringEq> users_;
  boost::unordered_flat_map<std::string_view, std::vector<SlotId>, StringHash, StringEq> producers_;
};

}  // namespace quorvane
