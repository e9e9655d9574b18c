#include "editor/placement/placement.h"

#include <algorithm>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

namespace quorvane {

namespace {

bool dense(const Vocabulary& vocab) {
  std::vector<bool> seen(vocab.size(), false);
  bool ok = true;
  vocab.for_each([&](const VocabEntry& e) {
    if (e.id >= seen.size() || seen[e.id]) ok = false;
    else seen[e.id] = true;
  });
  return ok;
}

bool outside_model(const Vocabulary& vocab, const Value& entry) {
  const std::string* content = entry_content(entry);
  return content != nullptr && !vocab.contains(*content);
}

}  // namespace

bool places_after_model(const Editor& editor) {
  const auto& entries = editor.document().added_tokens;
  const Vocabulary& vocab = editor.vocab();
  return std::any_of(entries.begin(), entries.end(), [&](const Value& e) { return outside_model(vocab, e); }) &&
         dense(vocab);
}

std::vector<MovedAddedToken> place_outside_after(Editor& editor, TokenId next) {
  const Editor& view = editor;
  boost::unordered_flat_map<std::string, TokenId, StringHash, StringEq> outside;
  std::vector<MovedAddedToken> moved;
  for (Value& entry : editor.document().added_tokens) {
    if (!outside_model(view.vocab(), entry)) continue;
    const std::string& content = *entry_content(entry);
    auto [it, inserted] = outside.try_emplace(content, next);
    if (inserted) ++next;
    const std::optional<TokenId> old_id = entry_id(entry);
    if (old_id != it->second) moved.push_back({content, old_id.value_or(it->second), it->second});
    entry.set("id", Value::uint(it->second));
  }
  editor.reset_ids();
  return moved;
}

}  // namespace quorvane
