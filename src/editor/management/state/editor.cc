#include "editor/management/state/editor.h"

#include "editor/management/document/json_reader.h"

namespace quorvane {

MergeIndex& Editor::merge_index() {
  encoder_.reset();
  if (!merge_index_) merge_index_ = std::make_unique<MergeIndex>(document_.model.merges, *document_.arena);
  return *merge_index_;
}

const Encoder& Editor::encoder() const {
  if (!encoder_) encoder_ = std::make_unique<Encoder>(document_);
  return *encoder_;
}

std::unique_ptr<Encoder> Editor::take_encoder() {
  encoder();
  return std::move(encoder_);
}

void Editor::set_dense_ids(std::uint64_t complete) {
  used_ids_.clear();
  shared_ids_.clear();
  used_ids_.reserve(complete);
  for (std::uint64_t id = 0; id < complete; ++id) used_ids_.insert(static_cast<TokenId>(id));
  next_id_ = static_cast<TokenId>(complete);
  ids_ready_ = true;
}

void Editor::ensure_ids() {
  if (ids_ready_) return;
  reset_ids();
}

void Editor::reset_ids() {
  used_ids_.clear();
  shared_ids_.clear();
  const Vocabulary& vocab = document_.model.vocab;
  used_ids_.reserve(vocab.size() + document_.added_tokens.size());
  vocab.for_each([&](const VocabEntry& e) {
    if (!used_ids_.insert(e.id).second) ++shared_ids_.try_emplace(e.id, 1u).first->second;
  });
  for (const Value& entry : document_.added_tokens) {
    if (auto id = entry_id(entry)) used_ids_.insert(*id);
  }
  TokenId largest = 0;
  for (TokenId id : used_ids_) largest = std::max(largest, id);
  next_id_ = static_cast<TokenId>(largest + 1u);
  ids_ready_ = true;
}

TokenId Editor::allocate_id() {
  ensure_ids();
  TokenId i = next_id_;
  // Wraps from 4294967295 to 0 and goes on from there, so a taken id is never
  // handed out. A free id always exists: all 2^32 taken would not fit in memory.
  while (used_ids_.contains(i)) ++i;
  used_ids_.insert(i);
  next_id_ = static_cast<TokenId>(i + 1u);
  return i;
}

void Editor::release_id(TokenId id) {
  ensure_ids();
  // Only allocate_id adds tokens, with ids nobody carries: the count of a
  // shared id can only go down.
  if (auto it = shared_ids_.find(id); it != shared_ids_.end()) {
    if (--it->second == 1) shared_ids_.erase(it);
    return;
  }
  used_ids_.erase(id);
}

const IdSet& Editor::used_ids() {
  ensure_ids();
  return used_ids_;
}

TokenId Editor::next_id() {
  ensure_ids();
  return next_id_;
}

Result<Editor> open_editor(const std::string& path) {
  auto document = load_document(path);
  if (!document) return std::unexpected(std::move(document.error()));
  return Editor(std::move(*document));
}

Result<Editor> editor_from_json(std::string text) {
  auto document = parse_document(std::move(text));
  if (!document) {
    return fail("Failed to parse JSON: " + document.error().message);
  }
  if (auto ok = require_bpe(*document); !ok) return std::unexpected(std::move(ok.error()));
  return Editor(std::move(*document));
}

bool is_special_token(std::string_view token) noexcept {
  if (token.empty()) return false;
  const char first = token.front();
  const char last = token.back();
  return (first == '[' && last == ']') || (first == '<' && last == '>');
}

std::vector<std::size_t> char_boundaries(std::string_view text) {
  std::vector<std::size_t> out;
  out.reserve(text.size() + 1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) out.push_back(i);
  }
  out.push_back(text.size());
  return out;
}

std::size_t char_count(std::string_view utf8) noexcept {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace quorvane
