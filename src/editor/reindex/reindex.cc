#include "editor/reindex/reindex.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

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

  std::vector<VocabEntry> by_id = vocab.sorted();
  std::stable_sort(by_id.begin(), by_id.end(),
                   [](const VocabEntry& a, const VocabEntry& b) { return a.id < b.id; });
  std::size_t first_misplaced = 0;
  while (first_misplaced < by_id.size() && by_id[first_misplaced].id == first_misplaced) ++first_misplaced;
  if (first_misplaced == by_id.size()) return record;

  // An added-token entry that names a Vocabulary token by its id follows the
  // token to its new id; left behind, the real loader would read the old id as
  // a different token. Entries for other strings or ids keep theirs.
  boost::unordered_flat_map<std::string_view, std::pair<TokenId, TokenId>, StringHash, StringEq> moved;
  for (std::size_t p = first_misplaced; p < by_id.size(); ++p) {
    moved.emplace(by_id[p].token, std::pair<TokenId, TokenId>(by_id[p].id, static_cast<TokenId>(p)));
    by_id[p].id = static_cast<TokenId>(p);
  }
  for (Value& entry : editor.document().added_tokens) {
    const std::string* content = entry_content(entry);
    const std::optional<std::uint32_t> id = entry_id(entry);
    if (content == nullptr || !id) continue;
    auto it = moved.find(*content);
    if (it != moved.end() && it->second.first == *id) entry.set("id", Value::uint(it->second.second));
  }
  vocab.assign(std::move(by_id));
  editor.reset_ids();
  record.ids_remapped = n - first_misplaced;
  record.gaps_removed = r.total_gaps;
  return record;
}

}  // namespace quorvane
