"""Model directories: every command reads a directory holding a tokenizer.json,
and an editing command given one writes a whole directory whose
tokenizer_config.json agrees with the new ids.

transformers is the judge of what we write: it loads the directory offline
(conftest sets HF_HUB_OFFLINE), must not complain about added tokens, and must
give every added token the id the `tokenizers` package gives it and encode
and decode as that package does. Each such check is also run against the
directory with its old tokenizer_config.json copied back, where the edit moved
added tokens, to show that the check sees a stale configuration. Without
transformers (it needs Python 3.11) the configuration is checked against the
tokenizers package alone."""

import json
import logging
import lzma
import os
import shutil
import warnings
from pathlib import Path

import pytest

from conftest import tokenizer_doc
from quorvane_cli.formats.modeldir import loader_ids
from test_cli import MARKER, SAMPLE, failure, run, run_json

tokenizers = pytest.importorskip("tokenizers")
transformers = None
# Under the sanitizers transformers stays out: its native libraries (numpy,
# safetensors, ...) are not ours to check. Without it (it needs Python 3.11)
# the checks against the tokenizers package still run.
if not os.environ.get("QUORVANE_SANITIZED"):
    try:
        import transformers
    except ImportError:
        pass

TEXT_DIR = Path(__file__).resolve().parents[4] / "shared" / "text"
CHAT = "<|im_start|>user\nThe keeper lights the lantern, dziękuję.<|im_end|>"
WEIGHTS = bytes(range(256)) * 64  # stands in for model.safetensors


def make_model_dir(directory, tokenizer, bos, eos, *, decoder=True):
    """A saved model's directory around `tokenizer`, its tokenizer_config.json
    listing the added tokens by id as transformers writes them."""
    directory.mkdir()
    shutil.copyfile(tokenizer, directory / "tokenizer.json")
    document = json.loads(Path(tokenizer).read_text(encoding="utf-8"))
    config = {"add_bos_token": False, "add_eos_token": False}
    if decoder:
        config["added_tokens_decoder"] = {
            str(entry["id"]): {key: entry[key] for key in
                               ("content", "lstrip", "normalized", "rstrip", "single_word", "special")}
            for entry in document["added_tokens"]
        }
    config.update({"bos_token": bos, "clean_up_tokenization_spaces": False, "eos_token": eos,
                   "model_max_length": 4096, "tokenizer_class": "PreTrainedTokenizerFast"})
    dump(directory / "tokenizer_config.json", config)
    dump(directory / "special_tokens_map.json", {"bos_token": bos, "eos_token": eos})
    vocab = document["model"]["vocab"]
    rows = len(vocab) + len({entry["content"] for entry in document["added_tokens"]} - vocab.keys())
    dump(directory / "config.json", {"model_type": "llama", "hidden_size": 8, "num_attention_heads": 2,
                                     "num_key_value_heads": 2, "num_hidden_layers": 1, "intermediate_size": 16,
                                     "vocab_size": rows})
    (directory / "model.safetensors").write_bytes(WEIGHTS)
    (directory / "extra").mkdir()
    (directory / "extra" / "notes.txt").write_text("kept as it is\n", encoding="utf-8")
    return directory


def dump(path, value):
    path.write_text(json.dumps(value, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")


def read(path):
    return json.loads(Path(path).read_text(encoding="utf-8"))


def files(directory):
    """Relative path -> bytes of every file under `directory`."""
    return {str(p.relative_to(directory)): p.read_bytes() for p in sorted(Path(directory).rglob("*")) if p.is_file()}


def load(directory):
    """transformers' tokenizer for `directory`, and what it logged or warned on the way."""
    messages = []

    class Collect(logging.Handler):
        def emit(self, record):
            messages.append(record.getMessage())

    handler = Collect(logging.WARNING)
    logger = logging.getLogger("transformers")
    logger.addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tokenizer = transformers.AutoTokenizer.from_pretrained(str(directory))
    finally:
        logger.removeHandler(handler)
    return tokenizer, messages + [str(w.message) for w in caught]


def check_loads(directory, text=CHAT):
    """tokenizer_config.json lists the added tokens at the ids the tokenizers
    package gives them, and transformers reads `directory` as that package
    reads its tokenizer.json."""
    client = tokenizers.Tokenizer.from_file(str(Path(directory) / "tokenizer.json"))
    contents = [entry["content"] for entry in read(Path(directory) / "tokenizer.json")["added_tokens"]]
    listed = {entry["content"]: int(key) for key, entry in
              read(Path(directory) / "tokenizer_config.json").get("added_tokens_decoder", {}).items()}
    if listed:
        assert listed.keys() >= set(contents)
        known = {c: i for c, i in listed.items() if client.token_to_id(c) is not None}
        assert known == {c: client.token_to_id(c) for c in known}
    if transformers is None:
        return
    tokenizer, messages = load(directory)
    assert not [m for m in messages if "token" in m.lower()], messages
    assert [tokenizer.convert_tokens_to_ids(c) for c in contents] == [client.token_to_id(c) for c in contents]
    assert {c: tokenizer.convert_tokens_to_ids(c) for c in listed} == listed
    only_configured = listed.keys() - client.get_vocab().keys()  # transformers adds them after the file's
    assert len(tokenizer) == client.get_vocab_size(with_added_tokens=True) + len(only_configured)
    for special in [False, True]:
        ids = tokenizer(text, add_special_tokens=special)["input_ids"]
        assert ids == client.encode(text, add_special_tokens=special).ids
        assert tokenizer.decode(ids) == client.decode(ids, skip_special_tokens=False)


def check_stale_config_fails(out, original):
    """The same checks fail once the input's tokenizer_config.json is copied back."""
    stale = out.parent / f"{out.name}-stale"
    shutil.copytree(out, stale)
    shutil.copyfile(original / "tokenizer_config.json", stale / "tokenizer_config.json")
    with pytest.raises(AssertionError):
        check_loads(stale)


@pytest.fixture
def sample_dir(tmp_path):
    """The ByteLevel sample as a model: <|endoftext|> at 0 in the vocabulary,
    <|im_start|> and <|im_end|> at 3000 and 3001, after its 3,000 tokens."""
    return make_model_dir(tmp_path / "model", SAMPLE, "<|endoftext|>", "<|im_end|>")


def outside(tmp_path):
    """Everything in tmp_path but the model directory: what a command left."""
    return sorted(p.name for p in tmp_path.iterdir() if p.name != "model")


class TestReading:
    def test_a_directory_reads_as_its_tokenizer(self, capsys, sample_dir, tmp_path):
        inner = sample_dir / "tokenizer.json"
        text = tmp_path / "text.txt"
        text.write_text(CHAT + "\n", encoding="utf-8")
        for argv, path_key in [(["info", "--reachability"], "tokenizer"), (["validate"], "tokenizer"),
                               (["shrink", "5", "--dry-run"], "input")]:
            by_dir = run_json(capsys, argv[0], sample_dir, *argv[1:])
            by_file = run_json(capsys, argv[0], inner, *argv[1:])
            assert by_dir.pop(path_key) == str(sample_dir) and by_file.pop(path_key) == str(inner)
            assert by_dir == by_file
        measured = run_json(capsys, "eval", sample_dir, inner, "--text", text)["tokenizers"]
        assert measured[0]["tokenizer"] == str(sample_dir)
        assert {**measured[0], "tokenizer": ""} == {**measured[1], "tokenizer": ""}

    @pytest.mark.parametrize("command", ["merge", "sync-chars"])
    def test_a_directory_as_the_source(self, capsys, tmp_path, command):
        source = make_model_dir(tmp_path / "source", MARKER, "<s>", "</s>")
        run_json(capsys, command, SAMPLE, source, "-o", tmp_path / "by_dir.json")
        run_json(capsys, command, SAMPLE, MARKER, "-o", tmp_path / "by_file.json")
        assert (tmp_path / "by_dir.json").read_bytes() == (tmp_path / "by_file.json").read_bytes()

    def test_a_directory_without_tokenizer(self, capsys, tmp_path):
        empty = tmp_path / "empty"
        empty.mkdir()
        (empty / "tokenizer_config.json").write_text("{}", encoding="utf-8")
        out = tmp_path / "out"
        for argv in [["info", empty], ["validate", empty], ["eval", empty, "--text", SAMPLE.parent / "corpus.txt"],
                     ["shrink", empty, "3", "--dry-run"], ["reindex", empty, "-o", out],
                     ["add", empty, "x", "--in-place"], ["merge", SAMPLE, empty, "-o", out],
                     ["sync-chars", SAMPLE, empty, "-o", out], ["upgrade-merges", empty, "-o", out]]:
            assert f"{empty} is a directory without a tokenizer.json" in failure(capsys, *argv)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["empty"]


class TestWriting:
    def test_output_directory_is_complete(self, capsys, sample_dir, tmp_path):
        # Weights as a hub cache holds them, a link into a store of blobs; an empty output directory.
        blob = tmp_path / "blobs" / "weights"
        blob.parent.mkdir()
        (sample_dir / "model.safetensors").rename(blob)
        (sample_dir / "model.safetensors").symlink_to(blob)
        out = tmp_path / "out"
        out.mkdir()
        result = run_json(capsys, "shrink", sample_dir, "300", "-o", out, "--quiet")
        assert (result["input"], result["output"]) == (str(sample_dir), str(out))
        # Shrinking leaves gaps, closed in the directory written.
        written = result["model_dir"]
        assert {key: written[key] for key in list(written)[:7]} == {
            "tokenizer_config_rewritten": True, "decoder_entries_dropped": [], "files_copied": 4,
            "old_vocabulary_files": [], "added_tokens_on_model_ids": [], "gaps_closed": 299,
            "ids_moved_closing_gaps": 2252}
        assert [(f["file"], f["action"]) for f in written["files"]] == [
            ("config.json", "copied"), ("extra", "copied"), ("model.safetensors", "copied"),
            ("special_tokens_map.json", "copied"), ("tokenizer.json", "rewrote"),
            ("tokenizer_config.json", "rewrote")]
        before, after = files(sample_dir), files(out)
        assert sorted(before) == sorted(after)
        for name in ["config.json", "special_tokens_map.json", "model.safetensors", "extra/notes.txt"]:
            assert after[name] == before[name]
        assert not (out / "model.safetensors").is_symlink()
        old, new = read(sample_dir / "tokenizer_config.json"), read(out / "tokenizer_config.json")
        assert list(new) == list(old) and {k: v for k, v in new.items() if k != "added_tokens_decoder"} == {
            k: v for k, v in old.items() if k != "added_tokens_decoder"}
        # The sample keeps 2,700 tokens, so loaders number the two outside it from 2700.
        assert {k: v["content"] for k, v in new["added_tokens_decoder"].items()} == {
            "0": "<|endoftext|>", "2700": "<|im_start|>", "2701": "<|im_end|>"}
        assert list(new["added_tokens_decoder"].values()) == list(old["added_tokens_decoder"].values())
        assert outside(tmp_path) == ["blobs", "out"]
        check_loads(out)
        check_stale_config_fails(out, sample_dir)

    def test_new_tokens_keep_clear_of_added_token_ids(self, capsys, sample_dir, tmp_path):
        # Plain add gives new tokens ids past <|im_start|> and <|im_end|> (3000, 3001), where a
        # tokenizer.json alone keeps them (test_cli's xfail); a directory closes the gap.
        result = run_json(capsys, "add", sample_dir, "Ġlighthouses", "Ġquayside", "-o", tmp_path / "out",
                          "--id-map", tmp_path / "ids.json")
        assert result["model_dir"]["gaps_closed"] == 2
        client = tokenizers.Tokenizer.from_file(str(tmp_path / "out" / "tokenizer.json"))
        assert client.token_to_id("<|im_start|>") not in client.get_vocab(with_added_tokens=False).values()
        ids = read(tmp_path / "ids.json")
        # The new tokens (with those the merge chains need) right after the model, the added tokens after them.
        assert [entry["id"] for entry in ids["added"]] == list(range(3000, 3006))
        assert (ids["old_to_new"]["3000"], ids["old_to_new"]["3001"]) == (3006, 3007)
        check_loads(tmp_path / "out")

    def test_the_id_map_resizes_the_weights_in_one_step(self, capsys, sample_dir, tmp_path):
        # Before the gaps were closed, resize-embeddings refused this map until a reindex.
        if os.environ.get("QUORVANE_SANITIZED"):
            pytest.skip("numpy under the sanitizers")
        np = pytest.importorskip("numpy")
        from safetensors.numpy import load_file, save_file

        save_file({"model.embed_tokens.weight": np.arange(3002 * 4, dtype=np.float32).reshape(3002, 4)},
                  str(sample_dir / "model.safetensors"))
        out = tmp_path / "out"
        run_json(capsys, "shrink", sample_dir, "300", "-o", out, "--id-map", tmp_path / "ids.json")
        run_json(capsys, "resize-embeddings", sample_dir, "--id-map", tmp_path / "ids.json", "-o", out)
        rows = load_file(str(out / "model.safetensors"))["model.embed_tokens.weight"]
        old = tokenizers.Tokenizer.from_file(str(sample_dir / "tokenizer.json"))
        new = tokenizers.Tokenizer.from_file(str(out / "tokenizer.json"))
        assert rows.shape == (2702, 4)
        for token, token_id in new.get_vocab().items():
            assert rows[token_id][0] == 4 * old.token_to_id(token), token

    def test_in_place(self, capsys, sample_dir, tmp_path):
        kept = {name: (sample_dir / name).stat().st_mtime_ns for name in ["config.json", "model.safetensors"]}
        before = files(sample_dir)
        result = run_json(capsys, "shrink", sample_dir, "300", "--in-place", "--quiet")
        assert result["output"] == str(sample_dir) and result["model_dir"]["tokenizer_config_rewritten"]
        after = files(sample_dir)
        assert sorted(after) == sorted(before)  # no temporary file left
        assert {name: (sample_dir / name).stat().st_mtime_ns for name in kept} == kept
        assert after["tokenizer.json"] != before["tokenizer.json"]
        assert "2700" in read(sample_dir / "tokenizer_config.json")["added_tokens_decoder"]
        check_loads(sample_dir)

    def test_json_output_and_id_map_as_for_a_file(self, capsys, sample_dir, tmp_path):
        # -o FILE.json gets the tokenizer.json alone; the id map may go into the new directory.
        out = tmp_path / "out"
        alone = run_json(capsys, "shrink", sample_dir, "300", "-o", tmp_path / "alone.json")
        run_json(capsys, "shrink", sample_dir, "300", "-o", out, "--id-map", out / "ids.json", "--keep-gaps")
        run_json(capsys, "shrink", SAMPLE, "300", "-o", tmp_path / "file.json", "--id-map", tmp_path / "ids.json")
        assert "model_dir" not in alone and outside(tmp_path) == ["alone.json", "file.json", "ids.json", "out"]
        assert (tmp_path / "alone.json").read_bytes() == (tmp_path / "file.json").read_bytes()
        assert (out / "ids.json").read_bytes() == (tmp_path / "ids.json").read_bytes()
        for source, option in [(SAMPLE, ["--keep-gaps"]), (sample_dir, ["--slow-files", "drop"])]:
            status, _, err = run(capsys, "shrink", source, "3", "-o", tmp_path / "x.json", *option)
            assert status == 2 and "apply only when a model directory is written" in err

    def test_gaps_are_closed_and_the_id_map_says_so(self, capsys, sample_dir, tmp_path):
        # Without closing, loaders would number <|im_end|> 2701, an id a kept model token holds.
        kept = run_json(capsys, "shrink", sample_dir, "300", "-o", tmp_path / "kept", "--keep-gaps")
        assert kept["model_dir"]["added_tokens_on_model_ids"] == ["<|im_end|>"]
        result = run_json(capsys, "shrink", sample_dir, "300", "-o", tmp_path / "closed", "--id-map",
                          tmp_path / "ids.json")
        assert result["model_dir"]["gaps_closed"] == 299
        ids = read(tmp_path / "ids.json")
        client = tokenizers.Tokenizer.from_file(str(tmp_path / "closed" / "tokenizer.json"))
        old = tokenizers.Tokenizer.from_file(str(SAMPLE))
        final = {token: client.token_to_id(token) for token in client.get_vocab()}
        assert sorted(final.values()) == list(range(2702))
        assert {int(k): v for k, v in ids["old_to_new"].items()} == {
            old.token_to_id(token): new for token, new in final.items()}
        check_loads(tmp_path / "closed")

    def test_refused_before_any_work(self, capsys, sample_dir, tmp_path):
        (tmp_path / "full").mkdir()
        (tmp_path / "full" / "x").write_text("x", encoding="utf-8")
        (tmp_path / "file").write_text("x", encoding="utf-8")
        (sample_dir / "link").symlink_to(sample_dir)
        for output, message in [(sample_dir, "names the input directory"), (sample_dir / "link", "input directory"),
                                (sample_dir / "sub", "lies inside the input directory"),
                                (tmp_path / "full", "exists and is not empty"),
                                (tmp_path / "file", "exists and is not a directory"),
                                (tmp_path / "no" / "out", "no such directory")]:
            assert message in failure(capsys, "reindex", sample_dir, "-o", output)
        for id_map in [tmp_path / "out" / "tokenizer_config.json", sample_dir / "tokenizer.json",
                       tmp_path / "elsewhere" / "ids.json"]:
            assert "--id-map" in failure(capsys, "reindex", sample_dir, "-o", tmp_path / "out", "--id-map", id_map)
        assert outside(tmp_path) == ["file", "full"]

    @pytest.mark.parametrize("name, text, message", [
        ("tokenizer_config.json", "{", "tokenizer_config.json: invalid JSON"),
        ("tokenizer_config.json", "[]", "tokenizer_config.json: expected a JSON object"),
        ("tokenizer_config.json", '{"added_tokens_decoder": []}', "added_tokens_decoder is not an object"),
        ("tokenizer_config.json", '{"added_tokens_decoder": {"5": "<x>"}}', 'added_tokens_decoder["5"] is not'),
        ("added_tokens.json", '{"<x>": "5"}', "every value must be an integer id"),
    ])
    def test_unusable_companion_files(self, capsys, sample_dir, tmp_path, name, text, message):
        (sample_dir / name).write_text(text, encoding="utf-8")
        before = files(sample_dir)
        for target in [["-o", tmp_path / "out"], ["--in-place"]]:
            assert message in failure(capsys, "shrink", sample_dir, "300", *target)
        assert files(sample_dir) == before and outside(tmp_path) == []

    @pytest.mark.parametrize("link, to", [("extra/dangling", "../gone"), ("extra/loop", "..")])
    def test_nothing_left_when_writing_fails_midway(self, capsys, sample_dir, tmp_path, link, to):
        (sample_dir / link).symlink_to(to)
        message = failure(capsys, "shrink", sample_dir, "300", "-o", tmp_path / "out", "--id-map",
                          tmp_path / "ids.json")
        assert f"could not write {tmp_path / 'out'}, nothing written" in message
        assert outside(tmp_path) == []

    def test_failed_edit_writes_nothing(self, capsys, sample_dir, tmp_path):
        before = files(sample_dir)
        for target in [["-o", tmp_path / "out"], ["--in-place"]]:
            status, out, _ = run(capsys, "add", sample_dir, "Ġ" + "ab" * 4096, "--reachable", *target)
            assert status == 1 and "nothing written" in out
        assert files(sample_dir) == before and outside(tmp_path) == []

    def test_companion_files_follow_the_tokens(self, capsys, tmp_path):
        # The config lacks <|im_end|>, lists two model tokens, "Ġthe" and "Ġschoolteacher"
        # (the first shrink takes), and <|tool|>, which only the config adds;
        # added_tokens.json and the slow files come along.
        model = make_model_dir(tmp_path / "model", SAMPLE, "<|endoftext|>", "<|im_end|>")
        config = read(model / "tokenizer_config.json")
        decoder = config["added_tokens_decoder"]
        del decoder["3001"]
        decoder["262"] = dict(decoder["0"], content="Ġthe", special=False)
        decoder["2730"] = dict(decoder["0"], content="Ġschoolteacher", special=False)
        decoder["3002"] = dict(decoder["0"], content="<|tool|>")
        dump(model / "tokenizer_config.json", config)
        dump(model / "added_tokens.json", {"<|im_start|>": 3000, "<|im_end|>": 3001, "Ġschoolteacher": 2730,
                                           "<|tool|>": 3002})
        for name in ["vocab.json", "merges.txt"]:
            (model / name).write_text("old vocabulary\n", encoding="utf-8")
        out = tmp_path / "out"
        result = run_json(capsys, "shrink", model, "300", "-o", out, "--quiet", "--slow-files", "keep")
        assert result["model_dir"]["decoder_entries_dropped"] == ["Ġschoolteacher"]
        assert result["model_dir"]["old_vocabulary_files"] == ["vocab.json", "merges.txt"]
        vocab = tokenizers.Tokenizer.from_file(str(out / "tokenizer.json")).get_vocab()
        new = read(out / "tokenizer_config.json")["added_tokens_decoder"]
        assert [(key, entry["content"]) for key, entry in new.items()] == sorted(
            [("0", "<|endoftext|>"), (str(vocab["Ġthe"]), "Ġthe"), ("2700", "<|im_start|>"),
             ("2701", "<|im_end|>"), ("2702", "<|tool|>")], key=lambda row: int(row[0]))
        assert new["2701"] == {"content": "<|im_end|>", "lstrip": False, "normalized": False, "rstrip": False,
                               "single_word": False, "special": True}
        assert read(out / "added_tokens.json") == {"<|im_start|>": 2700, "<|im_end|>": 2701, "<|tool|>": 2702}
        assert (out / "vocab.json").read_text() == (out / "merges.txt").read_text() == "old vocabulary\n"
        check_loads(out)

        result = run_json(capsys, "shrink", model, "300", "--in-place", "--quiet")
        assert result["model_dir"]["old_vocabulary_files"] == []  # rewritten
        assert files(model).keys() == files(out).keys()
        assert read(model / "vocab.json") == read(model / "tokenizer.json")["model"]["vocab"]

    def test_no_decoder_no_config(self, capsys, tmp_path):
        # Without added_tokens_decoder transformers reads special_tokens_map.json instead:
        # the config is copied as it is, and a directory without one gets none.
        model = make_model_dir(tmp_path / "model", SAMPLE, "<|endoftext|>", "<|im_end|>", decoder=False)
        (model / "tokenizer_config.json").write_text(json.dumps(read(model / "tokenizer_config.json")))
        out = tmp_path / "out"
        assert not run_json(capsys, "shrink", model, "300", "-o", out)["model_dir"]["tokenizer_config_rewritten"]
        assert (out / "tokenizer_config.json").read_bytes() == (model / "tokenizer_config.json").read_bytes()
        check_loads(out)
        (model / "tokenizer_config.json").unlink()
        run_json(capsys, "shrink", model, "300", "-o", tmp_path / "bare")
        assert not (tmp_path / "bare" / "tokenizer_config.json").exists()

    def test_config_vocab_size_is_left_to_resize_embeddings(self, capsys, sample_dir, tmp_path):
        text = tmp_path / "new.txt"
        text.write_text("dziękuję bardzo, dziękujemy\n" * 5, encoding="utf-8")
        status, out, _ = run(capsys, "extend", sample_dir, "--text", text, "--add", 3, "-o", tmp_path / "grown")
        assert status == 0 and "config.json still says vocab_size 3002, but the tokenizer uses ids up to 3004" in out
        assert (tmp_path / "grown" / "config.json").read_bytes() == (sample_dir / "config.json").read_bytes()
        status, out, _ = run(capsys, "shrink", sample_dir, "3", "-o", tmp_path / "shrunk")
        assert status == 0 and "still says" not in out


ADDED = [  # (content, id in the file): the ids a file gives need not be the ones loaders use
    ("<a>", 9), ("b", 40), ("<c>", 2), ("<a>", 1), ("<d>", 3),
]


@pytest.mark.parametrize("vocab", [
    ["a", "b", "ab"],
    {"a": 0, "b": 7, "ab": 20},  # gaps: loaders still count on from the number of entries
    {"a": 0, "b": 0, "<c>": 5},  # a shared id; an added token that is a vocabulary token
    {},
])
def test_loader_ids_are_the_clients(vocab):
    document = tokenizer_doc(vocab, added_tokens=[
        {"id": i, "content": c, "single_word": False, "lstrip": False, "rstrip": False, "normalized": False,
         "special": True} for c, i in ADDED])
    client = tokenizers.Tokenizer.from_str(json.dumps(document))
    assert loader_ids(document) == {c: client.token_to_id(c) for c, _ in ADDED}


def text_slice(tmp_path, name, lines):
    path = tmp_path / f"{name}.txt"
    with lzma.open(TEXT_DIR / f"{name}.txt.xz", "rt", encoding="utf-8") as source:
        path.write_text("".join(line for _, line in zip(range(lines), source)), encoding="utf-8")
    return path


@pytest.mark.slow
class TestCorpus:
    """Edits that move the added tokens outside the model of real tokenizers."""

    def test_shrink_then_reindex(self, capsys, corpus, tmp_path):
        model = make_model_dir(tmp_path / "qwen3", corpus["qwen3"], None, "<|im_end|>")
        shrunk, reindexed, dense = tmp_path / "shrunk", tmp_path / "reindexed", tmp_path / "dense"
        gaps = run_json(capsys, "shrink", model, "2000", "-o", shrunk, "--quiet", "--keep-gaps")["model_dir"]
        closed = run_json(capsys, "reindex", shrunk, "-o", reindexed, "--quiet")["model_dir"]
        assert (len(gaps["added_tokens_on_model_ids"]), closed["added_tokens_on_model_ids"]) == (26, [])
        at_once = run_json(capsys, "shrink", model, "2000", "-o", dense, "--quiet")["model_dir"]
        assert (at_once["gaps_closed"], at_once["added_tokens_on_model_ids"]) == (2000, [])
        # The same model as reindex makes; the added tokens' entries also say the ids loaders give them.
        assert read(dense / "tokenizer.json")["model"] == read(reindexed / "tokenizer.json")["model"]
        assert {e["content"]: e["id"] for e in read(dense / "tokenizer.json")["added_tokens"]} == loader_ids(
            read(dense / "tokenizer.json"))
        for out in [shrunk, reindexed, dense]:
            assert read(out / "tokenizer_config.json")["added_tokens_decoder"].keys() >= {"149643", "149668"}
            check_loads(out)
            check_stale_config_fails(out, model)

    def test_merge(self, capsys, corpus, tmp_path):
        model = make_model_dir(tmp_path / "llama3", corpus["llama3"], "<|begin_of_text|>", "<|end_of_text|>")
        source = make_model_dir(tmp_path / "source", MARKER, "<s>", "</s>")
        out = tmp_path / "merged"
        result = run_json(capsys, "merge", model, source, "-o", out, "--quiet")
        assert result["final_model_vocab_size"] > 128_000
        check_loads(out, "<|begin_of_text|>Latarnia świeci nad zatoką.<|eot_id|>")
        check_stale_config_fails(out, model)

    def test_adapt(self, capsys, corpus, tmp_path):
        model = make_model_dir(tmp_path / "llama2", corpus["llama2"], "<s>", "</s>")
        new, old = text_slice(tmp_path, "pl-train", 1500), text_slice(tmp_path, "cs-train", 1500)
        out = tmp_path / "adapted"
        result = run_json(capsys, "adapt", model, "--text", new, "--keep-text", old, "--replace", 50,
                          "-o", out, "--quiet")
        assert result["tokens_added"] == 50 and result["vocab_size"] == 32_000
        check_loads(out, "<s>Latarnia jest bardzo stara, ale wieczorem wciąż świeci nad zatoką.</s>")
