// Cutting text into words as the tokenizer's normalizer and pre-tokenizer do.
// The Python tests check the same against the client on real text; these pin
// the delimiter behaviours, the refusals and the threading.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/management/document/json_reader.h"
#include "editor/merge/representation.h"
#include "editor/split/regex.h"
#include "editor/split/text_lines.h"
#include "editor/split/word_count.h"

namespace quorvane {
namespace {

using Words = std::vector<std::string>;

// A splitter for a document whose normalizer and pre_tokenizer are the given
// JSON texts ("null" for none).
Result<TextSplitter> splitter(const std::string& normalizer, const std::string& pre_tokenizer) {
  auto document = parse_document(R"({"version":"1.0","added_tokens":[],"normalizer":)" + normalizer +
                                 R"(,"pre_tokenizer":)" + pre_tokenizer +
                                 R"(,"model":{"type":"BPE","vocab":{},"merges":[]}})");
  if (!document) throw std::runtime_error(document.error().message);
  return TextSplitter::compile(*document);
}

Words words(const TextSplitter& s, std::string_view text) {
  auto out = s.words(text);
  if (!out) throw std::runtime_error("left to the caller");
  return *out;
}

std::string split_on(const std::string& pattern, const std::string& behavior, bool invert = false) {
  return R"({"type":"Split","pattern":)" + pattern + R"(,"behavior":")" + behavior + R"(","invert":)" +
         (invert ? "true" : "false") + "}";
}

TEST(TextSplitter, DelimiterBehaviours) {
  const std::string dash = R"({"String":"-"})";
  const std::string text = "a-b--c-";
  const std::vector<std::pair<std::string, Words>> cases = {
      {"Removed", {"a", "b", "c"}},
      {"Isolated", {"a", "-", "b", "-", "-", "c", "-"}},
      {"MergedWithPrevious", {"a-", "b-", "-", "c-"}},
      {"MergedWithNext", {"a", "-b", "-", "-c", "-"}},
      {"Contiguous", {"a", "-", "b", "--", "c", "-"}},
  };
  for (const auto& [behavior, expected] : cases) {
    auto s = splitter("null", split_on(dash, behavior));
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_EQ(words(*s, text), expected) << behavior;
  }
  // Inverted, the letters are the delimiters.
  auto inverted = splitter("null", split_on(R"({"Regex":"\\p{L}"})", "Removed", true));
  ASSERT_TRUE(inverted) << inverted.error().message;
  EXPECT_EQ(words(*inverted, text), (Words{"a", "b", "c"}));
}

TEST(TextSplitter, ByteLevelNormalizersAndMarkers) {
  auto byte_level = splitter(R"({"type":"NFC"})", R"({"type":"ByteLevel","add_prefix_space":true,"use_regex":true})");
  ASSERT_TRUE(byte_level) << byte_level.error().message;
  // "e" + combining acute composes to U+00E9, two bytes: Ã © in the byte alphabet.
  EXPECT_EQ(words(*byte_level, "Cafe\xCC\x81 it's  ok"),
            (Words{"\xC4\xA0" "Caf\xC3\x83\xC2\xA9", "\xC4\xA0" "it", "'s", "\xC4\xA0", "\xC4\xA0" "ok"}));

  // No pre-tokenizer: the pieces start at each marker.
  auto marker = splitter(
      R"({"type":"Sequence","normalizers":[{"type":"Prepend","prepend":"▁"},)"
      R"({"type":"Replace","pattern":{"String":" "},"content":"▁"}]})",
      "null");
  ASSERT_TRUE(marker) << marker.error().message;
  EXPECT_EQ(words(*marker, "to be  x"), (Words{"▁to", "▁be", "▁", "▁x"}));
  EXPECT_EQ(words(*marker, ""), Words{});
}

TEST(TextSplitter, RefusesWhatItCannotReproduce) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"({"type":"Lowercase"})", "the Lowercase normalizer"},
      {R"({"type":"Replace","pattern":{"Regex":" +"},"content":" "})", "the Replace normalizer with a regular expression"},
  };
  for (const auto& [normalizer, message] : refused) {
    auto s = splitter(normalizer, "null");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, message);
  }
  const std::vector<std::pair<std::string, std::string>> patterns = {
      {R"(\\d+)", "the escape \\d"},           // ASCII-only in one engine
      {R"(^a)", "the anchor ^"},               // a line anchor in one engine
      {R"([[:alpha:]]+)", "a nested character class"},
      {R"((?<x>a))", "the group (?<x"},
      {R"(a*)", "it can match nothing"},
      // Each matches other text in the client's engine.
      {R"(a{,3})", "the quantifier {,n}"},
      {R"(\\p{Greek}+)", "the property Greek"},
      {R"(\\p{Xan})", "the property Xan"},
      {R"((?i:ss))", "fold to several"},
      {R"((?i)\u00df)", "fold to several"},
      {R"((*CR)a.)", "the verb (*"},
  };
  for (const auto& [pattern, construct] : patterns) {
    auto s = splitter("null", split_on(R"({"Regex":")" + pattern + R"("})", "Isolated"));
    ASSERT_FALSE(s) << pattern;
    EXPECT_NE(s.error().message.find(construct), std::string::npos) << s.error().message;
  }
  // Each ByteLevel step can double a text and its prefix spaces double it
  // again: a list of them would make a short line need terabytes.
  const std::string byte_level = R"({"type":"ByteLevel","add_prefix_space":true,"use_regex":false})";
  std::string steps = byte_level;
  for (int i = 1; i < 5; ++i) steps += "," + byte_level;
  auto five = splitter("null", R"({"type":"Sequence","pretokenizers":[)" + steps + "]}");
  ASSERT_TRUE(five) << five.error().message;  // 4^5, the most allowed
  auto six = splitter("null", R"({"type":"Sequence","pretokenizers":[)" + steps + "," + byte_level + "]}");
  ASSERT_FALSE(six);
  EXPECT_EQ(six.error().message, "a normalizer and pre-tokenizer that can make text more than 1024 times longer");
  auto four = splitter(R"({"type":"Replace","pattern":{"String":"ab"},"content":"abcd"})",
                       R"({"type":"Sequence","pretokenizers":[)" + byte_level + "," + byte_level + "]}");
  ASSERT_TRUE(four) << four.error().message;  // 2 * 16
  auto more = splitter(R"({"type":"Sequence","normalizers":[{"type":"NFKD"},{"type":"NFKC"},{"type":"NFC"},)"
                       R"({"type":"Replace","pattern":{"String":"a"},"content":"aaa"}]})",
                       "null");
  ASSERT_FALSE(more);  // 11 * 11 * 3 * 3
  auto metaspace = splitter("null", R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"always"})");
  ASSERT_FALSE(metaspace);
  EXPECT_EQ(metaspace.error().message, "the Metaspace pre-tokenizer");
}

TEST(TextSplitter, ThreadsCountTheSame) {
  auto s = splitter(R"({"type":"NFC"})",
                    R"({"type":"Sequence","pretokenizers":[)" +
                        split_on(R"({"Regex":"[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}| ?[^\\s\\p{L}\\p{N}]+|\\s+"})",
                                 "Isolated") +
                        R"(,{"type":"ByteLevel","add_prefix_space":false,"use_regex":false}]})");
  ASSERT_TRUE(s) << s.error().message;
  std::vector<std::string> text;
  for (int i = 0; i < 20000; ++i) {
    text.push_back("line " + std::to_string(i % 97) + " of żółw and " + std::string(i % 7, 'x'));
  }
  // Two lines hold a character unassigned in the tables here (U+1C89, new
  // in Unicode 16): they come back uncounted, in order, from either thread.
  text[3] += "\xE1\xB2\x89";
  text[19000] += "\xE1\xB2\x89";
  const std::vector<std::string_view> lines(text.begin(), text.end());
  WordCountMap one, two;
  std::vector<std::size_t> unsure_one, unsure_two;
  ASSERT_TRUE(s->count(lines, 1, one, unsure_one));
  ASSERT_TRUE(s->count(lines, 2, two, unsure_two));
  EXPECT_EQ(one, two);
  EXPECT_EQ(unsure_one, (std::vector<std::size_t>{3, 19000}));
  EXPECT_EQ(unsure_two, unsure_one);
  EXPECT_EQ(one.at("line"), 19998u);
  EXPECT_FALSE(s->words(lines[3]).has_value());
  // So is a line the engine gives up on: ten megabytes of spaces, on which
  // \s*[\r\n]+ backtracks through every one.
  auto deep = splitter("null", split_on(R"({"Regex":"\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+|\\S+"})", "Isolated"));
  ASSERT_TRUE(deep) << deep.error().message;
  const std::string spaces(10 << 20, ' ');
  WordCountMap none;
  std::vector<std::size_t> long_lines;
  ASSERT_TRUE(deep->count(std::vector<std::string_view>{spaces, "x"}, 1, none, long_lines));
  EXPECT_EQ(long_lines, std::vector<std::size_t>{0});
  EXPECT_EQ(none.at("x"), 1u);
  // Counts add up over calls.
  ASSERT_TRUE(s->count(lines, 2, two, unsure_two));
  EXPECT_EQ(two.at("line"), 2 * 19998u);
}

std::string utf8(char32_t c) {
  std::string out;
  append_utf8(out, c);
  return out;
}

TEST(TextLines, CutAndBlankAsTheToolReadsText) {
  std::vector<std::string_view> lines;
  cut_lines("a\r\nb\n\n \r\nc\rd\r\r\nlast", lines);
  EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "b", "", " ", "c\rd\r", "last"}));
  lines.clear();
  cut_lines("one\n", lines);
  EXPECT_EQ(lines, std::vector<std::string_view>{"one"});
  // White space as Python's str.isspace has it; U+180E, U+200B and U+FEFF
  // are not.
  for (const char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x85, 0xA0, 0x1680, 0x2000,
                           0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(is_blank(utf8(c) + " " + utf8(c))) << std::hex << static_cast<unsigned>(c);
  }
  for (const char32_t c : {0x08, 0x21, 0x84, 0x180E, 0x200B, 0x2060, 0xFEFF, 0x1F600}) {
    EXPECT_FALSE(is_blank(" " + utf8(c))) << std::hex << static_cast<unsigned>(c);
  }
  EXPECT_TRUE(is_blank(""));
}

TEST(WordCounter, TextIsCheckedAndBlankLinesSkipped) {
  auto s = splitter("null", split_on(R"({"String":" "})", "Removed"));
  ASSERT_TRUE(s) << s.error().message;
  WordCounter counter(*s, 2);
  std::vector<std::size_t> unsure;
  const std::vector<std::string_view> text = {"a b", "\xE3\x80\x80\t", "", "b"};
  ASSERT_TRUE(counter.add_text(text, unsure));
  counter.add_word("c");
  EXPECT_EQ(counter.take(), (WordCountMap{{"a", 1}, {"b", 2}, {"c", 1}}));
  // Not UTF-8, even where the line would look blank: an overlong space.
  for (const std::string_view bad : {"ok \xFF", "\xC0\xA0", "\xED\xA0\x80"}) {
    WordCounter fresh(*s, 1);
    const std::vector<std::string_view> lines = {"a", bad};
    EXPECT_FALSE(fresh.add_text(lines, unsure)) << bad;
  }
}

TEST(TextSplitter, UnsureCharactersAreWhatTheExpressionSays) {
  // Lines are checked through a table of the characters below U+10000 made
  // from the expression once; every one of them agrees with it.
  auto s = splitter(R"({"type":"NFC"})", split_on(R"({"String":" "})", "Removed"));
  ASSERT_TRUE(s) << s.error().message;
  auto unsure = Regex::compile_trusted(R"([\p{Cn}\x{180E}])");
  ASSERT_TRUE(unsure);
  Regex::Matcher matcher(**unsure);
  std::size_t unassigned = 0;
  for (char32_t c = 0x80; c < 0x10000; c += (c == 0xD7FF ? 0x801 : 1)) {
    const std::string text = "x" + utf8(c);
    std::size_t start = 0, end = 0;
    std::string error;
    const bool expected = matcher.find(text, 0, start, end, error);
    unassigned += expected;
    ASSERT_EQ(!s->words(text).has_value(), expected) << std::hex << static_cast<unsigned>(c);
  }
  EXPECT_GT(unassigned, 1000u);
  // Beyond U+FFFF the expression itself is asked.
  EXPECT_TRUE(s->words("a " + utf8(0x1F600)).has_value());
  EXPECT_FALSE(s->words("a " + utf8(0x2FFFF)).has_value());
}

}  // namespace
}  // namespace quorvane
