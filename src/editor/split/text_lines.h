// Cutting text into the lines that get counted, as the tool reads text: lines
// end at "\n" and a "\r" before it is dropped; a line that is empty or holds
// only white space (what Python's str.isspace calls white space) is blank.
#pragma once

#include <string_view>
#include <vector>

namespace quorvane {

// Appends every line of `text` to `out`, in order, blank ones included.
void cut_lines(std::string_view text, std::vector<std::string_view>& out);

// Whether every character of `line` (valid UTF-8) is white space; true for "".
bool is_blank(std::string_view line);

// Whether every byte of `text` is ASCII; true for "".
inline bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace quorvane
