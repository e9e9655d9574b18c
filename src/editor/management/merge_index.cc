#include "editor/management/merge_index.h"

namespace quorvane {

MergeIndex::MergeIndex(const std::vector<Merge>& merges, Arena& arena) : arena_(arena) { reset(merges); }

void MergeIndex::reset(const std::vector<Merge>& merges) {
  slots_.clear();
  slots_.reserve(merges.size());
  for (const Merge& m : merges) slots_.push_back(Slot{m});
  dead_ = 0;
  dirty_ = false;
  pairs_ready_ = false;
  pairs_.clear();
  pair_overflow_.clear();
  dependents_ready_ = false;
  symbols_.clear();
  strings_.clear();
  users_.clear();
  producers_.clear();
  user_next_.clear();
  producer_next_.clear();
}

// ---- pair counts

MergeIndex::PairEntry* MergeIndex::find_pair(const Merge& m) {
  const std::uint64_t h = pair_hash(m);
  auto it = pairs_.find(h);
  if (it == pairs_.end()) return nullptr;
  if (slots_[it->second.slot].merge == m) return &it->second;
  for (auto& [hash, entry] : pair_overflow_) {
    if (hash == h && slots_[entry.slot].merge == m) return &entry;
  }
  return nullptr;
}

void MergeIndex::count_pair(SlotId id) {
  const Merge& m = slots_[id].merge;
  if (PairEntry* entry = find_pair(m)) {
    if (entry->count == 0) entry->slot = id;
    ++entry->count;
    return;
  }
  const std::uint64_t h = pair_hash(m);
  auto [it, inserted] = pairs_.try_emplace(h, PairEntry{id, 1});
  if (inserted) return;
  if (it->second.count == 0) {
    it->second = PairEntry{id, 1};  // the pair there has no live slot left
  } else {
    pair_overflow_.push_back({h, PairEntry{id, 1}});
  }
}

void MergeIndex::ensure_pairs() {
  if (pairs_ready_) return;
  pairs_.clear();
  pair_overflow_.clear();
  pairs_.reserve(live_count());
  for (SlotId id = 0; id < slots_.size(); ++id) {
    if (slots_[id].alive) count_pair(id);
  }
  pairs_ready_ = true;
}

bool MergeIndex::contains_pair(std::string_view left, std::string_view right) {
  ensure_pairs();
  const PairEntry* entry = find_pair(Merge{left, right});
  return entry != nullptr && entry->count > 0;
}

// ---- dependents

MergeIndex::Symbol MergeIndex::intern(std::string_view s) {
  auto [it, inserted] = symbols_.try_emplace(s, static_cast<Symbol>(strings_.size()));
  if (inserted) {
    strings_.push_back(s);
    users_.emplace_back();
    producers_.emplace_back();
  }
  return it->second;
}

MergeIndex::Symbol MergeIndex::intern_product(std::string_view left, std::string_view right) {
  scratch_.assign(left);
  scratch_.append(right);
  if (auto it = symbols_.find(std::string_view(scratch_)); it != symbols_.end()) return it->second;
  return intern(arena_.store(scratch_));
}

void MergeIndex::push(List& list, std::vector<std::uint32_t>& next, std::uint32_t node) {
  next[node] = kNone;
  if (list.tail == kNone) list.head = node;
  else next[list.tail] = node;
  list.tail = node;
}

void MergeIndex::unlink(List& list, std::vector<std::uint32_t>& next, std::uint32_t prev,
                        std::uint32_t node) {
  const std::uint32_t after = next[node];
  if (prev == kNone) list.head = after;
  else next[prev] = after;
  if (list.tail == node) list.tail = prev;
}

void MergeIndex::link(SlotId id) {
  Slot& s = slots_[id];
  s.left = intern(s.merge.left);
  s.right = intern(s.merge.right);
  s.product = intern_product(s.merge.left, s.merge.right);
  if (user_next_.size() < 2 * (std::size_t{id} + 1)) user_next_.resize(2 * (std::size_t{id} + 1), kNone);
  if (producer_next_.size() < std::size_t{id} + 1) producer_next_.resize(std::size_t{id} + 1, kNone);
  push(users_[s.left], user_next_, 2 * id);
  if (s.right != s.left) push(users_[s.right], user_next_, 2 * id + 1);
  push(producers_[s.product], producer_next_, id);
}

void MergeIndex::ensure_dependents() {
  if (dependents_ready_) return;
  symbols_.reserve(slots_.size() / 2 + 16);
  strings_.reserve(slots_.size() / 2 + 16);
  user_next_.assign(2 * slots_.size(), kNone);
  producer_next_.assign(slots_.size(), kNone);
  for (SlotId id = 0; id < slots_.size(); ++id) {
    if (slots_[id].alive) link(id);
  }
  dependents_ready_ = true;
}

std::optional<MergeIndex::Symbol> MergeIndex::find(std::string_view s) {
  ensure_dependents();
  auto it = symbols_.find(s);
  if (it == symbols_.end()) return std::nullopt;
  return it->second;
}

std::optional<MergeIndex::SlotId> MergeIndex::first_producer(Symbol product) {
  ensure_dependents();
  List& list = producers_[product];
  while (list.head != kNone && !slots_[list.head].alive) unlink(list, producer_next_, kNone, list.head);
  if (list.head == kNone) return std::nullopt;
  return list.head;
}

// ---- changes

MergeIndex::SlotId MergeIndex::append(Merge merge, std::vector<Merge>& list) {
  const SlotId id = static_cast<SlotId>(slots_.size());
  slots_.push_back(Slot{merge});
  if (pairs_ready_) count_pair(id);
  if (dependents_ready_) link(id);
  list.push_back(merge);
  return id;
}

void MergeIndex::kill(SlotId id) {
  Slot& s = slots_[id];
  if (!s.alive) return;
  s.alive = false;
  ++dead_;
  dirty_ = true;
  if (pairs_ready_) {
    if (PairEntry* entry = find_pair(s.merge)) --entry->count;
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
  // Renumber once the dead slots outnumber the live ones, so that walks and
  // memory stay proportional to the live list; built parts are rebuilt.
  if (dead_ > 1024 && dead_ > live_count()) {
    const bool pairs = pairs_ready_;
    const bool dependents = dependents_ready_;
    reset(list);
    if (pairs) ensure_pairs();
    if (dependents) ensure_dependents();
  }
}

}  // namespace quorvane
