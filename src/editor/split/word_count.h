// Counting the words of a text as the tokenizer's own normalizer and
// pre-tokenizer cut it: what learning from text starts from.
//
// A word is one pre-token in the model's alphabet. A tokenizer without a
// pre-tokenizer hands its model whole lines; there the words are the pieces
// that start at each "▁" marker (the first piece starts the line), so that a
// token learned from them never spans a marker in its middle.
//
// The client's Unicode tables are newer than those of the libraries here, so
// a line holding a character these do not know (unassigned in their tables),
// or U+180E (a space to one engine and not the other), is left to the caller:
// `count` hands such lines back uncounted and `words` refuses them. So is a
// line on which the regular expression engine gives up (its stack limit, on
// a line of megabytes).
//
// A TextSplitter copies what it needs from the document, so it stays valid
// after the document changes or goes. Counting runs on threads of its own and
// touches nothing but the splitter, the lines and the counts.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "editor/base/error.h"
#include "editor/base/hashing.h"
#include "editor/management/document/document.h"
#include "editor/split/normalizer.h"
#include "editor/split/pre_tokenizer.h"

namespace quorvane {

using WordCountMap = boost::unordered_flat_map<std::string, std::uint64_t, StringHash, StringEq>;

class TextSplitter {
 public:
  // Fails, naming the step, for a normalizer or pre-tokenizer whose result
  // cannot be reproduced exactly, and for one that can make a text more than
  // a thousand times longer (a line would need absurd memory).
  static Result<TextSplitter> compile(const Document& document);

  // The words of one line of valid UTF-8, in order; none when the line is
  // left to the caller.
  std::optional<std::vector<std::string>> words(std::string_view line) const;

  // Adds the words of `lines` (valid UTF-8 each) to `counts`, splitting on up
  // to `threads` threads; the positions of lines left to the caller go to
  // `unsure`, in order, uncounted. Fails only by throwing bad_alloc.
  Result<void> count(std::span<const std::string_view> lines, unsigned threads, WordCountMap& counts,
                     std::vector<std::size_t>& unsure) const;

 private:
  friend class WordCounter;

  // Splits `line` into `out`, views into `line`, `normalized` or `scratch`.
  bool split(std::string_view line, PreTokenizer::Scratch& scratch, std::string& normalized,
             std::vector<std::string_view>& out, std::string& error) const;

  bool unsure(std::string_view line, Regex::Matcher* matcher) const;

  // A character the tables here may get wrong; null when no step uses tables.
  std::shared_ptr<const Regex> unsure_;
  // Which characters below U+10000 `unsure_` matches, when known.
  std::shared_ptr<const std::bitset<0x10000>> unsure_bmp_;
  Normalizer normalizer_;
  PreTokenizer pre_tokenizer_;
  bool marker_pieces_ = false;  // no pre-tokenizer: split before each marker
};

// Counts the words of a text given a batch of lines at a time. Each thread
// keeps its own counts from batch to batch, so that they are added together
// once, by take(); threads take lines a few at a time, so that a thread slowed
// by other work on its core holds the others up little.
class WordCounter {
 public:
  WordCounter(const TextSplitter& splitter, unsigned threads);

  // Adds the words of `lines` (valid UTF-8 each), splitting on the threads;
  // the positions of lines left to the caller go to `unsure`, in order,
  // uncounted. Fails only by throwing bad_alloc.
  void add(std::span<const std::string_view> lines, std::vector<std::size_t>& unsure) {
    add(lines, unsure, false);
  }
  // The same for lines read from a file: each is checked to be UTF-8, and
  // blank ones (text_lines.h) are skipped. False when a line is not UTF-8;
  // the counter is then of no further use.
  bool add_text(std::span<const std::string_view> lines, std::vector<std::size_t>& unsure) {
    return add(lines, unsure, true);
  }
  // Adds one occurrence of a word found otherwise (the caller's split).
  void add_word(std::string word) { ++parts_.front().counts[std::move(word)]; }

  // All the counts, added up; the counter is empty after.
  WordCountMap take();

 private:
  struct Part {
    WordCountMap counts;
    std::vector<std::size_t> unsure;
  };
  bool add(std::span<const std::string_view> lines, std::vector<std::size_t>& unsure, bool text);

  const TextSplitter& splitter_;
  std::vector<Part> parts_;
};

}  // namespace quorvane
