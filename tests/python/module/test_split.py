"""Cutting text into words in the core (`count_words`, `split_words`) against
the `tokenizers` package's own normalizers and pre-tokenizers: the four real
tokenizers on every line of ../shared/text, and generated settings on
generated text. The core either gives the client's words exactly or refuses
the tokenizer, and then counting falls back to the client."""

import collections
import json
import os
from pathlib import Path

import pytest

import quorvane
from conftest import tokenizer_doc
from quorvane_cli.cli.errors import CliError
from quorvane_cli.text.wordcount import Splitter, core_splitter, count_text
from test_encoding import NAMES, TEXT_DIR, TEXTS, text_lines  # noqa: F401 (text_lines is a fixture)

tokenizers = pytest.importorskip("tokenizers")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

MARKER = "\u2581"
QWEN = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*"
        r"|\s*[\r\n]+|\s+(?!\S)|\s+")
BEHAVIORS = ("Removed", "Isolated", "MergedWithPrevious", "MergedWithNext", "Contiguous")
# Characters that tell the engines and the normal forms apart: letters with
# and without composed forms, combining marks, digits of several scripts,
# every kind of space and line break, apostrophes, the long s that case
# folding maps to "s", CJK, emoji, the marker.
ALPHABET = list("aAsStTdDlLmMrRvV09 '-.,!?\t\n\r") + [
    "é", "e\u0301", "Å", "A\u030a", "ſ", "K", "\u212a", "ﬁ", "½", "²", "٣", "Ⅻ", "\u00a0", "\u3000",
    "\u2028", "\u0085", "\u200b", "\u180e", "漢", "字", "😀", "ǅ", "ß", "ẞ", "İ", "ł", "ż", MARKER,
    "\u1c89", "\U000105c0", "\U00010d40",  # letters and digits of Unicode 16, unknown to the tables here
]


def client_words(document, text):
    """The words of `text` by the client's normalizer and pre-tokenizer (the
    counting fallback; without a pre-tokenizer, the pieces at each marker)."""
    return list(Splitter(json.dumps(document)).words(text))


def with_steps(normalizer=None, pre_tokenizer=None):
    return dict(tokenizer_doc({"a": 0}), normalizer=normalizer, pre_tokenizer=pre_tokenizer)


def split(document):
    """The core's split_words for `document`, the client splitting what it leaves to it."""
    editor = quorvane.Quorvane.from_json(json.dumps(document))
    return lambda text: editor.split_words(text, lambda line: client_words(document, line))


@pytest.mark.slow
@pytest.mark.parametrize("name", NAMES)
def test_real_tokenizers_count_every_text_as_the_client(corpus, text_lines, name):
    document = Path(corpus[name]).read_text(encoding="utf-8")
    editor = quorvane.Quorvane(corpus[name])
    reference = Splitter(document)
    for text in TEXTS:
        counts = editor.count_words(text_lines[text])
        expected = reference.count(text_lines[text])
        assert counts == expected, f"{name} on {text}: " + ", ".join(
            repr(w) for w in list((collections.Counter(counts) - expected) + (expected - collections.Counter(counts)))[:10])


pre_tokenizers = st.one_of(
    st.builds(lambda pattern, behavior, invert: {"type": "Split", "pattern": pattern, "behavior": behavior,
                                                 "invert": invert},
              st.sampled_from([{"String": " "}, {"String": "'s"}, {"String": MARKER}, {"Regex": QWEN},
                               {"Regex": r"\s+"}, {"Regex": r"\p{P}+"}, {"Regex": r"(?i:s)t"},
                               {"Regex": r"[^\s\p{L}]"}, {"Regex": r" ?\p{N}{1,3}"}]),
              st.sampled_from(BEHAVIORS), st.booleans()),
    st.builds(lambda prefix, regex: {"type": "ByteLevel", "add_prefix_space": prefix, "trim_offsets": False,
                                     "use_regex": regex},
              st.booleans(), st.booleans()),
)
normalizers = st.one_of(
    st.none(),
    st.sampled_from([{"type": form} for form in ("NFC", "NFD", "NFKC", "NFKD")]),
    st.just({"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": MARKER},
                                                 {"type": "Replace", "pattern": {"String": " "},
                                                  "content": MARKER}]}),
    st.builds(lambda old, new: {"type": "Replace", "pattern": {"String": old}, "content": new},
              st.sampled_from([" ", "é", "ab", "\n"]), st.sampled_from(["", MARKER, "xx"])),
)


@given(normalizer=normalizers,
       steps=st.lists(pre_tokenizers, min_size=0, max_size=3),
       text=st.lists(st.sampled_from(ALPHABET), max_size=40).map("".join))
@settings(max_examples=int(os.environ.get("QUORVANE_SPLIT_EXAMPLES", 400)), deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_generated_settings_split_as_the_client(normalizer, steps, text):
    pre_tokenizer = None if not steps else steps[0] if len(steps) == 1 else {"type": "Sequence",
                                                                             "pretokenizers": steps}
    document = with_steps(normalizer, pre_tokenizer)
    assert split(document)(text) == client_words(document, text)


@pytest.mark.parametrize("pattern, text", [
    ("a{,3}", "aaaa{,3}"),                  # a quantifier to the client, text to PCRE2 10.42
    (r"\p{Greek}+", "\u03b1\u03b2\u0342\u03b3"),  # PCRE2 matches a script's extensions too
    (r"\p{Latin}+", "ab\u0363c"),
    ("(?i:ss)", "\u00df ss SS \u1e9e"),      # the client folds one character to two
    ("(?i:\u00df)", "\u00df ss SS"),
    ("(?i)fi", "\ufb01 fi"),
    ("(*FAIL)|a", "aa"),                   # PCRE2's verbs
    (r"\p{Xan}+", "ab1 c"),
    (r"\p{L}+|\p{Nd}|\p{Zs}", "ab 12\u3000c"),
    ("(?i:'s|'t|'re|'ve|'m|'ll|'d)|x", "It'S 'LL x \u00df"),
])
def test_patterns_the_engines_read_differently_are_refused(pattern, text):
    document = with_steps(None, {"type": "Split", "pattern": {"Regex": pattern}, "behavior": "Isolated",
                                 "invert": False})
    editor = quorvane.Quorvane.from_json(json.dumps(document))
    try:
        words = editor.split_words(text)
    except NotImplementedError:
        return
    assert words == client_words(document, text)


def test_refused_settings_fall_back_to_the_client(tmp_path):
    metaspace = with_steps({"type": "Lowercase"},
                           {"type": "Metaspace", "replacement": MARKER, "prepend_scheme": "always", "split": True})
    editor = quorvane.Quorvane.from_json(json.dumps(metaspace))
    with pytest.raises(NotImplementedError, match="^Cannot split text as this tokenizer does: the Lowercase"):
        editor.count_words(["Hello"])
    assert core_splitter(editor) is None
    text = tmp_path / "text.txt"
    text.write_text("Hello World\nhello  there\n", encoding="utf-8")
    expected = collections.Counter(w for line in ("Hello World", "hello  there")
                                   for w in client_words(metaspace, line))
    assert count_text(editor, [str(text)], processes=1) == expected
    assert count_text(json.dumps(metaspace), [str(text)], processes=1) == expected


def test_characters_newer_than_the_tables_go_to_the_fallback():
    document = with_steps({"type": "NFC"}, {"type": "Split", "pattern": {"Regex": QWEN}, "behavior": "Isolated",
                                            "invert": False})
    editor = quorvane.Quorvane.from_json(json.dumps(document))
    lines = ["plain line", "letter \u1c89x and", "space\u180e here", "żółw"]
    with pytest.raises(ValueError, match=r"^Failed to split text: line 2 holds .* \(near U\+1C89\)"):
        editor.count_words(lines)
    asked = []

    def fallback(line):
        asked.append(line)
        return client_words(document, line)

    counts = editor.count_words(lines, fallback=fallback)
    assert asked == lines[1:3]
    assert counts == collections.Counter(w for line in lines for w in client_words(document, line))
    # A line the engine gives up on goes there too.
    spaces = " " * (10 << 20)
    with pytest.raises(ValueError, match="too long for the regular expression engine"):
        editor.count_words([spaces])
    assert editor.count_words([spaces, "x"], fallback=lambda line: ["<long>"]) == {"<long>": 1, "x": 1}
    # Without tables in play, every line is the core's own.
    marker = with_steps({"type": "Replace", "pattern": {"String": " "}, "content": MARKER}, None)
    assert quorvane.Quorvane.from_json(json.dumps(marker)).split_words("a \u1c89") == ["a", MARKER + "\u1c89"]
    with pytest.raises(TypeError, match="fallback must give words as str, not int"):
        editor.count_words(lines, fallback=lambda line: [1])
    with pytest.raises(TypeError, match="expected a callable or None, not int"):
        editor.split_words("a", 3)


def test_a_line_the_client_gives_up_on_is_an_error(tmp_path):
    document = with_steps(None, {"type": "Split", "pattern": {"Regex": QWEN}, "behavior": "Isolated",
                                 "invert": False})
    text = tmp_path / "long.txt"
    text.write_text("short line\n" + " " * (10 << 20) + "x\n", encoding="utf-8")
    with pytest.raises(CliError, match=r"^a line of 10485761 characters .* cannot split it either"):
        count_text(json.dumps(document), [str(text)], processes=1)


def test_count_words_arguments():
    editor = quorvane.Quorvane.from_json(json.dumps(with_steps(None, {"type": "Split", "pattern": {"String": " "},
                                                                     "behavior": "Removed", "invert": False})))
    counts = collections.Counter({"a": 2})
    assert editor.count_words(["a b", "b"], counts, threads=2) is counts
    assert counts == {"a": 3, "b": 2}
    assert editor.count_words(iter(["x x"])) == {"x": 2}
    assert editor.count_words([]) == {}
    with pytest.raises(TypeError, match="single str"):
        editor.count_words("a b")
    with pytest.raises(TypeError, match="each line must be str, not int"):
        editor.count_words(["a", 1])
    with pytest.raises(TypeError, match="expected a dict or None, not list"):
        editor.count_words(["a"], [])
    with pytest.raises(UnicodeEncodeError):
        editor.count_words(["\ud800"])


def test_encoder_builds_while_text_is_counted(corpus):
    """prepare_encoder runs without the interpreter lock beside count_words on
    the same editor; both give what they give alone (the sanitizer run checks
    the memory side)."""
    import threading

    editor = quorvane.Quorvane(corpus["llama3"])
    lines = [f"line {i} of text, with words like lighthouse{i % 50}" for i in range(20000)]
    alone = quorvane.Quorvane(corpus["llama3"]).count_words(lines)
    builder = threading.Thread(target=editor.prepare_encoder)
    builder.start()
    counts = {}
    for start in range(0, len(lines), 1000):
        editor.count_words(lines[start:start + 1000], counts)
    builder.join()
    assert counts == alone
    words = sorted(counts)[:500]
    assert editor.tokenize_batch(words) == quorvane.Quorvane(corpus["llama3"]).tokenize_batch(words)
    editor.prepare_encoder()  # built already: nothing to do


def one_word_per_line():
    """An editor whose words are whole lines (nothing in them splits)."""
    return quorvane.Quorvane.from_json(json.dumps(with_steps(None, {
        "type": "Split", "pattern": {"String": "\u0001"}, "behavior": "Removed", "invert": False})))


def documents_of(text):
    """The lines the tool counts, as TextFile.documents reads them."""
    lines = (line.removesuffix("\r") for line in text.split("\n"))
    return [line for line in lines if line and not line.isspace()]


def test_count_text_reads_lines_as_the_tool_does():
    editor = one_word_per_line()
    # Every character below U+3100 on a line of its own (all of Python's white
    # space is there), and the line endings and blank lines text files have.
    text = "\n".join(chr(c) for c in range(2, 0x3100) if c != 0x0A)
    text += "\r\n\u180e\n\u200b\r\n \t\r\n\ufeff\nlast\rline\r\r\nno end"
    counts = editor.count_text(text.encode())
    assert counts == collections.Counter(documents_of(text))
    assert "\u3000" not in counts and "\u180e" in counts and "last\rline\r" in counts

    # Blocks cut at line breaks count the same, one call or many.
    data = text.encode()
    breaks = (data.find(b"\n", start) for start in range(0, len(data), 997))
    cuts = [0, *sorted({i + 1 for i in breaks if i != -1}), len(data)]
    blocks = [data[a:b] for a, b in zip(cuts, cuts[1:])]
    assert editor.count_text(iter(blocks), threads=2) == counts
    added = collections.Counter({"no end": 5})
    assert editor.count_text([b"no end\n", b"", b"x"], added) is added
    assert added == {"no end": 6, "x": 1}


def test_count_text_refuses_what_is_not_utf8_or_not_bytes():
    editor = one_word_per_line()
    counts = {"kept": 1}
    with pytest.raises(UnicodeDecodeError) as raised:
        editor.count_text([b"fine\n", b"ok\ncaf\xe9 au lait\n"], counts)
    assert (raised.value.reason, raised.value.start) == ("invalid continuation byte", 6)
    with pytest.raises(UnicodeDecodeError, match="unexpected end of data"):
        editor.count_text(b"ok\n\xc3")
    with pytest.raises(UnicodeDecodeError):  # an overlong space looks blank, and is not UTF-8
        editor.count_text(b"a\n\xc0\xa0\n")
    assert counts == {"kept": 1}
    with pytest.raises(TypeError, match="not str"):
        editor.count_text("text")
    with pytest.raises(TypeError, match="each block must be bytes, not bytearray"):
        editor.count_text([b"a\n", bytearray(b"b")])


def test_count_text_numbers_lines_over_blocks():
    editor = quorvane.Quorvane.from_json(json.dumps(with_steps({"type": "NFC"}, {
        "type": "Split", "pattern": {"String": " "}, "behavior": "Removed", "invert": False})))
    blocks = [b"a b\n\n", "c \u180e\nd\n".encode()]
    with pytest.raises(ValueError, match=r"line 3 holds a character .* \(near U\+180E\)"):
        editor.count_text(blocks)
    assert editor.count_text(blocks, fallback=lambda line: ["fell back"]) == {
        "a": 1, "b": 1, "fell back": 1, "d": 1}


def test_text_files_in_blocks(tmp_path):
    from quorvane_cli.text.reading import BLOCK_SIZE, TextFile

    long_line = "é" * BLOCK_SIZE  # longer than one read, in bytes
    text = "\ufeff" + "first\r\n" + long_line + "\n \n" + "x\n" * 1000 + "no end"
    path = tmp_path / "t.txt"
    path.write_text(text, encoding="utf-8", newline="")
    reader = TextFile(str(path))
    blocks = list(reader.blocks())
    reader.close()
    assert b"".join(block for block, _ in blocks) == text.encode()[3:]
    assert [offset for _, offset in blocks] == [3 + sum(len(b) for b, _ in blocks[:i]) for i in range(len(blocks))]
    assert all(block.endswith(b"\n") for block, _ in blocks[:-1])
    assert one_word_per_line().count_text(block for block, _ in blocks) == collections.Counter(
        documents_of(text[1:]))

    blank = tmp_path / "blank.txt"
    blank.write_text(" \n\u3000\r\n", encoding="utf-8")
    with pytest.raises(CliError, match="no text"):
        list(TextFile(str(blank)).blocks())


def test_read_ahead_hands_on_errors_and_stops():
    from quorvane_cli.text.reading import ReadAhead

    def failing():
        yield 1
        raise CliError("broken text")

    with ReadAhead(failing()) as items:
        taken = iter(items)
        assert next(taken) == 1
        with pytest.raises(CliError, match="broken text"):
            next(taken)
    endless = ReadAhead(iter(range(10**9)), depth=2)
    assert next(iter(endless)) == 0
    endless.close()  # a producer blocked on a full queue stops
    assert not endless._thread.is_alive()
