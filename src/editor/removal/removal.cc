#include "editor/removal/removal.h"

#include <boost/unordered/unordered_flat_set.hpp>

namespace quorvane {

namespace {

// The closure of one cascade, computed against the state before any of it is
// applied: the strings to remove (the root first) and the merge slots to
// delete, in discovery order.
struct Closure {
  std::string_view root;
  std::vector<MergeIndex::Symbol> strings;  // besides the root, which may have no symbol
  std::vector<MergeIndex::SlotId> merges;

  std::size_t string_count() const { return 1 + strings.size(); }
};

Closure close_over(MergeIndex& index, std::string_view root) {
  Closure closure{root, {}, {}};
  const auto root_symbol = index.find(root);
  if (!root_symbol) return closure;  // no merge uses or yields it
  boost::unordered_flat_set<MergeIndex::Symbol> seen{*root_symbol};
  boost::unordered_flat_set<MergeIndex::SlotId> taken;
  std::vector<MergeIndex::Symbol> work{*root_symbol};
  while (!work.empty()) {
    const MergeIndex::Symbol s = work.back();
    work.pop_back();
    index.for_each_user(s, [&](MergeIndex::SlotId id) {
      if (!taken.insert(id).second) return;
      closure.merges.push_back(id);
      const MergeIndex::Symbol p = index.product(id);
      if (seen.insert(p).second) {
        closure.strings.push_back(p);
        work.push_back(p);
      }
    });
    if (auto producer = index.first_producer(s)) {
      if (taken.insert(*producer).second) closure.merges.push_back(*producer);
    }
  }
  return closure;
}

template <typename Report>
void apply(Editor& editor, std::string_view root, Report&& report) {
  MergeIndex& index = editor.merge_index();
  const Closure closure = close_over(index, root);
  report(closure, index);
  for (MergeIndex::SlotId id : closure.merges) index.kill(id);
  Vocabulary& vocab = editor.vocab();
  if (auto id = vocab.erase(root)) editor.release_id(*id);
  for (MergeIndex::Symbol s : closure.strings) {
    if (auto id = vocab.erase(index.text(s))) editor.release_id(*id);
  }
}

}  // namespace

RemovalRecord cascade_remove(Editor& editor, std::string_view token) {
  RemovalRecord record;
  record.root_token = std::string(token);
  apply(editor, token, [&](const Closure& closure, MergeIndex& index) {
    record.removed_tokens.reserve(closure.string_count());
    record.removed_tokens.emplace_back(closure.root);
    for (MergeIndex::Symbol s : closure.strings) record.removed_tokens.emplace_back(index.text(s));
    record.removed_merges.reserve(closure.merges.size());
    for (MergeIndex::SlotId id : closure.merges) {
      const Merge m = index.merge(id);
      record.removed_merges.emplace_back(std::string(m.left), std::string(m.right));
    }
  });
  return record;
}

RemovalCounts cascade_remove_counted(Editor& editor, std::string_view token) {
  RemovalCounts counts;
  apply(editor, token, [&](const Closure& closure, MergeIndex&) {
    counts.tokens = closure.string_count();
    counts.merges = closure.merges.size();
  });
  return counts;
}

RemovalRecord remove_token(Editor& editor, std::string_view token) {
  RemovalRecord record = cascade_remove(editor, token);
  editor.commit_merges();
  return record;
}

std::vector<RemovalRecord> remove_tokens(Editor& editor, const std::vector<std::string>& tokens) {
  std::vector<RemovalRecord> records;
  for (const std::string& token : tokens) {
    if (editor.vocab().contains(token)) records.push_back(cascade_remove(editor, token));
  }
  editor.commit_merges();
  return records;
}

}  // namespace quorvane
