#include "editor/encode/unreachable.h"

namespace quorvane {

WholeTokens::WholeTokens(const Editor& editor) : byte_fallback_(editor.document().model.byte_fallback) {
  for (const Value& entry : editor.document().added_tokens) {
    if (const std::string* content = entry_content(entry)) added_.insert(*content);
  }
}

bool WholeTokens::contains(std::string_view token) const {
  return (byte_fallback_ && Encoder::is_byte_token(token)) || added_.contains(token);
}

std::vector<UnreachableToken> unreachable_tokens(const Editor& editor) {
  const Encoder& encoder = editor.encoder();
  const WholeTokens whole(editor);
  std::vector<UnreachableToken> out;
  std::vector<TokenId> pieces;
  for (const VocabEntry& e : editor.vocab().sorted()) {
    if (whole.contains(e.token)) continue;
    const bool ok = encoder.tokenize(e.token, pieces);
    if (ok && pieces.size() == 1 && pieces[0] == e.id) continue;
    UnreachableToken& u = out.emplace_back(UnreachableToken{std::string(e.token), e.id, {}});
    if (!ok) continue;
    u.pieces.reserve(pieces.size());
    for (TokenId id : pieces) u.pieces.emplace_back(encoder.token(id));
  }
  return out;
}

}  // namespace quorvane
