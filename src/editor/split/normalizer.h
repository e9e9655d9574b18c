// The tokenizer's normalizer, compiled from its JSON, for counting the words
// of a text in the core rather than through the tokenizers package.
//
// Only the steps whose result is known to be exactly the client's are
// compiled: the four Unicode normal forms (utf8proc), Prepend, Replace of a
// literal string, and Sequence of these. Anything else is refused by name, and
// the caller splits that text through the client instead; nothing is ever
// approximated.
#pragma once

#include <string>
#include <vector>

#include "editor/base/error.h"
#include "editor/management/document/value.h"

namespace quorvane {

class Normalizer {
 public:
  // `spec` is the document's "normalizer" section; null normalizes nothing.
  static Result<Normalizer> compile(const Value& spec);

  // Normalizes `text` (valid UTF-8) in place.
  void apply(std::string& text) const;

  bool empty() const { return steps_.empty(); }
  // Whether a step depends on Unicode's tables (a normal form).
  bool uses_unicode_tables() const;
  // The most the steps can multiply a text's length in bytes by; Prepend adds
  // its string once, which this leaves out.
  double growth() const;

 private:
  enum class Kind { kNfc, kNfd, kNfkc, kNfkd, kPrepend, kReplace };
  struct Step {
    Kind kind;
    std::string pattern;  // kReplace: what is replaced
    std::string content;  // kPrepend, kReplace: what is written
  };

  static Result<void> add(const Value& spec, std::vector<Step>& steps);

  std::vector<Step> steps_;
};

}  // namespace quorvane
