#include "editor/idmap/id_map.h"

#include <algorithm>
#include <charconv>

#include "editor/management/document/json_writer.h"

namespace quorvane {

namespace {

void put_number(std::string& out, std::uint64_t n) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
  out.append(buffer, end);
}

// A list of (id, token) items, one per line: {"token": t, "id": n}.
void put_tokens(std::string& out, std::vector<std::pair<TokenId, std::string_view>>& items) {
  std::sort(items.begin(), items.end());
  if (items.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i == 0 ? "    {\"token\": " : ",\n    {\"token\": ";
    write_string(out, items[i].second);
    out += ", \"id\": ";
    put_number(out, items[i].first);
    out += '}';
  }
  out += "\n  ]";
}

}  // namespace

std::string id_map_json(const std::vector<std::pair<std::string_view, TokenId>>& before, const Vocabulary& after,
                        const std::vector<MovedToken>& moved) {
  std::vector<std::pair<TokenId, TokenId>> survivors;  // (old, new)
  std::vector<std::pair<TokenId, std::string_view>> removed, added;
  survivors.reserve(before.size() + moved.size());
  // Every entry of `after` that a token of `before` finds is marked; the
  // unmarked ones are the added tokens (the tokens of `before` are distinct).
  const std::vector<Vocabulary::Handle> entries = after.handles();
  std::vector<TokenId> id_at;  // by slot
  std::vector<bool> found;     // by slot
  const std::uint32_t slots = entries.empty() ? 0 : entries.back().slot + 1;
  id_at.resize(slots);
  found.resize(slots);
  for (const Vocabulary::Handle& h : entries) id_at[h.slot] = h.id;
  for (const auto& [token, old_id] : before) {
    if (const auto slot = after.slot_of(token)) {
      survivors.emplace_back(old_id, id_at[*slot]);
      found[*slot] = true;
    } else {
      removed.emplace_back(old_id, token);
    }
  }
  for (const MovedToken& m : moved) survivors.emplace_back(m.old_id, m.new_id);
  for (const Vocabulary::Handle& h : entries) {
    if (!found[h.slot]) added.emplace_back(h.id, h.token);
  }
  std::sort(survivors.begin(), survivors.end());
  survivors.erase(std::unique(survivors.begin(), survivors.end()), survivors.end());

  std::string out;
  out.reserve(survivors.size() * 20 + (removed.size() + added.size()) * 40 + 64);
  out += "{\n  \"old_to_new\": ";
  if (survivors.empty()) {
    out += "{}";
  } else {
    out += "{\n";
    for (std::size_t i = 0; i < survivors.size();) {
      std::size_t j = i + 1;
      while (j < survivors.size() && survivors[j].first == survivors[i].first) ++j;
      out += i == 0 ? "    \"" : ",\n    \"";
      put_number(out, survivors[i].first);
      out += "\": ";
      if (j - i == 1) {
        put_number(out, survivors[i].second);
      } else {
        out += '[';
        for (std::size_t k = i; k < j; ++k) {
          if (k > i) out += ", ";
          put_number(out, survivors[k].second);
        }
        out += ']';
      }
      i = j;
    }
    out += "\n  }";
  }
  out += ",\n  \"removed\": ";
  put_tokens(out, removed);
  out += ",\n  \"added\": ";
  put_tokens(out, added);
  out += "\n}";
  return out;
}

}  // namespace quorvane
