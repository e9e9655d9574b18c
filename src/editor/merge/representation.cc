#include "editor/merge/representation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include <utf8proc.h>

#include "editor/management/document/json_reader.h"

namespace quorvane {

namespace {

constexpr std::size_t kPoolChunk = 256 * 1024;
constexpr std::string_view kDefaultMarker = "\xE2\x96\x81";  // U+2581
constexpr char32_t kTableEnd = 0x144;                         // every table entry is below

// Length of the UTF-8 sequence starting with `lead` (1 for a stray byte, so a
// walk always advances).
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the character at s[i] (s is valid UTF-8) and moves i past it.
char32_t next_char(std::string_view s, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const std::size_t n = std::min(utf8_length(lead), s.size() - i);
  char32_t c = n == 1 ? lead : lead & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += n;
  return c;
}

// The byte table in both directions, with each character's UTF-8 ready to copy.
struct ByteLevelCodec {
  std::array<char32_t, 256> table{};
  std::array<std::string, 256> utf8;
  std::array<std::int16_t, kTableEnd> byte_of{};  // -1: not in the table

  ByteLevelCodec() {
    char32_t next_extra = 0x100;
    for (int b = 0; b < 256; ++b) {
      const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
      table[b] = printable ? static_cast<char32_t>(b) : next_extra++;
    }
    byte_of.fill(-1);
    for (int b = 0; b < 256; ++b) {
      append_utf8(utf8[b], table[b]);
      byte_of[table[b]] = static_cast<std::int16_t>(b);
    }
  }
};

const ByteLevelCodec& codec() {
  static const ByteLevelCodec instance;
  return instance;
}

// Normalisation form C in place. Text whose characters are all below U+0300
// (no byte >= 0xCC) is already in NFC: no character there decomposes or
// combines, so the common case skips utf8proc.
void to_nfc(std::string& text) {
  if (std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xCC; })) {
    return;
  }
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                   &out, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (n >= 0) text.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
  std::free(out);
}

// Reads a ByteLevel token back into bytes. False when a character is outside
// the table (the token is then marker text).
bool decode_byte_level(std::string_view token, std::string& bytes) {
  const ByteLevelCodec& bl = codec();
  bytes.clear();
  for (std::size_t i = 0; i < token.size();) {
    const char32_t c = next_char(token, i);
    if (c >= kTableEnd || bl.byte_of[c] < 0) return false;
    bytes += static_cast<char>(bl.byte_of[c]);
  }
  return true;
}

// Replaces every occurrence of `marker` (left to right, no overlaps) by a
// space. An empty marker stands for nothing: the text is taken as it is.
void decode_marker(std::string_view token, std::string_view marker, std::string& text) {
  text.clear();
  if (marker.empty()) {
    text.assign(token);
    return;
  }
  std::size_t from = 0;
  for (std::size_t hit; (hit = token.find(marker, from)) != std::string_view::npos; from = hit + marker.size()) {
    text.append(token.substr(from, hit - from));
    text += ' ';
  }
  text.append(token.substr(from));
}

class Converter {
 public:
  Converter(const TargetRepresentation& target, std::string source_marker, bool source_byte_level)
      : target_(target), source_marker_(std::move(source_marker)), source_byte_level_(source_byte_level) {}

  // Appends the target form of `text` (decoded UTF-8) to `out`.
  void encode(std::string_view text, std::string& out) const {
    if (target_.byte_level) {
      const ByteLevelCodec& bl = codec();
      for (char c : text) out += bl.utf8[static_cast<unsigned char>(c)];
      return;
    }
    for (char c : text) {
      if (c == ' ') out += target_.marker;
      else out += c;
    }
  }

  // The converted form of an ordinary source token into `out`; false when the
  // target cannot hold the token.
  bool convert(std::string_view token, std::string& out) {
    out.clear();
    if (auto byte = byte_fallback_value(token)) {
      if (target_.byte_level) out = codec().utf8[*byte];
      else out.assign(token);
      return true;
    }
    if (source_byte_level_ && decode_byte_level(token, text_)) {
      if (!is_valid_utf8(text_)) {
        // A piece of a character: only a byte alphabet can spell it.
        if (!target_.byte_level) return false;
        encode(text_, out);
        return true;
      }
    } else {
      decode_marker(token, source_marker_, text_);
    }
    if (target_.apply_nfc) to_nfc(text_);
    encode(text_, out);
    return true;
  }

 private:
  const TargetRepresentation& target_;
  std::string source_marker_;
  bool source_byte_level_;
  std::string text_;
};

// Sorts entries by id ascending, ties by token bytes: the conversion order.
void sort_by_id(std::vector<VocabEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const VocabEntry& a, const VocabEntry& b) {
    return a.id != b.id ? a.id < b.id : a.token < b.token;
  });
}

}  // namespace

std::string_view StringPool::store(std::string_view s) {
  if (s.empty()) return "";  // a data pointer, as for every stored string
  if (buffers_.empty() || buffers_.back().capacity() - buffers_.back().size() < s.size()) {
    buffers_.emplace_back(std::max(kPoolChunk, s.size()));
  }
  ByteBuffer& buffer = buffers_.back();
  char* out = buffer.data() + buffer.size();
  std::copy(s.begin(), s.end(), out);
  buffer.set_size(buffer.size() + s.size());
  return {out, s.size()};
}

void StringPool::move_into(Arena& arena) {
  for (ByteBuffer& buffer : buffers_) arena.adopt(std::move(buffer));
  buffers_.clear();
}

bool contains_type(const Value& value, std::string_view name) {
  if (const Object* object = value.as_object()) {
    if (const Value* type = value.find("type")) {
      if (const std::string* s = type->as_string(); s != nullptr && *s == name) return true;
    }
    for (const auto& [key, member] : *object) {
      if (contains_type(member, name)) return true;
    }
    return false;
  }
  if (const Array* array = value.as_array()) {
    for (const Value& element : *array) {
      if (contains_type(element, name)) return true;
    }
  }
  return false;
}

std::optional<std::string> find_space_marker(const Value& value) {
  if (const Array* array = value.as_array()) {
    for (const Value& element : *array) {
      if (auto marker = find_space_marker(element)) return marker;
    }
    return std::nullopt;
  }
  const Object* object = value.as_object();
  if (object == nullptr) return std::nullopt;
  const Value* type = value.find("type");
  const Value* pattern = value.find("pattern");
  const Value* literal = pattern != nullptr ? pattern->find("String") : nullptr;
  if (type != nullptr && type->as_string() != nullptr && *type->as_string() == "Replace" && literal != nullptr &&
      literal->as_string() != nullptr && *literal->as_string() == " ") {
    const Value* content = value.find("content");
    if (content != nullptr && content->as_string() != nullptr) return *content->as_string();
    return std::nullopt;
  }
  for (const auto& [key, member] : *object) {
    if (auto marker = find_space_marker(member)) return marker;
  }
  return std::nullopt;
}

const std::array<char32_t, 256>& byte_level_table() { return codec().table; }

std::optional<unsigned char> byte_fallback_value(std::string_view token) {
  if (token.size() != 6 || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  // An unsigned parse of the two middle characters: a leading '+' is allowed.
  const char hi = token[3];
  const int lo = digit(token[4]);
  if (lo < 0) return std::nullopt;
  if (hi == '+') return static_cast<unsigned char>(lo);
  const int high = digit(hi);
  if (high < 0) return std::nullopt;
  return static_cast<unsigned char>(high * 16 + lo);
}

std::string TargetRepresentation::label() const {
  if (byte_level) return "ByteLevel (\xC4\xA0)";
  return "space marker (" + marker + ")";
}

Result<TargetRepresentation> detect_representation(const Document& target) {
  TargetRepresentation rep;
  rep.byte_level = contains_type(target.pre_tokenizer, "ByteLevel");
  std::optional<std::string> marker = find_space_marker(target.normalizer);
  rep.apply_nfc = contains_type(target.normalizer, "NFC");
  if (!rep.byte_level && !marker) {
    return fail("Unsupported target: no ByteLevel pre-tokenizer or space marker found");
  }
  if (!rep.byte_level) rep.marker = std::move(*marker);
  return rep;
}

SourceConversion convert_source(const Document& source, const TargetRepresentation& target) {
  SourceConversion out;
  out.representation = target.label();

  StringViewSet specials;
  for (const Value& entry : source.added_tokens) {
    const std::string* content = entry_content(entry);
    if (content != nullptr && entry_special(entry)) specials.insert(*content);
  }

  std::vector<VocabEntry> order;
  order.reserve(source.model.vocab.size());
  source.model.vocab.for_each([&](const VocabEntry& e) { order.push_back(e); });
  sort_by_id(order);

  Converter converter(target, find_space_marker(source.normalizer).value_or(std::string(kDefaultMarker)),
                      contains_type(source.pre_tokenizer, "ByteLevel"));
  // Converted form -> its position in converted_tokens.
  boost::unordered_flat_map<std::string_view, std::uint32_t, StringHash, StringEq> seen;
  seen.reserve(order.size());
  out.token_map.reserve(order.size());
  out.converted_tokens.reserve(order.size());
  // Rank in the conversion order -> converted form, for the bridge pass.
  constexpr std::uint32_t kSkipped = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> form_of(order.size(), kSkipped);
  std::string form;
  for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
    const std::string_view token = order[rank].token;
    if ((!specials.empty() && specials.contains(token)) || !converter.convert(token, form)) continue;
    std::uint32_t index;
    if (auto it = seen.find(std::string_view(form)); it != seen.end()) {
      index = it->second;
    } else {
      index = static_cast<std::uint32_t>(out.converted_tokens.size());
      out.converted_tokens.push_back(out.pool.store(form));
      seen.emplace(out.converted_tokens.back(), index);
    }
    form_of[rank] = index;
    out.token_map.emplace(token, SourceConversion::Mapped{index, rank});
  }

  if (!target.byte_level) return out;

  // Source tokens that some source merge produces are not base tokens.
  std::vector<bool> is_product(order.size(), false);
  std::string product;
  for (const Merge& m : source.model.merges) {
    product.assign(m.left).append(m.right);
    if (auto it = out.token_map.find(std::string_view(product)); it != out.token_map.end()) {
      is_product[it->second.rank] = true;
    }
  }
  MergeSet merge_seen;
  for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
    if (form_of[rank] == kSkipped || is_product[rank]) continue;
    // Every prefix of two or more characters is a view into the stored form.
    const std::string_view base = out.converted_tokens[form_of[rank]];
    std::size_t end = 0;
    if (!base.empty()) next_char(base, end);
    while (end < base.size()) {
      std::size_t next = end;
      next_char(base, next);
      const Merge merge{base.substr(0, end), base.substr(end, next - end)};
      out.bridge_tokens.insert(base.substr(0, next));
      if (merge_seen.insert(merge).second) out.bridge_merges.push_back(merge);
      end = next;
    }
  }
  return out;
}

Result<SourceConversion> convert_source(const Document& source, const Document& target) {
  auto rep = detect_representation(target);
  if (!rep) return std::unexpected(std::move(rep.error()));
  return convert_source(source, *rep);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace quorvane
