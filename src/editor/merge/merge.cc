#include "editor/merge/merge.h"

#include <algorithm>
#include <limits>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/merge/representation.h"

namespace quorvane {

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
// No new id reaches it: N <= max_vocab_size <= 2^32 - 1, so ids stay below N.
constexpr TokenId kUnassigned = std::numeric_limits<TokenId>::max();
constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// One candidate token of the new vocabulary: a target token, a token derived
// from the source, or both. The target's tokens take the first slots, in the
// target order (ids ascending, ties by token bytes), so the passes that walk
// the target order need no lookups.
struct Slot {
  std::string_view token;
  TokenId old_id;  // the target id; meaningful for the target's slots only
  TokenId new_id;
  bool kept;  // in R
};

// All candidates, each reachable from its string by one hash lookup. Once ids
// are final, publish_ids() copies each kept token's new id into the index, so
// the merge passes answer "kept, and with which id" from the hash entry alone.
class Candidates {
 public:
  explicit Candidates(std::size_t expected) {
    slots_.reserve(expected);
    index_.reserve(expected);
  }

  // The slot of `token`, added when absent.
  std::uint32_t add(std::string_view token, TokenId old_id) {
    auto [it, inserted] = index_.try_emplace(token, Entry{static_cast<std::uint32_t>(slots_.size()), kUnassigned});
    if (inserted) slots_.push_back({token, old_id, kUnassigned, false});
    return it->second.slot;
  }
  std::uint32_t find(std::string_view token) const {
    auto it = index_.find(token);
    return it == index_.end() ? kNoSlot : it->second.slot;
  }

  void publish_ids() {
    for (auto& [token, entry] : index_) {
      const Slot& s = slots_[entry.slot];
      entry.new_id = s.kept ? s.new_id : kUnassigned;
    }
  }
  // The new id of a kept token; kUnassigned when `token` is not kept. Valid
  // after publish_ids().
  TokenId kept_id(std::string_view token) const {
    auto it = index_.find(token);
    return it == index_.end() ? kUnassigned : it->second.new_id;
  }

  Slot& operator[](std::uint32_t slot) { return slots_[slot]; }
  const std::vector<Slot>& slots() const { return slots_; }

 private:
  struct Entry {
    std::uint32_t slot;
    TokenId new_id;
  };
  std::vector<Slot> slots_;
  boost::unordered_flat_map<std::string_view, Entry, StringHash, StringEq> index_;
};

// The new merge list. Every kept token has a unique new id by the time merges
// are offered, so a pair is identified by its two ids: a 64-bit key is far
// cheaper to hash and compare than two strings, and the lists run to hundreds
// of thousands of merges.
class MergeListBuilder {
 public:
  explicit MergeListBuilder(std::size_t expected) {
    seen_.reserve(expected);
    merges_.reserve(expected);
  }

  // Appends `m` unless the pair (left id, right id) was accepted before.
  bool accept(TokenId left, TokenId right, const Merge& m) {
    if (!seen_.insert((std::uint64_t{left} << 32) | right).second) return false;
    merges_.push_back(m);
    return true;
  }

  std::vector<Merge>& merges() { return merges_; }

 private:
  boost::unordered_flat_set<std::uint64_t> seen_;
  std::vector<Merge> merges_;
};

}  // namespace

Result<MergeRecord> merge_from(Editor& target, const Editor& source, std::uint64_t max_vocab_size) {
  const Document& src = source.document();
  Document& doc = target.document();
  if (src.model.type != "BPE" || doc.model.type != "BPE") return fail("Only BPE tokenizers are supported");
  if (max_vocab_size < 1 || max_vocab_size > kMaxU32) {
    return fail("max_vocab_size must be between 1 and " + std::to_string(kMaxU32));
  }

  // Nothing below writes to the target before the commit, so T0 and M0 are
  // read in place.
  const Vocabulary& t0 = doc.model.vocab;
  const std::vector<Merge>& m0 = doc.model.merges;
  MergeRecord record;
  record.initial_target_vocab_size = t0.size();
  record.source_vocab_size = src.model.vocab.size();

  auto converted = convert_source(src, doc);
  if (!converted) return std::unexpected(std::move(converted.error()));
  SourceConversion& conv = *converted;
  record.representation = conv.representation;

  std::vector<VocabEntry> target_order;
  target_order.reserve(t0.size());
  t0.for_each([&](const VocabEntry& e) { target_order.push_back(e); });
  std::sort(target_order.begin(), target_order.end(), [](const VocabEntry& a, const VocabEntry& b) {
    return a.id != b.id ? a.id < b.id : a.token < b.token;
  });
  const std::uint32_t target_count = static_cast<std::uint32_t>(target_order.size());
  Candidates candidates(target_order.size() + conv.converted_tokens.size() + conv.bridge_tokens.size());
  for (const VocabEntry& e : target_order) candidates.add(e.token, e.id);

  // Added-only tokens A (contents outside T0) limit the model vocabulary; every
  // content inside T0 is protected. Views into the entries stay valid until the
  // commit replaces them.
  StringViewSet contents;
  StringViewSet added_only;
  for (const Value& entry : doc.added_tokens) {
    const std::string* content = entry_content(entry);
    if (content == nullptr) continue;
    contents.insert(*content);
    if (candidates.find(*content) == kNoSlot) added_only.insert(*content);
  }
  if (added_only.size() >= max_vocab_size) return fail("Added tokens alone exceed max_vocab_size");
  const std::uint64_t limit = max_vocab_size - added_only.size();

  // R: the source-derived tokens D, then the protected target tokens P.
  std::uint64_t kept_count = 0;
  auto keep = [&](std::uint32_t slot) {
    if (!candidates[slot].kept) {
      candidates[slot].kept = true;
      ++kept_count;
    }
  };
  auto add_derived = [&](std::string_view token) {
    if (!added_only.empty() && added_only.contains(token)) return kNoSlot;
    const std::uint32_t slot = candidates.add(token, 0);
    keep(slot);
    return slot;
  };
  std::vector<std::uint32_t> form_slots(conv.converted_tokens.size());
  for (std::size_t i = 0; i < conv.converted_tokens.size(); ++i) {
    form_slots[i] = add_derived(conv.converted_tokens[i]);
  }
  std::vector<std::string_view> bridges(conv.bridge_tokens.begin(), conv.bridge_tokens.end());
  std::sort(bridges.begin(), bridges.end());
  std::vector<std::uint32_t> bridge_slots(bridges.size());
  for (std::size_t i = 0; i < bridges.size(); ++i) {
    bridge_slots[i] = add_derived(bridges[i]);
    record.bridge_tokens_added += bridge_slots[i] >= target_count && bridge_slots[i] != kNoSlot;
  }
  record.tokens_injected = candidates.slots().size() - target_count;

  const std::optional<std::string>& unk = doc.model.unk_token;
  for (std::uint32_t slot = 0; slot < target_count; ++slot) {
    const std::string_view token = candidates[slot].token;
    if (is_single_char(token) || is_special_token(token) || contents.contains(token) || (unk && *unk == token)) {
      keep(slot);
    }
  }
  if (kept_count > limit) {
    return fail("Required converted and protected tokens (" + std::to_string(kept_count) + ") exceed model limit (" +
                std::to_string(limit) + ")");
  }
  for (std::uint32_t slot = 0; slot < target_count && kept_count < limit; ++slot) keep(slot);
  const std::uint64_t n = kept_count;

  // Ids: kept target tokens hold their id when it is below N; every other
  // kept token takes the lowest free id: converted forms in their order, then
  // bridge tokens by bytes, then target tokens in the target order. (Every
  // kept token is one of these, so nothing is left for a last pass.)
  std::vector<bool> id_taken(n, false);
  std::uint64_t ids_taken = 0;
  for (std::uint32_t slot = 0; slot < target_count; ++slot) {
    Slot& s = candidates[slot];
    if (!s.kept) {
      ++record.target_tokens_removed;
      continue;
    }
    if (s.old_id >= n) continue;
    s.new_id = s.old_id;
    if (!id_taken[s.old_id]) {
      id_taken[s.old_id] = true;
      ++ids_taken;
    }
  }
  std::uint64_t free_cursor = 0;
  auto assign = [&](std::uint32_t slot) -> Result<void> {
    if (slot == kNoSlot) return {};
    Slot& s = candidates[slot];
    if (!s.kept || s.new_id != kUnassigned) return {};
    while (free_cursor < n && id_taken[free_cursor]) ++free_cursor;
    if (free_cursor == n) return fail("No free model ID for token " + std::string(s.token));
    s.new_id = static_cast<TokenId>(free_cursor);
    id_taken[free_cursor] = true;
    ++ids_taken;
    return {};
  };
  for (std::uint32_t slot : form_slots) {
    if (auto ok = assign(slot); !ok) return std::unexpected(std::move(ok.error()));
  }
  for (std::uint32_t slot : bridge_slots) {
    if (auto ok = assign(slot); !ok) return std::unexpected(std::move(ok.error()));
  }
  for (std::uint32_t slot = 0; slot < target_count; ++slot) {
    if (auto ok = assign(slot); !ok) return std::unexpected(std::move(ok.error()));
  }
  // With all N tokens placed, a free id left over means two kept target
  // tokens share one id below N.
  if (ids_taken != n) return fail("Failed to assign a contiguous model vocabulary");
  std::vector<VocabEntry> new_vocab;
  new_vocab.reserve(n);
  for (const Slot& s : candidates.slots()) {
    if (s.kept) new_vocab.push_back({s.token, s.new_id});
  }
  candidates.publish_ids();
  std::vector<TokenId> form_ids(form_slots.size(), kUnassigned);  // a derived slot is always kept
  for (std::size_t i = 0; i < form_slots.size(); ++i) {
    if (form_slots[i] != kNoSlot) form_ids[i] = candidates[form_slots[i]].new_id;
  }

  // Added-token ids on a copy of the entries, written back only by the commit:
  // contents in the new vocabulary take their model id, the others N, N+1, ...
  // in entry order (the same content, the same id).
  std::vector<Value> added_tokens = doc.added_tokens;
  boost::unordered_flat_map<std::string_view, TokenId, StringHash, StringEq> outside_ids;
  std::uint64_t complete = n;
  for (std::size_t i = 0; i < added_tokens.size(); ++i) {
    const std::string* content = entry_content(doc.added_tokens[i]);
    if (content == nullptr) continue;
    std::uint64_t id;
    if (const TokenId kept = candidates.kept_id(*content); kept != kUnassigned) {
      id = kept;
    } else if (auto seen = outside_ids.find(*content); seen != outside_ids.end()) {
      id = seen->second;
    } else {
      id = complete++;
      if (id > kMaxU32) return fail("Complete vocabulary exceeds max_vocab_size");
      outside_ids.emplace(*content, static_cast<TokenId>(id));
    }
    added_tokens[i].set("id", Value::uint(id));
  }
  if (complete > max_vocab_size) return fail("Complete vocabulary exceeds max_vocab_size");

  // The merge list, in priority order: bridge merges, converted source merges,
  // then the target's own. A merge is taken when its inputs and its product
  // are kept tokens and the same pair was not taken before, so every merge of
  // the new list yields a token of the new vocabulary.
  MergeListBuilder builder(conv.bridge_merges.size() + src.model.merges.size() + m0.size());
  std::string product;
  auto offer = [&](const Merge& m) {
    const TokenId left = candidates.kept_id(m.left);
    if (left == kUnassigned) return false;
    const TokenId right = candidates.kept_id(m.right);
    if (right == kUnassigned) return false;
    product.assign(m.left).append(m.right);
    if (candidates.kept_id(product) == kUnassigned) return false;
    return builder.accept(left, right, m);
  };
  for (const Merge& m : conv.bridge_merges) record.bridge_merges_added += offer(m);
  // A source merge is carried over only when its converted inputs still
  // concatenate to its converted product.
  const auto& token_map = conv.token_map;
  const auto& forms = conv.converted_tokens;
  for (const Merge& m : src.model.merges) {
    auto left = token_map.find(m.left);
    if (left == token_map.end()) continue;
    auto right = token_map.find(m.right);
    if (right == token_map.end()) continue;
    product.assign(m.left).append(m.right);
    auto whole = token_map.find(std::string_view(product));
    if (whole == token_map.end()) continue;
    const std::uint32_t lf = left->second.form, rf = right->second.form, pf = whole->second.form;
    if (form_ids[lf] == kUnassigned || form_ids[rf] == kUnassigned || form_ids[pf] == kUnassigned) continue;
    const std::string_view l = forms[lf], r = forms[rf], p = forms[pf];
    if (p.size() != l.size() + r.size() || !p.starts_with(l) || !p.ends_with(r)) continue;
    record.source_merges_added += builder.accept(form_ids[lf], form_ids[rf], {l, r});
  }
  for (const Merge& m : m0) record.target_merges_retained += offer(m);

  record.final_model_vocab_size = n;
  record.final_vocab_size = complete;

  // The model ids are 0..N-1 (checked above), the added ids N..complete-1.
  if (new_vocab.size() != n || complete != n + outside_ids.size()) {
    return fail("Merged tokenizer IDs are not contiguous");
  }

  // Commit. The pool's buffers join the target's arena first (that may
  // allocate; nothing visible has changed yet); the rest are moves.
  Vocabulary vocab;
  vocab.assign(std::move(new_vocab));
  conv.pool.move_into(*doc.arena);
  doc.model.vocab = std::move(vocab);
  doc.model.merges = std::move(builder.merges());
  doc.added_tokens = std::move(added_tokens);
  target.set_dense_ids(complete);
  target.rebuild_merge_indexes();
  return record;
}

}  // namespace quorvane
