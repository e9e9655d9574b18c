"""Python object safety: many calls leak neither references nor memory; Python
code run while arguments are converted (a sequence's __getitem__, an
__index__) cannot reach the editor it is converting for, and its exceptions
come through; argument objects are read by value whatever their class.

Argument matching, plain conversions and the access flag of simple calls are
in test_arguments.py."""

import contextlib
import ctypes
import json
import os
import pathlib
import shutil
import sys
import tempfile

import pytest

from quorvane import Quorvane

from conftest import tokenizer_doc

BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
# 'bc' has a high id so that a plain int naming it is not a cached small int.
SMALL = json.dumps({
    **tokenizer_doc({"a": 0, "b": 1, "ab": 2, "c": 3, "abc": 4, "é": 5, "<s>": 6, "bc": 1_000_003},
                    [("a", "b"), ("ab", "c"), ("x", "y")]),
    "pre_tokenizer": BYTE_LEVEL,
})
ITERATIONS = 10_000


def fresh():
    return Quorvane.from_json(SMALL)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def heap_counter():
    """Bytes in use on the C heap (glibc), which sees a leak of a few bytes
    that the resident size hides in free memory; None where unavailable."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    mallinfo2.restype = MallInfo2
    return lambda: mallinfo2().uordblks


heap_in_use = heap_counter()


class Arguments:
    """Argument objects that only the test refers to, so their reference
    counts move only if a call keeps or drops a reference."""

    def __init__(self, tmp_path):
        self.token = "".join(["a", "bc"])
        self.tokens = ["".join(["x", "yz"]), "".join(["a", "b"]), "".join(["a", "bc"])]
        self.whitelist = ["".join(["x", "y"])]
        self.id = int("1000003")
        self.count = int("1000001")
        self.min_id = int("1000000")
        self.max_vocab_size = int("4000000")
        self.source = str(tmp_path / "source.json")
        with open(self.source, "w", encoding="utf-8") as f:
            json.dump({**tokenizer_doc(["a", "b", "d", "ad", "ü"], [("a", "d")]), "pre_tokenizer": BYTE_LEVEL}, f)
        self.out = str(tmp_path / "out.json")
        self.json = "".join([SMALL, " "])

    def objects(self):
        return [self.token, self.tokens, *self.tokens, self.whitelist, *self.whitelist, self.id, self.count,
                self.min_id, self.max_vocab_size, self.source, self.out, self.json]


def fails(error, call):
    try:
        call()
    except error:
        return
    raise AssertionError(f"no {error.__name__}")


# name -> call(editor, args). Readers reuse one editor; writers get a fresh one
# per call, so every call does the full work and the editor's own teardown is
# measured too.
READERS = {
    "to_json": lambda e, a: e.to_json(),
    "save": lambda e, a: e.save(a.out),
    "vocab_size": lambda e, a: e.vocab_size,
    "merges_count": lambda e, a: e.merges_count,
    "repr": lambda e, a: repr(e),
    "has_token": lambda e, a: e.has_token(a.token),
    "get_token_id": lambda e, a: e.get_token_id(token=a.token),
    "get_token_by_id": lambda e, a: e.get_token_by_id(a.id),
    "get_vocab": lambda e, a: e.get_vocab(),
    "get_merges": lambda e, a: e.get_merges(),
    "get_stats": lambda e, a: e.get_stats().length_distribution,
    "validate_merges": lambda e, a: e.validate_merges().invalid_merges,
    "find_tokens_to_shrink": lambda e, a: e.find_tokens_to_shrink(a.count, min_id=0),
    "get_single_char_tokens": lambda e, a: e.get_single_char_tokens(),
    "check_vocab_gaps": lambda e, a: e.check_vocab_gaps(),
    "failed_load": lambda e, a: fails(OSError, lambda: Quorvane(a.out + "/missing")),
    "failed_parse": lambda e, a: fails(ValueError, lambda: Quorvane.from_json(a.token)),
    "failed_conversion": lambda e, a: fails(TypeError, lambda: e.add_tokens([a.token, a.id])),
}
WRITERS = {
    "from_json": lambda e, a: Quorvane.from_json(a.json),
    "constructor": lambda e, a: Quorvane(a.source),
    "remove_invalid_merges": lambda e, a: e.remove_invalid_merges(),
    "merge_from": lambda e, a: e.merge_from(a.source, a.max_vocab_size).representation,
    "add_token": lambda e, a: e.add_token(a.token).added_merges,
    "add_tokens": lambda e, a: [r.added_merges for r in e.add_tokens(a.tokens)],
    "add_token_atomic": lambda e, a: e.add_token_atomic(a.token),
    "remove_token": lambda e, a: e.remove_token(a.token).removed_merges,
    "remove_tokens": lambda e, a: [r.removed_tokens for r in e.remove_tokens(a.tokens)],
    "shrink": lambda e, a: e.shrink(a.count, a.min_id).total_tokens_removed,
    "sync_single_chars": lambda e, a: e.sync_single_chars(a.source, min_id=a.min_id),
    "add_tokens_keep_size": lambda e, a: e.add_tokens_keep_size(a.tokens, a.whitelist),
    "reindex_vocab": lambda e, a: e.reindex_vocab().ids_remapped,
}


@pytest.fixture
def scratch_dir(tmp_path):
    """A directory in memory where there is one: ten thousand saves to a disk
    file system take far longer, and measure the disk."""
    if not os.access("/dev/shm", os.W_OK):
        yield tmp_path
        return
    directory = tempfile.mkdtemp(dir="/dev/shm")
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


@contextlib.contextmanager
def fd2_kept_quiet():
    """The library's progress lines (sync_single_chars and add_tokens_keep_size
    write them on fd 2, thousands here) go to a file instead of the log; capfd
    cannot take them when pytest captures at sys level (the sanitized run). A
    sanitizer's report among them still reaches the log."""
    with tempfile.TemporaryFile() as held:
        saved = os.dup(2)
        os.dup2(held.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            held.seek(0)
            reports = [line for line in held.read().decode(errors="replace").splitlines()
                       if "runtime error" in line or "Sanitizer" in line]
            if reports:
                sys.stderr.write("\n".join(reports) + "\n")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
class TestRepeatedCalls:
    @pytest.mark.parametrize("name", [*READERS, *WRITERS])
    def test_no_leaks(self, name, scratch_dir, capfd):
        with fd2_kept_quiet():
            self.repeat(name, scratch_dir)

    def repeat(self, name, scratch_dir):
        args = Arguments(scratch_dir)
        shared = fresh()
        if name in READERS:
            call = lambda: READERS[name](shared, args)  # noqa: E731
        else:
            call = lambda: WRITERS[name](fresh(), args)  # noqa: E731
        for _ in range(ITERATIONS // 10):  # warm-up: caches, free lists, pymalloc arenas
            call()
        objects = args.objects() + [shared]
        references = [sys.getrefcount(o) for o in objects]
        blocks = sys.getallocatedblocks()
        # Memory moves in steps now and then (the allocator reshapes its heap,
        # the interpreter resizes a table); a leak moves it in every window, so
        # the median window must stay flat.
        windows = 5
        resident, heap = [], []
        for _ in range(windows):
            before = (resident_bytes(), heap_in_use() if heap_in_use else 0)
            for _ in range(ITERATIONS // windows):
                call()
            resident.append(resident_bytes() - before[0])
            heap.append((heap_in_use() if heap_in_use else 0) - before[1])
        median = lambda growth: sorted(growth)[windows // 2]  # noqa: E731
        assert [sys.getrefcount(o) for o in objects] == references
        if os.environ.get("QUORVANE_SANITIZED"):
            # ASan's quarantine holds freed memory back, so the figures below
            # grow anyway; LeakSanitizer checks that run for leaks instead.
            return
        # A leaked Python object per call would add ITERATIONS blocks.
        assert sys.getallocatedblocks() - blocks < 200
        # 32 leaked bytes per call grow a window by 64 KB.
        assert median(resident) < 32 * 1024 and sum(resident) < 4 * 2**20, resident
        assert median(heap) < 8 * 1024, heap


class Tokens:
    """A sequence that is not a list or tuple; `hook` runs before each item."""

    def __init__(self, items, hook):
        self.items, self.hook = list(items), hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.hook()
        return self.items[i]


class Index:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return self.value


# Calls into the editor from inside a conversion, with the message each gets
# while a writer holds the editor ("R": callbacks that read, "W": that write).
CALLBACKS = {
    "has_token": ("R", lambda e: e.has_token("a")),
    "vocab_size": ("R", lambda e: e.vocab_size),
    "repr": ("R", lambda e: repr(e)),
    "to_json": ("R", lambda e: e.to_json()),
    "get_vocab": ("R", lambda e: e.get_vocab()),
    "find_tokens_to_shrink": ("R", lambda e: e.find_tokens_to_shrink(1)),
    "add_token": ("W", lambda e: e.add_token("zz")),
    "remove_token": ("W", lambda e: e.remove_token("a")),
    "shrink": ("W", lambda e: e.shrink(1)),
    "reindex_vocab": ("W", lambda e: e.reindex_vocab()),
}
REFUSED_UNDER_WRITER = {"R": "Already mutably borrowed", "W": "Already borrowed"}

# Methods whose argument conversion runs Python code: (access, call(editor,
# make_arg)), where make_arg(hook) builds a hooked argument.
HOOKED_WRITERS = {
    "add_tokens": lambda e, hooked: e.add_tokens(hooked(Tokens, ["x", "yz"])),
    "remove_tokens": lambda e, hooked: e.remove_tokens(hooked(Tokens, ["a", "abc"])),
    "add_tokens_keep_size": lambda e, hooked: e.add_tokens_keep_size(hooked(Tokens, ["xyz"])),
    "add_tokens_keep_size/whitelist": lambda e, hooked: e.add_tokens_keep_size(["xyz"], hooked(Tokens, ["abc"])),
    "shrink/count": lambda e, hooked: e.shrink(hooked(Index, 2)),
    "shrink/min_id": lambda e, hooked: e.shrink(2, hooked(Index, 1)),
    "merge_from/max_vocab_size": lambda e, hooked: e.merge_from("/nonexistent", hooked(Index, 100)),
    "sync_single_chars/min_id": lambda e, hooked: e.sync_single_chars("/nonexistent", hooked(Index, 0)),
}
HOOKED_READERS = {
    "get_token_by_id": lambda e, hooked: e.get_token_by_id(hooked(Index, 2)),
    "find_tokens_to_shrink/count": lambda e, hooked: e.find_tokens_to_shrink(hooked(Index, 2)),
    "find_tokens_to_shrink/min_id": lambda e, hooked: e.find_tokens_to_shrink(2, hooked(Index, 0)),
}


def hooked_with(hook):
    return lambda cls, value: cls(value, hook)


class TestCallbacksIntoTheEditor:
    @pytest.mark.parametrize("callback", CALLBACKS)
    @pytest.mark.parametrize("method", HOOKED_WRITERS)
    def test_refused_under_a_writer(self, method, callback):
        editor = fresh()
        kind, call_back = CALLBACKS[callback]
        before = editor.to_json()
        with pytest.raises(RuntimeError) as raised:
            HOOKED_WRITERS[method](editor, hooked_with(lambda: call_back(editor)))
        assert str(raised.value) == REFUSED_UNDER_WRITER[kind]
        assert editor.to_json() == before
        assert editor.remove_invalid_merges() == 1  # access was released

    @pytest.mark.parametrize("callback", CALLBACKS)
    @pytest.mark.parametrize("method", HOOKED_READERS)
    def test_readers_admit_only_readers(self, method, callback):
        editor = fresh()
        kind, call_back = CALLBACKS[callback]
        before = editor.to_json()
        hooked = hooked_with(lambda: call_back(editor))
        if kind == "W":
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                HOOKED_READERS[method](editor, hooked)
        else:
            HOOKED_READERS[method](editor, hooked)
        assert editor.to_json() == before

    def test_save_from_a_callback_writes_nothing(self, tmp_path):
        editor = fresh()
        path = str(tmp_path / "out.json")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            editor.add_tokens(Tokens(["x"], lambda: editor.save(path)))
        assert not os.path.exists(path)

    def test_a_swallowed_refusal_keeps_the_writer_exclusive(self):
        editor = fresh()
        refusals = []

        def hook():
            for attempt in (lambda: editor.has_token("a"), lambda: editor.add_token("q"), lambda: editor.vocab_size):
                try:
                    attempt()
                except RuntimeError as e:
                    refusals.append(str(e))

        results = editor.add_tokens(Tokens(["xy", "z"], hook))
        assert [r.token for r in results] == ["xy", "z"]
        # The hook runs for each item and once more for the index that ends the sequence.
        assert refusals == ["Already mutably borrowed", "Already borrowed", "Already mutably borrowed"] * 3
        assert not editor.has_token("q")
        assert editor.add_token("q").added and editor.vocab_size == 8 + 4 + 1

    class Boom(Exception):
        pass

    @pytest.mark.parametrize("method", [*HOOKED_WRITERS, *HOOKED_READERS])
    @pytest.mark.parametrize("error", [Boom("boom"), ValueError("v"), KeyError("k"), OverflowError("o")],
                             ids=["custom", "ValueError", "KeyError", "OverflowError"])
    def test_exceptions_come_through_unchanged(self, method, error):
        editor = fresh()
        before = editor.to_json()

        def hook():
            raise error

        call = HOOKED_WRITERS.get(method) or HOOKED_READERS[method]
        with pytest.raises(type(error)) as raised:
            call(editor, hooked_with(hook))
        assert raised.value is error
        assert editor.to_json() == before
        assert editor.remove_invalid_merges() == 1

    @pytest.mark.parametrize("method, name", [("add_tokens", "tokens"), ("shrink/count", "count")])
    def test_a_type_error_is_named_after_its_argument(self, method, name):
        editor = fresh()
        error = TypeError("not today")

        def hook():
            raise error

        with pytest.raises(TypeError) as raised:
            HOOKED_WRITERS[method](editor, hooked_with(hook))
        assert str(raised.value) == f"argument '{name}': not today"
        assert raised.value.__cause__ is error


class Text(str):
    """A str whose Python-level behaviour disagrees with its content."""

    def __str__(self):
        return "other"

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0

    def __len__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"other"


class Integer(int):
    def __index__(self):
        return 0

    def __int__(self):
        return 0


class TestArgumentClasses:
    def test_str_subclasses_are_read_by_content(self, tmp_path):
        editor = fresh()
        assert editor.has_token(Text("abc")) and editor.get_token_id(Text("é")) == 5
        result = editor.add_token(Text("xy"))
        assert type(result.token) is str and result.token == "xy"
        assert editor.add_token_atomic(Text("<t>"))
        editor.add_tokens([Text("pq")])
        editor.add_tokens_keep_size([Text("uv")], [Text("pq")])
        assert all(type(t) is str for t in editor.get_vocab())
        assert {"xy", "<t>", "pq", "uv"} <= set(editor.get_vocab())
        assert editor.remove_tokens([Text("pq")])[0].root_token == "pq"

        path = Text(str(tmp_path / "out.json"))
        editor.save(path)
        assert os.path.exists(str.__str__(path))
        assert Quorvane(path).get_vocab() == editor.get_vocab()
        assert Quorvane.from_json(Text(editor.to_json())).get_vocab() == editor.get_vocab()

    def test_int_subclasses_are_read_by_value(self):
        # An int subclass is its own integer value; its __index__ is not asked.
        editor = fresh()
        assert editor.get_token_by_id(Integer(2)) == "ab"
        assert len(editor.find_tokens_to_shrink(Integer(2), min_id=Integer(3))) == 2
        assert editor.shrink(Integer(1)).tokens_removed_count == 1

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda e, v: e.shrink(v), "count"),
            (lambda e, v: e.shrink(1, v), "min_id"),
            (lambda e, v: e.find_tokens_to_shrink(1, min_id=v), "min_id"),
            (lambda e, v: e.merge_from("/nonexistent", v), "max_vocab_size"),
            (lambda e, v: e.sync_single_chars("/nonexistent", v), "min_id"),
        ],
    )
    def test_index_result_must_be_an_int(self, call, name):
        class Bad:
            def __index__(self):
                return "2"

        editor = fresh()
        with pytest.raises(TypeError, match=rf"^argument '{name}': __index__ returned non-int \(type str\)$"):
            call(editor, Bad())

    @pytest.mark.parametrize(
        "call, name, target",
        [
            (lambda e: Quorvane(None), "path", "PyString"),
            (lambda e: Quorvane.from_json(None), "json_str", "PyString"),
            (lambda e: e.save(None), "path", "PyString"),
            (lambda e: e.get_token_id(None), "token", "PyString"),
            (lambda e: e.add_token(None), "token", "PyString"),
            (lambda e: e.add_token_atomic(None), "token", "PyString"),
            (lambda e: e.remove_token(None), "token", "PyString"),
            (lambda e: e.merge_from(None), "source_path", "PyString"),
            (lambda e: e.sync_single_chars(None), "source_path", "PyString"),
            (lambda e: e.add_tokens(None), "tokens", "Sequence"),
            (lambda e: e.remove_tokens(None), "tokens", "Sequence"),
            (lambda e: e.add_tokens_keep_size(None), "tokens", "Sequence"),
            (lambda e: e.remove_tokens(["a", None]), "tokens", "PyString"),
        ],
    )
    def test_none_is_not_text(self, call, name, target):
        editor = fresh()
        before = editor.to_json()
        with pytest.raises(TypeError) as raised:
            call(editor)
        assert str(raised.value) == f"argument '{name}': 'NoneType' object cannot be converted to '{target}'"
        assert editor.to_json() == before

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda e: e.shrink(None), "count"),
            (lambda e: e.shrink(1, None), "min_id"),
            (lambda e: e.find_tokens_to_shrink(None), "count"),
            (lambda e: e.find_tokens_to_shrink(1, min_id=None), "min_id"),
            (lambda e: e.merge_from("/nonexistent", None), "max_vocab_size"),
            (lambda e: e.sync_single_chars("/nonexistent", min_id=None), "min_id"),
        ],
    )
    def test_none_is_not_a_number(self, call, name):
        # Defaults apply only when an argument is left out, never to None.
        editor = fresh()
        before = editor.to_json()
        with pytest.raises(TypeError) as raised:
            call(editor)
        assert str(raised.value) == f"argument '{name}': 'NoneType' object cannot be interpreted as an integer"
        assert editor.to_json() == before
