// The editing operations against a plain implementation written straight from
// their definitions: whole-list scans, indexes recomputed after every change.
// Random documents and random operation sequences must give identical records
// and identical documents.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/addition/addition.h"
#include "editor/management/document/json_writer.h"
#include "editor/management/queries/queries.h"
#include "editor/reindex/reindex.h"
#include "editor/removal/removal.h"
#include "editor/shrink/shrink.h"
#include "test_util.h"

namespace quorvane {
namespace {

using Pair = std::pair<std::string, std::string>;

std::vector<std::string> chars_of(const std::string& s) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t j = i + 1;
    while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
    out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

struct Plain {
  std::map<std::string, TokenId> vocab;
  std::vector<Pair> merges;
  std::set<TokenId> used;
  std::vector<TokenId> added_ids;
  TokenId next = 0;

  void reset_ids() {
    used.clear();
    for (auto& [t, id] : vocab) used.insert(id);
    for (TokenId id : added_ids) used.insert(id);
    next = static_cast<TokenId>((used.empty() ? 0 : *used.rbegin()) + 1u);
  }

  TokenId allocate() {
    TokenId i = next;
    while (used.count(i)) ++i;
    used.insert(i);
    next = i + 1;
    return i;
  }

  std::map<std::string, std::size_t> product_index() const {
    std::map<std::string, std::size_t> out;
    for (std::size_t p = 0; p < merges.size(); ++p) out.emplace(merges[p].first + merges[p].second, p);
    return out;
  }

  std::map<std::string, std::set<std::size_t>> usage_index() const {
    std::map<std::string, std::set<std::size_t>> out;
    for (std::size_t p = 0; p < merges.size(); ++p) {
      out[merges[p].first].insert(p);
      out[merges[p].second].insert(p);
    }
    return out;
  }

  void ensure(const std::string& t) {
    if (!vocab.count(t)) vocab[t] = allocate();
  }

  void append(const std::string& l, const std::string& r, std::vector<Pair>& added) {
    for (const Pair& m : merges) {
      if (m.first == l && m.second == r) return;
    }
    merges.emplace_back(l, r);
    added.emplace_back(l, r);
  }

  void chain(const std::string& x, std::vector<Pair>& added) {
    auto cs = chars_of(x);
    if (cs.empty()) return;
    ensure(cs[0]);
    std::string current = cs[0];
    for (std::size_t i = 1; i < cs.size(); ++i) {
      ensure(cs[i]);
      append(current, cs[i], added);
      ensure(current + cs[i]);
      current += cs[i];
    }
  }

  AdditionRecord add_token(const std::string& t) {
    AdditionRecord r{t, false, "already_exists", {}};
    if (vocab.count(t)) return r;
    r.added = true;
    auto cs = chars_of(t);
    if (cs.size() == 1) {
      vocab[t] = allocate();
      r.method = "single_char";
      return r;
    }
    std::string prefix;
    std::size_t k = 0;
    for (std::size_t kk = cs.size() - 1; cs.size() >= 2 && kk >= 1; --kk) {
      std::string p;
      for (std::size_t i = 0; i < kk; ++i) p += cs[i];
      if (vocab.count(p)) {
        prefix = p;
        k = kk;
        break;
      }
    }
    if (k > 0) {
      std::string suffix = t.substr(prefix.size());
      if (!vocab.count(suffix)) chain(suffix, r.added_merges);
      append(prefix, suffix, r.added_merges);
      ensure(t);
      r.method = "longest_prefix";
    } else {
      chain(t, r.added_merges);
      ensure(t);
      r.method = "char_chain";
    }
    return r;
  }

  bool add_atomic(const std::string& t) {
    if (vocab.count(t)) return false;
    vocab[t] = allocate();
    return true;
  }

  RemovalRecord cascade(const std::string& root) {
    auto products = product_index();
    auto usage = usage_index();
    std::set<std::string> removal;
    std::set<std::size_t> removed;
    std::vector<std::string> work{root};
    while (!work.empty()) {
      std::string s = work.back();
      work.pop_back();
      if (removal.count(s)) continue;
      removal.insert(s);
      for (std::size_t p : usage[s]) {
        if (removed.insert(p).second) work.push_back(merges[p].first + merges[p].second);
      }
      if (auto it = products.find(s); it != products.end()) removed.insert(it->second);
    }
    RemovalRecord r;
    r.root_token = root;
    for (std::size_t p : removed) r.removed_merges.push_back(merges[p]);
    std::vector<Pair> kept;
    for (std::size_t p = 0; p < merges.size(); ++p) {
      if (!removed.count(p)) kept.push_back(merges[p]);
    }
    merges = kept;
    for (const std::string& s : removal) {
      r.removed_tokens.push_back(s);
      if (auto it = vocab.find(s); it != vocab.end()) {
        used.erase(it->second);
        vocab.erase(it);
      }
    }
    return r;
  }

  std::vector<ShrinkCandidate> select(std::uint64_t count, TokenId min_id) const {
    std::vector<ShrinkCandidate> c;
    for (auto& [t, id] : vocab) {
      if (id < min_id) continue;
      auto n = chars_of(t).size();
      if (n < 2 || is_special_token(t)) continue;
      c.push_back({t, id, n});
    }
    std::stable_sort(c.begin(), c.end(), [](const ShrinkCandidate& a, const ShrinkCandidate& b) {
      if (a.char_length != b.char_length) return a.char_length > b.char_length;
      return a.id > b.id;
    });
    if (c.size() > count) c.resize(count);
    return c;
  }

  ShrinkRecord shrink(std::uint64_t count, TokenId min_id) {
    ShrinkRecord r;
    r.initial_vocab_size = vocab.size();
    r.initial_merges_count = merges.size();
    for (const auto& c : select(count, min_id)) {
      if (!vocab.count(c.token)) continue;
      auto rr = cascade(c.token);
      ++r.tokens_removed_count;
      r.total_tokens_removed += rr.removed_tokens.size();
      r.total_merges_removed += rr.removed_merges.size();
    }
    r.final_vocab_size = vocab.size();
    r.final_merges_count = merges.size();
    return r;
  }

  std::uint64_t reindex() {
    std::vector<std::pair<std::string, TokenId>> es(vocab.begin(), vocab.end());
    std::stable_sort(es.begin(), es.end(), [](auto& a, auto& b) { return a.second < b.second; });
    std::size_t i = 0;
    while (i < es.size() && es[i].second == i) ++i;
    if (i == es.size()) return 0;
    for (std::size_t p = i; p < es.size(); ++p) vocab[es[p].first] = static_cast<TokenId>(p);
    reset_ids();
    return es.size() - i;
  }

  std::string json() const {
    std::vector<std::pair<std::string, long long>> v(vocab.begin(), vocab.end());
    std::string added;
    for (TokenId id : added_ids) added += std::string(added.empty() ? "" : ",") + R"({"id":)" + std::to_string(id) + "}";
    return testing::bpe_json(v, merges, added);
  }
};

std::multiset<std::string> as_set(const std::vector<std::string>& v) { return {v.begin(), v.end()}; }
std::multiset<Pair> as_set(const std::vector<Pair>& v) { return {v.begin(), v.end()}; }

void expect_same(const RemovalRecord& a, const RemovalRecord& b) {
  EXPECT_EQ(a.root_token, b.root_token);
  EXPECT_EQ(as_set(a.removed_tokens), as_set(b.removed_tokens));
  EXPECT_EQ(as_set(a.removed_merges), as_set(b.removed_merges));
}

class Fuzz {
 public:
  explicit Fuzz(unsigned seed) : rng_(seed) {}

  std::string random_string(int max_chars) {
    static const char* kChars[] = {"a", "b", "c", "d", "\xC3\xA9", "\xE6\x97\xA5", "<", ">"};
    std::string s;
    const int n = pick(0, max_chars);
    for (int i = 0; i < n; ++i) s += kChars[pick(0, 7)];
    return s;
  }
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  Plain random_plain() {
    Plain p;
    const int n = pick(0, 14);
    for (int i = 0; i < n; ++i) p.vocab[random_string(4)] = static_cast<TokenId>(pick(0, 20));
    std::vector<std::string> pool;
    for (auto& [t, id] : p.vocab) pool.push_back(t);
    pool.push_back(random_string(2));  // an input that may be absent
    const int m = pick(0, 12);
    for (int i = 0; i < m && !pool.empty(); ++i) {
      p.merges.emplace_back(pool[pick(0, static_cast<int>(pool.size()) - 1)],
                            pool[pick(0, static_cast<int>(pool.size()) - 1)]);
      if (pick(0, 4) == 0) p.merges.push_back(p.merges.back());  // duplicate pair
    }
    if (pick(0, 2) == 0) p.added_ids.push_back(static_cast<TokenId>(pick(0, 30)));
    p.reset_ids();
    return p;
  }

 private:
  std::mt19937 rng_;
};

TEST(EditingEquivalence, RandomOperationSequencesMatchThePlainDefinitions) {
  for (unsigned seed = 0; seed < 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Fuzz fuzz(seed);
    Plain plain = fuzz.random_plain();
    auto opened = editor_from_json(plain.json());
    ASSERT_TRUE(opened) << opened.error().message;
    Editor editor = std::move(*opened);
    for (int step = 0; step < 12; ++step) {
      const int op = fuzz.pick(0, 7);
      SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
      if (op == 0) {
        const std::string t = fuzz.random_string(5);
        AdditionRecord a = add_token(editor, t);
        AdditionRecord b = plain.add_token(t);
        EXPECT_EQ(a.added, b.added);
        EXPECT_EQ(a.method, b.method);
        EXPECT_EQ(a.added_merges, b.added_merges);
      } else if (op == 1) {
        const std::string t = fuzz.random_string(3);
        EXPECT_EQ(add_token_atomic(editor, t), plain.add_atomic(t));
      } else if (op == 2) {
        const std::string t = fuzz.pick(0, 1) ? fuzz.random_string(4) : std::string();
        std::string root = t;
        if (!plain.vocab.empty() && fuzz.pick(0, 2) > 0) {
          auto it = plain.vocab.begin();
          std::advance(it, fuzz.pick(0, static_cast<int>(plain.vocab.size()) - 1));
          root = it->first;
        }
        expect_same(remove_token(editor, root), plain.cascade(root));
      } else if (op == 3) {
        std::vector<std::string> list;
        for (auto& [t, id] : plain.vocab) {
          if (fuzz.pick(0, 2) == 0) list.push_back(t);
        }
        list.push_back(fuzz.random_string(3));
        if (!list.empty()) list.push_back(list.front());
        std::vector<RemovalRecord> expected;
        for (const auto& t : list) {
          if (plain.vocab.count(t)) expected.push_back(plain.cascade(t));
        }
        auto got = remove_tokens(editor, list);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) expect_same(got[i], expected[i]);
      } else if (op == 4) {
        const std::uint64_t count = static_cast<std::uint64_t>(fuzz.pick(0, 6));
        const TokenId min_id = static_cast<TokenId>(fuzz.pick(0, 1) ? 0 : fuzz.pick(0, 25));
        auto sel = select_shrink_candidates(editor, count, min_id);
        auto psel = plain.select(count, min_id);
        ASSERT_EQ(sel.size(), psel.size());
        for (std::size_t i = 0; i < sel.size(); ++i) {
          EXPECT_EQ(sel[i].token, psel[i].token);
          EXPECT_EQ(sel[i].id, psel[i].id);
          EXPECT_EQ(sel[i].char_length, psel[i].char_length);
        }
        ShrinkRecord a = shrink(editor, count, min_id);
        ShrinkRecord b = plain.shrink(count, min_id);
        EXPECT_EQ(a.tokens_removed_count, b.tokens_removed_count);
        EXPECT_EQ(a.total_tokens_removed, b.total_tokens_removed);
        EXPECT_EQ(a.total_merges_removed, b.total_merges_removed);
        EXPECT_EQ(a.final_vocab_size, b.final_vocab_size);
        EXPECT_EQ(a.final_merges_count, b.final_merges_count);
      } else if (op == 5) {
        EXPECT_EQ(reindex_vocab(editor).ids_remapped, plain.reindex());
      } else if (op == 6) {
        const std::uint64_t removed = remove_invalid_merges(editor);
        std::vector<Pair> kept;
        for (auto& m : plain.merges) {
          if (plain.vocab.count(m.first + m.second)) kept.push_back(m);
        }
        EXPECT_EQ(removed, plain.merges.size() - kept.size());
        plain.merges = kept;
      } else {
        const std::string t = fuzz.random_string(4);
        EXPECT_EQ(editor.vocab().find(t).has_value(), plain.vocab.count(t) == 1);
      }
      // Identical documents after every step.
      auto expected = editor_from_json(plain.json());
      ASSERT_TRUE(expected);
      ASSERT_EQ(write_document(editor.document(), KeyOrder::kDeclared),
                write_document(expected->document(), KeyOrder::kDeclared));
      ASSERT_EQ(editor.next_id(), plain.next);
    }
  }
}

TEST(EditingEquivalence, LargeBatchesThatRenumberTheMergeSlots) {
  // Enough merges die in one call for the index to drop its dead slots, and
  // later operations must still see the same list.
  Fuzz fuzz(99);
  Plain plain;
  plain.reset_ids();
  auto opened = editor_from_json(plain.json());
  ASSERT_TRUE(opened);
  Editor editor = std::move(*opened);
  for (int i = 0; i < 1500; ++i) {
    const std::string word = fuzz.random_string(7);
    ASSERT_EQ(add_token(editor, word).added_merges, plain.add_token(word).added_merges);
  }
  ASSERT_GT(plain.merges.size(), 1100u);
  ShrinkRecord a = shrink(editor, 1400, 0);
  ShrinkRecord b = plain.shrink(1400, 0);
  EXPECT_EQ(a.total_merges_removed, b.total_merges_removed);
  EXPECT_GT(a.total_merges_removed, 1024u);
  for (int i = 0; i < 200; ++i) {
    const std::string word = fuzz.random_string(6);
    ASSERT_EQ(add_token(editor, word).added_merges, plain.add_token(word).added_merges);
  }
  expect_same(remove_token(editor, "a"), plain.cascade("a"));
  auto expected = editor_from_json(plain.json());
  ASSERT_TRUE(expected);
  EXPECT_EQ(write_document(editor.document(), KeyOrder::kDeclared),
            write_document(expected->document(), KeyOrder::kDeclared));
}

}  // namespace
}  // namespace quorvane
