// A regular expression of a Split pre-tokenizer, on PCRE2 (UTF, Unicode
// properties, JIT).
//
// The client compiles these patterns with another engine. Only patterns made
// of constructs that mean the same in both are accepted (see `compile`);
// anything else is refused with the construct named, so that the caller splits
// through the client instead of approximating it.
//
// A Regex is immutable after `compile` and may be shared by threads; each
// thread matches with a Matcher of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "editor/base/error.h"

namespace quorvane {

class Regex {
 public:
  static Result<std::shared_ptr<const Regex>> compile(std::string_view pattern);
  // Compiles a pattern of the core's own, in PCRE2's syntax, unchecked.
  static Result<std::shared_ptr<const Regex>> compile_trusted(std::string_view pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The state one thread needs to match one Regex.
  class Matcher {
   public:
    explicit Matcher(const Regex& regex);
    ~Matcher();
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // The first match in `text` at or after byte `from`: true and [start, end),
    // or false when there is none. `error` is set (and false returned) when
    // the engine gave up (its stack or match limit).
    bool find(std::string_view text, std::size_t from, std::size_t& start, std::size_t& end, std::string& error);

   private:
    const Regex& regex_;
    struct State;
    std::unique_ptr<State> state_;
  };

 private:
  Regex() = default;
  void* code_ = nullptr;  // pcre2_code_8
  friend class Matcher;
};

}  // namespace quorvane
