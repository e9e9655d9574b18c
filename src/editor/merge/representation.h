// Token representations, and the conversion of a source tokenizer's tokens
// into a target tokenizer's representation.
//
// Two representations exist. A ByteLevel tokenizer writes each byte of the
// UTF-8 text as one character of a fixed 256-character alphabet (a space is
// "Ġ"); a space-marker tokenizer writes the text as it is, except that a marker
// string (as a rule "▁") stands for each space. The target's representation
// is read from its pre_tokenizer and normalizer; source tokens are read as
// ByteLevel when the source's pre_tokenizer says so, and as marker text
// otherwise.
//
// Lifetimes: a SourceConversion owns every converted form, bridge token and
// bridge merge in its `pool`; the views stay valid as long as the pool's
// buffers live, also after StringPool::move_into hands them to an Arena.
// The KEYS of `token_map` view the source document and die with it.
// Neither document is changed by the conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/base/error.h"
#include "editor/base/hashing.h"
#include "editor/management/document/document.h"
#include "editor/management/state/arena.h"

namespace quorvane {

// Append-only storage whose buffers can later be handed to an Arena without
// copying, so that a merge can build its strings aside and make them part of
// the target document only when it commits (a failed merge leaves the target's
// Arena untouched).
class StringPool {
 public:
  StringPool() = default;
  StringPool(StringPool&&) noexcept = default;
  StringPool& operator=(StringPool&&) noexcept = default;

  std::string_view store(std::string_view s);
  // Gives every buffer to `arena`; views handed out so far stay valid for the
  // arena's life. The pool is empty afterwards.
  void move_into(Arena& arena);

 private:
  std::vector<ByteBuffer> buffers_;
};

// True when `value` holds, at any depth, an object whose "type" member is the
// string `name`.
bool contains_type(const Value& value, std::string_view name);

// The "content" of the first (depth first, object members in key order) Replace
// whose pattern is {"String": " "}; such a Replace with a non-string content
// ends the search of its own object without a result.
std::optional<std::string> find_space_marker(const Value& value);

// The ByteLevel alphabet: the character standing for each byte value.
const std::array<char32_t, 256>& byte_level_table();

// Appends the UTF-8 bytes of the code point `c`.
void append_utf8(std::string& out, char32_t c);

// The byte of a byte-fallback token ("<0x41>", also "<0x+F>" for 0x0F), or none.
std::optional<unsigned char> byte_fallback_value(std::string_view token);

// The target's representation, fixed once per merge.
struct TargetRepresentation {
  bool byte_level = false;
  std::string marker;  // the space marker; meaningful only when !byte_level
  bool apply_nfc = false;

  // "ByteLevel (Ġ)" or "space marker ({marker})".
  std::string label() const;
};

// Fails with "Unsupported target: no ByteLevel pre-tokenizer or space marker
// found" when the target has neither.
Result<TargetRepresentation> detect_representation(const Document& target);

using StringViewSet = boost::unordered_flat_set<std::string_view, StringHash, StringEq>;

struct MergeHash {
  std::size_t operator()(const Merge& m) const noexcept {
    return mix64(hash_bytes(m.left) ^ (hash_bytes(m.right) * 0x9E3779B97F4A7C15ull));
  }
};
// Exact (left, right) pairs, for the no-repeat rule of the bridge merges.
using MergeSet = boost::unordered_flat_set<Merge, MergeHash>;

struct SourceConversion {
  StringPool pool;
  // Distinct converted forms, in order of first appearance (source ids
  // ascending, ties by token bytes).
  std::vector<std::string_view> converted_tokens;
  // Chains that build each multi-character base form (the form of a source
  // token no source merge produces) one character at a time; no repeats.
  // Empty for a space-marker target, like bridge_tokens.
  std::vector<Merge> bridge_merges;
  std::string representation;
  // Source token (a view into the source document) -> where its converted form
  // stands in converted_tokens, and the token's rank in the conversion order.
  // Source special tokens, and for a space-marker target ByteLevel tokens that
  // stand for a piece of a character, have no entry.
  struct Mapped {
    std::uint32_t form;
    std::uint32_t rank;
  };
  boost::unordered_flat_map<std::string_view, Mapped, StringHash, StringEq> token_map;
  // Every prefix of two or more characters of a multi-character base form.
  StringViewSet bridge_tokens;
};

// Converts every source vocabulary token into `target`'s representation.
// Source tokens are read as ByteLevel bytes when the source's pre_tokenizer
// has a ByteLevel part and the token is spelled in the byte alphabet; otherwise
// as text in which the source's space marker ("▁" unless its normalizer gives
// another; an empty one stands for nothing) is a space.
SourceConversion convert_source(const Document& source, const TargetRepresentation& target);
// detect_representation, then the conversion.
Result<SourceConversion> convert_source(const Document& source, const Document& target);

}  // namespace quorvane
