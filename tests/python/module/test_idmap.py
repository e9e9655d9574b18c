"""The id map `--id-map` writes (`Quorvane.id_map_json`), against a plain
model of it: every token's id before and after an edit, duplicates, moved
added tokens, tokens that need escaping; and the layout, which the tool's
other JSON files share."""

import json

import pytest

import quorvane
from conftest import tokenizer_doc
from quorvane_cli.cli.jsonfile import lines_json

pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402


def model_id_map(before, after, moved=()):
    """What the id map says, from two get_vocab() dicts and the moved added tokens."""
    new_ids = {}
    for token, old_id in before.items():
        if token in after:
            new_ids.setdefault(old_id, set()).add(after[token])
    for _, old_id, new_id in moved:
        new_ids.setdefault(old_id, set()).add(new_id)
    old_to_new = {}
    for old_id in sorted(new_ids):
        targets = sorted(new_ids[old_id])
        old_to_new[str(old_id)] = targets[0] if len(targets) == 1 else targets
    return {
        "old_to_new": old_to_new,
        "removed": [{"token": t, "id": i} for i, t in sorted((i, t) for t, i in before.items() if t not in after)],
        "added": [{"token": t, "id": i} for i, t in sorted((i, t) for t, i in after.items() if t not in before)],
    }


tokens = st.text(st.sampled_from('ab"\\\n\x01é▁Ġ'), min_size=1, max_size=4)


@given(after=st.dictionaries(tokens, st.integers(0, 40), max_size=12),
       before=st.dictionaries(tokens, st.integers(0, 40), max_size=12),
       moved=st.lists(st.tuples(st.just("<x>"), st.integers(0, 40), st.integers(0, 40)), max_size=3))
@settings(max_examples=300, deadline=None)
def test_id_map_is_the_model_in_the_shared_layout(after, before, moved):
    editor = quorvane.Quorvane.from_json(json.dumps(tokenizer_doc(after)))
    text = editor.id_map_json(before, moved)
    expected = model_id_map(before, editor.get_vocab(), moved)
    assert json.loads(text) == expected
    assert text == lines_json(expected)
    # From a copy taken before an edit: the copy keeps the old vocabulary.
    copy = editor.copy()
    if after:
        editor.remove_token(min(after))
    assert editor.id_map_json(copy, moved) == lines_json(model_id_map(copy.get_vocab(), editor.get_vocab(), moved))


def test_copies_are_independent(tmp_path):
    import copy

    editor = quorvane.Quorvane.from_json(json.dumps(tokenizer_doc({"a": 0, "b": 1, "ab": 2}, [("a", "b")])))
    for twin in (editor.copy(), copy.copy(editor), copy.deepcopy(editor)):
        twin.add_token("ba")
        assert not editor.has_token("ba") and twin.get_token_id("ba") == 3
    twin = editor.copy()
    editor.remove_token("ab")
    assert twin.get_merges() == [("a", "b")] and twin.to_json() != editor.to_json()
    assert json.loads(twin.to_json())["model"]["vocab"] == {"a": 0, "b": 1, "ab": 2}


def test_id_map_arguments():
    editor = quorvane.Quorvane.from_json(json.dumps(tokenizer_doc({"a": 0, "b": 1})))
    assert json.loads(editor.id_map_json({"a": 3, "c": 2})) == {
        "old_to_new": {"3": 0}, "removed": [{"token": "c", "id": 2}], "added": [{"token": "b", "id": 1}]}
    with pytest.raises(TypeError, match="expected a Quorvane or a dict of str to int, not list"):
        editor.id_map_json([("a", 0)])
    with pytest.raises(TypeError, match=r"\(token, old id, new id\) tuple"):
        editor.id_map_json({}, [("a", 1)])
    with pytest.raises(OverflowError):
        editor.id_map_json({"a": 2**40})
