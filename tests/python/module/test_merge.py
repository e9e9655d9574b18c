"""merge_from from Python: the boundary (defaults, argument and failure
mapping, the result object, an editor left alone by a failed merge) on small
documents, and real merges of the corpus tokenizers with the `tokenizers`
package as the judge of what we write."""

import json
import re

import pytest

import quorvane
from conftest import tokenizer_doc
from test_corpus import COUNTS, SAMPLE

tokenizers = pytest.importorskip("tokenizers")

BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
MARKER = "\u2581"
MARKER_NORMALIZER = {"type": "Replace", "pattern": {"String": " "}, "content": MARKER}

CHINESE = (
    "在人工智能的发展过程中，大型语言模型已经成为自然语言处理领域最重要的研究方向之一。"
    "研究人员通过在海量文本数据上进行预训练，使模型能够理解和生成流畅的中文。"
)


def added(content, id):
    """An added_tokens entry complete enough for the real client."""
    return {"id": id, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
            "normalized": False, "special": True}


def doc(vocab, merges=(), added_tokens=(), pre_tokenizer=None, normalizer=None):
    d = tokenizer_doc(vocab, merges, added_tokens)
    d.update(pre_tokenizer=pre_tokenizer, normalizer=normalizer)
    return d


def editor_of(d):
    return quorvane.Quorvane.from_json(json.dumps(d))


def byte_level_table():
    """The ByteLevel alphabet: the character that stands for each byte."""
    printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
    extra = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(extra)) for b in range(256)]


# ids: Ġ=0 a=1 b=2 c=3 Ã=4 ©=5 Ã©=6 z=7 zz=8 x=9 y=10 xy=11 kk..rr=12..18; '<pad>'=19
# outside the model.
TARGET = doc("Ġ a b c Ã © Ã© z zz x y xy kk mm nn oo pp qq rr".split(),
             [("Ã", "©"), ("z", "z"), ("x", "y")], [added("<pad>", 19)], pre_tokenizer=BYTE_LEVEL)
SOURCE = doc("▁ a b c ab abc ▁ab ▁abc éé".split(),
             [("a", "b"), ("ab", "c"), ("▁", "ab"), ("▁ab", "c"), ("▁", "abc")], normalizer=MARKER_NORMALIZER)


class TestMergeFrom:
    def test_result_and_merged_state(self, write_doc):
        editor = editor_of(TARGET)
        r = editor.merge_from(write_doc(SOURCE), 18)
        # All ten counts differ, so a field wired to the wrong record value shows.
        assert (r.initial_target_vocab_size, r.source_vocab_size, r.final_model_vocab_size, r.final_vocab_size,
                r.tokens_injected, r.target_tokens_removed, r.bridge_tokens_added, r.bridge_merges_added,
                r.source_merges_added, r.target_merges_retained) == (19, 9, 17, 18, 6, 8, 2, 3, 5, 1)
        assert r.representation == "ByteLevel (Ġ)"
        # Limit 18 - '<pad>' = 17: the converted, bridge and protected tokens
        # are 16, and the top-up adds 'zz'.
        # Kept ids stay; new tokens fill 11.. in source order, then the bridge.
        assert editor.get_vocab() == {
            "Ġ": 0, "a": 1, "b": 2, "c": 3, "Ã": 4, "©": 5, "Ã©": 6, "z": 7, "zz": 8, "x": 9, "y": 10,
            "ab": 11, "abc": 12, "Ġab": 13, "Ġabc": 14, "Ã©Ã©": 15, "Ã©Ã": 16}
        assert editor.get_merges() == [
            ("Ã", "©"), ("Ã©", "Ã"), ("Ã©Ã", "©"),
            ("a", "b"), ("ab", "c"), ("Ġ", "ab"), ("Ġab", "c"), ("Ġ", "abc"),
            ("z", "z")]
        text = editor.to_json()
        assert [e["id"] for e in json.loads(text)["added_tokens"]] == [17]
        assert tokenizers.Tokenizer.from_str(text).encode(" abc é").tokens == ["Ġabc", "Ġ", "Ã©"]

        # The editor goes on from the merged state: dense ids, new ids after
        # the added token, merge indexes that know the new merges.
        assert editor.check_vocab_gaps() == (False, 0, 0, 16)
        removal = editor.remove_token("Ã©Ã")
        assert sorted(removal.removed_tokens) == ["Ã©Ã", "Ã©Ã©"]
        assert sorted(removal.removed_merges) == [("Ã©", "Ã"), ("Ã©Ã", "©")]
        assert editor.add_token_atomic("<new>") is True
        assert editor.get_token_id("<new>") == 18

    def test_entry_without_string_content_takes_no_id(self, write_doc):
        # An entry whose "content" is not a string keeps its old id 43, but
        # that id is not taken: the ids after the merge are exactly 0..17,
        # so the next ids are 18 and 19, not 44.
        odd = {**added("<pad>", 43), "content": 5}
        target = {**TARGET, "added_tokens": [*TARGET["added_tokens"], odd]}
        editor = editor_of(target)
        assert editor.merge_from(write_doc(SOURCE), 18).final_vocab_size == 18
        assert [e["id"] for e in json.loads(editor.to_json())["added_tokens"]] == [17, 43]
        assert editor.add_token_atomic("<new>") is True
        assert editor.get_token_id("<new>") == 18
        assert editor.add_token("Ġzz").added
        assert editor.get_token_id("Ġzz") == 19

    def test_default_limit_is_262144(self, write_doc):
        # A target of 262,200 ordinary tokens plus one added token outside the
        # model is cut to the limit: 262,143 model tokens and '<pad>'.
        vocab = {"▁": 0, **{f"w{i}": i + 1 for i in range(262_200)}}
        target = doc(vocab, added_tokens=[added("<pad>", 262_201)], normalizer=MARKER_NORMALIZER)
        source = write_doc(doc(["▁", "q"]))
        defaulted = editor_of(target)
        r = defaulted.merge_from(source)
        assert (r.final_model_vocab_size, r.final_vocab_size, r.target_tokens_removed) == (262_143, 262_144, 59)
        explicit = editor_of(target)
        explicit.merge_from(source, max_vocab_size=262_144)
        assert defaulted.to_json() == explicit.to_json()

    def test_limits_of_the_limit(self, write_doc):
        source = write_doc(SOURCE)
        editor = editor_of(TARGET)
        r = editor.merge_from(source, 2**32 - 1)
        assert (r.final_vocab_size, r.target_tokens_removed) == (26, 0)
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError):
                editor.merge_from(source, bad)
        with pytest.raises(TypeError, match="^argument 'max_vocab_size': "):
            editor.merge_from(source, 1.5)

    def test_source_editor_as_from_its_file(self, write_doc):
        # Another editor stands for its file, is left as it was, and the
        # editor itself is refused before anything changes.
        by_path, by_editor = editor_of(TARGET), editor_of(TARGET)
        source = editor_of(SOURCE)
        source_before = source.to_json()
        assert (by_path.merge_from(write_doc(SOURCE), 18).final_vocab_size
                == by_editor.merge_from(source, 18).final_vocab_size)
        assert by_editor.to_json() == by_path.to_json()
        assert source.to_json() == source_before
        with pytest.raises(ValueError, match="^the source must be another editor"):
            by_editor.merge_from(by_editor)
        assert by_editor.to_json() == by_path.to_json()
        plain, from_editor = editor_of(TARGET), editor_of(TARGET)
        assert plain.sync_single_chars(write_doc(SOURCE)) == from_editor.sync_single_chars(source)
        assert from_editor.to_json() == plain.to_json()

    @pytest.mark.parametrize("path", [None, b"tokenizer.json", 7])
    def test_source_path_must_be_str(self, path):
        editor = editor_of(TARGET)
        with pytest.raises(TypeError, match=f"^argument 'source_path': '{type(path).__name__}' object cannot be "
                                            "converted to 'PyString'$"):
            editor.merge_from(path)
        assert editor.to_json() == editor_of(TARGET).to_json()

    def test_source_that_cannot_be_loaded(self, write_doc, tmp_path):
        editor = editor_of(TARGET)
        before = editor.to_json()
        missing = str(tmp_path / "données" / "tokenizer.json")
        with pytest.raises(OSError) as raised:
            editor.merge_from(missing)
        assert str(raised.value) == f"Failed to load source tokenizer: Failed to read: {missing}"
        word_piece = tokenizer_doc(["a"], model_type="WordPiece")
        with pytest.raises(OSError) as raised:
            editor.merge_from(write_doc(word_piece))
        assert str(raised.value) == "Failed to load source tokenizer: Only BPE tokenizers are supported"
        assert editor.to_json() == before

    @pytest.mark.parametrize(
        "target, limit, message",
        [
            (TARGET, 0, "max_vocab_size must be between 1 and 4294967295"),
            (TARGET, 2**32, "max_vocab_size must be between 1 and 4294967295"),
            (doc(["a"], pre_tokenizer={"type": "Whitespace"}), 10,
             "Unsupported target: no ByteLevel pre-tokenizer or space marker found"),
            (doc(["a"], added_tokens=[added("<p>", 1), added("<q>", 2)], normalizer=MARKER_NORMALIZER), 2,
             "Added tokens alone exceed max_vocab_size"),
            # Fails only after the whole conversion: 16 converted, bridge and
            # protected tokens.
            (TARGET, 16, "Required converted and protected tokens (16) exceed model limit (15)"),
            # Fails after the ids are assigned, just before the commit.
            (doc({"Ġ": 0, "a": 1, "b": 1, "c": 2}, pre_tokenizer=BYTE_LEVEL), 100,
             "Failed to assign a contiguous model vocabulary"),
        ],
        ids=["zero", "above-u32", "unsupported", "added-only", "required", "shared-id"],
    )
    def test_failure_leaves_the_editor_as_it_was(self, write_doc, target, limit, message):
        editor, twin = editor_of(target), editor_of(target)
        with pytest.raises(ValueError) as raised:
            editor.merge_from(write_doc(SOURCE), limit)
        assert str(raised.value) == f"Failed to merge tokenizer: {message}"
        assert editor.to_json() == twin.to_json()
        # Ids and merge indexes too: the next edits come out the same.
        assert editor.add_token("Ġabd").added_merges == twin.add_token("Ġabd").added_merges
        assert editor.add_token_atomic("<later>") and twin.add_token_atomic("<later>")
        assert editor.to_json() == twin.to_json()


# Real tokenizers. Each pair is merged once per module; the editor is dropped
# after saving and the client reads the file.

PAIRS = {
    "llama2_into_llama3": ("llama2", "llama3", None),
    "qwen3_into_llama3": ("qwen3", "llama3", None),
    "llama3_into_gemma3": ("llama3", "gemma3", 300_000),
}


class Merged:
    def __init__(self, corpus, out_dir, name):
        self.source, self.target, limit = PAIRS[name]
        editor = quorvane.Quorvane(corpus[self.target])
        args = () if limit is None else (limit,)
        self.result = editor.merge_from(corpus[self.source], *args)
        self.validation = editor.validate_merges()
        self.vocab_size = editor.vocab_size
        self.merges_count = editor.merges_count
        path = out_dir / f"{name}.json"
        editor.save(str(path))
        self.json = path.read_text(encoding="utf-8")
        self.client = tokenizers.Tokenizer.from_file(str(path))


@pytest.fixture(scope="module")
def merged(corpus, tmp_path_factory):
    """merged(pair name) -> Merged, computed on first use."""
    out_dir = tmp_path_factory.mktemp("merged")
    done = {}

    def get(name):
        if name not in done:
            done[name] = Merged(corpus, out_dir, name)
        return done[name]

    return get


@pytest.fixture(scope="module")
def original(corpus):
    """original(name) -> the client on the unmerged file, loaded once."""
    done = {}

    def get(name):
        if name not in done:
            done[name] = tokenizers.Tokenizer.from_file(corpus[name])
        return done[name]

    return get


def model_vocab(m):
    return m.client.get_vocab(with_added_tokens=False)


@pytest.mark.parametrize("name", sorted(PAIRS))
class TestMergedCorpus:
    def test_counts_and_dense_ids(self, merged, name):
        m = merged(name)
        r = m.result
        assert (r.initial_target_vocab_size, r.source_vocab_size) == (COUNTS[m.target][0], COUNTS[m.source][0])
        assert m.validation.invalid_count == 0
        assert m.merges_count == r.bridge_merges_added + r.source_merges_added + r.target_merges_retained
        n, final = r.final_model_vocab_size, r.final_vocab_size
        model_ids = sorted(model_vocab(m).values())
        assert m.vocab_size == n and model_ids == list(range(n))
        added_ids = set(m.client.get_added_tokens_decoder())
        assert set(model_ids) | added_ids == set(range(final))
        assert m.client.get_vocab_size(with_added_tokens=True) == final

    def test_sample_decodes_back(self, merged, original, name):
        m = merged(name)
        before = original(m.target)
        expected = before.decode(before.encode(SAMPLE).ids)
        if expected != SAMPLE:
            print(f"\n{m.target} itself does not decode the sample exactly")
        assert m.client.decode(m.client.encode(SAMPLE).ids) == expected


class TestMergedPairs:
    def test_marker_source_into_byte_level(self, merged, corpus):
        m = merged("llama2_into_llama3")
        assert m.result.representation == "ByteLevel (Ġ)" and m.result.bridge_tokens_added > 0
        vocab = model_vocab(m)
        assert {"Ġthe", "Ċ"} <= vocab.keys()  # '▁the' and '<0x0A>'
        # Every character llama2 holds as a token is one token after the
        # merge, built by merges alone (the bridges): the client may not take a
        # whole word from the vocabulary here.
        doc = json.loads(m.json)
        doc["model"]["ignore_merges"] = False
        client = tokenizers.Tokenizer.from_str(json.dumps(doc))
        with open(corpus["llama2"], encoding="utf-8") as f:
            chars = [t.replace(MARKER, " ") for t in json.load(f)["model"]["vocab"] if len(t) == 1]
        assert len(chars) > 1000
        encodings = client.encode_batch(chars, add_special_tokens=False)
        assert [c for c, e in zip(chars, encodings) if len(e.ids) != 1] == []

    def test_byte_level_source_into_byte_level(self, merged, original, corpus):
        m = merged("qwen3_into_llama3")
        # Read as bytes, every qwen3 token keeps its spelling ('Ġthe' stays).
        with open(corpus["qwen3"], encoding="utf-8") as f:
            source_vocab = json.load(f)["model"]["vocab"]
        vocab = model_vocab(m)
        assert [t for t in source_vocab if t not in vocab] == []
        assert m.result.bridge_tokens_added == 0 and m.result.source_merges_added == COUNTS["qwen3"][1]

        before = len(original("llama3").encode(CHINESE, add_special_tokens=False).ids)
        after = len(m.client.encode(CHINESE, add_special_tokens=False).ids)
        print(f"\nChinese sample ({len(CHINESE)} characters) with llama3: {before} tokens before, "
              f"{after} after merging qwen3")
        assert after < before
        assert m.client.decode(m.client.encode(CHINESE).ids) == CHINESE

    def test_byte_level_source_into_marker(self, merged, original, corpus):
        m = merged("llama3_into_gemma3")
        r = m.result
        assert r.representation == f"space marker ({MARKER})"
        assert r.final_vocab_size == 300_000 and r.target_tokens_removed > 0
        # Each llama3 token that is whole text arrives with its spaces as
        # markers; one that is a piece of a character has no text form and is
        # left out (its ByteLevel spelling arrives nowhere).
        byte_of = {c: b for b, c in enumerate(byte_level_table())}
        with open(corpus["llama3"], encoding="utf-8") as f:
            source_vocab = json.load(f)["model"]["vocab"]
        forms, pieces = set(), set()
        for token in source_vocab:
            try:
                forms.add(bytes(byte_of[c] for c in token).decode("utf-8").replace(" ", MARKER))
            except UnicodeDecodeError:
                pieces.add(token)
        assert "▁the" in forms and pieces
        vocab = model_vocab(m)
        injected = vocab.keys() - original("gemma3").get_vocab(with_added_tokens=False).keys()
        assert forms <= vocab.keys()
        assert injected <= forms and len(injected) == r.tokens_injected
        assert r.bridge_tokens_added == r.bridge_merges_added == 0

    def test_limit_below_the_required_tokens(self, corpus):
        editor = quorvane.Quorvane(corpus["llama3"])
        before = editor.to_json()
        with pytest.raises(ValueError) as raised:
            editor.merge_from(corpus["llama2"], 1000)
        found = re.fullmatch(r"Failed to merge tokenizer: Required converted and protected tokens \((\d+)\) "
                             r"exceed model limit \((\d+)\)", str(raised.value))
        assert found, str(raised.value)
        required, limit = int(found[1]), int(found[2])
        added_only = 1000 - limit
        assert added_only == COUNTS["llama3"][2] and required > limit
        assert editor.to_json() == before
        # One short of the required tokens still fails; exactly enough keeps
        # them and nothing else of the target.
        with pytest.raises(ValueError, match=rf"\({required}\) exceed model limit \({required - 1}\)"):
            editor.merge_from(corpus["llama2"], required + added_only - 1)
        r = editor.merge_from(corpus["llama2"], required + added_only)
        assert (r.final_model_vocab_size, r.final_vocab_size) == (required, required + added_only)
        assert r.target_tokens_removed > 0 and editor.validate_merges().invalid_count == 0
