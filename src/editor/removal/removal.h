// Cascade removal: the record a removal returns.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

struct RemovalRecord {
  std::string root_token;  // the requested token (a copy)
  // Every string of the cascade, the root included; no fixed order.
  std::vector<std::string> removed_tokens;
  // Every merge the cascade deleted, as it stood before deletion; no fixed order.
  std::vector<std::pair<std::string, std::string>> removed_merges;
};

}  // namespace quorvane

#include <string_view>

#include "editor/management/state/editor.h"

namespace quorvane {

// Removes `token` with everything that depends on it: every merge that uses a
// removed string as an input, the products of those merges (at any depth), and
// for each removed string the first merge that yields it. Tokens of the
// removal set that are in the Vocabulary leave it and their ids leave used_ids
// (the id cursor does not move back). Runs even when `token` is absent.
//
// The merge list is left stale (see MergeIndex); callers running several
// cascades call editor.commit_merges() once at the end. remove_token and
// remove_tokens below do so themselves.
RemovalRecord cascade_remove(Editor& editor, std::string_view token);

// Counts of one cascade, for callers that only add them up.
struct RemovalCounts {
  std::uint64_t tokens = 0;
  std::uint64_t merges = 0;
};
RemovalCounts cascade_remove_counted(Editor& editor, std::string_view token);

RemovalRecord remove_token(Editor& editor, std::string_view token);

// One cascade per element that is in the Vocabulary when reached; absent
// elements (including ones an earlier cascade took) produce no record.
std::vector<RemovalRecord> remove_tokens(Editor& editor, const std::vector<std::string>& tokens);

}  // namespace quorvane
