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
  editor.vocab().for_each([&](const VocabEntry& e) {
    if (e.id < min_id || is_special_token(e.token)) return;
    const std::size_t chars = char_count(e.token);
    if (chars >= 2) ranked.push_back({e.token, e.id, chars});
  });
  // Longest first, then highest id; equal keys (a shared id) keep Vocabulary
  // order, which is byte order: a total order, so an unstable sort of just the
  // first `count` gives the stable result.
  auto before = [](const Ranked& a, const Ranked& b) {
    if (a.chars != b.chars) return a.chars > b.chars;
    if (a.id != b.id) return a.id > b.id;
    return a.token < b.token;
  };
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(count, ranked.size()));
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(), before);
  std::vector<ShrinkCandidate> out;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) out.push_back({std::string(ranked[i].token), ranked[i].id, ranked[i].chars});
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
