// The id map of an edit: how every token's id changed, as the JSON text that
// `--id-map` writes, so that a model's embedding matrix can be cut to match.
//
//   {"old_to_new": {"<old id>": <new id>, ...},
//    "removed": [{"token": t, "id": <old id>}, ...],
//    "added": [{"token": t, "id": <new id>}, ...]}
//
// Survivors are keyed by their old id as a decimal string, in numeric order;
// an old id that several tokens held and that now maps to several ids maps to
// the sorted list of them. Added tokens outside the model that an edit moved
// are survivors too. The text has one line per member of the outer object
// and per item of each collection, items written compactly, in the layout of
// the command-line tool's own JSON files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "editor/management/state/vocabulary.h"

namespace quorvane {

struct MovedToken {
  std::string_view token;
  TokenId old_id, new_id;
};

// `before` is the (token, id) list of the vocabulary before the edit, `after`
// the vocabulary now; views must stay valid for the call.
std::string id_map_json(const std::vector<std::pair<std::string_view, TokenId>>& before, const Vocabulary& after,
                        const std::vector<MovedToken>& moved);

}  // namespace quorvane
