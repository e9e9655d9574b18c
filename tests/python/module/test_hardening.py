"""Hostile input and the edges of the id space.

Truncated and corrupted documents, extreme nesting, sizes and numbers, NUL
characters, paths that cannot be read or written; ids at the top of the u32
range, an empty vocabulary, and a vocabulary whose tokens all share one id.

Cases that could bring the interpreter down run in a child interpreter
(`isolated`), so that a crash fails that one test instead of the session.
"""

import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

from quorvane import Quorvane

from conftest import tokenizer_doc

TOP = 2**32 - 1
PARSE_ERROR = re.compile(r"Failed to parse JSON: (.+) at line (\d+) column (\d+)", re.S)
BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}


def byte_level_doc(vocab, merges=(), **kwargs):
    """tokenizer_doc with a ByteLevel pre-tokenizer, which merging needs."""
    return {**tokenizer_doc(vocab, merges, **kwargs), "pre_tokenizer": BYTE_LEVEL}


def byte_level_editor(vocab, merges=(), **kwargs):
    return Quorvane.from_json(json.dumps(byte_level_doc(vocab, merges, **kwargs)))


def isolated(function, *args, timeout=300):
    """Runs function(*args), a function of this module, in a child interpreter
    and returns its JSON result. A crash, a hang or an exception fails the test."""
    code = (
        "import json, sys\n"
        "sys.path[:0] = json.loads(sys.argv[1])\n"
        "import test_hardening\n"
        "result = getattr(test_hardening, sys.argv[2])(*json.loads(sys.argv[3]))\n"
        "sys.stdout.write('\\n' + json.dumps(result))\n"
    )
    argv = [sys.executable, "-c", code, json.dumps(sys.path), function.__name__, json.dumps(args)]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if proc.returncode < 0:
        pytest.fail(f"{function.__name__} crashed with {signal.Signals(-proc.returncode).name}\n"
                    f"{proc.stderr[-3000:]}")
    if proc.returncode != 0:
        pytest.fail(f"{function.__name__} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.rsplit("\n", 1)[-1])


def outcome_from_json(text):
    """'ok', 'bpe' or 'parse' for a text given to from_json; anything else
    (another exception, a parse message without its position) raises."""
    try:
        editor = Quorvane.from_json(text)
    except ValueError as e:
        message = str(e)
        if message == "Only BPE tokenizers are supported":
            return "bpe"
        assert PARSE_ERROR.fullmatch(message), message
        return "parse"
    again = editor.to_json()
    assert Quorvane.from_json(again).to_json() == again
    editor.get_stats()
    editor.validate_merges()
    return "ok"


def outcome_from_file(path):
    """'ok', 'read', 'bpe' or 'parse' for the file at path given to Quorvane."""
    try:
        Quorvane(path)
    except OSError as e:
        outcomes = {
            f"Failed to load tokenizer: Failed to read: {path}": "read",
            "Failed to load tokenizer: Failed to parse tokenizer.json": "parse",
            "Failed to load tokenizer: Only BPE tokenizers are supported": "bpe",
        }
        assert str(e) in outcomes, str(e)
        return outcomes[str(e)]
    return "ok"


def rich_document():
    """A small document that uses every kind of JSON value the reader handles."""
    doc = tokenizer_doc(
        ["a", "b", "ab", "é", "aé", "\n", "\"q\\", "<s>", "[UNK]", "Ġ", "Ġa"],
        [("a", "b"), ("a", "é"), ("Ġ", "a")],
        added_tokens=[{"id": 7, "content": "<s>", "special": True, "lstrip": False},
                      {"id": 8, "content": "[UNK]", "special": True, "normalized": None}],
        dropout=0.25, unk_token="[UNK]", fuse_unk=True,
    )
    doc["normalizer"] = {"type": "Sequence", "normalizers": [
        {"type": "NFC"}, {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]}
    doc["pre_tokenizer"] = BYTE_LEVEL
    doc["truncation"] = {"max_length": 512, "stride": -2, "ratio": 1.5e-3}
    doc["unknown"] = [1, {"nested": [True, None, "x"]}]
    return json.dumps(doc, ensure_ascii=False, indent=1)


# ---- workers run by `isolated`; each checks its own cases and returns a summary


def _prefix_sweep(path, parts):
    """Every 1/parts-th prefix of the file's text, through from_json; a parse
    failure must point at the end of the prefix, where the text ran out."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    counts = {"ok": 0, "parse": 0}
    for k in range(parts + 1):
        prefix = text[: len(text) * k // parts]
        try:
            Quorvane.from_json(prefix)
        except ValueError as e:
            match = PARSE_ERROR.fullmatch(str(e))
            assert match, str(e)
            end = (prefix.count("\n") + 1, len(prefix) - prefix.rfind("\n"))
            assert (int(match[2]), int(match[3])) == end, (k, str(e))
            counts["parse"] += 1
        else:
            counts["ok"] += 1
    return counts


def _byte_prefix_sweep(path, parts, scratch):
    """Byte prefixes of the file, through Quorvane(path): cuts inside a
    multi-byte character are not UTF-8 and fail reading; the rest fail parsing."""
    with open(path, "rb") as f:
        data = f.read()
    counts = {}
    for k in range(parts):
        prefix = data[: len(data) * k // parts]
        with open(scratch, "wb") as f:
            f.write(prefix)
        try:
            prefix.decode("utf-8")
            expected = "parse"
        except UnicodeDecodeError:
            expected = "read"
        got = outcome_from_file(scratch)
        assert got == expected, (k, got, expected)
        counts[got] = counts.get(got, 0) + 1
    return counts


def _byte_flips(text, mutants, seed, scratch):
    """Random byte flips; the file and the text readers must agree on each."""
    rng = random.Random(seed)
    data = text.encode("utf-8")
    counts = {}
    for _ in range(mutants):
        mutant = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            position = rng.randrange(len(mutant))
            mutant[position] = rng.choice([rng.randrange(256), ord(rng.choice('{}[]",:0-e.\\u '))])
        with open(scratch, "wb") as f:
            f.write(mutant)
        from_file = outcome_from_file(scratch)
        try:
            decoded = mutant.decode("utf-8")
        except UnicodeDecodeError:
            assert from_file == "read"
        else:
            assert outcome_from_json(decoded) == from_file
        counts[from_file] = counts.get(from_file, 0) + 1
    return counts


def _ascii_flips(path, mutants, seed):
    """Flips of ASCII bytes to ASCII bytes in a real file (the text stays UTF-8)."""
    rng = random.Random(seed)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    counts = {}
    for _ in range(mutants):
        mutant = text
        for _ in range(rng.randint(1, 4)):
            position = rng.randrange(len(mutant))
            mutant = mutant[:position] + rng.choice('{}[]",:0123456789-+.eE\\ntfu ') + mutant[position + 1:]
        got = outcome_from_json(mutant)
        counts[got] = counts.get(got, 0) + 1
    return counts


def _deep_nesting(levels, scratch):
    """`levels` of arrays and objects in every place a document can nest them."""
    deep_array = "[" * levels + "]" * levels
    deep_object = '{"k":' * levels + "1" + "}" * levels
    model = '{"type": "BPE", "vocab": %s, "merges": %s}'
    top = '{"version": "1", "added_tokens": %s, "model": %s%s}'
    plain_model = model % ('{"a": 0}', "[]")
    documents = {
        "generic array": top % ("[]", plain_model, ', "normalizer": ' + deep_array),
        "generic object": top % ("[]", plain_model, ', "decoder": ' + deep_object),
        "added entry": top % ("[" + deep_object + "]", plain_model, ""),
        "unknown key": top % ("[]", plain_model, ', "extra": ' + deep_array),
        "unknown model key": top % ("[]", '{"type": "BPE", "x": %s, "vocab": {}, "merges": []}' % deep_object, ""),
        "vocab value": top % ("[]", model % ('{"a": ' + deep_array + "}", "[]"), ""),
        "merge": top % ("[]", model % ("{}", "[" + deep_array + "]"), ""),
        "document": deep_array,
        "unclosed": '{"version": "1", "normalizer": ' + '[{"k":' * levels,
    }
    messages = {}
    for name, text in documents.items():
        try:
            Quorvane.from_json(text)
            messages[name] = "accepted"
        except ValueError as e:
            messages[name] = str(e)
        with open(scratch, "w", encoding="utf-8") as f:
            f.write(text)
        messages[name + " (file)"] = outcome_from_file(scratch)
    return messages


def _ten_megabyte_tokens(scratch):
    size = 10 * 2**20
    plain = "é" * (size // 2)               # 10 MB of two-byte characters
    escaped = '\x01"\\\n' * (size // 4)     # 10 MB that is all escapes
    half = plain[: len(plain) // 2]
    doc = tokenizer_doc({plain: 0, half: 1, escaped: 2, "é": 3, "x": 4}, [(half, half)])
    editor = Quorvane.from_json(json.dumps(doc))
    text = editor.to_json()
    assert Quorvane.from_json(text).to_json() == text
    editor.save(scratch)
    assert Quorvane(scratch).get_vocab() == editor.get_vocab()
    assert editor.has_token(escaped) and editor.get_token_id(plain) == 0
    assert editor.get_token_by_id(2) == escaped
    assert editor.validate_merges().invalid_count == 0
    assert editor.get_stats().length_distribution == [(1, 2), (size // 4, 1), (size // 2, 1), (size, 1)]

    grown = editor.add_token(plain + "x")  # the longest prefix is the 10 MB token
    assert (grown.method, grown.added_merges) == ("longest_prefix", [(plain, "x")])
    # Without a prefix, the merge chain would hold every prefix of 10 MB of
    # text (~5e13 bytes): refused at once, before anything changes.
    before = editor.to_json()
    for call in (lambda: editor.add_token("ü" * size), lambda: editor.add_tokens(["q", "ü" * size]),
                 lambda: editor.add_tokens_keep_size(["q", plain + "xy"])):
        with pytest.raises(MemoryError, match=r"^Token too long to build with merges: \d+ bytes would need"):
            call()
    assert editor.to_json() == before
    assert editor.add_token_atomic("ü" * (size // 2)) is True
    assert [t[2] for t in editor.find_tokens_to_shrink(3)] == [size, size // 2 + 1, size // 2]
    assert editor.shrink(2).tokens_removed_count == 2
    assert not editor.has_token(escaped) and not editor.has_token(plain + "x") and editor.has_token(plain)
    return editor.vocab_size


def _million_added_tokens(scratch):
    n = 10**6
    entries = ",".join('{"id":%d,"content":"<t%d>","special":true}' % (i + 10, i) for i in range(n))
    text = ('{"version":"1.0","added_tokens":[' + entries + '],"pre_tokenizer":' + json.dumps(BYTE_LEVEL)
            + ',"model":{"type":"BPE","vocab":{"a":0,"b":1,"ab":2},"merges":[["a","b"]]}}')
    del entries
    editor = Quorvane.from_json(text)
    assert editor.vocab_size == 3
    assert editor.add_token_atomic("c") and editor.get_token_id("c") == n + 10  # above every entry id
    out = editor.to_json()
    last = '{\n      "content": "<t%d>",\n      "id": %d,\n      "special": true\n    }\n  ],' % (n - 1, n + 9)
    assert out.count('"content"') == n and last in out
    editor.save(scratch)
    assert Quorvane(scratch).to_json() == out
    reindexed = editor.reindex_vocab()
    assert (reindexed.ids_remapped, editor.get_token_id("c")) == (1, 3)
    try:
        editor.merge_from(scratch)
    except ValueError as e:
        return str(e)
    return "merged"


def _unreadable_as_nobody(directory):
    """Drops root, then reads a file of mode 000 and saves into a read-only
    directory."""
    if os.getuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
    secret = os.path.join(directory, "secret.json")
    target = os.path.join(directory, "ro", "new.json")
    editor = Quorvane.from_json(json.dumps(tokenizer_doc(["a", "b", "ab"], [("a", "b")])))
    messages = []
    for call in (lambda: Quorvane(secret), lambda: editor.merge_from(secret),
                 lambda: editor.sync_single_chars(secret), lambda: editor.save(target)):
        try:
            call()
            messages.append("succeeded")
        except OSError as e:
            messages.append(str(e))
    return messages


# ---- bad input


@pytest.fixture
def scratch_dir(tmp_path):
    """A directory in memory where there is one: rewriting a file thousands of
    times on a disk file system measures the disk."""
    if not os.access("/dev/shm", os.W_OK):
        yield tmp_path
        return
    directory = tempfile.mkdtemp(dir="/dev/shm")
    yield directory
    shutil.rmtree(directory)


class TestCorruptedDocuments:
    def test_every_prefix_of_a_real_file(self, corpus):
        counts = isolated(_prefix_sweep, corpus["llama2"], 500)
        assert counts == {"ok": 1, "parse": 500}  # only the whole text parses

    def test_byte_prefixes_through_the_file_reader(self, corpus, scratch_dir):
        counts = isolated(_byte_prefix_sweep, corpus["llama2"], 100, os.path.join(scratch_dir, "prefix.json"))
        assert counts.get("read", 0) > 0 and counts["parse"] > 0  # both kinds of cut were made

    def test_random_byte_flips(self, scratch_dir):
        counts = isolated(_byte_flips, rich_document(), 3000, 1, os.path.join(scratch_dir, "flipped.json"))
        assert counts.get("ok", 0) > 100 and counts["parse"] > 100 and counts.get("read", 0) > 100

    def test_flips_in_a_real_file(self, corpus):
        counts = isolated(_ascii_flips, corpus["llama2"], 40, 2)
        assert sum(counts.values()) == 40 and counts["parse"] > 0

    @pytest.mark.parametrize(
        "raw",
        ["", " ", "\x00", '{"version": "1\x00"}', '{"version": "1"}\x00', "\ufeff{}", "nul", "[]", "1e5", '"x"'],
        ids=["empty", "space", "nul", "nul-in-string", "nul-after", "bom", "word", "array", "number", "string"],
    )
    def test_not_a_document(self, raw):
        with pytest.raises(ValueError) as raised:
            Quorvane.from_json(raw)
        assert PARSE_ERROR.fullmatch(str(raised.value)), str(raised.value)


class TestExtremeInput:
    def test_nesting_100000_deep(self, tmp_path):
        messages = isolated(_deep_nesting, 100_000, str(tmp_path / "deep.json"))
        for name, message in messages.items():
            if name.endswith("(file)"):
                assert message == "parse", name
            else:
                match = PARSE_ERROR.fullmatch(message)
                assert match, (name, message)
        assert all(PARSE_ERROR.fullmatch(messages[name])[1] == "recursion limit exceeded"
                   for name in ("generic array", "generic object", "added entry", "unknown key",
                                "unknown model key", "unclosed"))

    def test_nesting_limit_is_128_levels(self, tmp_path):
        def with_normalizer(levels):  # the document object is the first level
            doc = json.dumps(tokenizer_doc(["a"]))
            return doc[:-1] + ', "normalizer": ' + "[" * (levels - 1) + "]" * (levels - 1) + "}"

        deepest = Quorvane.from_json(with_normalizer(128))
        text = deepest.to_json()
        assert Quorvane.from_json(text).to_json() == text
        deepest.save(str(tmp_path / "deep.json"))
        assert Quorvane(str(tmp_path / "deep.json")).to_json() == text
        with pytest.raises(ValueError, match=r"^Failed to parse JSON: recursion limit exceeded at line 1 "):
            Quorvane.from_json(with_normalizer(129))

    def test_ten_megabyte_tokens(self, scratch_dir):
        assert isolated(_ten_megabyte_tokens, os.path.join(scratch_dir, "big.json")) == 5

    def test_a_million_added_token_entries(self, scratch_dir):
        message = isolated(_million_added_tokens, os.path.join(scratch_dir, "added.json"))
        assert message == "Failed to merge tokenizer: Added tokens alone exceed max_vocab_size"


class TestNumbers:
    def place(self, literal, where):
        doc = json.dumps(tokenizer_doc({"a": 0}))
        if where == "vocab id":
            return doc.replace('"a": 0', '"a": ' + literal)
        if where == "dropout":
            return doc.replace('"type": "BPE"', '"type": "BPE", "dropout": ' + literal)
        if where == "added entry":
            return doc.replace('"added_tokens": []', '"added_tokens": [{"id": %s}]' % literal)
        if where == "unknown key":
            return doc[:-1] + ', "extra": ' + literal + "}"
        return doc[:-1] + ', "normalizer": {"x": ' + literal + "}}"

    WHERE = ["generic", "vocab id", "dropout", "added entry", "unknown key"]

    @pytest.mark.parametrize("literal", ["1e400", "-1e400", "1" + "0" * 400, "1e99999999999999999999"])
    @pytest.mark.parametrize("where", WHERE)
    def test_too_large_for_a_double_is_refused(self, literal, where, write_doc):
        text = self.place(literal, where)
        with pytest.raises(ValueError) as raised:
            Quorvane.from_json(text)
        assert PARSE_ERROR.fullmatch(str(raised.value))
        if literal != "1e99999999999999999999":  # the JSON parser refuses that one in its own words
            assert str(raised.value).startswith("Failed to parse JSON: number out of range at line 1 column ")
        with pytest.raises(OSError, match="^Failed to load tokenizer: Failed to parse tokenizer.json$"):
            Quorvane(write_doc(text))

    @pytest.mark.parametrize(
        "literal, written",
        [
            ("-0", "-0.0"),
            ("-0.0", "-0.0"),
            ("1e-400", "0.0"),  # below the smallest double: rounds to zero, as in every JSON reader
            ("-1e-400", "-0.0"),
            ("2.5e-324", "5e-324"),
            ("1e2", "100.0"),
            ("18446744073709551615", "18446744073709551615"),
            ("18446744073709551616", "18446744073709551616.0"),
            ("-9223372036854775808", "-9223372036854775808"),
            ("-9223372036854775809", "-9223372036854775808.0"),
        ],
    )
    def test_edges_of_the_number_classes(self, literal, written):
        editor = Quorvane.from_json(self.place(literal, "generic"))
        text = editor.to_json()
        assert f'"x": {written}\n' in text
        assert math.copysign(1, json.loads(text)["normalizer"]["x"]) == math.copysign(1, float(literal))
        assert Quorvane.from_json(text).to_json() == text
        dropout = json.loads(Quorvane.from_json(self.place(literal, "dropout")).to_json())["model"]["dropout"]
        assert dropout == float(literal) and math.copysign(1, dropout) == math.copysign(1, float(literal))

    @pytest.mark.parametrize("literal", ["-0", "1e-400", "0.0", "4294967296", "-1"])
    def test_vocab_ids_are_plain_u32_integers(self, literal):
        with pytest.raises(ValueError, match=r"^Failed to parse JSON: invalid (type|value): .*expected u32 at line"):
            Quorvane.from_json(self.place(literal, "vocab id"))


class TestNulCharacters:
    def test_tokens_with_nul(self, make_editor, tmp_path):
        entry = {"id": 4, "content": "x\0y", "special": False, "single_word": False,
                 "lstrip": False, "rstrip": False, "normalized": True}
        editor = make_editor({"a": 0, "\0": 1, "a\0": 2, "\0\0b": 3}, [("a", "\0")], added_tokens=[entry])
        assert editor.has_token("a\0") and not editor.has_token("\0\0")
        assert editor.get_token_by_id(2) == "a\0" and editor.get_token_id("\0\0b") == 3
        assert editor.add_token("a\0\0b").added_merges == [("\0", "b"), ("a\0", "\0b")]
        assert editor.add_token_atomic("\0z")
        assert editor.get_single_char_tokens() == [("\0", 1), ("a", 0), ("b", 5)]
        text = editor.to_json()
        assert "\0" not in text and '"a\\u0000\\u0000b": 7' in text
        path = str(tmp_path / "nul.json")
        editor.save(path)
        assert Quorvane(path).to_json() == text
        assert json.loads(text)["added_tokens"][0]["content"] == "x\0y"

        tokenizers = pytest.importorskip("tokenizers")
        client = tokenizers.Tokenizer.from_file(path)
        assert client.get_vocab(with_added_tokens=False) == editor.get_vocab()
        assert client.encode("a\0\0b").tokens == ["a\0\0b"]

        removal = editor.remove_token("\0")
        assert sorted(removal.removed_tokens) == sorted(["\0", "a\0", "\0b", "a\0\0b"])


class TestPaths:
    @pytest.fixture
    def editor(self):
        return byte_level_editor(["a", "b", "ab"], [("a", "b")])

    def assert_unreadable(self, editor, path):
        with pytest.raises(OSError) as raised:
            Quorvane(path)
        assert str(raised.value) == f"Failed to load tokenizer: Failed to read: {path}"
        before = editor.to_json()
        for method in (editor.merge_from, editor.sync_single_chars):
            with pytest.raises(OSError) as raised:
                method(path)
            assert str(raised.value) == f"Failed to load source tokenizer: Failed to read: {path}"
        assert editor.to_json() == before

    def test_directory(self, editor, tmp_path):
        for path in (str(tmp_path), str(tmp_path) + "/"):
            self.assert_unreadable(editor, path)
            with pytest.raises(OSError) as raised:
                editor.save(path)
            assert str(raised.value) == f"Failed to save tokenizer: Failed to write: {path}"
        assert os.listdir(tmp_path) == []

    @pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs /proc")
    def test_file_that_opens_but_cannot_be_read(self, editor):
        self.assert_unreadable(editor, "/proc/self/mem")  # reading at offset 0 fails with EIO

    @pytest.mark.skipif(not hasattr(os, "setuid"), reason="needs POSIX users")
    def test_file_without_permission(self):
        if os.getuid() == 0:
            try:
                import pwd
                pwd.getpwuid(65534)
            except (ImportError, KeyError):
                pytest.skip("no unprivileged user to become")
        directory = tempfile.mkdtemp()  # outside the per-user pytest directory, which nobody can enter
        try:
            os.chmod(directory, 0o755)
            secret = os.path.join(directory, "secret.json")
            with open(secret, "w") as f:
                json.dump(tokenizer_doc(["a"]), f)
            os.chmod(secret, 0)
            os.mkdir(os.path.join(directory, "ro"), 0o555)
            messages = isolated(_unreadable_as_nobody, directory)
            assert messages == [
                f"Failed to load tokenizer: Failed to read: {secret}",
                f"Failed to load source tokenizer: Failed to read: {secret}",
                f"Failed to load source tokenizer: Failed to read: {secret}",
                f"Failed to save tokenizer: Failed to write: {directory}/ro/new.json",
            ]
            assert os.listdir(os.path.join(directory, "ro")) == []
        finally:
            shutil.rmtree(directory)

    def test_nul_in_path_never_reaches_the_shorter_path(self, editor, write_doc, tmp_path):
        valid = write_doc(byte_level_doc(["a"]), "valid.json")
        for path in (valid + "\0", valid + "\0.bak", str(tmp_path) + "\0/valid.json"):
            self.assert_unreadable(editor, path)

        with open(valid, "rb") as f:
            content = f.read()
        absent = str(tmp_path / "absent.json")
        for path in (valid + "\0", valid + "\0.new", absent + "\0", absent + "\0x"):
            with pytest.raises(OSError) as raised:
                editor.save(path)
            assert str(raised.value) == f"Failed to save tokenizer: Failed to write: {path}"
        with open(valid, "rb") as f:
            assert f.read() == content
        assert sorted(os.listdir(tmp_path)) == ["valid.json"]


# ---- limits


def assert_ids_sound(editor, taken_elsewhere=()):
    """No two tokens share an id, and none holds one of `taken_elsewhere`."""
    ids = list(editor.get_vocab().values())
    assert len(ids) == len(set(ids))
    assert not set(ids) & set(taken_elsewhere)


class TestTopOfIdRange:
    """When the largest id is 4294967295 the cursor wraps to 0, and allocation
    then takes the lowest free id from there, stepping over taken ones."""

    def test_atomic_additions_after_the_wrap(self, make_editor):
        entry = {"id": 3, "content": "<pad>", "special": True}
        editor = make_editor({"a": 0, "b": 1, "top": TOP}, added_tokens=[entry])
        for token in "wxyz":
            assert editor.add_token_atomic(token)
        assert [editor.get_token_id(t) for t in "wxyz"] == [2, 4, 5, 6]  # 3 is the entry's
        assert_ids_sound(editor, {3})

    def test_the_top_id_is_handed_out_once(self, make_editor):
        editor = make_editor({"a": 0, "b": 1, "c": TOP - 1})
        editor.add_token_atomic("x")
        editor.add_token_atomic("y")
        assert (editor.get_token_id("x"), editor.get_token_id("y")) == (TOP, 2)

    def test_top_taken_by_an_added_token_entry_only(self, make_editor):
        editor = make_editor({"a": 0}, added_tokens=[{"id": TOP, "content": "<eos>", "special": True}])
        editor.add_token_atomic("x")
        assert editor.get_token_id("x") == 1

    def test_chains_step_over_taken_ids(self, make_editor):
        editor = make_editor({"a": 0, "c": 2, "e": 5, "top": TOP, "hi": TOP - 1})
        result = editor.add_token("bcd")
        assert result.added_merges == [("b", "c"), ("bc", "d")]
        assert {t: editor.get_token_id(t) for t in ("b", "bc", "d", "bcd")} == {"b": 1, "bc": 3, "d": 4, "bcd": 6}
        editor.add_tokens(["fg", "hij"])
        assert_ids_sound(editor)

    def test_freed_low_ids_are_reused_after_the_wrap(self, make_editor):
        editor = make_editor({"a": 0, "b": 1, "top": TOP})
        editor.remove_token("a")
        assert editor.add_token_atomic("x") and editor.get_token_id("x") == 0
        assert editor.add_token_atomic("y") and editor.get_token_id("y") == 2

    def test_a_shared_id_stays_taken_after_the_wrap(self, make_editor):
        editor = make_editor({"a": 0, "b": 2, "c": 2, "top": TOP})
        editor.remove_token("c")  # 'b' still carries 2
        for token in "wxy":
            editor.add_token_atomic(token)
        assert [editor.get_token_id(t) for t in "wxy"] == [1, 3, 4]
        assert_ids_sound(editor)

    def test_fixed_size_addition(self, make_editor):
        editor = make_editor({"a": 0, "b": 1, "ab": TOP, "abab": TOP - 1}, [("a", "b"), ("ab", "ab")])
        editor.add_tokens_keep_size(["cd", "ce"])
        assert_ids_sound(editor)
        assert editor.validate_merges().invalid_count == 0

    def test_gaps_and_reindex(self, make_editor):
        editor = make_editor({"a": 0, "b": TOP})
        assert editor.check_vocab_gaps() == (True, TOP - 1, 0, TOP)
        assert make_editor({"a": TOP}).check_vocab_gaps() == (True, TOP, TOP, TOP)
        result = editor.reindex_vocab()
        assert (result.old_max_id, result.new_max_id) == (TOP, 1)
        assert (result.ids_remapped, result.gaps_removed) == (1, TOP - 1)
        assert editor.get_vocab() == {"a": 0, "b": 1}
        editor.add_token_atomic("c")
        assert editor.get_token_id("c") == 2  # the cursor follows the new largest id

    def test_merge_and_sync(self, make_editor, write_doc):
        source = write_doc(byte_level_doc(["a", "b", "c", "é"]), "source.json")
        entry = {"id": TOP - 1, "content": "<x>", "special": True}
        target = byte_level_editor({"a": 0, "b": 1, "ab": TOP}, [("a", "b")], added_tokens=[entry])
        copy = byte_level_editor({"a": 0, "b": 1, "ab": TOP}, [("a", "b")])

        target.merge_from(source)
        assert sorted(target.get_vocab().values()) == list(range(target.vocab_size))
        assert json.loads(target.to_json())["added_tokens"][0]["id"] == target.vocab_size
        target.add_token_atomic("zz")
        assert target.get_token_id("zz") == target.vocab_size  # past the entry's new id

        copy.sync_single_chars(source)
        assert sorted(copy.get_vocab().values()) == list(range(copy.vocab_size))


class TestEmptyVocabulary:
    @pytest.fixture
    def editor(self, make_editor):
        return byte_level_editor({})

    @pytest.mark.parametrize(
        "call, expected",
        [
            (lambda e: e.has_token(""), False),
            (lambda e: e.get_token_id("a"), None),
            (lambda e: e.get_token_by_id(0), None),
            (lambda e: e.get_vocab(), {}),
            (lambda e: e.get_merges(), []),
            (lambda e: e.get_single_char_tokens(), []),
            (lambda e: e.check_vocab_gaps(), (False, 0, 0, 0)),
            (lambda e: e.find_tokens_to_shrink(10), []),
            (lambda e: e.remove_invalid_merges(), 0),
            (lambda e: e.remove_tokens(["a", ""]), []),
            (lambda e: e.remove_token("a").removed_tokens, ["a"]),
            (lambda e: (e.validate_merges().valid_count, e.validate_merges().invalid_count), (0, 0)),
            (lambda e: e.shrink(10).tokens_removed_count, 0),
            (lambda e: (e.reindex_vocab().vocab_size, e.reindex_vocab().ids_remapped), (0, 0)),
            (lambda e: (e.vocab_size, e.merges_count, repr(e)), (0, 0, "Quorvane(vocab_size=0, merges_count=0)")),
        ],
    )
    def test_nothing_to_find(self, editor, call, expected):
        before = editor.to_json()
        assert call(editor) == expected
        assert editor.to_json() == before

    def test_additions_start_at_id_1(self, editor, make_editor):
        assert editor.add_token("ab").added_merges == [("a", "b")]
        assert editor.get_vocab() == {"a": 1, "ab": 3, "b": 2}
        other = make_editor({})
        assert [r.method for r in other.add_tokens(["", "c", ""])] == ["char_chain", "single_char", "already_exists"]
        assert other.add_token_atomic("<s>") and other.get_vocab() == {"": 1, "<s>": 3, "c": 2}

    def test_fixed_size_addition(self, editor):
        report = editor.add_tokens_keep_size(["xy", "z"])
        assert report["initial_vocab_size"] == 0 and report["final_vocab_size"] == editor.vocab_size
        assert_ids_sound(editor)
        assert editor.validate_merges().invalid_count == 0

    def test_round_trip(self, editor, tmp_path):
        text = editor.to_json()
        assert '"vocab": {}' in text and '"merges": []' in text
        editor.save(str(tmp_path / "empty.json"))
        assert Quorvane(str(tmp_path / "empty.json")).to_json() == text

    def test_with_a_second_tokenizer(self, editor, make_editor, write_doc, capfd):
        source = write_doc(byte_level_doc(["a", "b", "ab", "é"], [("a", "b")]))
        empty_source = write_doc(byte_level_doc({}), "empty.json")

        synced = make_editor({})
        assert synced.sync_single_chars(source)["chars_added_count"] == 3
        assert synced.get_vocab() == {"a": 0, "b": 1, "é": 2}

        assert editor.merge_from(empty_source).final_vocab_size == 0
        assert editor.vocab_size == 0
        assert editor.merge_from(source).tokens_injected == 4
        assert editor.get_vocab() == {"a": 0, "ab": 2, "b": 1, "é": 3}


class TestSharedId:
    """Every token carries id 7."""

    TOKENS = ["abc", "ab", "a", "b", "c", "<s>", "bc"]

    @pytest.fixture
    def editor(self, make_editor):
        return byte_level_editor({t: 7 for t in self.TOKENS}, [("a", "b"), ("ab", "c"), ("b", "c")])

    def test_queries(self, editor):
        assert editor.get_token_by_id(7) == "<s>"  # first in byte order
        assert editor.get_token_id("bc") == 7
        assert editor.check_vocab_gaps() == (True, 7, 7, 7)
        stats = editor.get_stats()
        assert (stats.min_token_id, stats.max_token_id, stats.vocab_size) == (7, 7, 7)
        assert editor.get_single_char_tokens() == [("a", 7), ("b", 7), ("c", 7)]
        assert editor.find_tokens_to_shrink(3) == [("abc", 7, 3), ("ab", 7, 2), ("bc", 7, 2)]

    def test_reindex_follows_byte_order(self, editor):
        result = editor.reindex_vocab()
        assert (result.ids_remapped, result.new_max_id) == (7, 6)
        assert list(editor.get_vocab().items()) == [(t, i) for i, t in enumerate(sorted(self.TOKENS))]

    def test_additions_take_ids_above(self, editor):
        editor.add_token_atomic("q")
        editor.add_token("abcd")
        assert (editor.get_token_id("q"), editor.get_token_id("d"), editor.get_token_id("abcd")) == (8, 9, 10)

    def test_removals(self, editor):
        assert editor.shrink(2).tokens_removed_count == 2
        assert not editor.has_token("abc") and not editor.has_token("ab")
        assert editor.get_token_by_id(7) == "<s>"
        removal = editor.remove_token("b")
        assert sorted(removal.removed_tokens) == ["b", "bc"]
        editor.add_token_atomic("x")
        assert editor.get_token_id("x") == 8  # the id 7 is still held by others

    def test_fixed_size_addition(self, editor):
        report = editor.add_tokens_keep_size(["xy"])
        assert report["tokens_added"] == 1 and report["final_vocab_size"] == editor.vocab_size
        assert editor.validate_merges().invalid_count == 0
        assert set(editor.get_vocab().values()) == {7, 8, 9, 10}  # x, y, xy took fresh ids

    def test_round_trip(self, editor, tmp_path):
        path = str(tmp_path / "shared.json")
        editor.save(path)
        assert Quorvane(path).get_vocab() == {t: 7 for t in sorted(self.TOKENS)}

    def test_with_a_second_tokenizer(self, editor, make_editor, write_doc, capfd):
        source = write_doc(byte_level_doc(["a", "b", "é"]))
        synced = make_editor({t: 7 for t in self.TOKENS}, [("a", "b"), ("ab", "c"), ("b", "c")])
        assert synced.sync_single_chars(source)["chars_added_count"] == 1
        assert sorted(synced.get_vocab().values()) == list(range(synced.vocab_size))

        # Eight tokens need the ids 0..7, and seven kept target tokens all claim 7.
        before = editor.to_json()
        with pytest.raises(ValueError, match="^Failed to merge tokenizer: Failed to assign a contiguous model"):
            editor.merge_from(source)
        assert editor.to_json() == before
        # Seven tokens: the shared id lies outside 0..6 and every token gets a new one.
        editor.merge_from(write_doc(byte_level_doc(["a", "b"]), "small.json"))
        assert sorted(editor.get_vocab().values()) == list(range(7))
        assert editor.validate_merges().invalid_count == 0
