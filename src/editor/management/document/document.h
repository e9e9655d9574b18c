// The typed form of one tokenizer.json.
//
// Only what the editor works on is typed: the model's vocabulary, merge list and
// scalar settings, and the document's version. Every other section is kept as a
// generic Value and written back with the same meaning. An optional section that
// is absent and one that is null are the same state: a null Value.
//
// Token and merge strings are views into `arena`, which the document shares with
// its copies; see arena.h for their lifetime.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "editor/management/document/value.h"
#include "editor/management/state/arena.h"
#include "editor/management/state/vocabulary.h"

namespace quorvane {

struct Merge {
  std::string_view left;
  std::string_view right;

  bool operator==(const Merge&) const = default;
};

struct Model {
  std::string type;
  std::optional<double> dropout;
  std::optional<std::string> unk_token;
  std::optional<std::string> continuing_subword_prefix;
  std::optional<std::string> end_of_word_suffix;
  bool fuse_unk = false;
  bool byte_fallback = false;
  bool ignore_merges = false;
  Vocabulary vocab;
  std::vector<Merge> merges;  // position = priority, lower first
};

struct Document {
  std::shared_ptr<Arena> arena = std::make_shared<Arena>();
  std::string version;
  Value truncation;
  Value padding;
  std::vector<Value> added_tokens;
  Value normalizer;
  Value pre_tokenizer;
  Value post_processor;
  Value decoder;
  Model model;
};

// The three views of an added-token entry; each is absent when the entry is not
// an object or its member has the wrong class.
std::optional<std::uint32_t> entry_id(const Value& entry);  // "id": unsigned integer < 2^32
const std::string* entry_content(const Value& entry);       // "content": a string
bool entry_special(const Value& entry);                     // "special": true

}  // namespace quorvane
