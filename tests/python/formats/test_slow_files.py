"""Every file of a model directory tells the vocabulary the edit made:
vocab.json + merges.txt and a SentencePiece BPE tokenizer.model are written
anew, and each is judged by the reader that uses it (the `tokenizers`
package's BPE.from_file, sentencepiece's SentencePieceProcessor,
transformers loading the directory without its tokenizer.json) against the
edited tokenizer.json on the shared texts.

The SentencePiece models are trained here with the sentencepiece package on
the shared texts (a second or so each) and turned into a tokenizer.json by
transformers, as the hub's Llama-2-style directories hold them; those tests
are marked slow."""

import io
import lzma
import os
import shutil

import pytest

from quorvane_cli.formats import sentencepiece as spfile
from quorvane_cli.formats import vocab_merges
from test_cli import MARKER, SAMPLE, failure, run, run_json
from test_modeldir import TEXT_DIR, dump, files, make_model_dir, read

tokenizers = pytest.importorskip("tokenizers")

LLAMA2_NORMALIZER = {"type": "Sequence", "normalizers": [
    {"type": "Prepend", "prepend": "\u2581"}, {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]}


def lines_of(name, count):
    with lzma.open(TEXT_DIR / f"{name}.txt.xz", "rt", encoding="utf-8") as source:
        return [line.rstrip("\n") for _, line in zip(range(count), source)]


@pytest.fixture(scope="module")
def texts(tmp_path_factory):
    """Slices of the shared texts as files: pl and cs, to learn from and to check on."""
    folder = tmp_path_factory.mktemp("texts")
    paths = {}
    for name, count in [("pl-train", 400), ("cs-train", 400), ("pl-heldout", 500), ("cs-heldout", 500)]:
        paths[name] = folder / f"{name}.txt"
        paths[name].write_text("\n".join(lines_of(name, count)) + "\n", encoding="utf-8")
    return paths


def check_lines(texts):
    return [line for name in ("pl-heldout", "cs-heldout") for line in texts[name].read_text("utf-8").splitlines()]


def with_vocab_merges(directory):
    """Give a model directory the vocab.json and merges.txt of its tokenizer.json."""
    model = read(directory / "tokenizer.json")["model"]
    merges = [tuple(merge) for merge in model["merges"]]
    (directory / "vocab.json").write_text(vocab_merges.vocab_text(model["vocab"]), encoding="utf-8")
    (directory / "merges.txt").write_text(vocab_merges.merges_text(merges), encoding="utf-8")
    return directory


def check_vocab_merges(directory, lines):
    """vocab.json is the model's vocabulary, and BPE.from_file(vocab.json, merges.txt)
    encodes every pre-tokenized word of `lines` as tokenizer.json's model does."""
    client = tokenizers.Tokenizer.from_file(str(directory / "tokenizer.json"))
    model = read(directory / "tokenizer.json")["model"]
    assert read(directory / "vocab.json") == model["vocab"]
    text = (directory / "merges.txt").read_text(encoding="utf-8")
    assert text.startswith("#version: 0.2\n") and text.endswith("\n")
    options = {key: model[key] for key in ("unk_token", "fuse_unk", "byte_fallback") if model.get(key) is not None}
    bpe = tokenizers.models.BPE.from_file(str(directory / "vocab.json"), str(directory / "merges.txt"), **options)
    words = set()
    for line in lines:
        normalized = client.normalizer.normalize_str(line) if client.normalizer else line
        words.update(word for word, _ in client.pre_tokenizer.pre_tokenize_str(normalized))
    assert len(words) > 1000
    for word in sorted(words):
        assert [t.value for t in bpe.tokenize(word)] == [t.value for t in client.model.tokenize(word)], word


@pytest.fixture
def gpt2_dir(tmp_path):
    """The ByteLevel sample as a GPT-2-style model directory, vocab.json and merges.txt included."""
    return with_vocab_merges(make_model_dir(tmp_path / "model", SAMPLE, "<|endoftext|>", "<|im_end|>"))


def edits(texts, marker_source):
    """The edits of the round trips: (name, arguments after the directory)."""
    return {
        "add --reachable": ["add", "\u0120latarnia", "\u0120zatoka", "\u2581latarnia", "\u2581zatoka", "--reachable"],
        "extend": ["extend", "--text", texts["cs-train"], "--add", "40"],
        "prune": ["prune", "--count", "40", "--text", texts["pl-train"]],
        "adapt": ["adapt", "--text", texts["cs-train"], "--keep-text", texts["pl-train"], "--replace", "40"],
        "merge": ["merge", marker_source, "--max-vocab-size", "3600"],
        "shrink": ["shrink", "100"],
    }


EDITS = ["add --reachable", "extend", "prune", "adapt", "merge", "shrink"]


class TestVocabMerges:
    @pytest.mark.parametrize("edit", EDITS)
    def test_round_trip(self, capsys, gpt2_dir, tmp_path, texts, edit):
        command, *rest = edits(texts, MARKER)[edit]
        if command == "add":  # the ByteLevel tokens only
            rest = [arg for arg in rest if not arg.startswith("\u2581")]
        out = tmp_path / "out"
        result = run_json(capsys, command, gpt2_dir, *rest, "-o", out, "--quiet")
        notes = {note["file"]: note["action"] for note in result["model_dir"]["files"]}
        assert notes["vocab.json"] == notes["merges.txt"] == "rewrote"
        assert result["model_dir"]["old_vocabulary_files"] == []
        check_vocab_merges(out, check_lines(texts) + (SAMPLE.parent / "corpus.txt").read_text("utf-8").splitlines())

    def test_a_merge_with_a_space_leaves_the_pair_out(self, capsys, tmp_path):
        model = make_model_dir(tmp_path / "model", MARKER, "<s>", "</s>")
        with_vocab_merges(model)
        status, out, _ = run(capsys, "add", model, "\u2581a b", "-o", tmp_path / "out")
        assert status == 0
        assert "warning: left out merges.txt: the merges cannot be written one a line: merge" in out
        assert "has whitespace in a token" in out
        assert not (tmp_path / "out" / "merges.txt").exists() and not (tmp_path / "out" / "vocab.json").exists()
        # In place, the files that would now describe the old vocabulary go.
        status, out, _ = run(capsys, "add", model, "\u2581a b", "--in-place")
        assert "warning: removed vocab.json" in out
        assert not (model / "merges.txt").exists() and not (model / "vocab.json").exists()

    @pytest.mark.parametrize("choice, left", [("keep", {"vocab.json", "merges.txt"}), ("drop", set())])
    def test_keep_and_drop(self, capsys, gpt2_dir, tmp_path, choice, left):
        before = files(gpt2_dir)
        result = run_json(capsys, "shrink", gpt2_dir, "10", "-o", tmp_path / "out", "--slow-files", choice)
        after = files(tmp_path / "out")
        assert {name for name in ("vocab.json", "merges.txt") if name in after} == left
        assert all(after[name] == before[name] for name in left)
        assert result["model_dir"]["old_vocabulary_files"] == sorted(left, reverse=True)

    def test_in_place(self, capsys, gpt2_dir, texts):
        run_json(capsys, "extend", gpt2_dir, "--text", texts["pl-train"], "--add", "20", "--in-place")
        check_vocab_merges(gpt2_dir, check_lines(texts))
        assert not [name for name in files(gpt2_dir) if name.endswith(".tmp")]

    @pytest.mark.parametrize("data, where", [
        (b"\x0a\x05ab", "declares 5 bytes, but only 2 remain"),
        (b"\x12\x02\x18\x02" + b"\x0a\x03\x0a\x01a", "no unknown piece"),
    ])
    def test_a_corrupt_tokenizer_model_stops_the_edit(self, capsys, gpt2_dir, tmp_path, data, where):
        (gpt2_dir / "tokenizer.model").write_bytes(data)
        before = files(gpt2_dir)
        for target in [["-o", tmp_path / "out"], ["--in-place"]]:
            message = failure(capsys, "shrink", gpt2_dir, "10", *target)
            assert f"{gpt2_dir / 'tokenizer.model'}: " in message and where in message
        assert files(gpt2_dir) == before and sorted(p.name for p in tmp_path.iterdir()) == ["model"]
        # Kept or dropped, it is not read.
        run_json(capsys, "shrink", gpt2_dir, "10", "-o", tmp_path / "kept", "--slow-files", "keep")
        assert (tmp_path / "kept" / "tokenizer.model").read_bytes() == data

    def test_a_unigram_model_is_kept_with_a_warning(self, capsys, gpt2_dir, tmp_path):
        unigram = b"\x0a\x09\x0a\x05<unk>\x18\x02" + b"\x12\x02\x18\x01"  # one piece; model_type UNIGRAM
        (gpt2_dir / "spiece.model").write_bytes(unigram)
        status, out, _ = run(capsys, "shrink", gpt2_dir, "10", "-o", tmp_path / "out")
        assert status == 0 and "warning: spiece.model holds the old vocabulary" in out
        assert (tmp_path / "out" / "spiece.model").read_bytes() == unigram


# SentencePiece ------------------------------------------------------------------------


def train(lines, vocab_size, **options):
    """The bytes of a SentencePiece BPE model trained on `lines`, normalizing as Llama-2's does."""
    import sentencepiece

    model = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(lines), model_writer=model, vocab_size=vocab_size, model_type="bpe",
        byte_fallback=True, normalization_rule_name="identity", remove_extra_whitespaces=False,
        split_digits=True, input_sentence_size=len(lines), shuffle_input_sentence=False, minloglevel=2, **options)
    return model.getvalue()


def sentencepiece_dir(directory, model_bytes):
    """A Llama-2-style model directory: tokenizer.model, and the tokenizer.json
    transformers converts it into, with Llama-2's normalizer."""
    import transformers

    directory.mkdir()
    (directory / "tokenizer.model").write_bytes(model_bytes)
    converted = directory.parent / f"{directory.name}-converted"
    transformers.LlamaTokenizer.from_pretrained(str(directory)).save_pretrained(str(converted))
    document = read(converted / "tokenizer.json")
    document.update(normalizer=LLAMA2_NORMALIZER, pre_tokenizer=None)
    document["model"]["unk_token"] = "<unk>"
    dump(directory / "tokenizer.json", document)
    shutil.rmtree(converted)
    dump(directory / "tokenizer_config.json", {"tokenizer_class": "LlamaTokenizer", "bos_token": "<s>",
                                               "eos_token": "</s>", "unk_token": "<unk>"})
    dump(directory / "config.json", {"model_type": "llama", "vocab_size": len(document["model"]["vocab"])})
    return directory


def sentencepiece_mismatches(directory, lines):
    """The lines SentencePieceProcessor encodes otherwise (pieces or ids) than the directory's tokenizer.json."""
    import sentencepiece

    processor = sentencepiece.SentencePieceProcessor(model_file=str(directory / "tokenizer.model"))
    client = tokenizers.Tokenizer.from_file(str(directory / "tokenizer.json"))
    assert processor.get_piece_size() == client.get_vocab_size(with_added_tokens=False)
    wrong = []
    for line in lines:
        encoding = client.encode(line, add_special_tokens=False)
        if (processor.encode(line, out_type=str), processor.encode(line)) != (encoding.tokens, encoding.ids):
            wrong.append(line)
    return wrong


@pytest.fixture(scope="module")
def trained():
    """A SentencePiece BPE model of 1,000 pieces trained on Polish."""
    return train(lines_of("pl-train", 3000), 1000)


@pytest.fixture
def llama_dir(tmp_path, trained):
    return sentencepiece_dir(tmp_path / "model", trained)


@pytest.mark.slow
class TestSentencePiece:
    def test_the_directory_made_here_agrees_before_any_edit(self, llama_dir, texts):
        assert sentencepiece_mismatches(llama_dir, check_lines(texts)) == []

    @pytest.mark.parametrize("edit", EDITS)
    def test_round_trip(self, capsys, llama_dir, tmp_path, texts, edit):
        command, *rest = edits(texts, MARKER)[edit]
        if command == "add":  # the "▁" tokens only
            rest = [arg for arg in rest if not str(arg).startswith("\u0120")]
        if command == "merge":
            rest[-1] = "1500"
        out = tmp_path / "out"
        result = run_json(capsys, command, llama_dir, *rest, "-o", out, "--quiet")
        (note,) = [note for note in result["model_dir"]["files"] if note["file"] == "tokenizer.model"]
        assert note["checked_on"] == ("the text" if "--text" in rest else "the vocabulary")
        lines = check_lines(texts)
        if note["action"] == "rewrote":
            assert note["words_differing"] == 0
            assert sentencepiece_mismatches(out, lines) == []
            return
        # Only the merge brings in pieces SentencePiece would join otherwise: left out, with the word.
        assert command == "merge" and note["action"] == "left out" and note["words_differing"] > 0
        word = note["first_difference"]["word"]
        assert note["first_difference"]["pieces"] != note["first_difference"]["tokenizer_json"]
        forced = run_json(capsys, command, llama_dir, *rest, "-o", tmp_path / "forced", "--slow-files", "rewrite")
        (note,) = [note for note in forced["model_dir"]["files"] if note["file"] == "tokenizer.model"]
        assert note["action"] == "rewrote" and note["first_difference"]["word"] == word
        assert sentencepiece_mismatches(tmp_path / "forced", lines)  # the check was right to warn

    def test_types_and_specs_are_kept_and_samples_dropped(self, capsys, llama_dir, tmp_path):
        from sentencepiece import sentencepiece_model_pb2

        run_json(capsys, "add", llama_dir, "<tool>", "--atomic", "-o", tmp_path / "out")
        old, new = sentencepiece_model_pb2.ModelProto(), sentencepiece_model_pb2.ModelProto()
        old.ParseFromString((llama_dir / "tokenizer.model").read_bytes())
        new.ParseFromString((tmp_path / "out" / "tokenizer.model").read_bytes())
        assert new.trainer_spec == old.trainer_spec and new.normalizer_spec == old.normalizer_spec
        assert [(p.piece, p.type) for p in new.pieces][:-1] == [(p.piece, p.type) for p in old.pieces]
        assert new.pieces[-1].piece == "<tool>"

    def test_reindex_after_an_edit_that_kept_its_gaps(self, capsys, llama_dir, tmp_path, texts):
        gapped = tmp_path / "gapped"
        result = run_json(capsys, "remove", llama_dir, "\u2581prze", "-o", gapped, "--keep-gaps")
        (note,) = [note for note in result["model_dir"]["files"] if note["file"] == "tokenizer.model"]
        assert note["action"] == "left out" and "gaps" in note["why"]
        run_json(capsys, "remove", llama_dir, "\u2581prze", "-o", tmp_path / "kept", "--keep-gaps",
                 "--slow-files", "keep")
        run_json(capsys, "reindex", tmp_path / "kept", "-o", tmp_path / "out")
        assert sentencepiece_mismatches(tmp_path / "out", check_lines(texts)) == []

    def test_tied_scores(self, capsys, tmp_path, trained, texts):
        # Every merged piece scored alike: SentencePiece then joins the leftmost pair first, which the
        # tokenizer.json transformers makes of it does not; the rewritten model follows the merge list.
        model = spfile.parse(trained, "m")
        tied = spfile.encode(model, [spfile.Piece(p.text, 0.0 if p.type == spfile.NORMAL else p.score, p.type,
                                                  p.encoded) for p in model.pieces])
        directory = sentencepiece_dir(tmp_path / "tied", tied)
        lines = check_lines(texts)
        assert sentencepiece_mismatches(directory, lines)
        run_json(capsys, "add", directory, "\u2581latarnia", "--reachable", "-o", tmp_path / "out")
        assert sentencepiece_mismatches(tmp_path / "out", lines) == []

    @pytest.mark.parametrize("edit", ["add --reachable", "extend"])
    def test_transformers_reads_the_model_alone(self, capsys, llama_dir, tmp_path, texts, edit):
        # transformers builds a tokenizer from tokenizer.model when there is no tokenizer.json.
        import transformers

        command, *rest = edits(texts, MARKER)[edit]
        rest = [arg for arg in rest if not str(arg).startswith("\u0120")]
        run_json(capsys, command, llama_dir, *rest, "-o", tmp_path / "out")
        alone = tmp_path / "alone"
        alone.mkdir()
        shutil.copy(tmp_path / "out" / "tokenizer.model", alone / "tokenizer.model")
        slow = transformers.LlamaTokenizer.from_pretrained(str(alone))
        client = tokenizers.Tokenizer.from_file(str(tmp_path / "out" / "tokenizer.json"))
        for line in check_lines(texts)[:300]:
            assert slow.tokenize(line) == client.encode(line, add_special_tokens=False).tokens

    def test_gpt2_slow_tokenizer_reads_vocab_and_merges(self, capsys, gpt2_dir, tmp_path, texts):
        import transformers

        run_json(capsys, "extend", gpt2_dir, "--text", texts["pl-train"], "--add", "40", "-o", tmp_path / "out")
        alone = tmp_path / "alone"
        alone.mkdir()
        for name in ["vocab.json", "merges.txt"]:
            shutil.copy(tmp_path / "out" / name, alone / name)
        slow = transformers.GPT2Tokenizer.from_pretrained(str(alone))
        client = tokenizers.Tokenizer.from_file(str(tmp_path / "out" / "tokenizer.json"))
        for line in check_lines(texts)[:300]:
            assert slow.tokenize(line) == client.encode(line, add_special_tokens=False).tokens


@pytest.mark.slow
class TestLlama2Corpus:
    def test_round_trip(self, capsys, corpus, tmp_path, trained, texts):
        # The corpus has Llama-2's tokenizer.json but not its tokenizer.model: write one with
        # the pieces of the first and the specs of a model trained here, then edit the directory.
        document = read(corpus["llama2"])
        model = spfile.parse(trained, "m")
        tokenizer = spfile.Tokenizer(document["model"]["vocab"], [tuple(m) for m in document["model"]["merges"]],
                                     {e["content"]: e["special"] for e in document["added_tokens"]})
        pieces, reason = spfile.new_pieces(model, tokenizer)
        assert reason is None
        directory = make_model_dir(tmp_path / "llama2", corpus["llama2"], "<s>", "</s>")
        (directory / "tokenizer.model").write_bytes(spfile.encode(model, pieces))
        lines = check_lines(texts)
        assert sentencepiece_mismatches(directory, lines) == []
        out = tmp_path / "out"
        result = run_json(capsys, "extend", directory, "--text", texts["pl-train"], "--add", "100", "-o", out,
                          "--quiet")
        (note,) = [note for note in result["model_dir"]["files"] if note["file"] == "tokenizer.model"]
        assert note["action"] == "rewrote"
        assert sentencepiece_mismatches(out, lines) == []


@pytest.mark.slow
def test_mutated_model_bytes(trained):
    """The reader gives the pieces protobuf gives, or a clear error; never a crash or a hang."""
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
    from sentencepiece import sentencepiece_model_pb2

    from quorvane_cli.cli.errors import CliError

    examples = int(os.environ.get("QUORVANE_SP_EXAMPLES", 300))  # raised for a longer campaign

    @settings(max_examples=examples, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(st.lists(st.tuples(st.integers(0, len(trained) - 1), st.integers(0, 255)), min_size=1, max_size=4),
           st.integers(0, len(trained)))
    def check(changes, cut):
        data = bytearray(trained)
        for position, value in changes:
            data[position] = value
        data = bytes(data[:cut] if cut % 3 == 0 else data)
        try:
            model = spfile.parse(data, "m")
        except CliError as exc:
            assert str(exc).startswith("m: ")
            return
        reference = sentencepiece_model_pb2.ModelProto()
        reference.ParseFromString(data)
        assert [(p.text, p.score, p.type) for p in model.pieces] == [
            (p.piece, p.score, p.type) for p in reference.pieces] or any(p.score != p.score for p in model.pieces)
        spfile.encode(model, model.pieces)

    check()
