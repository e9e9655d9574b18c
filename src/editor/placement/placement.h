// Where new tokens go when the client numbers added tokens itself.
//
// The client numbers the added tokens that are not model tokens from the
// model's size up, in entry order, whatever ids the file gives them. So when
// the model's ids are dense, an edit that adds model tokens must give them the
// ids right after the model's, and move those added tokens up behind them, or
// the client reads one id for two tokens. Operations that add tokens of their
// own choosing (reachable additions, continued training) follow this; the
// specified additions keep their own allocation.
#pragma once

#include <string>
#include <vector>

#include "editor/management/state/editor.h"

namespace quorvane {

// An added-token entry whose id an edit changed.
struct MovedAddedToken {
  std::string content;
  TokenId old_id;
  TokenId new_id;
};

// Whether the model's ids are exactly 0 to n - 1 and some added-token entry
// holds a string that is not a model token.
bool places_after_model(const Editor& editor);

// Gives the added-token entries whose content is not a model token the ids
// from `next` up, in entry order (one id per distinct content), and rebuilds
// the taken ids. Model tokens, and so an encoder, are untouched. Returns the
// entries whose id changed, in entry order.
std::vector<MovedAddedToken> place_outside_after(Editor& editor, TokenId next);

}  // namespace quorvane
