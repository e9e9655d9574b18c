#include "editor/split/text_lines.h"

#include <cstring>

namespace quorvane {

namespace {

// Python's white space: bidirectional classes WS, B and S, and category Zs.
bool is_space(char32_t c) {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

}  // namespace

bool is_blank(std::string_view line) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const auto* end = p + line.size();
  while (p < end) {
    char32_t c = *p;
    int extra = 0;
    if (c >= 0xF0) c &= 0x07, extra = 3;
    else if (c >= 0xE0) c &= 0x0F, extra = 2;
    else if (c >= 0xC0) c &= 0x1F, extra = 1;
    ++p;
    for (; extra > 0 && p < end; --extra) c = (c << 6) | (*p++ & 0x3F);
    if (!is_space(c)) return false;
  }
  return true;
}

void cut_lines(std::string_view text, std::vector<std::string_view>& out) {
  std::size_t start = 0;
  while (start < text.size()) {
    const void* found = std::memchr(text.data() + start, '\n', text.size() - start);
    const std::size_t end = found ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) : text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    out.push_back(line);
    start = end + 1;
  }
}

}  // namespace quorvane
