// The bound on what an addition stores, and the prefix search it shares with
// add_token.
#include <gtest/gtest.h>

#include <string>

#include "editor/addition/addition.h"
#include "../test_util.h"

namespace quorvane {
namespace {

using testing::tiny_bpe;

TEST(AdditionBytes, CountsWhatTheChainStores) {
  Editor editor = tiny_bpe({"a", "ab", "c"});
  EXPECT_EQ(addition_bytes(editor, "ab"), 0u);   // present
  EXPECT_EQ(addition_bytes(editor, "z"), 1u);    // one character
  EXPECT_EQ(addition_bytes(editor, "abc"), 3u);  // prefix "ab" and suffix "c" present: the token only
  // Prefix "ab", suffix "cd" built by a chain: 2 * 4 for token and characters,
  // then the suffix's prefixes "c" and "cd".
  EXPECT_EQ(addition_bytes(editor, "abcd"), 2 * 4 + 1 + 2u);
  // No prefix: every prefix of the whole token.
  EXPECT_EQ(addition_bytes(editor, "xyz"), 2 * 3 + 1 + 2 + 3u);
  EXPECT_EQ(addition_bytes_worst("abcd"), 2 * 4 + 1 + 2 + 3 + 4u);
  // Characters, not bytes, are the steps: "é" is one step of two bytes.
  EXPECT_EQ(addition_bytes_worst("éé"), 2 * 4 + 2 + 4u);
}

TEST(AdditionBytes, BoundsWhatAddTokenStores) {
  Editor editor = tiny_bpe({"a", "ab"});
  for (const std::string token : {"abcde", "xyzzy", "abab"}) {
    const std::size_t bound = addition_bytes(editor, token);
    std::size_t before = 0, after = 0;
    editor.vocab().for_each([&](const VocabEntry& e) { before += e.token.size(); });
    add_token(editor, token);
    editor.vocab().for_each([&](const VocabEntry& e) { after += e.token.size(); });
    EXPECT_LE(after - before, bound) << token;
    EXPECT_EQ(addition_bytes(editor, token), 0u);
  }
}

TEST(AdditionBytes, PrefixSearchAfterTheLongestTokenIsGone) {
  // The search only tries prefixes as long as some token; erasing must keep
  // that set of lengths right.
  Editor editor = tiny_bpe({"a", "b", "ab", "abababab"});
  editor.vocab().erase("abababab");
  const AdditionRecord r = add_token(editor, "abababx");
  EXPECT_EQ(r.method, "longest_prefix");
  ASSERT_FALSE(r.added_merges.empty());
  EXPECT_EQ(r.added_merges.back().first, "ab");
}

}  // namespace
}  // namespace quorvane
