#include "editor/merge/representation.h"

#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "documents.h"

namespace quorvane {
namespace {

using testing::DocParts;
using testing::editor_of;
using testing::kByteLevelPre;
using testing::kMarkerNorm;
using testing::kNfcMarkerNorm;

std::string replace_by(const std::string& content) {
  return R"({"type":"Replace","pattern":{"String":" "},"content":)" + content + "}";
}

Result<TargetRepresentation> detect(const std::string& normalizer, const std::string& pre_tokenizer = "null") {
  return detect_representation(editor_of({.normalizer = normalizer, .pre_tokenizer = pre_tokenizer}).document());
}

TEST(RepresentationDetect, ByteLevelAnywhereInThePreTokenizerWinsOverAMarker) {
  auto rep = detect(kNfcMarkerNorm, kByteLevelPre);
  ASSERT_TRUE(rep);
  EXPECT_TRUE(rep->byte_level);
  EXPECT_TRUE(rep->apply_nfc);
  EXPECT_EQ(rep->label(), "ByteLevel (Ġ)");
}

TEST(RepresentationDetect, MarkerIsTheFirstStringReplaceDepthFirstInKeyOrder) {
  // A regex pattern and a non-string content supply nothing; the next valid one does.
  auto rep = detect(R"({"type":"Sequence","normalizers":[)"
                    R"({"type":"Replace","pattern":{"Regex":" "},"content":"#"},)" +
                    replace_by("5") + "," + replace_by(R"("▁")") + "," + replace_by(R"("_")") + "]}");
  ASSERT_TRUE(rep);
  EXPECT_FALSE(rep->byte_level);
  EXPECT_FALSE(rep->apply_nfc);
  EXPECT_EQ(rep->label(), "space marker (▁)");
  // Members are searched in key order, not text order.
  EXPECT_EQ(detect(R"({"z":)" + replace_by(R"("z")") + R"(,"a":)" + replace_by(R"("a")") + "}")->marker, "a");
  EXPECT_EQ(detect(replace_by(R"("")"))->label(), "space marker ()");
}

TEST(RepresentationDetect, NeitherByteLevelNorMarkerIsUnsupported) {
  const char* message = "Unsupported target: no ByteLevel pre-tokenizer or space marker found";
  EXPECT_EQ(detect("null").error().message, message);
  EXPECT_EQ(detect(R"({"type":"Replace","pattern":{"Regex":" "},"content":"▁"})").error().message, message);
  EXPECT_EQ(detect(kMarkerNorm, R"({"type":"Metaspace"})").value().marker, "▁");
}

TEST(ByteLevelTable, MapsEveryByteToADistinctCharacter) {
  const auto& table = byte_level_table();
  EXPECT_EQ(table[0], U'\u0100');
  EXPECT_EQ(table[' '], U'Ġ');
  EXPECT_EQ(table['\n'], U'\u010A');
  EXPECT_EQ(table['A'], U'A');
  EXPECT_EQ(table[127], U'\u0121');
  EXPECT_EQ(table[160], U'\u0142');
  EXPECT_EQ(table[172], U'\u00AC');
  EXPECT_EQ(table[173], U'\u0143');
  EXPECT_EQ(std::set<char32_t>(table.begin(), table.end()).size(), 256u);
}

TEST(ByteFallback, SixBytesWithAnUnsignedHexByte) {
  EXPECT_EQ(byte_fallback_value("<0x41>"), 0x41);
  EXPECT_EQ(byte_fallback_value("<0xfF>"), 0xFF);
  EXPECT_EQ(byte_fallback_value("<0x+F>"), 0x0F);
  for (const char* ordinary : {"<0x41", "<0X41>", "<0xG1>", "<0x-1>", "<0x++>", "<0x 1>", "<0x410>", "<0x4>"}) {
    EXPECT_EQ(byte_fallback_value(ordinary), std::nullopt) << ordinary;
  }
}

struct Converted {
  Editor source;  // token_map's keys view its document
  SourceConversion conv;
  std::optional<std::string> form(const std::string& token) const {
    auto it = conv.token_map.find(token);
    if (it == conv.token_map.end()) return std::nullopt;
    return std::string(conv.converted_tokens[it->second.form]);
  }
  std::vector<std::string> forms() const { return {conv.converted_tokens.begin(), conv.converted_tokens.end()}; }
};

Converted convert(const DocParts& source, const DocParts& target) {
  Editor s = editor_of(source);
  auto conv = convert_source(s.document(), editor_of(target).document());
  if (!conv) throw std::runtime_error(conv.error().message);
  return {std::move(s), std::move(*conv)};
}

const DocParts kByteLevelTarget{.pre_tokenizer = kByteLevelPre};
const DocParts kMarkerTarget{.normalizer = kMarkerNorm};
const DocParts kNfcTarget{.normalizer = kNfcMarkerNorm};

TEST(ConvertSource, MarkerTextIntoByteLevel) {
  // Ids out of text order: the conversion order is by id.
  auto c = convert({.vocab = {{"<0x41>", 4}, {"A", 1}, {"▁the", 0}, {"é", 2}, {"<0x0A>", 3}, {"<0x+F>", 5},
                              {"<0X41>", 6}, {"<s>", 7}, {"<t>", 8}},
                    .added = R"({"id":7,"content":"<s>","special":true},{"id":8,"content":"<t>","special":"yes"})"},
                   kByteLevelTarget);
  EXPECT_EQ(c.forms(), (std::vector<std::string>{"Ġthe", "A", "Ã©", "Ċ", "ď", "<0X41>", "<t>"}));
  EXPECT_EQ(c.form("<0x41>"), "A");  // shares the form of the lower id 'A'
  EXPECT_EQ(c.form("<s>"), std::nullopt);
  EXPECT_EQ(c.conv.representation, "ByteLevel (Ġ)");
}

TEST(ConvertSource, MarkerTextIntoMarkerTargets) {
  const DocParts source{.vocab = {{"▁the", 0}, {"<0x41>", 1}, {"e\u0301", 2}}};
  auto underscore = convert(source, {.normalizer = replace_by(R"("_")")});
  EXPECT_EQ(underscore.form("▁the"), "_the");
  EXPECT_EQ(underscore.form("<0x41>"), "<0x41>");
  EXPECT_EQ(underscore.form("e\u0301"), "e\u0301");
  EXPECT_EQ(convert(source, kNfcTarget).form("e\u0301"), "é");
  // A source marker other than "▁" is decoded; its "▁" then is plain text.
  auto custom = convert({.vocab = {{"_a▁b", 0}}, .normalizer = replace_by(R"("_")")}, kMarkerTarget);
  EXPECT_EQ(custom.form("_a▁b"), "▁a▁b");
}

TEST(ConvertSource, EmptySourceMarkerLeavesTokensAsTheyStand) {
  auto c = convert({.vocab = {{"ab", 0}, {"a▁b", 1}}, .normalizer = replace_by(R"("")")}, kByteLevelTarget);
  EXPECT_EQ(c.form("ab"), "ab");
  EXPECT_EQ(c.form("a▁b"), "aâĸģb");  // the UTF-8 of '▁', byte by byte
}

TEST(ConvertSource, ByteLevelSourceIsReadAsBytes) {
  const DocParts source{.vocab = {{"Ġthe", 0}, {"Ã", 1}, {"©", 2}, {"Ã©", 3}, {"▁x", 4}, {"Ċ", 5}, {"<0x41>", 6}},
                       .pre_tokenizer = kByteLevelPre};
  auto bl = convert(source, kByteLevelTarget);
  EXPECT_EQ(bl.form("Ġthe"), "Ġthe");
  EXPECT_EQ(bl.form("Ã"), "Ã");  // a piece of 'é' stays a byte
  EXPECT_EQ(bl.form("Ã©"), "Ã©");
  EXPECT_EQ(bl.form("▁x"), "Ġx");  // '▁' is outside the table: marker text
  EXPECT_EQ(bl.form("<0x41>"), "A");

  auto marker = convert(source, kNfcTarget);
  EXPECT_EQ(marker.form("Ġthe"), "▁the");
  EXPECT_EQ(marker.form("Ã©"), "é");
  EXPECT_EQ(marker.form("Ċ"), "\n");
  EXPECT_EQ(marker.form("Ã"), std::nullopt);  // no text holds a lone byte
  EXPECT_EQ(marker.form("©"), std::nullopt);
  EXPECT_EQ(marker.form("▁x"), "▁x");

  // Every byte's character comes back unchanged through a ByteLevel target.
  DocParts all{.pre_tokenizer = kByteLevelPre};
  std::string s;
  for (char32_t c : byte_level_table()) {
    s.clear();
    if (c < 0x80) s += static_cast<char>(c);
    else s += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    all.vocab.emplace_back(s, static_cast<long long>(all.vocab.size()));
  }
  auto round = convert(all, kByteLevelTarget);
  for (const auto& [token, id] : all.vocab) EXPECT_EQ(round.form(token), token);
}

TEST(ConvertSource, BridgesBuildEachBaseFormOneCharacterAtATime) {
  // 'ab' is a product, so only 'é' and '▁é' are multi-character base tokens.
  const DocParts source{.vocab = {{"a", 0}, {"b", 1}, {"ab", 2}, {"é", 3}, {"▁é", 4}}, .merges = {{"a", "b"}}};
  auto c = convert(source, kByteLevelTarget);
  EXPECT_EQ(c.conv.bridge_merges,
            (std::vector<Merge>{{"Ã", "©"}, {"Ġ", "Ã"}, {"ĠÃ", "©"}}));
  EXPECT_EQ(c.conv.bridge_tokens, (StringViewSet{"Ã©", "ĠÃ", "ĠÃ©"}));
  auto marker = convert(source, kMarkerTarget);
  EXPECT_TRUE(marker.conv.bridge_merges.empty());
  EXPECT_TRUE(marker.conv.bridge_tokens.empty());
}

}  // namespace
}  // namespace quorvane
