// add_tokens_keep_size against a plain version written straight from its
// definition: the protected set built by hand, and every victim chosen by a
// fresh walk of the whole Vocabulary with a full sort. Additions and cascades
// are the core's own on both sides (editing_equivalence_test checks those), so
// any difference comes from the victim queue. Random small documents with
// shared ids, special shapes, "▁", multi-byte characters and whitelists must
// end with identical records and identical documents.
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/addition/addition.h"
#include "editor/management/document/json_writer.h"
#include "editor/management/fixed_size/fixed_size.h"
#include "editor/removal/removal.h"
#include "../../test_util.h"

namespace quorvane {
namespace {

const std::string kMarker = "\xE2\x96\x81";

std::size_t chars_in(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

bool special_shape(const std::string& s) {
  return !s.empty() && ((s.front() == '[' && s.back() == ']') || (s.front() == '<' && s.back() == '>'));
}

std::optional<std::string> plain_victim(const Editor& editor, const std::set<std::string>& protected_set) {
  std::set<std::string> products;
  for (const Merge& m : editor.merges()) products.insert(std::string(m.left) + std::string(m.right));
  struct Row {
    std::size_t len;
    bool produced;
    std::string token;
  };
  std::vector<Row> rows;
  for (const VocabEntry& e : editor.vocab().sorted()) {
    const std::string t(e.token);
    if (protected_set.count(t)) continue;
    rows.push_back({chars_in(t), products.count(t) > 0, t});
  }
  if (rows.empty()) return std::nullopt;
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.len != b.len) return a.len > b.len;
    return a.produced && !b.produced;
  });
  return rows.front().token;
}

KeepSizeRecord plain_keep_size(Editor& editor, const std::vector<std::string>& tokens,
                               const std::vector<std::string>* whitelist) {
  KeepSizeRecord r;
  const std::uint64_t start = editor.vocab().size();
  r.initial_vocab_size = start;
  r.tokens_requested = tokens.size();
  std::set<std::string> protected_set;
  if (whitelist) protected_set.insert(whitelist->begin(), whitelist->end());
  for (const VocabEntry& e : editor.vocab().sorted()) {
    const std::string t(e.token);
    if (chars_in(t) == 1 || special_shape(t)) protected_set.insert(t);
  }
  protected_set.insert(kMarker);
  for (const std::string& t : tokens) {
    if (editor.vocab().contains(t)) continue;
    add_token(editor, t);
    ++r.tokens_added;
    if (editor.vocab().size() > start) {
      if (auto victim = plain_victim(editor, protected_set)) {
        remove_token(editor, *victim);
        ++r.tokens_removed;
      }
    }
  }
  r.final_vocab_size = editor.vocab().size();
  return r;
}

class Fuzz {
 public:
  explicit Fuzz(unsigned seed) : rng_(seed) {}

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string word(int max_chars) {
    static const char* kChars[] = {"a", "b", "c", "\xC3\xA9", "\xE6\x97\xA5", "<", ">", "[", "]", "\xE2\x96\x81"};
    std::string s;
    const int n = pick(0, max_chars);
    for (int i = 0; i < n; ++i) s += kChars[pick(0, 9)];
    return s;
  }

  // Random words, and often the tokens being added: with those kept, the
  // victims come from what their chains inserted and what they made
  // merge-produced.
  std::vector<std::string> whitelist(const std::vector<std::string>& tokens, const Editor& editor) {
    std::vector<std::string> out = words(4, 4, editor);
    const int keep = pick(0, 2);
    for (const std::string& t : tokens) {
      if (pick(0, 2) < keep) out.push_back(t);
    }
    return out;
  }

  std::string document(int tokens, int merges) {
    std::map<std::string, long long> vocab;
    const int n = pick(0, tokens);
    for (int i = 0; i < n; ++i) vocab[word(5)] = pick(0, tokens + 6);  // ids may be shared
    std::vector<std::string> pool;
    for (const auto& [t, id] : vocab) pool.push_back(t);
    pool.push_back(word(2));  // an input that may be absent
    std::vector<std::pair<std::string, std::string>> list;
    const int m = pick(0, merges);
    for (int i = 0; i < m; ++i) {
      list.emplace_back(pool[pick(0, static_cast<int>(pool.size()) - 1)],
                        pool[pick(0, static_cast<int>(pool.size()) - 1)]);
      if (pick(0, 5) == 0) list.push_back(list.back());
    }
    // Merges that build some of the Vocabulary's own tokens, so that many
    // candidates are merge-produced; and merges (word, character) whose
    // product is absent, which a later chain reuses instead of appending.
    for (const auto& [t, id] : vocab) {
      const std::size_t cut = t.find_first_of("\x61\x62\x63", 1);
      if (cut != std::string::npos && pick(0, 1) == 0) list.emplace_back(t.substr(0, cut), t.substr(cut));
      if (pick(0, 2) == 0) list.emplace_back(t, word(1));
    }
    for (int i = pick(0, 6); i > 0; --i) vocab.emplace(word(1), pick(0, tokens + 6));
    for (int i = pick(0, 4); i > 0; --i) list.emplace_back(word(3), word(1));  // an absent left input
    return testing::bpe_json({vocab.begin(), vocab.end()}, list);
  }

  std::vector<std::string> words(int max_count, int max_chars, const Editor& editor) {
    std::vector<std::string> out;
    const int n = pick(0, max_count);
    const auto& sorted = editor.vocab().sorted();
    for (int i = 0; i < n; ++i) {
      auto present = [&] { return std::string(sorted[pick(0, static_cast<int>(sorted.size()) - 1)].token); };
      const auto& merges = editor.merges();
      const int kind = sorted.empty() ? 0 : pick(0, 7);
      if (kind == 1) {
        out.push_back(present());
      } else if (kind == 2) {
        out.push_back(present() + present());  // chains through present tokens
      } else if (kind == 3) {
        out.push_back(word(2) + present());
      } else if (kind == 4) {
        out.push_back(present() + present() + word(2));  // a chain over the rest
      } else if (kind == 5 && !merges.empty()) {
        // A chain that meets an existing pair and so appends no merge for it.
        const Merge& m = merges[pick(0, static_cast<int>(merges.size()) - 1)];
        out.push_back(std::string(m.left) + std::string(m.right) + word(2));
      } else {
        out.push_back(word(max_chars));
      }
      if (pick(0, 8) == 0) out.push_back(out.back());  // duplicate
    }
    return out;
  }

 private:
  std::mt19937 rng_;
};

Editor open(const std::string& json) {
  auto editor = editor_from_json(json);
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

void expect_same(const KeepSizeRecord& a, const KeepSizeRecord& b) {
  EXPECT_EQ(a.initial_vocab_size, b.initial_vocab_size);
  EXPECT_EQ(a.final_vocab_size, b.final_vocab_size);
  EXPECT_EQ(a.tokens_requested, b.tokens_requested);
  EXPECT_EQ(a.tokens_added, b.tokens_added);
  EXPECT_EQ(a.tokens_removed, b.tokens_removed);
}

std::string text(const Editor& editor) { return write_document(editor.document(), KeyOrder::kDeclared); }

TEST(KeepSizeEquivalence, RandomDocumentsChooseTheSameVictims) {
  std::uint64_t victims = 0;
  for (unsigned seed = 0; seed < 600; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Fuzz fuzz(seed);
    const std::string json = fuzz.document(16, 14);
    Editor fast = open(json);
    Editor plain = open(json);
    for (int call = 0; call < 5; ++call) {
      SCOPED_TRACE("call " + std::to_string(call));
      const std::vector<std::string> tokens = fuzz.words(12, 6, plain);
      std::optional<std::vector<std::string>> whitelist;
      if (fuzz.pick(0, 2) > 0) whitelist = fuzz.whitelist(tokens, plain);
      const auto* list = whitelist ? &*whitelist : nullptr;
      const KeepSizeRecord a = add_tokens_keep_size(fast, tokens, list);
      const KeepSizeRecord b = plain_keep_size(plain, tokens, list);
      expect_same(a, b);
      victims += b.tokens_removed;
      ASSERT_EQ(text(fast), text(plain));
    }
  }
  EXPECT_GT(victims, 1000u);  // the comparison exercised the queue
}

TEST(KeepSizeEquivalence, LongCallsWhereTheQueueOutlivesManyEdits) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Fuzz fuzz(1000 + seed);
    const std::string json = fuzz.document(60, 80);
    Editor fast = open(json);
    Editor plain = open(json);
    const std::vector<std::string> tokens = fuzz.words(300, 8, plain);
    const std::vector<std::string> whitelist = fuzz.whitelist(tokens, plain);
    expect_same(add_tokens_keep_size(fast, tokens, &whitelist), plain_keep_size(plain, tokens, &whitelist));
    ASSERT_EQ(text(fast), text(plain));
  }
}

}  // namespace
}  // namespace quorvane
