"""`quorvane eval`: its figures against a count made here with the `tokenizers`
package one document at a time, the text formats it reads, and every way its
input can be unusable."""

import gzip
import json
import lzma
import os
import pty
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT
from quorvane_cli import main
from quorvane_cli.commands.evaluation import evaluate
from quorvane_cli.text.reading import READ_SIZE

tokenizers = pytest.importorskip("tokenizers")

SAMPLE = ROOT / "examples" / "sample" / "tokenizer.json"
MARKER = ROOT / "examples" / "sample" / "marker_tokenizer.json"
TEXT_DIR = ROOT.parent / "shared" / "text"

# 3 documents (the blank and the all-space lines are skipped), 74 characters,
# 89 UTF-8 bytes, 13 words; counted by hand.
TINY = "The lantern keeper climbs.\n\n   \nZażółć gęślą jaźń — 東京\r\n\tTabs and  double  spaces \n"
TINY_TOTALS = {"documents": 3, "bytes": 89, "characters": 74, "words": 13}
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def run_json(capsys, *argv):
    status, out, err = run(capsys, *argv, "--json")
    assert status == 0, err
    return json.loads(out)


def failure(capsys, *argv):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (1, "")
    assert err.startswith("quorvane: error: ") and err.count("\n") == 1, err
    return err


def reference(path, text):
    """The figures of `path` on `text`, counted one document at a time through the client."""
    document = json.loads(Path(path).read_text(encoding="utf-8"))
    client = tokenizers.Tokenizer.from_file(str(path))
    lines = [line.removesuffix("\r") for line in text.split("\n") if line.strip()]
    encodings = [client.encode(line, add_special_tokens=False) for line in lines]
    tokens = [token for encoding in encodings for token in encoding.tokens]
    seen = {token_id for encoding in encodings for token_id in encoding.ids}
    fallback = sum(1 for token in tokens if BYTE_TOKEN.fullmatch(token)) if document["model"]["byte_fallback"] else 0
    vocab = len(client.get_vocab(with_added_tokens=True))
    size = sum(len(line.encode()) for line in lines)
    return {
        "tokens": len(tokens),
        "distinct_tokens": len(seen),
        "byte_fallback_tokens": fallback,
        "vocab_size": vocab,
        "model_vocab_size": len(document["model"]["vocab"]),
        "bytes_per_token": pytest.approx(size / len(tokens)),
        "chars_per_token": pytest.approx(sum(map(len, lines)) / len(tokens)),
        "tokens_per_word": pytest.approx(len(tokens) / sum(len(line.split()) for line in lines)),
        "byte_fallback_share": pytest.approx(fallback / len(tokens)),
        "vocab_used": pytest.approx(len(seen) / vocab),
    }


def unreachable_by_client(path):
    """Tokens whose own text the client's model does not give back whole, leaving out
    added-token contents and, with byte fallback, the byte tokens."""
    document = json.loads(Path(path).read_text(encoding="utf-8"))
    model = tokenizers.Tokenizer.from_file(str(path)).model
    whole = {entry["content"] for entry in document["added_tokens"]}
    fallback = document["model"].get("byte_fallback") is True
    return sum(
        1 for token in document["model"]["vocab"]
        if token not in whole and not (fallback and BYTE_TOKEN.fullmatch(token))
        and [piece.value for piece in model.tokenize(token)] != [token]
    )


def table_rows(out):
    """Label -> cells of the rows under the table's header line (labels are 20 wide)."""
    lines = out.splitlines()
    start = lines.index("") + 2
    return {line[:20].strip(): line[20:].split() for line in lines[start:]}


def write(path, data, compression=""):
    data = data.encode() if isinstance(data, str) else data
    opener = {"": open, "gz": gzip.open, "xz": lzma.open}[compression]
    with opener(path, "wb") as file:
        file.write(data)
    return path


@pytest.fixture
def tiny(tmp_path):
    return write(tmp_path / "tiny.txt", TINY)


class TestFigures:
    @pytest.mark.parametrize("path", [SAMPLE, MARKER], ids=["bytelevel", "marker"])
    def test_match_the_client_one_document_at_a_time(self, capsys, tiny, path):
        report = run_json(capsys, "eval", path, "--text", tiny)
        assert {key: report[key] for key in TINY_TOTALS} == TINY_TOTALS
        assert report["texts"] == [str(tiny)]
        (result,) = report["tokenizers"]
        assert result == {"tokenizer": str(path), "unreachable_tokens": unreachable_by_client(path),
                          **reference(path, TINY)}

    def test_byte_fallback_only_where_the_model_has_it(self, capsys, tiny):
        # The marker sample lacks "ż", "ś", "ź", "ń", "東" and "京" and falls back to
        # their bytes; ByteLevel spells every byte as a character of its own.
        marker, sample = run_json(capsys, "eval", MARKER, SAMPLE, "--text", tiny)["tokenizers"]
        assert marker["byte_fallback_tokens"] >= 2 * 4 + 3 * 2
        assert sample["byte_fallback_tokens"] == 0 and sample["byte_fallback_share"] == 0
        doc = json.loads(MARKER.read_text(encoding="utf-8"))
        doc["model"]["byte_fallback"] = False  # "<0xC5>" is then an ordinary token that text never yields
        plain = write(tiny.with_name("plain.json"), json.dumps(doc))
        (result,) = run_json(capsys, "eval", plain, "--text", tiny)["tokenizers"]
        assert (result["byte_fallback_tokens"], result["byte_fallback_share"]) == (0, 0)

    @pytest.mark.parametrize("compression", ["", "gz", "xz"])
    def test_texts_in_any_format_count_as_one(self, capsys, tmp_path, tiny, compression):
        first, second = "Ilse climbs the steps.\n", "\ufeffShe lights the lantern anyway.\r\n\n"
        parts = [write(tmp_path / f"a.txt{'.' if compression else ''}{compression}", first, compression),
                 write(tmp_path / f"b.txt{'.' if compression else ''}{compression}", second, compression)]
        whole = write(tmp_path / "whole.txt", first + second.removeprefix("\ufeff"))
        split = run_json(capsys, "eval", SAMPLE, "--text", *parts)
        joined = run_json(capsys, "eval", SAMPLE, "--text", whole)
        assert split["tokenizers"] == joined["tokenizers"]
        assert (split["documents"], split["bytes"]) == (joined["documents"], joined["bytes"]) == (2, 22 + 30)

    def test_the_files_truncation_and_padding_are_ignored(self, capsys, tiny, tmp_path):
        doc = json.loads(SAMPLE.read_text(encoding="utf-8"))
        doc["truncation"] = {"direction": "Right", "max_length": 2, "strategy": "LongestFirst", "stride": 0}
        doc["padding"] = {"strategy": {"Fixed": 64}, "direction": "Right", "pad_to_multiple_of": None,
                          "pad_id": 0, "pad_type_id": 0, "pad_token": "<|endoftext|>"}
        configured = write(tmp_path / "configured.json", json.dumps(doc))
        first, second = run_json(capsys, "eval", SAMPLE, configured, "--text", tiny)["tokenizers"]
        assert {**first, "tokenizer": None} == {**second, "tokenizer": None}

    def test_unreachable_tokens_counted(self, capsys, tiny, tmp_path):
        doc = json.loads(SAMPLE.read_text(encoding="utf-8"))
        doc["model"]["vocab"]["Ġzzyzx"] = 3002  # no merge builds it; 3000 and 3001 are added tokens
        edited = write(tmp_path / "edited.json", json.dumps(doc, ensure_ascii=False))
        before, after = run_json(capsys, "eval", SAMPLE, edited, "--text", tiny)["tokenizers"]
        assert (before["unreachable_tokens"], after["unreachable_tokens"]) == (0, 1)
        assert after["vocab_size"] == before["vocab_size"] + 1

    def test_python_function_gives_the_report(self, capsys, tiny):
        report = run_json(capsys, "eval", SAMPLE, MARKER, "--text", tiny)
        results = evaluate([str(SAMPLE), str(MARKER)], [str(tiny)])
        assert [{**TINY_TOTALS, **row} for row in report["tokenizers"]] == results


class TestOutput:
    def test_table_has_a_column_per_tokenizer(self, capsys, tiny):
        status, out, err = run(capsys, "eval", SAMPLE, MARKER, "--text", tiny)
        assert (status, err) == (0, "")
        lines = out.splitlines()
        assert lines[:2] == [f"text: {tiny}", "  3 documents, 89 bytes, 74 characters, 13 words"]
        header = next(line for line in lines if str(SAMPLE) in line)
        assert header.split() == [str(SAMPLE), str(MARKER)]
        results = evaluate([str(SAMPLE), str(MARKER)], [str(tiny)])
        rows = table_rows(out)
        assert rows["tokens"] == [str(result["tokens"]) for result in results]
        assert rows["bytes per token"] == [f"{result['bytes_per_token']:.2f}" for result in results]
        assert rows["vocabulary used"] == [f"{result['vocab_used']:.1%}" for result in results]
        assert len(rows) == 9 and all(len(cells) == 2 for cells in rows.values())

    def test_no_token_at_all(self, capsys, tmp_path):
        # A model with neither the characters of the text nor an unknown token drops them all.
        doc = {"version": "1.0", "added_tokens": [],
               "model": {"type": "BPE", "vocab": {"a": 0}, "merges": []}}
        path = write(tmp_path / "tiny.json", json.dumps(doc))
        (result,) = run_json(capsys, "eval", path, "--text", write(tmp_path / "t.txt", "xyz\n"))["tokenizers"]
        assert (result["tokens"], result["bytes_per_token"], result["vocab_used"], result["byte_fallback_share"]) == (
            0, None, 0, 0)
        rows = table_rows(run(capsys, "eval", path, "--text", tmp_path / "t.txt")[1])
        assert (rows["tokens"], rows["bytes per token"], rows["vocabulary used"]) == (["0"], ["-"], ["0.0%"])

    @staticmethod
    def on_terminal(*argv):
        """(exit status, stdout, what a terminal on stderr showed) of one process."""
        master, slave = pty.openpty()
        with os.fdopen(master, "rb", buffering=0) as terminal:
            child = subprocess.Popen([sys.executable, "-m", "quorvane_cli", *map(str, argv)],
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
        return child.returncode, stdout, seen.decode()

    def test_progress_bar_only_on_a_terminal(self, tiny, tmp_path):
        status, out, shown = self.on_terminal("eval", SAMPLE, "--text", tiny, "--json")
        assert status == 0 and json.loads(out)["documents"] == 3
        assert "encoding 1 text [" in shown and "] 100%" in shown and shown.endswith("\n")
        assert self.on_terminal("eval", SAMPLE, "--text", tiny, "--quiet")[2] == ""
        piped = subprocess.run([sys.executable, "-m", "quorvane_cli", "eval", SAMPLE, "--text", tiny],
                               capture_output=True, text=True)
        assert piped.returncode == 0 and piped.stderr == ""
        # A failure ends the bar's line, so that the error starts one of its own.
        status, out, shown = self.on_terminal("eval", SAMPLE, "--text", write(tmp_path / "bad.txt", b"ok\n\xff\n"))
        assert (status, out) == (1, "") and re.search(r"\] +\d+%\r?\nquorvane: error: ", shown), shown


class TestBadInput:
    BOUNDARY = b"a" * (READ_SIZE - 1)  # the next byte is the first of the second chunk read

    @pytest.mark.parametrize("name, data, compression, message", [
        ("blank.txt", "\n  \n\t\r\n", "", "blank.txt: no text (every line is blank)"),
        ("empty.txt", "", "", "empty.txt: no text"),
        ("empty.txt.gz", "", "gz", "empty.txt.gz: no text"),
        ("latin1.txt", b"ok\ncaf\xe9 au lait\n", "", "latin1.txt: not UTF-8 (invalid continuation byte at byte 6)"),
        ("latin1.txt.xz", b"ok\ncaf\xe9\n", "xz",
         "latin1.txt.xz: not UTF-8 (invalid continuation byte at byte 6 of the decompressed text)"),
        # A character split between two reads, then a bad byte in the second read.
        ("split.txt", BOUNDARY + "é".encode() + b"\xff", "", f"not UTF-8 (invalid start byte at byte {READ_SIZE + 1})"),
        ("held.txt", BOUNDARY + b"\xc3(", "", f"not UTF-8 (invalid continuation byte at byte {READ_SIZE - 1})"),
        ("plain.txt.gz", "not gzip\n", "", "plain.txt.gz: not a valid gzip file"),
        ("plain.txt.xz", "not xz\n", "", "plain.txt.xz: not a valid xz file"),
    ])
    def test_unusable_text(self, capsys, tmp_path, name, data, compression, message):
        path = write(tmp_path / name, data, compression)
        err = failure(capsys, "eval", SAMPLE, "--text", path)
        assert err.startswith(f"quorvane: error: {path}: ") and message in err

    def test_truncated_compressed_text(self, capsys, tmp_path):
        for compression in ["gz", "xz"]:
            whole = write(tmp_path / f"t.txt.{compression}", "some text\n" * 1000, compression)
            whole.write_bytes(whole.read_bytes()[:-10])
            assert f"not a valid {compression.replace('gz', 'gzip')} file" in failure(
                capsys, "eval", SAMPLE, "--text", whole)

    def test_missing_files(self, capsys, tiny, tmp_path):
        assert "missing.txt" in failure(capsys, "eval", SAMPLE, "--text", tiny, tmp_path / "missing.txt")
        assert "Failed to load tokenizer" in failure(capsys, "eval", tmp_path / "none.json", "--text", tiny)
        write(tmp_path / "bad.json", "{")
        assert "Failed to load tokenizer" in failure(capsys, "eval", SAMPLE, tmp_path / "bad.json", "--text", tiny)

    def test_file_only_the_editor_loads(self, capsys, tiny, tmp_path):
        doc = dict(json.loads(SAMPLE.read_text(encoding="utf-8")), pre_tokenizer={"type": "NoSuchSplitter"})
        path = write(tmp_path / "odd.json", json.dumps(doc))
        assert f"{path}: the tokenizers package cannot load it" in failure(capsys, "eval", path, "--text", tiny)

    def test_without_the_tokenizers_package(self, capsys, monkeypatch, tiny):
        monkeypatch.setitem(sys.modules, "tokenizers", None)  # import now raises ImportError
        err = failure(capsys, "eval", SAMPLE, "--text", tiny)
        assert err == "quorvane: error: quorvane eval needs the tokenizers package: pip install 'quorvane[eval]'\n"
        assert run(capsys, "info", SAMPLE)[0] == 0  # the rest of the tool does not need it


@pytest.mark.slow
class TestCorpus:
    def test_real_text_on_a_real_tokenizer(self, capsys, corpus):
        source = TEXT_DIR / "cs-heldout.txt.xz"
        if not source.exists():
            pytest.skip(f"no {source}")
        path = corpus["llama2"]
        report = run_json(capsys, "eval", path, SAMPLE, "--text", source)
        # The line and character counts that ../shared/text/README.md gives.
        assert (report["documents"], report["characters"]) == (3477, 295_240)
        llama2, sample = report["tokenizers"]
        text = lzma.open(source, "rt", encoding="utf-8", newline="").read()
        assert llama2 == {"tokenizer": path, "unreachable_tokens": unreachable_by_client(path),
                          **reference(path, text)}
        # A few Czech letters llama2 lacks come as bytes; the small English sample needs far more tokens.
        assert llama2["byte_fallback_tokens"] > 0 and llama2["model_vocab_size"] == 32_000
        assert sample["tokens_per_word"] > llama2["tokens_per_word"]
