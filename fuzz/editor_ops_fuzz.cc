// Fuzz target: a sequence of editor operations decoded from the input.
//
// The input is read front to back, as zeros once it runs out:
//   flags byte   bit 0: the target is given as JSON text, not generated;
//                bit 1: the merge source is given as JSON text;
//                bit 2: check the editor's own merge index rather than a copy
//                (querying builds the index's lazy parts, so by default a copy
//                is asked and the editor keeps them as the operations left them)
//   target       u16 length + JSON text, or a generated document (gen_document)
//   source       u16 length + JSON text when bit 1 (for every merge_from and
//                sync_single_chars); otherwise each such step generates one
//   operations   one byte each, then its arguments, until the input ends
//
// After every operation check_editor verifies the editor's invariants: both
// merge indexes answer as a recomputation from the merge list does, every
// Vocabulary id is in used_ids, and to_json -> from_json -> to_json is stable.
// Each operation also checks what it promises (ids kept, ids fresh, ...).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "editor/addition/addition.h"
#include "editor/management/fixed_size/fixed_size.h"
#include "editor/management/queries/queries.h"
#include "editor/management/state/editor.h"
#include "editor/merge/merge.h"
#include "editor/reindex/reindex.h"
#include "editor/removal/removal.h"
#include "editor/shrink/shrink.h"
#include "fuzz_util.h"

namespace quorvane::fuzz::ops {

constexpr int kMaxSteps = 24;

// Token material: multi-byte characters, a combining mark (NFC), the space
// markers, ByteLevel letters, special and byte-fallback shapes, and
// characters the writer must escape.
constexpr std::string_view kPieces[] = {
    "a", "b", "c", "d", "ab", "ba", "abc", " ",
    "\xC4\xA0",              // Ġ, the ByteLevel space
    "\xE2\x96\x81",          // ▁, the space marker
    "\xC3\xA9",              // é
    "e\xCC\x81",             // e + combining acute: é after NFC
    "\xC3\x83\xC2\xA9",      // Ã©, é spelled in the ByteLevel alphabet
    "\xE4\xB8\xAD",          // 中
    "\xF0\x9F\x98\x80",      // an emoji, four bytes
    "\xC4\xA0\xC4\xA0",
    "<s>", "</s>", "[UNK]", "<0x41>", "<0x+F>", "<0xC3>", "<", ">",
    "[", "]", "\"", "\\", "\n", "\x01", "##", "_",
};

std::string gen_token(Input& in) {
  std::size_t pieces = in.byte() % 8;  // 0..4 pieces, one time in eight empty
  if (pieces > 4) pieces -= 4;
  std::string s;
  for (std::size_t i = 0; i < pieces; ++i) s += kPieces[in.byte() % std::size(kPieces)];
  return s;
}

// A small BPE document as JSON text: 0..23 tokens with ids that mostly count
// up but can repeat, jump, or sit at the top of the u32 range; merges that
// split a token at a character boundary (valid) or join arbitrary strings;
// added-token entries, some malformed; one of the normalizer/pre-tokenizer
// shapes the merge recognises, or none.
std::string gen_document(Input& in) {
  const std::uint8_t flags = in.byte();
  const int shape = flags & 3;
  const bool nfc = flags & 4;
  std::string replace = R"({"type":"Replace","pattern":{"String":" "},"content":)";
  replace += (flags & 0x40) ? quoted("_") : (flags & 0x80) ? quoted("") : quoted("\xE2\x96\x81");
  replace += "}";
  std::string normalizer = "null";
  if (shape == 1 || shape == 2) {
    normalizer = R"({"type":"Sequence","normalizers":[)" + std::string(nfc ? R"({"type":"NFC"},)" : "") + replace + "]}";
  } else if (nfc) {
    normalizer = R"({"type":"NFC"})";
  }
  std::string pre_tokenizer = "null";
  if (shape == 0 || shape == 2) {
    pre_tokenizer = R"({"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":true})";
  }

  std::vector<std::pair<std::string, std::uint32_t>> vocab;
  const std::size_t n_vocab = in.byte() % 24;
  std::uint32_t id = 0;
  for (std::size_t i = 0; i < n_vocab; ++i) {
    const std::uint8_t c = in.byte();
    if (i > 0) {
      switch (c & 7) {
        case 0: break;  // shares the previous id
        case 1: id = id + 2 + (c >> 3); break;
        case 2: id = 4294967295u - (c >> 3); break;
        default: id = id + 1; break;
      }
    }
    vocab.emplace_back(gen_token(in), id);
  }

  std::vector<std::pair<std::string, std::string>> merges;
  const std::size_t n_merges = in.byte() % 24;
  for (std::size_t i = 0; i < n_merges; ++i) {
    const std::uint8_t c = in.byte();
    if ((c & 3) != 0 && !vocab.empty()) {
      const std::string& t = vocab[in.byte() % vocab.size()].first;
      const std::vector<std::size_t> bounds = char_boundaries(t);
      if (bounds.size() >= 3) {
        const std::size_t k = 1 + in.byte() % (bounds.size() - 2);
        merges.emplace_back(t.substr(0, bounds[k]), t.substr(bounds[k]));
        continue;
      }
    }
    std::string left = gen_token(in);
    merges.emplace_back(std::move(left), gen_token(in));
  }

  std::vector<std::string> added;
  const std::size_t n_added = (flags >> 4) & 3;
  for (std::size_t i = 0; i < n_added; ++i) {
    const std::uint8_t c = in.byte();
    const std::string special = (c & 8) ? "true" : "false";
    if ((c & 7) < 4 && !vocab.empty()) {
      const auto& [token, token_id] = vocab[in.byte() % vocab.size()];
      added.push_back(R"({"id":)" + std::to_string(token_id) + R"(,"content":)" + quoted(token) +
                      R"(,"single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":)" +
                      special + "}");
    } else if ((c & 7) < 6) {
      const std::uint32_t entry_id = (c & 16) ? 4294967295u - in.byte() : in.u16();
      added.push_back(R"({"id":)" + std::to_string(entry_id) + R"(,"content":)" + quoted(gen_token(in)) +
                      R"(,"special":)" + special + "}");
    } else if ((c & 7) == 6) {
      added.push_back((c & 8) ? "7" : R"("<s>")");
    } else {
      added.push_back((c & 8) ? R"({"id":-1,"content":5})" : R"({"id":"3","content":"<s>","special":1})");
    }
  }

  std::string json = R"({"version":"1.0","truncation":null,"padding":null,"added_tokens":[)";
  for (std::size_t i = 0; i < added.size(); ++i) json += (i ? "," : "") + added[i];
  json += R"(],"normalizer":)" + normalizer + R"(,"pre_tokenizer":)" + pre_tokenizer +
          R"(,"post_processor":null,"decoder":null,"model":{"type":"BPE","dropout":null,"unk_token":)" +
          std::string((flags & 8) ? R"("[UNK]")" : "null") + R"(,"byte_fallback":)" +
          ((flags & 0x20) ? "true" : "false") + R"(,"vocab":{)";
  for (std::size_t i = 0; i < vocab.size(); ++i) {
    json += (i ? "," : "") + quoted(vocab[i].first) + ":" + std::to_string(vocab[i].second);
  }
  json += R"(},"merges":[)";
  for (std::size_t i = 0; i < merges.size(); ++i) {
    json += (i ? ",[" : "[") + quoted(merges[i].first) + "," + quoted(merges[i].second) + "]";
  }
  return json + "]}}";
}

// Strings for a failure message, as JSON.
std::string listed(const std::vector<std::string>& strings) {
  std::string out = "[";
  for (const std::string& s : strings) out += (out.size() > 1 ? ", " : "") + quoted(s);
  return out + "]";
}

// ---- what the editor looked like before a step

struct AddedEntry {
  std::optional<std::string> content;
  std::optional<std::uint32_t> id;
};

struct Snapshot {
  std::map<std::string, TokenId> vocab;
  std::vector<std::pair<std::string, std::string>> merges;
  std::vector<AddedEntry> added;
  std::string declared;  // the texts only when asked for
  std::string sorted;
  std::vector<TokenId> used_ids;  // ascending
  TokenId next_id = 0;
};

Snapshot snapshot(Editor& editor, bool with_text = false) {
  Snapshot s;
  const Document& doc = std::as_const(editor).document();
  doc.model.vocab.for_each([&](const VocabEntry& e) { s.vocab.emplace(std::string(e.token), e.id); });
  for (const Merge& m : doc.model.merges) s.merges.emplace_back(std::string(m.left), std::string(m.right));
  for (const Value& entry : doc.added_tokens) {
    const std::string* content = entry_content(entry);
    s.added.push_back({content ? std::optional<std::string>(*content) : std::nullopt, entry_id(entry)});
  }
  if (with_text) {
    s.declared = write_document(doc, KeyOrder::kDeclared);
    s.sorted = write_document(doc, KeyOrder::kSorted);
  }
  const IdSet& used = editor.used_ids();
  s.used_ids.assign(used.begin(), used.end());
  std::sort(s.used_ids.begin(), s.used_ids.end());
  s.next_id = editor.next_id();
  return s;
}

std::map<std::string, TokenId> vocab_of(const Editor& editor) {
  std::map<std::string, TokenId> out;
  editor.vocab().for_each([&](const VocabEntry& e) { out.emplace(std::string(e.token), e.id); });
  return out;
}

// ---- merge index against a recomputation

struct Recomputed {
  std::unordered_map<std::string, std::size_t> first_producer;     // product -> position
  std::unordered_map<std::string, std::vector<std::size_t>> users;  // input -> positions
  std::set<std::pair<std::string, std::string>> pairs;
};

Recomputed recompute(const std::vector<Merge>& list) {
  Recomputed r;
  for (std::size_t p = 0; p < list.size(); ++p) {
    const std::string left(list[p].left), right(list[p].right);
    r.first_producer.try_emplace(left + right, p);
    r.users[left].push_back(p);
    if (right != left) r.users[right].push_back(p);
    r.pairs.emplace(left, right);
  }
  return r;
}

void check_index(MergeIndex& index, const std::vector<Merge>& list, const Recomputed& expected,
                 const std::set<std::string>& strings) {
  // The live slots, in slot order, are the merge list.
  constexpr std::size_t kDead = static_cast<std::size_t>(-1);
  std::vector<std::size_t> position(index.slot_count(), kDead);
  std::size_t live = 0;
  for (MergeIndex::SlotId slot = 0; slot < index.slot_count(); ++slot) {
    if (!index.alive(slot)) continue;
    FUZZ_CHECK(live < list.size() && index.merge(slot) == list[live]);
    position[slot] = live++;
  }
  FUZZ_CHECK(live == list.size());
  auto position_of = [&](MergeIndex::SlotId slot) {
    FUZZ_CHECK(slot < position.size() && position[slot] != kDead);
    return position[slot];
  };

  static const std::vector<std::size_t> kNoUsers;
  for (const std::string& s : strings) {
    const auto producer_it = expected.first_producer.find(s);
    const auto users_it = expected.users.find(s);
    const std::vector<std::size_t>& users = users_it == expected.users.end() ? kNoUsers : users_it->second;
    const auto symbol = index.find(s);
    if (!symbol) {
      FUZZ_CHECK(producer_it == expected.first_producer.end() && users.empty());
      continue;
    }
    FUZZ_CHECK(index.text(*symbol) == s);
    const auto producer = index.first_producer(*symbol);
    FUZZ_CHECK(producer.has_value() == (producer_it != expected.first_producer.end()));
    if (producer) FUZZ_CHECK(position_of(*producer) == producer_it->second);
    std::vector<std::size_t> got;
    index.for_each_user(*symbol, [&](MergeIndex::SlotId slot) { got.push_back(position_of(slot)); });
    FUZZ_CHECK(got == users);
  }

  for (const Merge& m : list) FUZZ_CHECK(index.contains_pair(m.left, m.right));
  // Pairs of the first strings in every combination, most of them absent.
  std::vector<std::string_view> sample;
  for (const std::string& s : strings) {
    if (sample.size() == 12) break;
    sample.push_back(s);
  }
  for (std::string_view a : sample) {
    for (std::string_view b : sample) {
      FUZZ_CHECK(index.contains_pair(a, b) == expected.pairs.contains({std::string(a), std::string(b)}));
    }
  }
}

// ---- invariants after every step

void check_editor(Editor& editor, bool own_index, const std::set<std::string>& touched) {
  const Editor& view = editor;
  const Vocabulary& vocab = view.vocab();

  // The vocabulary's index, entry list and byte order agree.
  std::size_t count = 0;
  vocab.for_each([&](const VocabEntry& e) {
    ++count;
    FUZZ_CHECK(vocab.find(e.token) == e.id);
  });
  FUZZ_CHECK(count == vocab.size());
  const std::vector<VocabEntry>& sorted = vocab.sorted();
  FUZZ_CHECK(sorted.size() == count);
  for (std::size_t i = 1; i < sorted.size(); ++i) FUZZ_CHECK(sorted[i - 1].token < sorted[i].token);

  // Every Vocabulary id is taken.
  const IdSet& used = editor.used_ids();
  vocab.for_each([&](const VocabEntry& e) { FUZZ_CHECK(used.contains(e.id)); });

  // Both merge indexes: the editor's and one built afresh from the list.
  const std::vector<Merge>& list = view.merges();
  std::set<std::string> strings = touched;
  for (const Merge& m : list) {
    strings.emplace(m.left);
    strings.emplace(m.right);
    strings.emplace(std::string(m.left) + std::string(m.right));
  }
  vocab.for_each([&](const VocabEntry& e) { strings.emplace(e.token); });
  const Recomputed expected = recompute(list);
  if (own_index) {
    check_index(editor.merge_index(), list, expected, strings);
  } else {
    MergeIndex copy = editor.merge_index();
    check_index(copy, list, expected, strings);
  }
  Arena scratch;
  MergeIndex fresh(list, scratch);
  check_index(fresh, list, expected, strings);

  // to_json -> from_json -> to_json, and the same with sorted keys.
  FUZZ_CHECK(require_bpe(view.document()).has_value());
  check_write_read_stable(view.document());
}

// ---- per-operation promises

// Tokens present before and not in `gone` keep their ids; those in `gone`
// left. With `readded`, a token may instead carry an id no token had before:
// removed by one cascade of the call and added again by a later addition.
void check_kept(const Snapshot& before, const Editor& editor, const std::set<std::string>& gone,
                bool readded = false) {
  std::set<TokenId> old_ids;
  for (const auto& [token, id] : before.vocab) old_ids.insert(id);
  const Vocabulary& vocab = editor.vocab();
  for (const auto& [token, id] : before.vocab) {
    const auto now = vocab.find(token);
    if (gone.contains(token)) {
      FUZZ_CHECK(!now.has_value());
    } else {
      FUZZ_CHECK(now == id || (readded && now && !old_ids.contains(*now)));
    }
  }
}

// Tokens that are new since `before` carry ids no other token carries. (A
// freed id can come back once the cursor has wrapped past 4294967295.)
void check_fresh_ids(const Snapshot& before, const Editor& editor) {
  std::map<TokenId, std::size_t> carriers;
  editor.vocab().for_each([&](const VocabEntry& e) { ++carriers[e.id]; });
  editor.vocab().for_each([&](const VocabEntry& e) {
    if (!before.vocab.contains(std::string(e.token))) FUZZ_CHECK(carriers[e.id] == 1);
  });
}

// The merge list is what it was with some merges taken out, order kept.
void check_merges_subsequence(const Snapshot& before, const Editor& editor) {
  std::size_t i = 0;
  for (const Merge& m : editor.merges()) {
    while (i < before.merges.size() && (before.merges[i].first != m.left || before.merges[i].second != m.right)) ++i;
    FUZZ_CHECK(i < before.merges.size());
    ++i;
  }
}

// The ids are exactly 0..n-1.
void check_dense(const Editor& editor) {
  std::vector<TokenId> ids;
  editor.vocab().for_each([&](const VocabEntry& e) { ids.push_back(e.id); });
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size(); ++i) FUZZ_CHECK(ids[i] == i);
}

void check_removal(const RemovalRecord& record, const Editor& editor) {
  FUZZ_CHECK(!record.removed_tokens.empty() && record.removed_tokens.front() == record.root_token);
  const std::set<std::string> removed(record.removed_tokens.begin(), record.removed_tokens.end());
  for (const std::string& s : removed) FUZZ_CHECK(!editor.vocab().contains(s));
  // No merge is left with a removed input.
  for (const Merge& m : editor.merges()) {
    FUZZ_CHECK(!removed.contains(std::string(m.left)) && !removed.contains(std::string(m.right)));
  }
}

std::set<std::string> removed_by(const std::vector<RemovalRecord>& records) {
  std::set<std::string> out;
  for (const RemovalRecord& r : records) out.insert(r.removed_tokens.begin(), r.removed_tokens.end());
  return out;
}

// ---- the run

class Run {
 public:
  Run(Editor editor, bool own_index, std::optional<std::string> source_json)
      : editor_(std::move(editor)), own_index_(own_index), source_json_(std::move(source_json)) {}

  void check(const std::set<std::string>& touched = {}) { check_editor(editor_, own_index_, touched); }

  void step(Input& in) {
    const std::uint8_t op = in.byte() % 10;
    switch (op) {
      case 0: return step_add(in);
      case 1: return step_add_atomic(in);
      case 2: return step_remove(in);
      case 3: return step_remove_many(in);
      case 4: return step_shrink(in);
      case 5: return step_reindex();
      case 6: return step_remove_invalid();
      case 7: return step_keep_size(in);
      case 8: return step_merge(in);
      case 9: return step_sync(in);
    }
  }

 private:
  // A string to work on: a Vocabulary token, a prefix or an extension of one,
  // or a new string.
  std::string pick_string(Input& in) {
    const std::uint8_t c = in.byte();
    const std::vector<VocabEntry>& sorted = std::as_const(editor_).vocab().sorted();
    if ((c & 3) == 0 || sorted.empty()) return gen_token(in);
    const std::string token(sorted[in.byte() % sorted.size()].token);
    if ((c & 3) == 1) return token;
    if ((c & 3) == 2) return token + std::string(kPieces[in.byte() % std::size(kPieces)]);
    const std::vector<std::size_t> bounds = char_boundaries(token);
    return token.substr(0, bounds[in.byte() % bounds.size()]);
  }

  std::vector<std::string> pick_strings(Input& in) {
    std::vector<std::string> out(in.byte() % 5);
    for (std::string& s : out) s = pick_string(in);
    return out;
  }

  TokenId pick_id(Input& in) {
    const std::uint8_t c = in.byte();
    const std::vector<VocabEntry>& sorted = std::as_const(editor_).vocab().sorted();
    switch (c & 3) {
      case 0: return 0;
      case 1: return sorted.empty() ? 1 : sorted[in.byte() % sorted.size()].id;
      case 2: return 4294967295u;
      default: return c >> 2;
    }
  }

  // The merge source: the given JSON, or a generated document.
  std::optional<Editor> source(Input& in) {
    auto editor = editor_from_json(source_json_ ? *source_json_ : gen_document(in));
    if (!editor) return std::nullopt;
    return std::move(*editor);
  }

  void step_add(Input& in) {
    const std::string token = pick_string(in);
    check_context() = "add_token " + quoted(token);
    const Snapshot before = snapshot(editor_);
    const AdditionRecord record = add_token(editor_, token);
    FUZZ_CHECK(record.added == !before.vocab.contains(token));
    FUZZ_CHECK(editor_.vocab().contains(token));
    check_kept(before, editor_, {});
    check_fresh_ids(before, editor_);
    const Recomputed now = recompute(editor_.merges());
    for (const auto& [left, right] : record.added_merges) FUZZ_CHECK(now.pairs.contains({left, right}));
    // A new token of two or more characters is built by some merge.
    if (record.added && char_count(token) >= 2) FUZZ_CHECK(now.first_producer.contains(token));
    check({token});
  }

  void step_add_atomic(Input& in) {
    const std::string token = pick_string(in);
    check_context() = "add_token_atomic " + quoted(token);
    const Snapshot before = snapshot(editor_);
    FUZZ_CHECK(add_token_atomic(editor_, token) == !before.vocab.contains(token));
    FUZZ_CHECK(editor_.vocab().contains(token));
    FUZZ_CHECK(editor_.merges().size() == before.merges.size());
    check_kept(before, editor_, {});
    check_fresh_ids(before, editor_);
    check({token});
  }

  void step_remove(Input& in) {
    const std::string token = pick_string(in);
    check_context() = "remove_token " + quoted(token);
    const Snapshot before = snapshot(editor_);
    const RemovalRecord record = remove_token(editor_, token);
    check_removal(record, editor_);
    FUZZ_CHECK(editor_.merges().size() + record.removed_merges.size() == before.merges.size());
    check_merges_subsequence(before, editor_);
    check_kept(before, editor_, removed_by({record}));
    std::set<std::string> touched(record.removed_tokens.begin(), record.removed_tokens.end());
    check(touched);
  }

  void step_remove_many(Input& in) {
    const std::vector<std::string> tokens = pick_strings(in);
    check_context() = "remove_tokens " + listed(tokens);
    const Snapshot before = snapshot(editor_);
    const std::vector<RemovalRecord> records = remove_tokens(editor_, tokens);
    std::size_t merges_removed = 0;
    for (const RemovalRecord& r : records) {
      check_removal(r, editor_);
      merges_removed += r.removed_merges.size();
    }
    FUZZ_CHECK(editor_.merges().size() + merges_removed == before.merges.size());
    check_merges_subsequence(before, editor_);
    const std::set<std::string> gone = removed_by(records);
    check_kept(before, editor_, gone);
    std::set<std::string> touched(tokens.begin(), tokens.end());
    touched.insert(gone.begin(), gone.end());
    check(touched);
  }

  void step_shrink(Input& in) {
    const std::uint64_t count = in.byte() % 8;
    const TokenId min_id = pick_id(in);
    check_context() = "shrink " + std::to_string(count) + " from id " + std::to_string(min_id);
    const Snapshot before = snapshot(editor_);
    const ShrinkRecord record = shrink(editor_, count, min_id);
    FUZZ_CHECK(record.initial_vocab_size == before.vocab.size());
    FUZZ_CHECK(record.final_vocab_size == editor_.vocab().size());
    FUZZ_CHECK(record.final_merges_count == editor_.merges().size());
    FUZZ_CHECK(record.initial_merges_count - record.final_merges_count == record.total_merges_removed);
    FUZZ_CHECK(record.tokens_removed_count <= count);
    check_merges_subsequence(before, editor_);
    // Whatever is left kept its id.
    std::set<std::string> gone;
    for (const auto& [token, id] : before.vocab) {
      if (!editor_.vocab().contains(token)) gone.insert(token);
    }
    check_kept(before, editor_, gone);
    check(gone);
  }

  void step_reindex() {
    check_context() = "reindex_vocab";
    const Snapshot before = snapshot(editor_);
    const ReindexRecord record = reindex_vocab(editor_);
    check_dense(editor_);
    FUZZ_CHECK(record.vocab_size == before.vocab.size());
    // The new id is the rank in the old (id, bytes) order.
    std::vector<std::pair<TokenId, std::string>> order;
    for (const auto& [token, id] : before.vocab) order.emplace_back(id, token);
    std::sort(order.begin(), order.end());
    const auto after = vocab_of(editor_);
    FUZZ_CHECK(after.size() == order.size());
    for (std::size_t rank = 0; rank < order.size(); ++rank) FUZZ_CHECK(after.at(order[rank].second) == rank);
    // An added-token entry naming a token by its old id follows the token.
    const std::vector<Value>& entries = std::as_const(editor_).document().added_tokens;
    FUZZ_CHECK(entries.size() == before.added.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const AddedEntry& was = before.added[i];
      std::optional<std::uint32_t> want = was.id;
      if (was.content && was.id) {
        auto it = before.vocab.find(*was.content);
        if (it != before.vocab.end() && it->second == *was.id) want = after.at(*was.content);
      }
      FUZZ_CHECK(entry_id(entries[i]) == want);
    }
    FUZZ_CHECK(editor_.merges().size() == before.merges.size());
    check();
    check_context() = "reindex_vocab again";
    FUZZ_CHECK(reindex_vocab(editor_).ids_remapped == 0);
  }

  void step_remove_invalid() {
    check_context() = "remove_invalid_merges";
    const Snapshot before = snapshot(editor_);
    const std::uint64_t removed = remove_invalid_merges(editor_);
    FUZZ_CHECK(validate_merges(editor_).invalid_count == 0);
    FUZZ_CHECK(editor_.merges().size() + removed == before.merges.size());
    check_merges_subsequence(before, editor_);
    FUZZ_CHECK(vocab_of(editor_) == before.vocab);
    check();
  }

  void step_keep_size(Input& in) {
    const std::vector<std::string> tokens = pick_strings(in);
    std::optional<std::vector<std::string>> whitelist;
    if (in.byte() & 1) whitelist = pick_strings(in);
    check_context() = "add_tokens_keep_size " + listed(tokens) + " whitelist " +
                      (whitelist ? listed(*whitelist) : "none");
    const Snapshot before = snapshot(editor_);
    const KeepSizeRecord record = add_tokens_keep_size(editor_, tokens, whitelist ? &*whitelist : nullptr);
    FUZZ_CHECK(record.initial_vocab_size == before.vocab.size());
    FUZZ_CHECK(record.final_vocab_size == editor_.vocab().size());
    FUZZ_CHECK(record.tokens_requested == tokens.size());
    FUZZ_CHECK(record.tokens_removed <= record.tokens_added);
    std::set<std::string> gone;
    for (const auto& [token, id] : before.vocab) {
      if (!editor_.vocab().contains(token)) gone.insert(token);
    }
    check_kept(before, editor_, gone, /*readded=*/true);
    check_fresh_ids(before, editor_);
    std::set<std::string> touched(tokens.begin(), tokens.end());
    touched.insert(gone.begin(), gone.end());
    check(touched);
  }

  void step_merge(Input& in) {
    std::optional<Editor> src = source(in);
    const std::uint8_t c = in.byte();
    std::uint64_t max_vocab_size;
    switch (c & 3) {
      case 0: max_vocab_size = 262144; break;
      case 1: max_vocab_size = c >> 2; break;  // 0 is refused
      case 2: max_vocab_size = 4294967295u; break;
      default: max_vocab_size = 4294967296u; break;  // refused
    }
    if (!src) return;
    check_context() = "merge_from, max " + std::to_string(max_vocab_size);
    const Snapshot before = snapshot(editor_, /*with_text=*/true);
    const std::string source_text = write_document(src->document(), KeyOrder::kDeclared);
    const Result<MergeRecord> record = merge_from(editor_, *src, max_vocab_size);
    FUZZ_CHECK(write_document(src->document(), KeyOrder::kDeclared) == source_text);
    if (!record) {
      // A failed merge leaves the target exactly as it was.
      const Snapshot after = snapshot(editor_, /*with_text=*/true);
      FUZZ_CHECK(after.declared == before.declared);
      FUZZ_CHECK(after.sorted == before.sorted);
      FUZZ_CHECK(after.used_ids == before.used_ids);
      FUZZ_CHECK(after.next_id == before.next_id);
      check();
      return;
    }
    check_dense(editor_);
    FUZZ_CHECK(record->final_model_vocab_size == editor_.vocab().size());
    FUZZ_CHECK(record->final_vocab_size <= max_vocab_size);
    // Every merge joins two kept tokens into a kept token, and none repeats.
    std::set<std::pair<std::string_view, std::string_view>> pairs;
    for (const Merge& m : editor_.merges()) {
      FUZZ_CHECK(editor_.vocab().contains(m.left) && editor_.vocab().contains(m.right));
      FUZZ_CHECK(editor_.vocab().contains(std::string(m.left) + std::string(m.right)));
      FUZZ_CHECK(pairs.emplace(m.left, m.right).second);
    }
    check();
  }

  void step_sync(Input& in) {
    std::optional<Editor> src = source(in);
    const TokenId min_id = pick_id(in);
    if (!src) return;
    check_context() = "sync_single_chars from id " + std::to_string(min_id);
    const std::vector<VocabEntry> chars = single_char_tokens(*src);
    const ProgressOutput quiet{[](std::string_view) {}, [] { return ProgressOutput::Clock::time_point(); }};
    const SyncRecord record = sync_single_chars(editor_, chars, min_id, quiet);
    FUZZ_CHECK(record.chars_in_source == chars.size());
    for (const VocabEntry& e : chars) FUZZ_CHECK(editor_.vocab().contains(e.token));
    if (record.chars_added_count > 0) check_dense(editor_);
    FUZZ_CHECK(record.final_vocab_size == editor_.vocab().size());
    std::set<std::string> touched;
    for (const VocabEntry& e : chars) touched.emplace(e.token);
    check(touched);
  }

  Editor editor_;
  bool own_index_;
  std::optional<std::string> source_json_;
};

inline int editor_ops_one(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t flags = in.byte();
  const std::string target_json = (flags & 1) ? in.text(in.u16()) : gen_document(in);
  std::optional<std::string> source_json;
  if (flags & 2) source_json = in.text(in.u16());
  // Text reaches the editor as UTF-8 only (a Python str, a file checked on reading).
  if (!is_valid_utf8(target_json) || (source_json && !is_valid_utf8(*source_json))) return 0;
  auto editor = editor_from_json(target_json);
  if (!editor) return 0;
  // QUORVANE_FUZZ_TRACE=1 prints the document and each operation (to read a failure).
  static const bool trace = std::getenv("QUORVANE_FUZZ_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "target: %s\n", target_json.c_str());
  Run run(std::move(*editor), (flags & 4) != 0, std::move(source_json));
  check_context() = "opening";
  run.check();
  for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
    run.step(in);
    if (trace) std::fprintf(stderr, "done: %s\n", check_context().c_str());
  }
  return 0;
}

}  // namespace quorvane::fuzz::ops

#ifndef QUORVANE_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvane::fuzz::ops::editor_ops_one(data, size);
}
#endif
