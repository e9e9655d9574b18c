#include "editor/management/document/json_writer.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor/management/document/json_reader.h"

namespace quorvane {
namespace {

Document parse(const std::string& text) {
  auto doc = parse_document(text);
  if (!doc) throw std::runtime_error(doc.error().message);
  return std::move(*doc);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const char* kSmall =
    R"({"version":"1.0","added_tokens":[{"id":2,"content":"<s>","special":true}],)"
    R"("normalizer":{"type":"NFC","x":[]},"extra":1,)"
    R"("model":{"type":"BPE","dropout":0.1,"vocab":{"b":0,"a":1,"ab":2},"merges":[["a","b"]]}})";

TEST(WriteDocument, DeclaredOrder) {
  EXPECT_EQ(write_document(parse(kSmall), KeyOrder::kDeclared),
            R"({
  "version": "1.0",
  "truncation": null,
  "padding": null,
  "added_tokens": [
    {
      "content": "<s>",
      "id": 2,
      "special": true
    }
  ],
  "normalizer": {
    "type": "NFC",
    "x": []
  },
  "pre_tokenizer": null,
  "post_processor": null,
  "decoder": null,
  "model": {
    "type": "BPE",
    "dropout": 0.1,
    "unk_token": null,
    "continuing_subword_prefix": null,
    "end_of_word_suffix": null,
    "fuse_unk": false,
    "byte_fallback": false,
    "ignore_merges": false,
    "vocab": {
      "a": 1,
      "ab": 2,
      "b": 0
    },
    "merges": [
      [
        "a",
        "b"
      ]
    ]
  }
})");
}

TEST(WriteDocument, SortedOrder) {
  EXPECT_EQ(write_document(parse(kSmall), KeyOrder::kSorted),
            R"({
  "added_tokens": [
    {
      "content": "<s>",
      "id": 2,
      "special": true
    }
  ],
  "decoder": null,
  "model": {
    "byte_fallback": false,
    "continuing_subword_prefix": null,
    "dropout": 0.1,
    "end_of_word_suffix": null,
    "fuse_unk": false,
    "ignore_merges": false,
    "merges": [
      [
        "a",
        "b"
      ]
    ],
    "type": "BPE",
    "unk_token": null,
    "vocab": {
      "a": 1,
      "ab": 2,
      "b": 0
    }
  },
  "normalizer": {
    "type": "NFC",
    "x": []
  },
  "padding": null,
  "post_processor": null,
  "pre_tokenizer": null,
  "truncation": null,
  "version": "1.0"
})");
}

TEST(WriteDocument, EmptyContainersStayOnOneLine) {
  const std::string out = write_document(
      parse(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{},"merges":[]}})"),
      KeyOrder::kDeclared);
  EXPECT_NE(out.find("\"added_tokens\": [],"), std::string::npos);
  EXPECT_NE(out.find("\"vocab\": {},"), std::string::npos);
  EXPECT_NE(out.find("\"merges\": []\n"), std::string::npos);
  EXPECT_NE(out.back(), '\n');
}

TEST(WriteValue, StringEscapes) {
  std::string out;
  const char raw[] = "q\"b\\t\tn\nr\rf\fb\bc\x01\x1f" "\xC3\xA9\x7f";
  write_value(out, Value::string(std::string(raw, sizeof raw - 1)), 0);
  EXPECT_EQ(out, "\"q\\\"b\\\\t\\tn\\nr\\rf\\fb\\bc\\u0001\\u001f\xC3\xA9\x7f\"");
}

TEST(WriteValue, NumberForms) {
  auto text = [](const Value& v) {
    std::string out;
    write_value(out, v, 0);
    return out;
  };
  EXPECT_EQ(text(Value::number(0.0)), "0.0");
  EXPECT_EQ(text(Value::number(1.0)), "1.0");
  EXPECT_EQ(text(Value::number(0.1)), "0.1");
  EXPECT_EQ(text(Value::number(1.5)), "1.5");
  EXPECT_EQ(text(Value::number(100.0)), "100.0");
  EXPECT_EQ(text(Value::number(-0.0)), "-0.0");
  EXPECT_EQ(text(Value::number(1.0 / 0.0)), "null");
  EXPECT_EQ(text(Value::uint(18446744073709551615u)), "18446744073709551615");
  EXPECT_EQ(text(Value::neg_int(-9223372036854775807 - 1)), "-9223372036854775808");
  // Whatever notation is chosen, it reads back as the same double.
  for (double d : {1e300, 1.2345678901234567e-300, 5e-324, 123456789012345678.0}) {
    auto doc = parse(R"({"version":"1","added_tokens":[)" + text(Value::number(d)) +
                     R"(],"model":{"type":"BPE","vocab":{},"merges":[]}})");
    EXPECT_EQ(*doc.added_tokens[0].as_double(), d);
  }
}

TEST(WriteDocument, TokensNeedingEscapesAnywhereSurviveARoundTrip) {
  // Escapes before, inside and after eight-byte runs, in vocabulary and merges.
  const std::vector<std::string> tokens = {
      "0123456789\"abc", "abcdefgh\\", std::string("\x01" "abcdefghij"), "abcdefghijklmnop\t",
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\x1f", "plain-but-longer-than-eight", "\"", std::string(1, '\0'), "ab\"cdefghijk", "a\\bcdefghijklm"};
  std::string vocab;
  std::string merges;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::string escaped;
    write_value(escaped, Value::string(tokens[i]), 0);
    vocab += (i ? "," : "") + escaped + ":" + std::to_string(i);
    merges += std::string(i ? "," : "") + "[" + escaped + "," + escaped + "]";
  }
  const Document doc = parse(R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{)" + vocab +
                             R"(},"merges":[)" + merges + "]}}");
  for (KeyOrder order : {KeyOrder::kDeclared, KeyOrder::kSorted}) {
    const Document back = parse(write_document(doc, order));
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      EXPECT_EQ(back.model.vocab.find(tokens[i]), i) << i;
      EXPECT_EQ(back.model.merges[i], (Merge{tokens[i], tokens[i]})) << i;
    }
  }
}

TEST(WriteDocument, RoundTripIsByteIdentical) {
  const std::string first = write_document(parse(kSmall), KeyOrder::kDeclared);
  EXPECT_EQ(write_document(parse(first), KeyOrder::kDeclared), first);
  const std::string sorted = write_document(parse(kSmall), KeyOrder::kSorted);
  EXPECT_EQ(write_document(parse(sorted), KeyOrder::kSorted), sorted);
}

TEST(WriteDocument, ALongMergeListIsWrittenWholeAndInPlace) {
  // Long enough to be written on a thread of its own beside the vocabulary.
  std::string vocab = R"("a":0)", merges, expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string left = "t" + std::to_string(i), right = "u" + std::to_string(i);
    vocab += ",\"" + left + "\":" + std::to_string(3 * i + 1) + ",\"" + right + "\":" + std::to_string(3 * i + 2) +
             ",\"" + left + right + "\":" + std::to_string(3 * i + 3);
    merges += std::string(i ? "," : "") + "[\"" + left + "\",\"" + right + "\"]";
    expected += std::string(i ? "," : "") + "\n      [\n        \"" + left + "\",\n        \"" + right + "\"\n      ]";
  }
  const Document doc = parse(R"({"version":"1.0","added_tokens":[],"model":{"type":"BPE","vocab":{)" + vocab +
                             R"(},"merges":[)" + merges + "]}}");
  for (const KeyOrder order : {KeyOrder::kDeclared, KeyOrder::kSorted}) {
    const std::string text = write_document(doc, order);
    EXPECT_NE(text.find("\"merges\": [" + expected + "\n    ]"), std::string::npos);
    EXPECT_EQ(write_document(parse(text), order), text);
  }
}

class SaveDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "quorvane_save_" + std::to_string(::getpid()) + "/";
    ::mkdir(dir_.c_str(), 0755);
  }
  std::string dir_;
};

TEST_F(SaveDocument, WritesSortedTextAndReplacesExistingFile) {
  const std::string path = dir_ + "out.json";
  std::ofstream(path) << "old content that is longer than nothing";
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(save_document(parse(kSmall), path));
  EXPECT_EQ(slurp(path), write_document(parse(kSmall), KeyOrder::kSorted));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SaveDocument, ThroughASymbolicLinkReplacesTheLinkTarget) {
  const std::string target = dir_ + "target.json";
  const std::string link = dir_ + "link.json";
  std::ofstream(target) << "old";
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink("target.json", link.c_str()), 0);
  ASSERT_TRUE(save_document(parse(kSmall), link));
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(slurp(target), write_document(parse(kSmall), KeyOrder::kSorted));
}

TEST_F(SaveDocument, ADeviceIsWrittenDirectly) {
  EXPECT_TRUE(save_document(parse(kSmall), "/dev/null"));
}

TEST_F(SaveDocument, FailuresNameThePathAsGiven) {
  const std::string missing_dir = dir_ + "nope/out.json";
  EXPECT_EQ(save_document(parse(kSmall), missing_dir).error().message, "Failed to write: " + missing_dir);
  EXPECT_EQ(save_document(parse(kSmall), dir_).error().message, "Failed to write: " + dir_);
  const std::string with_nul = dir_ + std::string("a.json\0b", 8);
  EXPECT_EQ(save_document(parse(kSmall), with_nul).error().message, "Failed to write: " + with_nul);
  EXPECT_NE(::access((dir_ + "a.json").c_str(), F_OK), 0);
}

TEST_F(SaveDocument, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string path = dir_ + "precious.json";
  const std::string old = "precious bytes";
  std::ofstream(path) << old;
  std::string big = R"({"version":"1","added_tokens":[],"model":{"type":"BPE","vocab":{)";
  for (int i = 0; i < 20000; ++i) big += (i ? "," : "") + std::string("\"tok") + std::to_string(i) + "\":" + std::to_string(i);
  big += R"(},"merges":[]}})";
  const Document doc = parse(big);
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto saved = save_document(doc, path);
    ::_exit(!saved && saved.error().message == "Failed to write: " + path ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(path), old);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find("quorvane-save"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvane
