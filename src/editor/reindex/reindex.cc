#include "editor/reindex/reindex.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace quorvane {

namespace {

struct IdRange {
  std::uint32_t min_id = 0;
  std::uint32_t max_id = 0;
  std::uint64_t total_gaps = 0;
};

IdRange id_range(const Vocabulary& vocab) {
  IdRange r;
  bool first = true;
  vocab.for_each([&](const VocabEntry& e) {
    if (first) {
      r.min_id = r.max_id = e.id;
      first = false;
    }
    r.min_id = std::min(r.min_id, e.id);
    r.max_id = std::max(r.max_id, e.id);
  });
  const std::uint64_t n = vocab.size();
  const std::uint64_t span = std::uint64_t{r.max_id} - r.min_id + 1;
  r.total_gaps = (span >= n ? span - n : 0) + r.min_id;
  return r;
}

}  // namespace

GapReport check_vocab_gaps(const Editor& editor) {
  if (editor.vocab().empty()) return {};
  const IdRange r = id_range(editor.vocab());
  return {r.total_gaps > 0, r.total_gaps, r.min_id, r.max_id};
}

ReindexRecord reindex_vocab(Editor& editor) {
  ReindexRecord record;
  record.merges_count = editor.merges().size();
  Vocabulary& vocab = editor.vocab();
  const std::uint64_t n = vocab.size();
  record.vocab_size = n;
  if (n == 0) return record;
  const IdRange r = id_range(vocab);
  record.old_min_id = r.min_id;
  record.old_max_id = r.max_id;
  record.new_min_id = 0;
  record.new_max_id = static_cast<std::uint32_t>(n - 1);

  // Old id order; equal ids keep Vocabulary (byte) order.
  std::vector<Vocabulary::Handle> by_id = vocab.handles();
  std::sort(by_id.begin(), by_id.end(), [](const Vocabulary::Handle& a, const Vocabulary::Handle& b) {
    if (a.id != b.id) return a.id < b.id;
    return a.token < b.token;
  });
  std::size_t first_misplaced = 0;
  while (first_misplaced < by_id.size() && by_id[first_misplaced].id == first_misplaced) ++first_misplaced;
  if (first_misplaced == by_id.size()) return record;

  // An added-token entry that names a Vocabulary token by its id follows the
  // token to its new id; left behind, the real loader would read the old id as
  // a different token. Entries for other strings or ids keep theirs.
  auto new_id_of = [&](std::string_view token, TokenId old_id) -> std::optional<TokenId> {
    const auto key = std::pair(old_id, token);
    auto it = std::lower_bound(by_id.begin(), by_id.end(), key, [](const Vocabulary::Handle& h, const auto& k) {
      return std::pair(h.id, h.token) < k;
    });
    if (it == by_id.end() || it->id != old_id || it->token != token) return std::nullopt;
    return static_cast<TokenId>(it - by_id.begin());
  };
  for (Value& entry : editor.document().added_tokens) {
    const std::string* content = entry_content(entry);
    const std::optional<std::uint32_t> id = entry_id(entry);
    if (content == nullptr || !id) continue;
    if (auto moved = new_id_of(*content, *id); moved && *moved != *id) entry.set("id", Value::uint(*moved));
  }
  for (std::size_t p = first_misplaced; p < by_id.size(); ++p) vocab.set_id(by_id[p].slot, static_cast<TokenId>(p));
  editor.reset_ids();
  record.ids_remapped = n - first_misplaced;
  record.gaps_removed = r.total_gaps;
  return record;
}

}  // namespace quorvane
