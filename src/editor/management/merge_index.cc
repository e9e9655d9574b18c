#include "editor/management/merge_index.h"

namespace quorvane {

MergeIndex::MergeIndex(const std::vector<Merge>& merges, Arena& arena) : arena_(arena) { build(merges); }

void MergeIndex::build(const std::vector<Merge>& merges) {
  symbols_.clear();
  strings_.clear();
  slots_.clear();
  pairs_.clear();
  dead_ = 0;
  dirty_ = false;
  symbols_.reserve(merges.size() / 2 + 16);
  strings_.reserve(merges.size() / 2 + 16);
  slots_.reserve(merges.size());
  pairs_.reserve(merges.size());
  user_next_.assign(2 * merges.size(), kNone);
  producer_next_.assign(merges.size(), kNone);
  users_.clear();
  producers_.clear();
  for (const Merge& m : merges) {
    const SlotId id = static_cast<SlotId>(slots_.size());
    slots_.push_back(Slot{intern(m.left), intern(m.right), intern_product(m.left, m.right), true});
    link(id);
  }
}

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

std::optional<MergeIndex::Symbol> MergeIndex::find(std::string_view s) const {
  auto it = symbols_.find(s);
  if (it == symbols_.end()) return std::nullopt;
  return it->second;
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
  const Slot& s = slots_[id];
  if (user_next_.size() < 2 * (std::size_t{id} + 1)) user_next_.resize(2 * (std::size_t{id} + 1), kNone);
  if (producer_next_.size() < std::size_t{id} + 1) producer_next_.resize(std::size_t{id} + 1, kNone);
  ++pairs_[pair_key(s.left, s.right)];
  push(users_[s.left], user_next_, 2 * id);
  if (s.right != s.left) push(users_[s.right], user_next_, 2 * id + 1);
  push(producers_[s.product], producer_next_, id);
}

bool MergeIndex::contains_pair(std::string_view left, std::string_view right) const {
  const auto l = find(left);
  if (!l) return false;
  const auto r = find(right);
  if (!r) return false;
  auto it = pairs_.find(pair_key(*l, *r));
  return it != pairs_.end() && it->second > 0;
}

MergeIndex::SlotId MergeIndex::append(Merge merge, std::vector<Merge>& list) {
  const SlotId id = static_cast<SlotId>(slots_.size());
  slots_.push_back(Slot{intern(merge.left), intern(merge.right), intern_product(merge.left, merge.right), true});
  link(id);
  list.push_back(merge);
  return id;
}

std::optional<MergeIndex::SlotId> MergeIndex::first_producer(Symbol product) {
  List& list = producers_[product];
  while (list.head != kNone && !slots_[list.head].alive) unlink(list, producer_next_, kNone, list.head);
  if (list.head == kNone) return std::nullopt;
  return list.head;
}

void MergeIndex::kill(SlotId id) {
  Slot& s = slots_[id];
  if (!s.alive) return;
  s.alive = false;
  ++dead_;
  dirty_ = true;
  auto it = pairs_.find(pair_key(s.left, s.right));
  if (it != pairs_.end() && --it->second == 0) pairs_.erase(it);
}

void MergeIndex::commit(std::vector<Merge>& list) {
  if (!dirty_) return;
  list.clear();
  list.reserve(live_count());
  for (const Slot& s : slots_) {
    if (s.alive) list.push_back({strings_[s.left], strings_[s.right]});
  }
  dirty_ = false;
  // Renumber once the dead slots outnumber the live ones, so that walks and
  // memory stay proportional to the live list.
  if (dead_ > 1024 && dead_ > live_count()) build(list);
}

}  // namespace quorvane
