// The fuzz targets' inputs replayed with the ordinary build: every input kept
// under fuzz/regressions/ (each once crashed a target) and the seed corpora go
// through the targets' own code, whose failed checks throw here. Then the
// faults those inputs found, each pinned down by a small case.
#define QUORVANE_FUZZ_NO_MAIN
#define QUORVANE_FUZZ_THROW
#include "../../fuzz/editor_ops_fuzz.cc"
#include "../../fuzz/read_document_fuzz.cc"
#include "../../fuzz/read_gguf_fuzz.cc"
#include "../../fuzz/split_text_fuzz.cc"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "editor/management/state/arena.h"
#include "editor/merge/representation.h"
#include "test_util.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using testing::bpe_json;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs every file of fuzz/<group>/<target> through `run`; returns how many
// (none when the directory is absent: git keeps no empty one).
template <typename Run>
std::size_t replay(const std::string& group, const std::string& target, Run run) {
  const fs::path dir = kFuzzDir / group / target;
  if (!fs::is_directory(dir)) return 0;
  std::size_t count = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::vector<std::uint8_t> bytes = read_bytes(entry.path());
    try {
      run(bytes.data(), bytes.size());
    } catch (const std::logic_error& e) {
      ADD_FAILURE() << entry.path() << ": " << e.what();
    }
    ++count;
  }
  return count;
}

TEST(FuzzInputs, RegressionsOfTheEditorOperations) {
  EXPECT_GT(replay("regressions", "editor_ops_fuzz", fuzz::ops::editor_ops_one), 0u);
}

TEST(FuzzInputs, RegressionsOfReading) {
  replay("regressions", "read_document_fuzz", fuzz::read_document_one);
}

TEST(FuzzInputs, RegressionsOfReadingGguf) {
  replay("regressions", "read_gguf_fuzz", fuzz::read_gguf_one);
}

TEST(FuzzInputs, RegressionsOfSplitting) {
  replay("regressions", "split_text_fuzz", fuzz::split::split_text_one);
}

TEST(FuzzInputs, Seeds) {
  EXPECT_GT(replay("seeds", "read_gguf_fuzz", fuzz::read_gguf_one), 0u);
  EXPECT_GT(replay("seeds", "editor_ops_fuzz", fuzz::ops::editor_ops_one), 0u);
  EXPECT_GT(replay("seeds", "read_document_fuzz", fuzz::read_document_one), 0u);
  EXPECT_GT(replay("seeds", "split_text_fuzz", fuzz::split::split_text_one), 0u);
}

Editor from(const std::string& json) {
  auto editor = editor_from_json(json);
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

TEST(FuzzFindings, AnIdStaysTakenWhileAnotherTokenCarriesIt) {
  // 'x' and 'y' share 7, and the top id makes the cursor wrap to 0: a 7 freed
  // with 'x' would be handed out again while 'y' still carries it.
  Editor editor = from(bpe_json({{"x", 7}, {"y", 7}, {"w", 7}, {"z", 4294967295LL}}));
  remove_token(editor, "x");
  remove_token(editor, "w");
  EXPECT_TRUE(editor.used_ids().contains(7));
  for (const char* token : {"a", "b", "c", "d", "e", "f", "g", "h", "i"}) add_token_atomic(editor, token);
  std::set<TokenId> ids;
  editor.vocab().for_each([&](const VocabEntry& e) { EXPECT_TRUE(ids.insert(e.id).second) << e.token; });
  // Once the last carrier goes, the id is free.
  remove_token(editor, "y");
  EXPECT_FALSE(editor.used_ids().contains(7));
}

TEST(FuzzFindings, AStoredEmptyStringHasADataPointer) {
  // A view without one reached memcpy in the writer and in the byte-order sort.
  Arena arena;
  EXPECT_NE(arena.store("").data(), nullptr);
  EXPECT_NE(arena.store_concat("", "").data(), nullptr);
  StringPool pool;
  EXPECT_NE(pool.store("").data(), nullptr);
  Editor editor = from(bpe_json({{"a", 0}}));
  add_token(editor, "");
  EXPECT_EQ(editor.vocab().sorted().front().token, "");
  EXPECT_NE(editor.vocab().sorted().front().token.data(), nullptr);
}

TEST(FuzzFindings, WritingASmallDocumentFillsNoMegabyte) {
  // The writer's growth step was a fixed megabyte, zero-filled on every call.
  const auto document = parse_document(bpe_json({{"a", 0}, {"b", 1}, {"ab", 2}}, {{"a", "b"}}));
  ASSERT_TRUE(document);
  for (KeyOrder order : {KeyOrder::kDeclared, KeyOrder::kSorted}) {
    EXPECT_LT(write_document(*document, order).capacity(), 64u * 1024);
  }
}

}  // namespace
}  // namespace quorvane
