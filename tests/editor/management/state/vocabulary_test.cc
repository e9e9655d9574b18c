// The vocabulary's order is cached and kept through inserts: it must always
// be what sorting the live entries from scratch gives. Its index is built on
// first use, by whichever reader comes first, and must come out the same when
// readers on several threads come at once.
#include "editor/management/state/vocabulary.h"

#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

std::vector<std::string> tokens(const std::vector<VocabEntry>& entries) {
  std::vector<std::string> out;
  for (const VocabEntry& e : entries) out.emplace_back(e.token);
  return out;
}

TEST(Vocabulary, OrderFollowsInsertsErasesAndIdChanges) {
  std::vector<std::string> texts = {"m", "b", "\xC3\xA9", "a", "zz", "ab", "\x7F", "ba", "c", "aa"};
  Vocabulary vocab;
  for (std::size_t i = 0; i < 4; ++i) vocab.load_append(texts[i], static_cast<TokenId>(i));
  EXPECT_EQ(tokens(vocab.sorted()), (std::vector<std::string>{"a", "b", "m", "\xC3\xA9"}));
  for (std::size_t i = 4; i < 7; ++i) ASSERT_TRUE(vocab.insert(texts[i], static_cast<TokenId>(i)));
  EXPECT_EQ(tokens(vocab.sorted()), (std::vector<std::string>{"a", "ab", "b", "m", "zz", "\x7F", "\xC3\xA9"}));
  EXPECT_EQ(tokens(vocab.sorted()), tokens(vocab.compute_sorted()));
  EXPECT_TRUE(vocab.has_sorted());
  ASSERT_TRUE(vocab.erase("m"));
  ASSERT_TRUE(vocab.insert(texts[7], 7));
  EXPECT_EQ(tokens(vocab.sorted()), (std::vector<std::string>{"a", "ab", "b", "ba", "zz", "\x7F", "\xC3\xA9"}));
  for (const auto& handle : vocab.handles()) {
    if (handle.token == "b") vocab.set_id(handle.slot, 42);
  }
  EXPECT_EQ(vocab.sorted()[2].id, 42u);

  // An order computed elsewhere is kept unless the cache was filled meanwhile;
  // inserts after it are merged in.
  Vocabulary other;
  for (std::size_t i = 0; i < texts.size(); ++i) other.load_append(texts[i], static_cast<TokenId>(i));
  EXPECT_EQ(other.size(), texts.size());
  EXPECT_FALSE(other.has_sorted());
  other.install_sorted(other.compute_sorted());
  ASSERT_TRUE(other.insert("0", 10));
  EXPECT_EQ(tokens(other.sorted()).front(), "0");
  EXPECT_EQ(tokens(other.sorted()), tokens(other.compute_sorted()));
}

TEST(Vocabulary, ReadersOnSeveralThreadsShareOneIndexBuiltOnFirstUse) {
  // Every tenth token is given twice, the second time with another id: the
  // index keeps the last id and drops the earlier entry, which several
  // builders at once would each do to the same slots.
  constexpr int kTokens = 60000;
  std::vector<std::string> texts;
  for (int i = 0; i < kTokens; ++i) texts.push_back("t" + std::to_string(i));
  Vocabulary vocab;
  for (int i = 0; i < kTokens; ++i) vocab.load_append(texts[i], static_cast<TokenId>(i));
  for (int i = 0; i < kTokens; i += 10) vocab.load_append(texts[i], static_cast<TokenId>(kTokens + i));
  auto id_of = [](int i) { return static_cast<TokenId>(i % 10 == 0 ? kTokens + i : i); };

  constexpr int kReaders = 4;
  std::latch start(kReaders + 1);
  std::vector<std::size_t> sizes(kReaders);
  std::vector<int> wrong(kReaders);
  std::optional<Vocabulary> copy;
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      start.arrive_and_wait();
      sizes[r] = vocab.size();
      for (int i = r; i < kTokens; i += kReaders) wrong[r] += vocab.find(texts[i]) != id_of(i);
    });
  }
  start.arrive_and_wait();
  copy.emplace(vocab);  // while the readers build the index
  for (std::thread& reader : readers) reader.join();
  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(sizes[r], static_cast<std::size_t>(kTokens));
    EXPECT_EQ(wrong[r], 0);
  }
  std::size_t seen = 0;
  vocab.for_each([&](const VocabEntry&) { ++seen; });
  EXPECT_EQ(seen, static_cast<std::size_t>(kTokens));
  EXPECT_EQ(copy->size(), static_cast<std::size_t>(kTokens));
  EXPECT_EQ(tokens(copy->sorted()), tokens(vocab.sorted()));
  EXPECT_EQ(copy->find("t0"), TokenId{kTokens});
}

}  // namespace
}  // namespace quorvane
