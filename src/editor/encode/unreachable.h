// Which vocabulary tokens the tokenizer never produces from their own string.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/management/state/editor.h"

namespace quorvane {

struct UnreachableToken {
  std::string token;
  TokenId id;
  // What the token's string encodes to; empty when it needs an unknown token
  // that the vocabulary lacks.
  std::vector<std::string> pieces;
};

// The tokens whose string does not encode to exactly their own id, in
// Vocabulary order. Left out, because the client produces them whole without
// the merges: tokens that are the content of an added-token entry, and the
// <0xNN> byte tokens of a byte-fallback model.
std::vector<UnreachableToken> unreachable_tokens(const Editor& editor);

// Whether the client matches `token` whole rather than through the model.
class WholeTokens {
 public:
  explicit WholeTokens(const Editor& editor);
  bool contains(std::string_view token) const;

 private:
  boost::unordered_flat_set<std::string_view, StringHash, StringEq> added_;
  bool byte_fallback_;
};

}  // namespace quorvane
