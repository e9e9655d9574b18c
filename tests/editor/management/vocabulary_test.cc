// The vocabulary's order is cached and kept through inserts: it must always
// be what sorting the live entries from scratch gives.
#include "editor/management/vocabulary.h"

#include <string>
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

}  // namespace
}  // namespace quorvane
