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

#include "editor/management/error.h"
#include "editor/management/value.h"
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
    std::vector<std::string> next_;
  };

  // Replaces `words` with the pre-tokens of `text`, none empty. False with
  // `error` set when a regular expression gave up on the text.
  bool split(std::string_view text, Scratch& scratch, std::vector<std::string>& words, std::string& error) const;

  bool empty() const { return steps_.empty(); }
  // Whether a step depends on Unicode's tables (a regular expression).
  bool uses_unicode_tables() const;

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
  static bool split_piece(const Step& step, Regex::Matcher* matcher, std::string_view piece,
                          std::vector<std::string>& out, std::string& error);

  std::vector<Step> steps_;
};

}  // namespace quorvane
