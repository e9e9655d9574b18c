#include "editor/shrink/shrink.h"

#include <algorithm>

#include "editor/removal/removal.h"

namespace quorvane {

std::vector<ShrinkCandidate> select_shrink_candidates(const Editor& editor, std::uint64_t count,
                                                      TokenId min_id) {
  if (count == 0) return {};
  struct Ranked {
    std::string_view token;
    TokenId id;
    std::uint64_t chars;
  };
  std::vector<Ranked> ranked;
  for (const VocabEntry& e : editor.vocab().sorted()) {
    if (e.id < min_id || is_special_token(e.token)) continue;
    const std::size_t chars = char_count(e.token);
    if (chars < 2) continue;
    ranked.push_back({e.token, e.id, chars});
  }
  auto before = [](const Ranked& a, const Ranked& b) {
    if (a.chars != b.chars) return a.chars > b.chars;
    return a.id > b.id;
  };
  // Only the first `count` are wanted: order just those (stably: equal keys
  // keep Vocabulary order).
  if (count < ranked.size()) {
    std::vector<std::uint32_t> order(ranked.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    auto by_rank = [&](std::uint32_t a, std::uint32_t b) {
      if (before(ranked[a], ranked[b])) return true;
      if (before(ranked[b], ranked[a])) return false;
      return a < b;
    };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(), by_rank);
    order.resize(count);
    std::vector<Ranked> top;
    top.reserve(count);
    for (std::uint32_t i : order) top.push_back(ranked[i]);
    ranked = std::move(top);
  } else {
    std::stable_sort(ranked.begin(), ranked.end(), before);
  }
  std::vector<ShrinkCandidate> out;
  out.reserve(ranked.size());
  for (const Ranked& r : ranked) out.push_back({std::string(r.token), r.id, r.chars});
  return out;
}

ShrinkRecord shrink(Editor& editor, std::uint64_t count, TokenId min_id) {
  ShrinkRecord record;
  record.initial_vocab_size = editor.vocab().size();
  record.initial_merges_count = editor.merges().size();
  for (const ShrinkCandidate& c : select_shrink_candidates(editor, count, min_id)) {
    if (!editor.vocab().contains(c.token)) continue;
    const RemovalCounts removed = cascade_remove_counted(editor, c.token);
    ++record.tokens_removed_count;
    record.total_tokens_removed += removed.tokens;
    record.total_merges_removed += removed.merges;
  }
  editor.commit_merges();
  record.final_vocab_size = editor.vocab().size();
  record.final_merges_count = editor.merges().size();
  return record;
}

}  // namespace quorvane
