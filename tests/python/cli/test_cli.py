"""The `quorvane` command-line tool, run as a user runs it: in-process through
main() for speed, through `python -m quorvane_cli` and the installed script for
exit codes and streams, with the `tokenizers` package loading what it writes."""

import json
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane
from conftest import ROOT, tokenizer_doc
from quorvane_cli import main

tokenizers = pytest.importorskip("tokenizers")

SAMPLE = ROOT / "examples" / "sample" / "tokenizer.json"
MARKER = ROOT / "examples" / "sample" / "marker_tokenizer.json"
EDITS = {  # subcommand -> its arguments after TOKENIZER, run on the ByteLevel sample
    "add": ["Ġquorvane"],
    "remove": ["Ġthe"],
    "shrink": ["40"],
    "reindex": [],
    "sync-chars": [str(MARKER)],
    "merge": [str(MARKER)],
    "upgrade-merges": [],
}


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one in-process run."""
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def run_json(capsys, *argv):
    status, out, err = run(capsys, *argv, "--json")
    assert status == 0, err
    return json.loads(out)


def failure(capsys, *argv):
    """The message of a run that must fail with exit status 1 and one error line."""
    status, out, err = run(capsys, *argv)
    assert (status, out) == (1, "")
    assert err.startswith("quorvane: error: ") and err.count("\n") == 1, err
    return err


def encode(path, text):
    """The tokens and the decoded text the `tokenizers` package gets for `text`."""
    tokenizer = tokenizers.Tokenizer.from_file(str(path))
    encoding = tokenizer.encode(text)
    return encoding.tokens, tokenizer.decode(encoding.ids)


def write_doc(path, doc):
    """Write `doc` (a JSON value, or raw text) to `path`; return the path."""
    text = doc if isinstance(doc, str) else json.dumps(doc, ensure_ascii=False)
    path.write_text(text, encoding="utf-8")
    return path


def only_in(vocab, other):
    """The id-map rows of the tokens of `vocab` missing from `other`, in (id, token) order."""
    return [{"token": t, "id": i} for i, t in sorted((i, t) for t, i in vocab.items() if t not in other)]


@pytest.fixture
def sample(tmp_path):
    """A private copy of the ByteLevel sample."""
    return Path(shutil.copy(SAMPLE, tmp_path / "sample.json"))


class TestCommandLine:
    def test_version_and_help(self, capsys):
        assert run(capsys, "--version")[:2] == (0, f"quorvane {quorvane.__version__}\n")
        for command in ["", "info", "validate", *EDITS]:
            status, out, _ = run(capsys, *[command, "--help"] if command else ["--help"])
            assert status == 0 and out.startswith("usage: quorvane")

    @pytest.mark.parametrize("argv", [
        [], ["frobnicate"], ["info"],
        *[[command, SAMPLE, *args] for command, args in EDITS.items()],  # neither -o nor --in-place
        ["add", SAMPLE, "x", "-o", "out.json", "--in-place"],
        ["add", SAMPLE, "x", "--whitelist", "w.txt", "-o", "out.json"],
        ["add", SAMPLE, "x", "--atomic", "--keep-size", "-o", "out.json"],
        ["add", SAMPLE, "x", "--reachable", "--atomic", "-o", "out.json"],
        ["add", SAMPLE, "x", "--reachable", "--whitelist", "w.txt", "-o", "out.json"],
        ["eval", SAMPLE], ["eval", "--text", SAMPLE],
        ["add", SAMPLE, "-o", "out.json"],
        ["shrink", SAMPLE, "-1", "-o", "out.json"],
        ["shrink", SAMPLE, "2", "--min-id", str(2**32), "-o", "out.json"],
    ])
    def test_usage_errors_exit_2(self, capsys, tmp_path, monkeypatch, argv):
        monkeypatch.chdir(tmp_path)
        status, out, err = run(capsys, *argv)
        assert (status, out) == (2, "") and "error:" in err
        assert list(tmp_path.iterdir()) == []

    def test_failures_exit_1_with_one_line(self, capsys, sample, tmp_path):
        out = tmp_path / "out.json"
        assert "Failed to read" in failure(capsys, "info", tmp_path / "missing.json")
        bad_json = write_doc(tmp_path / "bad.json", "{")
        assert "Failed to load tokenizer" in failure(capsys, "validate", bad_json)
        assert "missing.txt" in failure(capsys, "add", sample, "--file", tmp_path / "missing.txt", "-o", out)
        (tmp_path / "latin1.txt").write_bytes(b"caf\xe9\n")
        assert "not UTF-8" in failure(capsys, "remove", sample, "--file", tmp_path / "latin1.txt", "-o", out)
        write_doc(tmp_path / "tokens.json", ["ok", 3])
        assert "element 1" in failure(capsys, "add", sample, "--file", tmp_path / "tokens.json", "-o", out)
        assert "empty token" in failure(capsys, "add", sample, "", "-o", out)
        assert "source tokenizer" in failure(capsys, "merge", sample, tmp_path / "missing.json", "-o", out)
        assert "max_vocab_size" in failure(capsys, "merge", sample, MARKER, "--max-vocab-size", "0",
                                           "-o", out, "--id-map", tmp_path / "map.json")
        assert not out.exists() and not (tmp_path / "map.json").exists()

    def test_output_must_not_be_the_input(self, capsys, sample, tmp_path):
        before = sample.read_bytes()
        (tmp_path / "link.json").symlink_to(sample)
        for same in [sample, f"{tmp_path}/./sample.json", tmp_path / "link.json"]:
            assert "--in-place" in failure(capsys, "add", sample, "x", "-o", same)
        for id_map in [sample, tmp_path / "o.json", tmp_path / "nodir" / "map.json"]:
            assert "--id-map" in failure(capsys, "add", sample, "x", "-o", tmp_path / "o.json",
                                         "--id-map", id_map)
        assert not (tmp_path / "o.json").exists()
        assert sample.read_bytes() == before

    @pytest.mark.parametrize("command", EDITS)
    def test_input_untouched_without_in_place(self, capsys, sample, tmp_path, command):
        before = sample.read_bytes()
        result = run_json(capsys, command, sample, *EDITS[command], "-o", tmp_path / "out.json")
        assert sample.read_bytes() == before
        assert result["output"] == str(tmp_path / "out.json")
        assert quorvane.Quorvane(result["output"]).vocab_size == result["vocab_size"]

    def test_in_place(self, capsys, sample):
        run_json(capsys, "add", sample, "Ġquorvane", "--in-place")
        assert quorvane.Quorvane(str(sample)).has_token("Ġquorvane")
        assert encode(sample, "in place")[1] == "in place"


class TestInfoAndValidate:
    @pytest.mark.parametrize("path, representation",
                             [(SAMPLE, "ByteLevel (Ġ)"), (MARKER, "space marker (▁)")])
    def test_samples(self, capsys, path, representation):
        editor = quorvane.Quorvane(str(path))
        stats = editor.get_stats()
        info = run_json(capsys, "info", path, "--reachability")
        assert info["representation"] == representation and info["nfc"] is False
        assert (info["vocab_size"], info["merges_count"], info["max_token_id"]) == (
            stats.vocab_size, stats.merges_count, stats.max_token_id)
        lengths = [(row["length"], row["count"]) for row in info["length_distribution"]]
        assert lengths == stats.length_distribution
        assert info["gaps"] == {"has_gaps": False, "total_gaps": 0, "min_id": 0,
                                   "max_id": stats.max_token_id}
        assert info["invalid_merges"] == {"count": 0, "merges": []}
        # Special added tokens and, with byte fallback on, the byte tokens are
        # matched whole, never built by merges: neither is reported.
        assert info["unreachable"] == info["unreachable_by_merges"] == {"count": 0, "tokens": []}
        assert info["unreachable_by_tokenization"] == {"count": 0, "tokens": []}
        assert run(capsys, "validate", path)[0] == 0

    def test_byte_tokens_count_without_byte_fallback(self, capsys, tmp_path):
        doc = json.loads(MARKER.read_text(encoding="utf-8"))
        doc["model"]["byte_fallback"] = False
        info = run_json(capsys, "info", write_doc(tmp_path / "t.json", doc), "--reachability")
        assert {row["token"] for row in info["unreachable"]["tokens"]} == {f"<0x{b:02X}>" for b in range(256)}

    def test_reachability_and_invalid_merges(self, capsys, tmp_path):
        # Merges before the one building their input still build "abc" and "cab"; "zzz" only
        # comes from "zz", which nothing builds.
        doc = tokenizer_doc(["a", "b", "c", "z", "ab", "abc", "zz", "zzz", "<s>", "xy", "cab"],
                            [("ab", "c"), ("c", "ab"), ("a", "b"), ("z", "zz"), ("zz", "z"), ("q", "r"),
                             ("s", "t")],
                            added_tokens=[{"id": 8, "content": "<s>", "special": True}])
        path = write_doc(tmp_path / "t.json", doc)
        info = run_json(capsys, "info", path, "--reachability", "--limit", "1")
        assert info["unreachable"]["tokens"] == [{"token": "zz", "id": 6}, {"token": "zzz", "id": 7},
                                                 {"token": "xy", "id": 9}]
        assert info["invalid_merges"]["count"] == 2 and len(info["invalid_merges"]["merges"]) == 2
        assert info["representation"] is None
        status, out, _ = run(capsys, "info", path, "--reachability", "--limit", "1")
        assert status == 0 and "unsupported" in out and '6: "zz"' in out and "… and 2 more" in out
        status, out, _ = run(capsys, "validate", path, "--limit", "1")
        assert status == 1 and '5: "q" + "r"' in out and '"s"' not in out
        status, out, _ = run(capsys, "validate", path, "--json")
        assert status == 1
        assert json.loads(out)["invalid_merges"][1] == {"position": 6, "left": "s", "right": "t"}

    def test_reachability_by_tokenization(self, capsys, tmp_path):
        # "abc" is built by ("ab", "c"), but ("b", "c") fires first and leaves "a" + "bc"; "zz" has
        # no merge at all, so both counts have it.
        doc = tokenizer_doc(["a", "b", "c", "z", "ab", "bc", "abc", "zz"], [("b", "c"), ("a", "b"), ("ab", "c")])
        path = write_doc(tmp_path / "t.json", doc)
        info = run_json(capsys, "info", path, "--reachability")
        assert info["unreachable_by_merges"]["tokens"] == [{"token": "zz", "id": 7}]
        assert info["unreachable_by_tokenization"] == {"count": 2, "tokens": [
            {"token": "abc", "id": 6, "pieces": ["a", "bc"]}, {"token": "zz", "id": 7, "pieces": ["z", "z"]}]}
        assert [piece.value for piece in tokenizers.Tokenizer.from_file(str(path)).model.tokenize("abc")] == [
            "a", "bc"]
        assert run_json(capsys, "info", path, "--reachability", "--limit", "1")[
            "unreachable_by_tokenization"] == {"count": 2, "tokens": [{"token": "abc", "id": 6, "pieces": ["a", "bc"]}]}
        status, out, _ = run(capsys, "info", path, "--reachability", "--limit", "1")
        assert status == 0 and out.splitlines()[-5:] == [
            "unreachable by merges (structural): 1", '  7: "zz"',
            "unreachable by tokenization: 2", '  6: "abc" -> "a" + "bc"', "  … and 1 more"]
        assert "unreachable_by_tokenization" not in run_json(capsys, "info", path)

    REPLACE = {"type": "Replace", "pattern": {"String": " "}, "content": "_"}

    @pytest.mark.parametrize("pre_tokenizer, normalizer, label", [
        ({"type": "Sequence", "pretokenizers": [{"type": "Split"}, {"type": "ByteLevel"}]}, REPLACE,
         "ByteLevel (Ġ)"),
        (None, {"type": "Sequence", "normalizers": [{"type": "NFC"}, REPLACE]}, "space marker (_)"),
        (None, {"type": "Replace", "pattern": {"Regex": " "}, "content": "_"}, None),
        (None, {"type": "Sequence", "normalizers": [dict(REPLACE, content=5), dict(REPLACE, content="")]},
         "space marker ()"),
        (None, dict(REPLACE, content=5, inner=REPLACE), None),
        (None, {"b": REPLACE, "a": dict(REPLACE, content="~")}, "space marker (~)"),
    ])
    def test_representation_as_merge_sees_it(self, capsys, tmp_path, pre_tokenizer, normalizer, label):
        doc = dict(tokenizer_doc(["a", "_", "~"]), pre_tokenizer=pre_tokenizer, normalizer=normalizer)
        path = write_doc(tmp_path / "t.json", doc)
        info = run_json(capsys, "info", path)
        assert (info["representation"], info["nfc"]) == (label, "NFC" in json.dumps(normalizer))
        editor = quorvane.Quorvane(str(path))
        if label is None:
            with pytest.raises(ValueError, match="Unsupported target"):
                editor.merge_from(str(MARKER))
        else:
            assert editor.merge_from(str(MARKER)).representation == label


class TestEdits:
    def test_add_with_id_map(self, capsys, sample, tmp_path):
        tokens = tmp_path / "tokens.txt"
        tokens.write_bytes("Ġquorvane\r\n\r\nĠ spaced \nĠthe\n".encode())
        out, id_map = tmp_path / "out.json", tmp_path / "map.json"
        result = run_json(capsys, "add", sample, "Ġzyx", "--file", tokens, "-o", out, "--id-map", id_map)
        assert [row["token"] for row in result["tokens"]] == ["Ġzyx", "Ġquorvane", "Ġ spaced ", "Ġthe"]
        assert [row["added"] for row in result["tokens"]] == [True, True, True, False]
        before, after = quorvane.Quorvane(str(SAMPLE)).get_vocab(), quorvane.Quorvane(str(out)).get_vocab()
        mapping = json.loads(id_map.read_text(encoding="utf-8"))
        assert list(mapping["old_to_new"].items()) == [(str(i), i) for i in sorted(before.values())]
        assert mapping["removed"] == []
        assert mapping["added"] == only_in(after, before)
        assert {"Ġzyx", "Ġquorvane"} <= {row["token"] for row in mapping["added"]}
        assert encode(out, "the quorvane zyx")[1] == "the quorvane zyx"

    def test_add_atomic_and_keep_size(self, capsys, sample, tmp_path):
        atomic = run_json(capsys, "add", sample, "<|tool|>", "Ġthe", "--atomic", "-o", tmp_path / "a.json")
        assert [row["added"] for row in atomic["tokens"]] == [True, False]
        assert atomic["merges_count"] == quorvane.Quorvane(str(SAMPLE)).merges_count
        longest = "Ġschoolteacher"  # the one 14-character token, first to go
        whitelist = write_doc(tmp_path / "keep.json", [longest])
        for extra, survives in [([], False), (["--whitelist", whitelist], True)]:
            kept = run_json(capsys, "add", sample, "Ġquorvane", "--keep-size", *extra,
                            "-o", tmp_path / "k.json")
            assert (kept["mode"], kept["tokens_added"], kept["tokens_removed"]) == ("keep_size", 1, 1)
            assert kept["vocab_size"] == kept["final_vocab_size"] and "invalid_merges_removed" in kept
            assert quorvane.Quorvane(str(tmp_path / "k.json")).has_token(longest) is survives

    @pytest.mark.parametrize("path, tokens, text", [
        (SAMPLE, ["Ġlighthouses", "Ġquayside", "Ġthe"], "the lighthouses on the quayside"),
        (MARKER, ["▁dziękuję", "▁lighthouses"], "lighthouses dziękuję."),  # "ę" is not in the vocabulary
    ], ids=["bytelevel", "marker"])
    def test_add_reachable(self, capsys, tmp_path, path, tokens, text):
        out, id_map = tmp_path / "out.json", tmp_path / "map.json"
        result = run_json(capsys, "add", path, *tokens, "--reachable", "-o", out, "--id-map", id_map)
        rows = result["tokens"]
        assert (result["mode"], result["written"], result["unreachable_count"]) == ("reachable", True, 0)
        assert [(row["token"], row["reachable"], row["reason"]) for row in rows] == [(t, True, None) for t in tokens]
        before = quorvane.Quorvane(str(path))
        assert [row["added"] for row in rows] == [not before.has_token(t) for t in tokens]
        model = tokenizers.Tokenizer.from_file(str(path)).model
        assert [row["pieces"] for row in rows] == [[p.value for p in model.tokenize(t)] for t in tokens]
        created = [t for row in rows for t in row["added_tokens"]]
        mapping = json.loads(id_map.read_text(encoding="utf-8"))
        assert sorted(row["token"] for row in mapping["added"]) == sorted(created)
        assert result["vocab_entries_added"] == len(created) and result["vocab_size"] == before.vocab_size + len(created)
        merges = [merge for row in rows for merge in row["added_merges"]]
        assert result["merges_added"] == len(merges)
        assert [list(m) for m in quorvane.Quorvane(str(out)).get_merges()] == [list(m) for m in before.get_merges()] + merges
        # Each token now comes back whole, in running text too, and nothing else broke.
        model = tokenizers.Tokenizer.from_file(str(out)).model
        assert all([p.value for p in model.tokenize(t)] == [t] for t in tokens)
        assert set(tokens) - {"Ġthe"} <= set(encode(out, text)[0])
        assert run_json(capsys, "info", out, "--reachability")["unreachable_by_tokenization"]["count"] == 0

    @pytest.mark.parametrize("mode", [
        # add_token keeps handing out the ids after the added tokens' ones.
        pytest.param([], marks=pytest.mark.xfail(
            strict=True, reason="new model tokens take the ids the tokenizers package gives to added "
            "tokens outside the model (it numbers those from the model's size)")),
        ["--reachable"],
    ])
    def test_new_tokens_keep_clear_of_added_token_ids(self, capsys, sample, tmp_path, mode):
        # The sample's <|im_start|> and <|im_end|> stand at 3000 and 3001, outside its 3,000 tokens.
        out = tmp_path / "out.json"
        run_json(capsys, "add", sample, "Ġlighthouses", "Ġquayside", *mode, "-o", out)
        client = tokenizers.Tokenizer.from_file(str(out))
        vocab = client.get_vocab(with_added_tokens=False)
        assert client.token_to_id("<|im_start|>") not in vocab.values()
        assert encode(out, "the lighthouses on the quayside")[1] == "the lighthouses on the quayside"

    def test_add_reachable_text_report(self, capsys, sample, tmp_path):
        status, out, err = run(capsys, "add", sample, "Ġquayside", "Ġthe", "--reachable", "-o", tmp_path / "o.json")
        assert (status, err) == (0, "")
        assert out.splitlines()[:3] == [
            "added 1 of 2 tokens (3 new vocabulary entries) with 3 new merges; all reachable",
            '  "Ġquayside": added, 3 merges (before: "Ġqu" + "ay" + "s" + "ide")',
            '  "Ġthe": already present, 0 merges (before: "Ġthe")',
        ]

    def test_add_reachable_writes_nothing_when_a_token_stays_unreachable(self, capsys, sample, tmp_path):
        long = "Ġ" + "ab" * 4096  # past the longest token the addition builds
        out, id_map = tmp_path / "out.json", tmp_path / "map.json"
        before = sample.read_bytes()
        for target in [["-o", out, "--id-map", id_map], ["--in-place"]]:
            status, text, err = run(capsys, "add", sample, "Ġquayside", long, "--reachable", *target)
            assert (status, err) == (1, "")
            lines = text.splitlines()
            assert lines[0].endswith("; 1 not reachable") and lines[-1] == "nothing written: 1 token would not be reachable"
            assert lines[-2].startswith(f'  "{long[:30]}') and "longer than 8192 characters" in lines[-2]
            assert not any(line.startswith("wrote") for line in lines)
        status, text, _ = run(capsys, "add", sample, "Ġquayside", long, "--reachable", "-o", out, "--json")
        result = json.loads(text)
        assert (status, result["written"], result["output"], result["unreachable_count"]) == (1, False, str(out), 1)
        assert [row["reachable"] for row in result["tokens"]] == [True, False]
        assert "8192" in result["tokens"][1]["reason"]
        assert sample.read_bytes() == before and not out.exists() and not id_map.exists()

    def test_remove_drops_invalid_merges_unless_kept(self, capsys, tmp_path):
        # An input that already holds one merge whose product is missing.
        doc = json.loads(SAMPLE.read_text(encoding="utf-8"))
        doc["model"]["merges"].append(["Ġq", "zz"])
        path = write_doc(tmp_path / "in.json", doc)
        out, kept, id_map = tmp_path / "out.json", tmp_path / "kept.json", tmp_path / "map.json"
        result = run_json(capsys, "remove", path, "Ġthe", "nosuch", "-o", out, "--id-map", id_map)
        assert result["invalid_merges_removed"] == 1 and result["not_found"] == ["nosuch"]
        assert "Ġthe" in result["removed"][0]["removed_tokens"]
        tokens, decoded = encode(out, "on the mat")
        assert "Ġthe" not in tokens and decoded == "on the mat"
        before, after = quorvane.Quorvane(str(path)).get_vocab(), quorvane.Quorvane(str(out)).get_vocab()
        mapping = json.loads(id_map.read_text(encoding="utf-8"))
        assert list(mapping["old_to_new"].items()) == sorted(((str(before[t]), i) for t, i in after.items()),
                                                             key=lambda item: int(item[0]))
        assert mapping["removed"] == only_in(before, after)
        assert mapping["added"] == []

        assert run_json(capsys, "remove", path, "Ġthe", "-o", kept, "--keep-invalid-merges")[
            "invalid_merges_removed"] == 0
        assert run(capsys, "validate", kept)[0] == 1
        with pytest.raises(Exception):
            tokenizers.Tokenizer.from_file(str(kept))

    def test_shrink_and_dry_run(self, capsys, sample, tmp_path):
        preview = run_json(capsys, "shrink", sample, "5", "--min-id", "100", "--dry-run")
        expected = quorvane.Quorvane(str(SAMPLE)).find_tokens_to_shrink(5, 100)
        assert [(c["token"], c["id"], c["length"]) for c in preview["candidates"]] == expected
        assert list(tmp_path.iterdir()) == [sample]
        result = run_json(capsys, "shrink", sample, "300", "-o", tmp_path / "out.json")
        assert result["final_vocab_size"] == result["vocab_size"] < 3000 - 300 + 1
        tokens, decoded = encode(tmp_path / "out.json", "the schoolteacher")
        assert "Ġschoolteacher" not in tokens and decoded == "the schoolteacher"

    def test_reindex_maps_shared_ids(self, capsys, tmp_path):
        # "b" shares id 0 with "a"; the gap at 2..9 is closed.
        path = write_doc(tmp_path / "in.json", tokenizer_doc({"a": 0, "b": 0, "ab": 10}, [("a", "b")]))
        result = run_json(capsys, "reindex", path, "-o", tmp_path / "out.json",
                          "--id-map", tmp_path / "map.json")
        assert quorvane.Quorvane(str(tmp_path / "out.json")).check_vocab_gaps()[0] is False
        assert json.loads((tmp_path / "map.json").read_text())["old_to_new"] == {"0": [0, 1], "10": 2}
        assert result["ids_remapped"] > 0

    def test_sync_chars_and_merge(self, capfd, sample, tmp_path):
        status, out, err = run(capfd, "sync-chars", sample, MARKER, "-o", tmp_path / "s.json", "--json")
        assert (status, err) == (0, "")  # the library's own progress on fd 2 is silenced too
        result = json.loads(out)
        assert result["chars_added_count"] > 0 and result["final_vocab_size"] == result["vocab_size"]
        merged = run_json(capfd, "merge", sample, MARKER, "-o", tmp_path / "m.json",
                          "--max-vocab-size", "3500")
        assert merged["representation"] == "ByteLevel (Ġ)" and merged["final_vocab_size"] <= 3500
        for name in ["s.json", "m.json"]:
            assert encode(tmp_path / name, "the cat")[1] == "the cat"


class TestUpgradeMerges:
    def test_string_merges_become_pairs(self, capsys, tmp_path):
        doc = json.loads(SAMPLE.read_text(encoding="utf-8"))
        merges = doc["model"]["merges"]
        doc["model"]["merges"] = [" ".join(m) for m in merges[:100]] + merges[100:]
        old = write_doc(tmp_path / "old.json", doc)
        result = run_json(capsys, "upgrade-merges", old, "-o", tmp_path / "new.json")
        quorvane.Quorvane(str(SAMPLE)).save(str(tmp_path / "resaved.json"))
        assert result["merges_converted"] == 100
        assert (tmp_path / "new.json").read_bytes() == (tmp_path / "resaved.json").read_bytes()
        again = run_json(capsys, "upgrade-merges", tmp_path / "new.json", "--in-place")
        assert again["merges_converted"] == 0

    @pytest.mark.parametrize("merge", ["a b c", "ab", " a", "a "])
    def test_malformed_merge_writes_nothing(self, capsys, tmp_path, merge):
        path = write_doc(tmp_path / "old.json", tokenizer_doc(["a", "b", "ab"], [("a", "b")]))
        doc = json.loads(path.read_text())
        doc["model"]["merges"] = ["a b", merge]
        write_doc(path, doc)
        assert "model.merges[1]" in failure(capsys, "upgrade-merges", path, "-o", tmp_path / "new.json")
        assert not (tmp_path / "new.json").exists()


@pytest.mark.slow
class TestCorpus:
    def test_inspect(self, capsys, corpus):
        info = run_json(capsys, "info", corpus["llama3"], "--reachability", "--quiet")
        assert (info["vocab_size"], info["representation"], info["unreachable"]["count"]) == (
            128_000, "ByteLevel (Ġ)", 0)
        assert info["unreachable_by_tokenization"]["count"] == 0
        assert run(capsys, "validate", corpus["qwen3"])[0] == 0

    def test_edit_chain(self, capsys, corpus, tmp_path):
        llama2, steps = corpus["llama2"], tmp_path / "step"
        text = "The quick brown fox jumps over the lazy dog."
        run_json(capsys, "remove", llama2, "▁quick", "-o", f"{steps}1.json")
        run_json(capsys, "shrink", f"{steps}1.json", "500", "-o", f"{steps}2.json")
        run_json(capsys, "add", f"{steps}2.json", "▁quorvane", "-o", f"{steps}3.json")
        run_json(capsys, "reindex", f"{steps}3.json", "-o", f"{steps}4.json")
        run_json(capsys, "sync-chars", f"{steps}4.json", MARKER, "-o", f"{steps}5.json")
        tokens, decoded = encode(f"{steps}5.json", text)
        assert "▁quick" not in tokens and decoded == text
        assert quorvane.Quorvane(f"{steps}5.json").has_token("▁quorvane")
        merged = run_json(capsys, "merge", SAMPLE, llama2, "-o", tmp_path / "merged.json")
        assert merged["source_vocab_size"] == 32_000
        assert encode(tmp_path / "merged.json", text)[1] == text

    def test_tokenization_finds_what_merges_do_not(self, capsys, corpus):
        # Tokens that a merge chain builds but that earlier merges take apart first,
        # as the tokenizers package agrees.
        path = corpus["gemma3"]
        found = run_json(capsys, "info", path, "--reachability", "--limit", "100")["unreachable_by_tokenization"]
        model = tokenizers.Tokenizer.from_file(path).model
        assert found["count"] == len(found["tokens"]) == 4
        for row in found["tokens"]:
            assert [piece.value for piece in model.tokenize(row["token"])] == row["pieces"] != [row["token"]]

    def test_add_reachable(self, capsys, corpus, tmp_path):
        out = tmp_path / "out.json"
        result = run_json(capsys, "add", corpus["llama2"], "▁quorvane", "▁dziękujemy", "--reachable", "-o", out)
        assert [row["reachable"] for row in result["tokens"]] == [True, True]
        tokens, decoded = encode(out, "Quorvane: dziękujemy quorvane.")
        assert {"▁quorvane", "▁dziękujemy"} <= set(tokens) and decoded == "Quorvane: dziękujemy quorvane."

    def test_upgrade(self, capsys, corpus, tmp_path):
        doc = json.loads(Path(corpus["llama2"]).read_text(encoding="utf-8"))
        doc["model"]["merges"] = [" ".join(m) for m in doc["model"]["merges"]]
        old, new = write_doc(tmp_path / "old.json", doc), tmp_path / "new.json"
        assert run_json(capsys, "upgrade-merges", old, "-o", new)["merges_converted"] == 58_980
        assert quorvane.Quorvane(str(new)).get_merges() == quorvane.Quorvane(corpus["llama2"]).get_merges()


class TestProcess:
    def cli(self, *argv, **kwargs):
        return subprocess.run([sys.executable, "-m", "quorvane_cli", *map(str, argv)],
                              capture_output=True, text=True, **kwargs)

    def test_streams_and_exit_codes(self, tmp_path):
        done = self.cli("remove", SAMPLE, "Ġthe", "-o", tmp_path / "out.json", "--json")
        assert done.returncode == 0 and done.stderr == ""
        assert json.loads(done.stdout)["vocab_size"] < 3000
        bad = self.cli("validate", tmp_path / "missing.json")
        assert (bad.returncode, bad.stdout) == (1, "") and bad.stderr.startswith("quorvane: error: Failed")
        usage = self.cli("reindex", SAMPLE)
        assert usage.returncode == 2 and "-o/--output" in usage.stderr

    def test_output_reaches_a_pipe_whole_or_stops_quietly(self):
        """The process ends without the interpreter's teardown: what it printed
        must still arrive whole, and a reader that goes away early must still
        get status 1 and no traceback."""
        argv = [sys.executable, "-m", "quorvane_cli", "shrink", str(SAMPLE), "2700", "--dry-run", "--json"]
        done = subprocess.run(argv, capture_output=True, text=True)
        assert done.returncode == 0 and len(done.stdout) > 65536  # more than a pipe holds
        assert len(json.loads(done.stdout)["candidates"]) == 2700
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert child.stdout is not None and child.stderr is not None
        child.stdout.read(10)
        child.stdout.close()
        stderr = child.stderr.read().decode()
        child.stderr.close()
        assert (child.wait(), stderr) == (1, "")

    def test_progress_on_a_terminal(self, tmp_path):
        """Phase lines and the library's own progress reach a terminal; --quiet silences both."""
        for quiet, expected in [([], True), (["--quiet"], False)]:
            master, slave = pty.openpty()
            with os.fdopen(master, "rb", buffering=0) as terminal:
                child = subprocess.Popen(
                    [sys.executable, "-m", "quorvane_cli", "sync-chars", str(SAMPLE), str(MARKER),
                     "-o", str(tmp_path / "out.json"), *quiet],
                    stdout=subprocess.PIPE, stderr=slave)
                os.close(slave)
                stdout = child.communicate()[0].decode()
                seen = b""
                while True:
                    try:
                        chunk = terminal.read(4096)
                    except OSError:  # the child side is closed
                        break
                    if not chunk:
                        break
                    seen += chunk
            assert child.returncode == 0 and "wrote" in stdout
            text = seen.decode()
            assert ("reading" in text and "Phase 1" in text) if expected else text == ""

    def test_installed_script(self, tmp_path):
        script = Path(sys.executable).with_name("quorvane")
        if not script.exists():
            pytest.skip("the quorvane script is not installed next to this interpreter")
        done = subprocess.run([script, "info", SAMPLE, "--json"], capture_output=True, text=True)
        assert done.returncode == 0 and json.loads(done.stdout)["vocab_size"] == 3000
