#include "editor/removal/removal.h"

#include <boost/unordered/unordered_flat_set.hpp>

namespace quorvane {

namespace {

// The closure of one cascade, computed against the state before any of it is
// applied: the strings to remove and the merge slots to delete, in discovery
// order.
struct Closure {
  std::vector<std::string_view> strings;
  std::vector<MergeIndex::SlotId> merges;
};

Closure close_over(MergeIndex& index, std::string_view root) {
  Closure closure;
  boost::unordered_flat_set<std::string_view, StringHash, StringEq> seen;
  boost::unordered_flat_set<MergeIndex::SlotId> taken;
  std::vector<std::string_view> work{root};
  while (!work.empty()) {
    const std::string_view s = work.back();
    work.pop_back();
    if (!seen.insert(s).second) continue;
    closure.strings.push_back(s);
    index.for_each_user(s, [&](MergeIndex::SlotId id) {
      if (taken.insert(id).second) {
        closure.merges.push_back(id);
        work.push_back(index.product(id));
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
  for (std::string_view s : closure.strings) {
    if (auto id = vocab.erase(s)) editor.release_id(*id);
  }
}

}  // namespace

RemovalRecord cascade_remove(Editor& editor, std::string_view token) {
  RemovalRecord record;
  record.root_token = std::string(token);
  // The root may not live in the arena; the closure only holds views while
  // nothing is erased, and the record copies them before the erase.
  apply(editor, token, [&](const Closure& closure, MergeIndex& index) {
    record.removed_tokens.reserve(closure.strings.size());
    for (std::string_view s : closure.strings) record.removed_tokens.emplace_back(s);
    record.removed_merges.reserve(closure.merges.size());
    for (MergeIndex::SlotId id : closure.merges) {
      const Merge& m = index.slot(id).merge;
      record.removed_merges.emplace_back(std::string(m.left), std::string(m.right));
    }
  });
  return record;
}

RemovalCounts cascade_remove_counted(Editor& editor, std::string_view token) {
  RemovalCounts counts;
  apply(editor, token, [&](const Closure& closure, MergeIndex&) {
    counts.tokens = closure.strings.size();
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
