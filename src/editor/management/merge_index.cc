#include "editor/management/merge_index.h"

namespace quorvane {

MergeIndex::MergeIndex(const std::vector<Merge>& merges, Arena& arena) : arena_(arena) {
  slots_.reserve(merges.size());
  for (const Merge& m : merges) slots_.push_back(Slot{m, {}, true});
}

void MergeIndex::ensure_pairs() {
  if (pairs_ready_) return;
  pairs_.clear();
  pairs_.reserve(live_count());
  for (const Slot& s : slots_) {
    if (s.alive) ++pairs_[PairKey(s.merge.left, s.merge.right)];
  }
  pairs_ready_ = true;
}

std::string_view MergeIndex::product(SlotId id) {
  Slot& s = slots_[id];
  if (s.product.data() == nullptr && !(s.merge.left.empty() && s.merge.right.empty())) {
    s.product = arena_.store_concat(s.merge.left, s.merge.right);
  }
  return s.product;
}

void MergeIndex::add_dependents(SlotId id) {
  const std::string_view p = product(id);
  const Merge& m = slots_[id].merge;
  users_[m.left].push_back(id);
  if (m.right != m.left) users_[m.right].push_back(id);
  producers_[p].push_back(id);
}

void MergeIndex::ensure_dependents() {
  if (dependents_ready_) return;
  users_.clear();
  producers_.clear();
  producers_.reserve(live_count());
  for (SlotId id = 0; id < slots_.size(); ++id) {
    if (slots_[id].alive) add_dependents(id);
  }
  dependents_ready_ = true;
}

bool MergeIndex::contains_pair(std::string_view left, std::string_view right) {
  ensure_pairs();
  auto it = pairs_.find(PairKey(left, right));
  return it != pairs_.end() && it->second > 0;
}

MergeIndex::SlotId MergeIndex::append(Merge merge, std::vector<Merge>& list) {
  const SlotId id = static_cast<SlotId>(slots_.size());
  slots_.push_back(Slot{merge, {}, true});
  list.push_back(merge);
  if (pairs_ready_) ++pairs_[PairKey(merge.left, merge.right)];
  if (dependents_ready_) add_dependents(id);
  return id;
}

std::optional<MergeIndex::SlotId> MergeIndex::first_producer(std::string_view product) {
  ensure_dependents();
  auto it = producers_.find(product);
  if (it == producers_.end()) return std::nullopt;
  std::vector<SlotId>& ids = it->second;
  std::size_t dead_prefix = 0;
  while (dead_prefix < ids.size() && !slots_[ids[dead_prefix]].alive) ++dead_prefix;
  ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(dead_prefix));
  if (ids.empty()) return std::nullopt;
  return ids.front();
}

void MergeIndex::kill(SlotId id) {
  Slot& s = slots_[id];
  if (!s.alive) return;
  s.alive = false;
  ++dead_;
  dirty_ = true;
  if (pairs_ready_) {
    auto it = pairs_.find(PairKey(s.merge.left, s.merge.right));
    if (it != pairs_.end() && --it->second == 0) pairs_.erase(it);
  }
}

void MergeIndex::commit(std::vector<Merge>& list) {
  if (!dirty_) return;
  list.clear();
  list.reserve(live_count());
  for (const Slot& s : slots_) {
    if (s.alive) list.push_back(s.merge);
  }
  dirty_ = false;
  if (dead_ > 1024 && dead_ > live_count()) {
    // Renumber: keep the live slots only and rebuild what was built.
    std::vector<Slot> live;
    live.reserve(live_count());
    for (Slot& s : slots_) {
      if (s.alive) live.push_back(s);
    }
    slots_ = std::move(live);
    dead_ = 0;
    const bool had_pairs = pairs_ready_;
    const bool had_dependents = dependents_ready_;
    pairs_ready_ = dependents_ready_ = false;
    if (had_pairs) ensure_pairs();
    if (had_dependents) ensure_dependents();
  }
}

}  // namespace quorvane
