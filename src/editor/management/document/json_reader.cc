#include "editor/management/document/json_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/basic_parser_impl.hpp>

#include "editor/management/document/json_handler.h"

namespace quorvane {

namespace {

namespace json = boost::json;
using json_reading::Handler;

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// " at line L column C" for a 1-based position at byte offset `offset`; the
// column counts characters.
std::string position_suffix(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 1;
  for (std::size_t i = line_start; i < offset; ++i) {
    column += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string parser_message(const json::error_code& ec) {
  if (ec == json::error::too_deep) return "recursion limit exceeded";
  if (ec == json::error::incomplete) return "EOF while parsing a value";
  return ec.message();
}

// Reads the whole file; false when it cannot be opened or read.
bool read_file(const std::string& path, ByteBuffer& out, std::string& cause) {
  // A path with a NUL would be cut short by the system call: never open the
  // shorter path instead.
  if (path.find('\0') != std::string::npos) {
    cause = "path contains a NUL character";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    cause = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    cause = S_ISDIR(st.st_mode) ? "is a directory" : std::strerror(errno);
    ::close(fd);
    return false;
  }
  // One byte of slack tells a file that grew since fstat from one that did not.
  ByteBuffer buffer(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.capacity()) {
      ByteBuffer bigger(buffer.capacity() * 2);
      std::memcpy(bigger.data(), buffer.data(), filled);
      buffer = std::move(bigger);
    }
    const ssize_t n = ::read(fd, buffer.data() + filled, buffer.capacity() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      cause = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  buffer.set_size(filled);
  out = std::move(buffer);
  return true;
}

// Parses `input`, which `doc`'s arena already holds.
Result<void> parse_into(Document& doc, std::string_view input) {
  json::parse_options options;
  options.max_depth = kMaxDepth;
  // Callers hand in valid UTF-8 (a Python str, or a file checked on reading).
  options.allow_invalid_utf8 = true;
  json::basic_parser<Handler> parser(options, doc, input);
  json::error_code ec;
  const std::size_t consumed = parser.write_some(false, input.data(), input.size(), ec);
  if (ec) {
    std::string message = parser.handler().message();
    if (message.empty()) message = parser_message(ec);
    return fail(message + position_suffix(input, consumed));
  }
  std::size_t rest = consumed;
  while (rest < input.size() && is_json_space(input[rest])) ++rest;
  if (rest != input.size()) return fail("trailing characters" + position_suffix(input, rest));
  return {};
}

}  // namespace

Result<Document> parse_document(std::string text) {
  Document doc;
  const std::string_view input = doc.arena->adopt(std::move(text));
  if (auto ok = parse_into(doc, input); !ok) return std::unexpected(std::move(ok.error()));
  return doc;
}

Result<void> require_bpe(const Document& document) {
  if (document.model.type != "BPE") return fail("Only BPE tokenizers are supported");
  return {};
}

Result<Document> load_document(const std::string& path) {
  ByteBuffer buffer;
  std::string cause;
  if (!read_file(path, buffer, cause)) return fail("Failed to read: " + path, cause);
  Document doc;
  const std::string_view input = doc.arena->adopt(std::move(buffer));
  // The UTF-8 check runs beside the parse, on a second thread, for large files;
  // both finish before this returns. A file that is not UTF-8 fails reading
  // whatever the parse said.
  bool valid_utf8 = false;
  Result<void> parsed;
  if (input.size() >= (1u << 20)) {
    std::thread checker([&] { valid_utf8 = is_valid_utf8(input); });
    try {
      parsed = parse_into(doc, input);
    } catch (...) {
      checker.join();
      throw;
    }
    checker.join();
  } else {
    valid_utf8 = is_valid_utf8(input);
    if (valid_utf8) parsed = parse_into(doc, input);
  }
  if (!valid_utf8) return fail("Failed to read: " + path, "stream did not contain valid UTF-8");
  if (!parsed) return fail("Failed to parse tokenizer.json", parsed.error().message);
  if (auto ok = require_bpe(doc); !ok) return std::unexpected(std::move(ok.error()));
  return doc;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Fast path over ASCII, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    for (std::size_t i = 1; i <= need; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += need + 1;
  }
  return true;
}

}  // namespace quorvane
