#include "editor/management/document/document.h"

#include <limits>

namespace quorvane {

std::optional<std::uint32_t> entry_id(const Value& entry) {
  const Value* id = entry.find("id");
  if (id == nullptr) return std::nullopt;
  const std::uint64_t* u = id->as_uint();
  if (u == nullptr || *u > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*u);
}

const std::string* entry_content(const Value& entry) {
  const Value* content = entry.find("content");
  return content == nullptr ? nullptr : content->as_string();
}

bool entry_special(const Value& entry) {
  const Value* special = entry.find("special");
  if (special == nullptr) return false;
  const bool* b = special->as_bool();
  return b != nullptr && *b;
}

}  // namespace quorvane
