// The tokenizer's pre-tokenizer, compiled from its JSON: cuts normalized text
// into the words its model is given, exactly as the client does.
//
// Compiled steps: Split (a literal string, or a regular expression that
// regex.h accepts; every delimiter behaviour, inverted or not), ByteLevel
// (with or without its own regular expression and prefix space) and Sequence
// of these. Anything else is refused by name; nothing is approximated. A null
// pre-tokenizer leaves the text whole.
//
// A PreTokenizer is immutable and may be shared by threads, each splitting
// with a Scratch of its own.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "editor/base/error.h"
#include "editor/management/document/value.h"
#include "editor/split/regex.h"

namespace quorvane {

class PreTokenizer {
 public:
  static Result<PreTokenizer> compile(const Value& spec);

  // What one thread needs to split: a matcher per regular expression.
  class Scratch {
   public:
    explicit Scratch(const PreTokenizer& pre_tokenizer);

   private:
    friend class PreTokenizer;
    std::vector<std::unique_ptr<Regex::Matcher>> matchers_;  // one per step; null where none is used
    // Pieces are [begin, end) byte ranges of the text being split, which is
    // the caller's text or one of the two buffers a ByteLevel step writes.
    std::string buffer_, spare_;
    std::vector<std::pair<std::size_t, std::size_t>> pieces_, next_;
    struct Span {
      std::size_t begin, end;
      bool match;
    };
    std::vector<Span> spans_, kept_;
  };

  // Replaces `words` with the pre-tokens of `text`, none empty. The views
  // point into `text` or into `scratch`, valid until its next use. False with
  // `error` set when a regular expression gave up on the text.
  bool split(std::string_view text, Scratch& scratch, std::vector<std::string_view>& words,
             std::string& error) const;

  bool empty() const { return steps_.empty(); }
  // Whether a step depends on Unicode's tables (a regular expression).
  bool uses_unicode_tables() const;
  // The most the steps can multiply a text's length in bytes by: a ByteLevel
  // step doubles it at most, and its prefix spaces at most double it again.
  double growth() const;

 private:
  enum class Behavior { kRemoved, kIsolated, kMergedWithPrevious, kMergedWithNext, kContiguous };
  struct Step {
    bool byte_level = false;
    // Split: the pattern; ByteLevel: the GPT-2 expression when use_regex.
    std::shared_ptr<const Regex> regex;
    std::string literal;  // Split on a string
    Behavior behavior = Behavior::kIsolated;
    bool invert = false;
    bool add_prefix_space = false;  // ByteLevel
  };

  static Result<void> add(const Value& spec, std::vector<Step>& steps);
  // Appends to `scratch.next_` the pieces `step` cuts [begin, end) of `text` into.
  static bool split_piece(const Step& step, Regex::Matcher* matcher, std::string_view text, std::size_t begin,
                          std::size_t end, Scratch& scratch, std::string& error);

  std::vector<Step> steps_;
};

}  // namespace quorvane
