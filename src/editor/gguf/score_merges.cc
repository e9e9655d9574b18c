#include "editor/gguf/score_merges.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/base/hashing.h"
#include "editor/base/parallel.h"
#include "editor/gguf/gguf_format.h"

namespace quorvane::gguf {

namespace {

bool takes_part(std::int32_t type) {
  switch (static_cast<TokenType>(type)) {
    case TokenType::NORMAL: case TokenType::UNKNOWN: case TokenType::UNUSED: case TokenType::UNDEFINED:
      return true;
    default:
      return false;
  }
}

std::uint32_t count_chars(std::string_view s) {
  return static_cast<std::uint32_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A merge with what ranks it.
struct Ranked {
  double score;
  std::uint32_t left_chars;
  std::uint32_t right_chars;
  std::uint32_t piece;
  ScoreMerge merge;
};

}  // namespace

Result<std::vector<ScoreMerge>> merges_from_scores(std::span<const std::string> tokens,
                                                   std::span<const double> scores,
                                                   std::span<const std::int32_t> types) {
  if (scores.size() != tokens.size() || types.size() != tokens.size()) {
    return fail("tokens, scores and types differ in length (" + std::to_string(tokens.size()) + ", " +
                std::to_string(scores.size()) + ", " + std::to_string(types.size()) + ")");
  }
  if (tokens.size() > UINT32_MAX) return fail("more than 2^32 tokens");
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (std::isnan(scores[i])) return fail("scores[" + std::to_string(i) + "] is NaN");
    if (types[i] < 0 || types[i] > static_cast<std::int32_t>(TokenType::BYTE)) {
      return fail("types[" + std::to_string(i) + "]: " + std::to_string(types[i]) + " is not a token type");
    }
  }

  // The pieces that take part, by text; a later token of the same text wins.
  // Short keys sit in the table itself: every split of every piece is looked
  // up, mostly in vain, and a miss then reads no string elsewhere.
  boost::unordered_flat_map<ShortKey, std::uint32_t, ShortKeyHash, ShortKeyEq> pieces;
  pieces.reserve(tokens.size());
  for (std::uint32_t i = 0; i < tokens.size(); ++i) {
    if (takes_part(types[i]) && !tokens[i].empty()) pieces.insert_or_assign(ShortKey(tokens[i]), i);
  }

  // Every split of every piece is looked up, and the table is only read: the
  // pieces are shared out among threads, each ranking its own splits, and the
  // sorted parts are merged. The order is total (a piece and the length of
  // its left part give the split), so the result does not depend on the parts.
  std::vector<std::uint32_t> ids;
  ids.reserve(pieces.size());
  for (const auto& [key, id] : pieces) ids.push_back(id);
  const auto before = [](const Ranked& a, const Ranked& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.left_chars != b.left_chars) return a.left_chars > b.left_chars;
    if (a.right_chars != b.right_chars) return a.right_chars > b.right_chars;
    return a.piece < b.piece;
  };
  const std::size_t parts = std::min<std::size_t>(usable_cores(), 1 + ids.size() / 16384);
  std::vector<std::vector<Ranked>> found(parts);
  parallel_ranges(ids.size(), parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
    std::vector<Ranked>& ranked = found[part];
    ranked.reserve((end - begin) * 2);
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t id = ids[i];
      const std::string_view text = tokens[id];
      std::uint32_t left_chars = 0;
      const std::uint32_t chars = count_chars(text);
      for (std::size_t cut = 1; cut < text.size(); ++cut) {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) continue;
        ++left_chars;
        const auto left = pieces.find(text.substr(0, cut));
        if (left == pieces.end()) continue;
        const auto right = pieces.find(text.substr(cut));
        if (right == pieces.end()) continue;
        ranked.push_back({scores[id], left_chars, chars - left_chars, id, {left->second, right->second}});
      }
    }
    std::sort(ranked.begin(), ranked.end(), before);
  });
  std::vector<Ranked> ranked = std::move(found[0]);
  for (std::size_t part = 1; part < parts; ++part) {
    const std::size_t middle = ranked.size();
    ranked.insert(ranked.end(), found[part].begin(), found[part].end());
    std::inplace_merge(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(middle), ranked.end(), before);
  }
  std::vector<ScoreMerge> merges;
  merges.reserve(ranked.size());
  for (const Ranked& r : ranked) merges.push_back(r.merge);
  return merges;
}

}  // namespace quorvane::gguf
