// The encoder against hand-worked cases of the client's BPE model.
#include "editor/encode/encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/encode/unreachable.h"
#include "editor/management/state/editor.h"
#include "../test_util.h"

namespace quorvane {
namespace {

using testing::bpe_json;
using testing::pieces;

// A document whose model carries `settings` (raw JSON members) besides its
// vocabulary (ids in order) and merges.
Editor with_model(const std::vector<std::string>& tokens, const std::vector<std::pair<std::string, std::string>>& merges,
                  const std::string& settings, const std::string& added = "") {
  std::vector<std::pair<std::string, long long>> vocab;
  for (std::size_t i = 0; i < tokens.size(); ++i) vocab.emplace_back(tokens[i], static_cast<long long>(i));
  std::string json = bpe_json(vocab, merges, added);
  if (!settings.empty()) json.insert(json.find("\"vocab\""), settings + ",");
  auto editor = editor_from_json(json);
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

using Pieces = std::vector<std::string>;

TEST(Encoder, LowestRankFirstAndTiesByPosition) {
  // "aaa": (a,a) fires at position 0 first, leaving "aa" "a".
  Editor e = with_model({"a", "b", "aa", "ab", "aab"}, {{"a", "a"}, {"a", "b"}, {"aa", "b"}}, "");
  EXPECT_EQ(pieces(e, "aaa"), (Pieces{"aa", "a"}));
  // (a,b) would fire on "ab" but (a,a) ranks first and leaves (aa,b).
  EXPECT_EQ(pieces(e, "aab"), (Pieces{"aab"}));
  EXPECT_EQ(pieces(e, ""), Pieces{});
}

TEST(Encoder, RepeatedPairKeepsItsLastRank) {
  // (a,b) at ranks 0 and 2, (b,c) at 1: the later rank wins, so bc fires first.
  Editor e = with_model({"a", "b", "c", "ab", "bc"}, {{"a", "b"}, {"b", "c"}, {"a", "b"}}, "");
  EXPECT_EQ(pieces(e, "abc"), (Pieces{"a", "bc"}));
}

TEST(Encoder, ByteFallbackUnknownAndDroppedCharacters) {
  // 'é' is two bytes, both with tokens; 'ß' has none of its bytes.
  Editor fallback = with_model({"<unk>", "a", "<0xC3>", "<0xA9>"}, {},
                               R"("unk_token":"<unk>","byte_fallback":true,"fuse_unk":true)");
  EXPECT_EQ(pieces(fallback, "aé"), (Pieces{"a", "<0xC3>", "<0xA9>"}));
  EXPECT_EQ(pieces(fallback, "ßßa"), (Pieces{"<unk>", "a"}));  // fused
  // A pending unknown is not flushed before byte tokens, as the client does.
  EXPECT_EQ(pieces(fallback, "ßé"), (Pieces{"<0xC3>", "<0xA9>", "<unk>"}));

  Editor unfused = with_model({"<unk>", "a"}, {}, R"("unk_token":"<unk>")");
  EXPECT_EQ(pieces(unfused, "ßßa"), (Pieces{"<unk>", "<unk>", "a"}));

  Editor plain = with_model({"a"}, {}, "");
  EXPECT_EQ(pieces(plain, "aßa"), (Pieces{"a", "a"}));

  Editor missing_unk = with_model({"a"}, {}, R"("unk_token":"<unk>")");
  std::vector<TokenId> ids;
  EXPECT_FALSE(missing_unk.encoder().tokenize("ß", ids));
  EXPECT_TRUE(missing_unk.encoder().tokenize("a", ids));
}

TEST(Encoder, PrefixSuffixAndIgnoreMerges) {
  Editor prefixed = with_model({"a", "##b", "##c", "ab", "abc"}, {{"a", "##b"}, {"ab", "##c"}},
                               R"("continuing_subword_prefix":"##")");
  EXPECT_EQ(pieces(prefixed, "abc"), (Pieces{"abc"}));
  EXPECT_EQ(pieces(prefixed, "acb"), (Pieces{"a", "##c", "##b"}));

  Editor suffixed = with_model({"a", "b", "b</w>", "ab</w>"}, {{"a", "b</w>"}}, R"("end_of_word_suffix":"</w>")");
  EXPECT_EQ(pieces(suffixed, "ab"), (Pieces{"ab</w>"}));
  EXPECT_EQ(pieces(suffixed, "ba"), Pieces{"b"});  // "a</w>" is no token: dropped

  // "abc" is a token no merge builds; ignore_merges returns it whole.
  const std::vector<std::string> vocab{"a", "b", "c", "ab", "abc"};
  EXPECT_EQ(pieces(with_model(vocab, {{"a", "b"}}, ""), "abc"), (Pieces{"ab", "c"}));
  EXPECT_EQ(pieces(with_model(vocab, {{"a", "b"}}, R"("ignore_merges":true)"), "abc"), (Pieces{"abc"}));
}

TEST(Encoder, FollowsEditsAndRevivesWaitingMerges) {
  // (a,b) waits for its product "ab".
  Editor e = with_model({"a", "b"}, {{"a", "b"}}, "");
  EXPECT_EQ(pieces(e, "ab"), (Pieces{"a", "b"}));
  e.vocab().insert(e.store("ab"), 2);  // a mutable access drops the encoder
  EXPECT_EQ(pieces(e, "ab"), (Pieces{"ab"}));

  Editor owner = with_model({"a", "b"}, {{"a", "b"}}, "");
  Encoder live(owner.document());
  live.add_token(owner.store("ab"), 7);
  std::vector<TokenId> ids;
  ASSERT_TRUE(live.tokenize("ab", ids));
  EXPECT_EQ(ids, (std::vector<TokenId>{7}));
}

TEST(Unreachable, ReportsWhatTheTokenEncodesToAndSkipsWholeTokens) {
  // "abc" encodes as ab + c; "<0x41>" and "<s>" are matched whole.
  Editor e = with_model({"a", "b", "c", "ab", "abc", "<0x41>", "<s>", "bc"}, {{"a", "b"}, {"b", "c"}},
                        R"("byte_fallback":true)", R"({"id":6,"content":"<s>","special":true})");
  const auto found = unreachable_tokens(e);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].token, "abc");
  EXPECT_EQ(found[0].id, 4u);
  EXPECT_EQ(found[0].pieces, (Pieces{"ab", "c"}));
}

}  // namespace
}  // namespace quorvane
