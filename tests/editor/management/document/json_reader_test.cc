#include "editor/management/document/json_reader.h"

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "../../test_util.h"

namespace quorvane {
namespace {

using testing::bpe_json;

std::string error_of(const std::string& text) {
  auto doc = parse_document(text);
  EXPECT_FALSE(doc.has_value()) << text;
  return doc ? std::string() : doc.error().message;
}

const char* kModel = R"("model":{"type":"BPE","vocab":{},"merges":[]})";

TEST(ParseDocument, ReadsTypedFieldsAndKeepsSectionsGeneric) {
  auto doc = parse_document(R"({
    "version": "1.0", "truncation": null,
    "added_tokens": [{"id": 3, "content": "<s>", "special": true, "extra": [1, 2]}, "loose"],
    "normalizer": {"type": "NFC"},
    "model": {"type": "BPE", "dropout": 1, "unk_token": "<unk>", "byte_fallback": true,
              "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": [["a", "b"]]}
  })");
  ASSERT_TRUE(doc) << doc.error().message;
  EXPECT_EQ(doc->version, "1.0");
  EXPECT_TRUE(doc->truncation.is_null());
  EXPECT_TRUE(doc->pre_tokenizer.is_null());
  ASSERT_NE(doc->normalizer.find("type"), nullptr);
  EXPECT_EQ(*doc->normalizer.find("type")->as_string(), "NFC");
  EXPECT_EQ(doc->model.dropout, 1.0);
  EXPECT_EQ(doc->model.unk_token, "<unk>");
  EXPECT_TRUE(doc->model.byte_fallback);
  EXPECT_FALSE(doc->model.fuse_unk);
  EXPECT_EQ(doc->model.vocab.size(), 3u);
  EXPECT_EQ(doc->model.vocab.find("ab"), 2u);
  ASSERT_EQ(doc->model.merges.size(), 1u);
  EXPECT_EQ(doc->model.merges[0], (Merge{"a", "b"}));
  ASSERT_EQ(doc->added_tokens.size(), 2u);
  EXPECT_EQ(entry_id(doc->added_tokens[0]), 3u);
  EXPECT_EQ(*entry_content(doc->added_tokens[0]), "<s>");
  EXPECT_TRUE(entry_special(doc->added_tokens[0]));
  EXPECT_FALSE(entry_id(doc->added_tokens[1]));
  EXPECT_EQ(entry_content(doc->added_tokens[1]), nullptr);
}

TEST(ParseDocument, AddedTokenIdViewNeedsAnUnsigned32BitInteger) {
  auto doc = parse_document(
      R"({"version":"1","added_tokens":[{"id":7.0},{"id":-1},{"id":4294967295},{"id":4294967296},{"special":1}],)" +
      std::string(kModel) + "}");
  ASSERT_TRUE(doc);
  EXPECT_FALSE(entry_id(doc->added_tokens[0]));
  EXPECT_FALSE(entry_id(doc->added_tokens[1]));
  EXPECT_EQ(entry_id(doc->added_tokens[2]), 4294967295u);
  EXPECT_FALSE(entry_id(doc->added_tokens[3]));
  EXPECT_FALSE(entry_special(doc->added_tokens[4]));
}

TEST(ParseDocument, MissingAndDuplicateFields) {
  EXPECT_EQ(error_of(R"({"added_tokens":[],)" + std::string(kModel) + "}"),
            "missing field `version` at line 1 column 65");
  EXPECT_EQ(error_of(R"({"version":"1",)" + std::string(kModel) + "}").substr(0, 28),
            "missing field `added_tokens`");
  EXPECT_EQ(error_of(R"({"version":"1","added_tokens":[]})").substr(0, 21), "missing field `model`");
  EXPECT_EQ(error_of(R"({"version":"1","added_tokens":[],"model":{"vocab":{},"merges":[]}})").substr(0, 20),
            "missing field `type`");
  EXPECT_EQ(error_of(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","merges":[]}})").substr(0, 21),
            "missing field `vocab`");
  EXPECT_EQ(error_of(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{}}})").substr(0, 22),
            "missing field `merges`");
  EXPECT_EQ(error_of(R"({"version":"1","version":"2","added_tokens":[],)" + std::string(kModel) + "}").substr(0, 25),
            "duplicate field `version`");
  EXPECT_EQ(error_of(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","type":"x","vocab":{},"merges":[]}})")
                .substr(0, 22),
            "duplicate field `type`");
}

TEST(ParseDocument, OptionalAndBooleanFields) {
  auto doc = parse_document(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","dropout":null,)"
                            R"("unk_token":null,"vocab":{},"merges":[]}})");
  ASSERT_TRUE(doc);
  EXPECT_FALSE(doc->model.dropout);
  EXPECT_FALSE(doc->model.unk_token);
  EXPECT_FALSE(doc->model.ignore_merges);
  EXPECT_NE(error_of(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","fuse_unk":null,"vocab":{},"merges":[]}})")
                .find("invalid type: null, expected a boolean"),
            std::string::npos);
  EXPECT_NE(error_of(R"({"version":null,"added_tokens":[],)" + std::string(kModel) + "}").find("invalid type: null"),
            std::string::npos);
}

TEST(ParseDocument, MergesMustBePairsOfStrings) {
  EXPECT_EQ(parse_document(bpe_json({{"a", 0}}, {}))->model.merges.size(), 0u);
  const std::string three = R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{},"merges":[["a","b","c"]]}})";
  EXPECT_EQ(error_of(three), "Merge must have exactly 2 elements at line 1 column 89");
  const std::string one_string = R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{},"merges":["a b"]}})";
  EXPECT_NE(error_of(one_string).find("invalid type: string \"a b\""), std::string::npos);
  const std::string number = R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{},"merges":[["a",1]]}})";
  EXPECT_NE(error_of(number).find("invalid type: integer `1`, expected a string"), std::string::npos);
}

TEST(ParseDocument, VocabIdsAreUnsigned32Bit) {
  auto max = parse_document(bpe_json({{"a", 4294967295LL}}));
  ASSERT_TRUE(max);
  EXPECT_EQ(max->model.vocab.find("a"), 4294967295u);
  EXPECT_NE(error_of(bpe_json({{"a", 4294967296LL}})).find("expected u32"), std::string::npos);
  EXPECT_NE(error_of(bpe_json({{"a", -1}})).find("invalid value: integer `-1`, expected u32"), std::string::npos);
  const std::string fraction = R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{"a":3.5},"merges":[]}})";
  EXPECT_NE(error_of(fraction).find("invalid type: floating point `3.5`, expected u32"), std::string::npos);
}

TEST(ParseDocument, RepeatedVocabKeyKeepsItsLastId) {
  auto doc = parse_document(bpe_json({{"a", 5}, {"b", 1}, {"a", 2}}));
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->model.vocab.size(), 2u);
  EXPECT_EQ(doc->model.vocab.find("a"), 2u);
}

TEST(ParseDocument, UnknownKeysAreReadAndDropped) {
  auto doc = parse_document(R"({"extra":{"deep":[1,{"x":"\u00e9"}]},"version":"1","added_tokens":[],)"
                            R"("model":{"type":"BPE","what":[[]],"vocab":{},"merges":[]},"tail":null})");
  ASSERT_TRUE(doc) << doc.error().message;
  EXPECT_EQ(doc->version, "1");
  // Dropped keys are still parsed: malformed content there fails.
  EXPECT_FALSE(parse_document(R"({"extra":[1,],"version":"1","added_tokens":[],)" + std::string(kModel) + "}"));
}

TEST(ParseDocument, NumberClassesInGenericSections) {
  auto doc = parse_document(R"({"version":"1","added_tokens":[],"normalizer":{"a":1.50,"b":2,"c":1e2,)"
                            R"("d":123456789012345678901234,"e":-7,"f":-0,"g":18446744073709551615},)" +
                            std::string(kModel) + "}");
  ASSERT_TRUE(doc) << doc.error().message;
  const Value& n = doc->normalizer;
  EXPECT_EQ(*n.find("a")->as_double(), 1.5);
  EXPECT_EQ(*n.find("b")->as_uint(), 2u);
  EXPECT_EQ(*n.find("c")->as_double(), 100.0);
  EXPECT_NE(n.find("d")->as_double(), nullptr);
  EXPECT_EQ(n.find("e")->as_neg_int()->value, -7);
  EXPECT_TRUE(std::signbit(*n.find("f")->as_double()));
  EXPECT_EQ(*n.find("g")->as_uint(), 18446744073709551615u);
  EXPECT_NE(error_of(R"({"version":"1","added_tokens":[1e400],)" + std::string(kModel) + "}").find("number out of range"),
            std::string::npos);
}

TEST(ParseDocument, GenericObjectsSortKeysAndKeepLastOfRepeated) {
  auto doc = parse_document(R"({"version":"1","added_tokens":[{"special":false,"id":1,"content":"x","id":4}],)" +
                            std::string(kModel) + "}");
  ASSERT_TRUE(doc);
  const Object& entry = *doc->added_tokens[0].as_object();
  ASSERT_EQ(entry.size(), 3u);
  EXPECT_EQ(entry[0].first, "content");
  EXPECT_EQ(entry[1].first, "id");
  EXPECT_EQ(entry[2].first, "special");
  EXPECT_EQ(entry_id(doc->added_tokens[0]), 4u);
}

TEST(ParseDocument, StructuralErrorsCarryPositions) {
  const std::string ok = R"({"version":"1","added_tokens":[],)" + std::string(kModel) + "}";
  EXPECT_TRUE(parse_document(" \n\t" + ok + " \r\n"));
  EXPECT_EQ(error_of(ok + "\n {}"), "trailing characters at line 2 column 2");
  EXPECT_EQ(error_of("\xEF\xBB\xBF" + ok).substr(0, 12), "syntax error");
  EXPECT_NE(error_of("{").find(" at line 1 column 2"), std::string::npos);
  EXPECT_NE(error_of(R"("text")").find("expected struct Tokenizer"), std::string::npos);
  EXPECT_NE(error_of("[]").find("expected struct Tokenizer"), std::string::npos);
  EXPECT_NE(error_of(R"({"version":"1","added_tokens":[],"model":"BPE"})").find("expected struct Model"),
            std::string::npos);
}

TEST(ParseDocument, NestingLimitIs128) {
  auto nested = [](int depth) {
    return R"({"version":"1","added_tokens":[],"decoder":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "," + std::string(kModel) + "}";
  };
  EXPECT_TRUE(parse_document(nested(128)));
  EXPECT_EQ(error_of(nested(129)).substr(0, 24), "recursion limit exceeded");
  EXPECT_EQ(error_of(nested(100000)).substr(0, 24), "recursion limit exceeded");
}

TEST(ParseDocument, EscapedStringsAreDecoded) {
  auto doc = parse_document(
      R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{"a\tb":0,"\u0120x":1,"\"":2},"merges":[["a\n","\\"]]}})");
  ASSERT_TRUE(doc) << doc.error().message;
  EXPECT_EQ(doc->model.vocab.find("a\tb"), 0u);
  EXPECT_EQ(doc->model.vocab.find("\xC4\xA0x"), 1u);
  EXPECT_EQ(doc->model.vocab.find("\""), 2u);
  EXPECT_EQ(doc->model.merges[0], (Merge{"a\n", "\\"}));
}

TEST(RequireBpe, OnlyTheExactTypeName) {
  for (const char* type : {"bpe", "", "WordPiece", "BPE "}) {
    auto doc = parse_document(std::string(R"({"version":"1","added_tokens":[],"model":{"type":")") + type +
                              R"(","vocab":{},"merges":[]}})");
    ASSERT_TRUE(doc);
    EXPECT_EQ(require_bpe(*doc).error().message, "Only BPE tokenizers are supported") << type;
  }
}

class LoadDocument : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = ::testing::TempDir() + "quorvane_reader_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
};

TEST_F(LoadDocument, ReportsOnlyTheOutermostMessage) {
  const std::string good = bpe_json({{"a", 0}});
  EXPECT_TRUE(load_document(write("good.json", good)));
  EXPECT_EQ(load_document(write("bad.json", "{")).error().message, "Failed to parse tokenizer.json");
  EXPECT_EQ(load_document(write("bom.json", "\xEF\xBB\xBF" + good)).error().message,
            "Failed to parse tokenizer.json");
  const std::string wordpiece = R"({"version":"1","added_tokens":[],"model":{"type":"WordPiece","vocab":{},"merges":[]}})";
  EXPECT_EQ(load_document(write("wp.json", wordpiece)).error().message, "Only BPE tokenizers are supported");
  // Not UTF-8 is a read failure even where the JSON is also broken.
  const std::string latin1 = write("latin1.json", "{\"version\":\"\xE9\",");
  EXPECT_EQ(load_document(latin1).error().message, "Failed to read: " + latin1);
  const std::string missing = ::testing::TempDir() + "no/such/file.json";
  EXPECT_EQ(load_document(missing).error().message, "Failed to read: " + missing);
  EXPECT_EQ(load_document(::testing::TempDir()).error().message, "Failed to read: " + ::testing::TempDir());
}

TEST_F(LoadDocument, PathWithNulNeverOpensTheShorterPath) {
  const std::string path = write("nul.json", bpe_json({{"a", 0}}));
  const std::string with_nul = path + std::string("\0x", 2);
  EXPECT_EQ(load_document(with_nul).error().message, "Failed to read: " + with_nul);
}

TEST(Utf8, ValidatesStrictly) {
  EXPECT_TRUE(is_valid_utf8("plain ascii text that is long enough"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x96\x81\xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("abcdefgh\xE2\x96"));  // cut short
  EXPECT_FALSE(is_valid_utf8("\x80"));
}

}  // namespace
}  // namespace quorvane
