"""Argument matching, argument conversion and the access flag."""

import sys

import pytest

from quorvane import Quorvane


def requires(method):
    return pytest.mark.skipif(not hasattr(Quorvane, method), reason=f"Quorvane.{method} not built yet")


class TestMatching:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda e: e.has_token(), "Quorvane.has_token() missing 1 required positional argument: 'token'"),
            (lambda e: e.has_token("a", "b"),
             "Quorvane.has_token() takes 1 positional arguments but 2 were given"),
            (lambda e: e.get_token_id(tok="a"),
             "Quorvane.get_token_id() got an unexpected keyword argument 'tok'"),
            (lambda e: e.get_token_by_id(0, id=1),
             "Quorvane.get_token_by_id() got multiple values for argument 'id'"),
            (lambda e: Quorvane(), "Quorvane.__new__() missing 1 required positional argument: 'path'"),
            (lambda e: Quorvane("a", "b"), "Quorvane.__new__() takes 1 positional arguments but 2 were given"),
            (lambda e: Quorvane(file="a"), "Quorvane.__new__() got an unexpected keyword argument 'file'"),
            (lambda e: Quorvane("a", path="b"), "Quorvane.__new__() got multiple values for argument 'path'"),
            (lambda e: Quorvane.from_json(), "Quorvane.from_json() missing 1 required positional argument: 'json_str'"),
            (lambda e: Quorvane.from_json(text="{}"),
             "Quorvane.from_json() got an unexpected keyword argument 'text'"),
            pytest.param(lambda e: e.shrink(), "Quorvane.shrink() missing 1 required positional argument: 'count'",
                         marks=requires("shrink")),
            pytest.param(lambda e: e.shrink(1, 2, 3),
                         "Quorvane.shrink() takes from 1 to 2 positional arguments but 3 were given",
                         marks=requires("shrink")),
            pytest.param(lambda e: e.shrink(1, count=2), "Quorvane.shrink() got multiple values for argument 'count'",
                         marks=requires("shrink")),
            pytest.param(lambda e: e.merge_from("p", 1, 2),
                         "Quorvane.merge_from() takes from 1 to 2 positional arguments but 3 were given",
                         marks=requires("merge_from")),
        ],
    )
    def test_matching_errors(self, small_editor, call, message):
        with pytest.raises(TypeError) as raised:
            call(small_editor)
        assert str(raised.value) == message

    def test_keywords_accepted(self, small_editor, write_doc, tmp_path):
        assert small_editor.has_token(token="ab") is True
        assert small_editor.get_token_by_id(id=2) == "ab"
        path = str(tmp_path / "out.json")
        small_editor.save(path=path)
        assert Quorvane(path=path).vocab_size == 5
        assert Quorvane.from_json(json_str=small_editor.to_json()).merges_count == 2

    @pytest.mark.parametrize("name", ["to_json", "get_vocab", "get_merges", "get_stats",
                                      "validate_merges", "remove_invalid_merges", "get_single_char_tokens"])
    def test_no_argument_methods_refuse_arguments(self, small_editor, name):
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(small_editor, name)(1)

    @pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs refcounts")
    def test_failed_calls_release_arguments(self, small_editor):
        arg = object()
        before = sys.getrefcount(arg)
        for _ in range(50):
            for call in (lambda: small_editor.has_token(arg), lambda: small_editor.has_token("a", arg),
                         lambda: small_editor.get_token_by_id(arg), lambda: Quorvane(arg)):
                with pytest.raises(TypeError):
                    call()
        assert sys.getrefcount(arg) == before


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class TestTextAndId:
    @pytest.mark.parametrize("value, type_name", [(1, "int"), (None, "NoneType"), (b"ab", "bytes"), (["a"], "list")])
    def test_text_refuses_non_str(self, small_editor, value, type_name):
        with pytest.raises(TypeError) as raised:
            small_editor.has_token(value)
        assert str(raised.value) == f"argument 'token': '{type_name}' object cannot be converted to 'PyString'"

    def test_text_accepts_str_subclass(self, small_editor):
        class Token(str):
            pass

        assert small_editor.get_token_id(Token("ab")) == 2

    def test_lone_surrogate_is_unicode_error(self, small_editor):
        with pytest.raises(UnicodeEncodeError):
            small_editor.has_token("a\ud800")

    @pytest.mark.parametrize("value, token", [(2, "ab"), (True, "b"), (Index(2), "ab")])
    def test_id_accepts_integers(self, small_editor, value, token):
        assert small_editor.get_token_by_id(value) == token

    @pytest.mark.parametrize(
        "value, message",
        [
            (-1, None),
            (2**32, "out of range integral type conversion attempted"),
            (2**64, None),
            (Index(2**32), "out of range integral type conversion attempted"),
        ],
    )
    def test_id_range(self, small_editor, value, message):
        with pytest.raises(OverflowError) as raised:
            small_editor.get_token_by_id(value)
        if message:
            assert str(raised.value) == message
        assert not str(raised.value).startswith("argument")

    def test_id_limits(self, make_editor):
        editor = make_editor({"top": 2**32 - 1, "zero": 0})
        assert editor.get_token_by_id(2**32 - 1) == "top"
        assert editor.get_token_by_id(0) == "zero"
        assert editor.get_token_by_id(12345678) is None

    @pytest.mark.parametrize("value, type_name", [(1.0, "float"), ("1", "str"), (None, "NoneType")])
    def test_id_refuses_non_integers(self, small_editor, value, type_name):
        with pytest.raises(TypeError) as raised:
            small_editor.get_token_by_id(value)
        assert str(raised.value).startswith(f"argument 'id': '{type_name}' object")
        assert isinstance(raised.value.__cause__, TypeError)


class Tokens:
    """A sequence that is not a list or tuple; `hook` runs on every item fetch."""

    def __init__(self, items, hook=None):
        self.items, self.hook = list(items), hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.hook:
            self.hook()
        return self.items[i]


@requires("add_tokens")
class TestTokenLists:
    @pytest.mark.parametrize(
        "value, message",
        [
            ("abc", "argument 'tokens': Can't extract `str` to `Vec`"),
            (5, "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
            ({"a", "b"}, "argument 'tokens': 'set' object cannot be converted to 'Sequence'"),
            (["a", 1], "argument 'tokens': 'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_refused_lists_add_nothing(self, small_editor, value, message):
        before = small_editor.get_vocab()
        with pytest.raises(TypeError) as raised:
            small_editor.add_tokens(value)
        assert str(raised.value) == message
        assert small_editor.get_vocab() == before

    def test_any_sequence_of_str(self, small_editor):
        assert small_editor.add_tokens([]) == []
        assert len(small_editor.add_tokens(("x", "y"))) == 2
        assert len(small_editor.add_tokens(Tokens(["z"]))) == 1

    @requires("add_tokens_keep_size")
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"whitelist": "ab"}, "argument 'whitelist': Can't extract `str` to `Vec`"),
            ({"whitelist": 3}, "argument 'whitelist': 'int' object cannot be converted to 'Sequence'"),
            ({"whitelist": [None]}, "argument 'whitelist': 'NoneType' object cannot be converted to 'PyString'"),
        ],
    )
    def test_optional_list(self, small_editor, kwargs, message):
        with pytest.raises(TypeError) as raised:
            small_editor.add_tokens_keep_size(["x"], **kwargs)
        assert str(raised.value) == message
        assert small_editor.add_tokens_keep_size(["x"], None) is not None


@requires("shrink")
class TestCounts:
    @pytest.mark.parametrize("value, error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)])
    def test_count_conversion(self, small_editor, value, error):
        with pytest.raises(error) as raised:
            small_editor.shrink(value)
        assert str(raised.value).startswith("argument 'count': ") == (error is TypeError)

    def test_min_id_is_an_id(self, small_editor):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            small_editor.shrink(1, min_id=2**32)


class TestAccess:
    def test_writer_inside_reader_is_refused(self, small_editor):
        hook = small_editor.remove_invalid_merges
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            small_editor.get_token_by_id(Index(0, hook))
        assert small_editor.merges_count == 2  # the writer did not run
        assert small_editor.remove_invalid_merges() == 1  # and access was released

    def test_readers_share(self, small_editor):
        seen = []
        hook = lambda: seen.append((small_editor.vocab_size, repr(small_editor), small_editor.has_token("a")))
        assert small_editor.get_token_by_id(Index(2, hook)) == "ab"
        assert seen == [(5, "Quorvane(vocab_size=5, merges_count=2)", True)]

    def test_failed_hook_releases_access(self, small_editor):
        def hook():
            raise KeyError("boom")

        with pytest.raises(KeyError):
            small_editor.get_token_by_id(Index(0, hook))
        assert small_editor.remove_invalid_merges() == 1

    @requires("add_tokens")
    @pytest.mark.parametrize(
        "call_back, message",
        [(lambda e: e.has_token("a"), "Already mutably borrowed"),
         (lambda e: e.vocab_size, "Already mutably borrowed"),
         (lambda e: e.remove_invalid_merges(), "Already borrowed")],
    )
    def test_token_list_converted_under_writer_access(self, small_editor, call_back, message):
        before = small_editor.get_vocab()
        tokens = Tokens(["x", "y"], lambda: call_back(small_editor))
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            small_editor.add_tokens(tokens)
        assert small_editor.get_vocab() == before
        assert small_editor.has_token("a")  # released
