"""The module's shape: registration, docstrings, text signatures, and the
result classes as classes."""

import gc
import sys
import types

import pytest

import quorvane
from quorvane import Quorvane

CLASSES = [
    "Quorvane",
    "ValidationResult",
    "AdditionResult",
    "RemovalResult",
    "ShrinkResult",
    "MergeTokenizerResult",
    "TokenizerStats",
    "ReindexResult",
    "ReachableAdditionResult",
    "ExtendResult",
    "PruneResult",
]

# Result class -> (docstring, fields in declared order).
RESULTS = {
    "TokenizerStats": (
        "Tokenizer statistics",
        ["vocab_size", "merges_count", "single_char_count", "special_token_count",
         "min_token_id", "max_token_id", "length_distribution"],
    ),
    "ReindexResult": (
        "Result of reindex operation",
        ["vocab_size", "merges_count", "old_min_id", "old_max_id", "new_min_id",
         "new_max_id", "ids_remapped", "gaps_removed"],
    ),
    "RemovalResult": ("Result of token removal", ["root_token", "removed_tokens", "removed_merges"]),
    "ShrinkResult": (
        "Result of shrink operation",
        ["initial_vocab_size", "initial_merges_count", "final_vocab_size", "final_merges_count",
         "tokens_removed_count", "total_tokens_removed", "total_merges_removed"],
    ),
    "MergeTokenizerResult": (
        "Result of merging a source tokenizer into a target tokenizer",
        ["initial_target_vocab_size", "source_vocab_size", "final_model_vocab_size",
         "final_vocab_size", "tokens_injected", "target_tokens_removed", "bridge_tokens_added",
         "bridge_merges_added", "source_merges_added", "target_merges_retained", "representation"],
    ),
    "ValidationResult": ("Result of validating merges", ["valid_count", "invalid_count", "invalid_merges"]),
    "AdditionResult": ("Result of token addition", ["token", "added", "method", "added_merges"]),
    "ReachableAdditionResult": (
        "Result of adding a token so that the tokenizer produces it",
        ["token", "added", "reachable", "pieces", "added_tokens", "added_merges", "reason"],
    ),
    "ExtendResult": (
        "Result of learning new tokens from counted words",
        ["words", "added_tokens", "added_merges", "frequencies", "moved_added_tokens"],
    ),
    "PruneResult": ("Result of pruning leaf tokens", ["removed", "tokens_removed", "merges_removed", "ids_remapped", "moved_added_tokens"]),
}

# The methods built so far, in class order, with their text signatures.
SIGNATURES = {
    "from_json": "(json_str)",
    "save": "($self, path)",
    "to_json": "($self)",
    "has_token": "($self, token)",
    "get_token_id": "($self, token)",
    "get_token_by_id": "($self, id)",
    "get_vocab": "($self)",
    "get_merges": "($self)",
    "get_stats": "($self)",
    "validate_merges": "($self)",
    "remove_invalid_merges": "($self)",
    "merge_from": "($self, source_path, max_vocab_size=262144)",
    "add_token": "($self, token)",
    "add_tokens": "($self, tokens)",
    "add_token_atomic": "($self, token)",
    "remove_token": "($self, token)",
    "remove_tokens": "($self, tokens)",
    "shrink": "($self, count, min_id=0)",
    "find_tokens_to_shrink": "($self, count, min_id=0)",
    "get_single_char_tokens": "($self)",
    "sync_single_chars": "($self, source_path, min_id=0)",
    "add_tokens_keep_size": "($self, tokens, whitelist=None)",
    "check_vocab_gaps": "($self)",
    "reindex_vocab": "($self)",
    "tokenize": "($self, word)",
    "tokenize_batch": "($self, words)",
    "unreachable_tokens": "($self)",
    "add_tokens_reachable": "($self, tokens)",
    "prepare_encoder": "($self)",
    "extend_vocabulary": "($self, words, count, max_token_length=0, min_frequency=2, reuse_freed_ids=False, "
                         "unchanged_words=None)",
    "prune_leaves": "($self, count, words=None, keep=None, close_gaps=False)",
    "count_words": "($self, lines, counts=None, threads=0, fallback=None)",
    "count_text": "($self, blocks, counts=None, threads=0, fallback=None)",
    "split_words": "($self, text, fallback=None)",
    "copy": "($self)",
    "id_map_json": "($self, before, moved=())",
}


class TestModule:
    def test_attributes_in_registration_order(self):
        names = [n for n in vars(quorvane) if not (n.startswith("__") and n != "__version__")]
        # The functions come from the module definition, before its exec step.
        assert names == ["read_gguf", "gguf_bpe_members", "merges_from_scores"] + CLASSES + ["__version__"]

    def test_version_and_doc(self):
        assert quorvane.__version__ == "0.2.0"
        assert quorvane.__doc__ == "Python module for Quorvane"

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_derive_from_object_and_refuse_subclassing(self, name):
        cls = getattr(quorvane, name)
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "quorvane"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_reimport_in_fresh_module_object(self):
        # Multi-phase init: a second module object gets its own classes.
        spec = quorvane.__spec__
        other = spec.loader.create_module(spec)
        spec.loader.exec_module(other)
        assert other.Quorvane is not Quorvane
        assert other.TokenizerStats is not quorvane.TokenizerStats


class TestEditorClass:
    def test_class_doc_and_signature(self):
        assert Quorvane.__doc__ == "Python wrapper for Quorvane"
        assert Quorvane.__text_signature__ == "(path)"

    def test_methods_in_table_order(self):
        defined = [n for n in vars(Quorvane) if not n.startswith("__")]
        assert [n for n in defined if n not in ("vocab_size", "merges_count")] == list(SIGNATURES)

    @pytest.mark.parametrize("name", SIGNATURES)
    def test_method_signature(self, name):
        method = getattr(Quorvane, name)
        assert method.__text_signature__ == SIGNATURES[name]
        assert method.__doc__ and "--" not in method.__doc__

    @pytest.mark.parametrize(
        "name, doc",
        [
            ("from_json", "Create a new editor from JSON string\n\nArgs:\n    json_str: JSON string "
                          "containing the tokenizer\n\nReturns:\n    Quorvane instance"),
            ("validate_merges", "Validate all merges - check that each merge result exists in vocabulary"
                                "\n\nReturns:\n    ValidationResult with valid/invalid merge counts and details"),
        ],
    )
    def test_method_doc(self, name, doc):
        assert getattr(Quorvane, name).__doc__ == doc

    def test_from_json_is_static(self):
        assert isinstance(vars(Quorvane)["from_json"], staticmethod)

    def test_property_docs(self):
        assert vars(Quorvane)["vocab_size"].__doc__ == "Get the current vocabulary size"
        assert vars(Quorvane)["merges_count"].__doc__ == "Get the current number of merges"


class TestResultClasses:
    @pytest.mark.parametrize("name", RESULTS)
    def test_doc_and_no_signature(self, name):
        cls = getattr(quorvane, name)
        assert cls.__doc__ == RESULTS[name][0]
        assert cls.__text_signature__ is None

    @pytest.mark.parametrize("name", RESULTS)
    def test_fields_in_declared_order(self, name):
        cls = getattr(quorvane, name)
        fields = [n for n, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]
        assert fields == RESULTS[name][1]
        assert all(vars(cls)[f].__doc__ == "" for f in fields)

    @pytest.mark.parametrize("name", RESULTS)
    @pytest.mark.parametrize("call", [(), (1,), ("x", 2)], ids=["none", "one", "two"])
    def test_no_constructor(self, name, call):
        cls = getattr(quorvane, name)
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls(*call)
        with pytest.raises(TypeError):
            object.__new__(cls)

    @pytest.mark.parametrize("name", RESULTS)
    def test_class_is_immutable(self, name):
        with pytest.raises(TypeError):
            setattr(getattr(quorvane, name), "extra", 1)


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs refcounts")
class TestTypeReferences:
    """Instances hold a reference to their heap type and must drop it."""

    # Garbage left by earlier tests (an editor in a reference cycle) may be
    # collected during the loop and drop a reference: collect it first.
    def test_editor_instances(self, make_editor):
        gc.collect()
        before = sys.getrefcount(Quorvane)
        for _ in range(100):
            make_editor(["a"])
            with pytest.raises(OSError):
                Quorvane("/nonexistent/tokenizer.json")
        assert sys.getrefcount(Quorvane) == before

    def test_result_instances(self, small_editor):
        classes = (quorvane.TokenizerStats, quorvane.ValidationResult)
        gc.collect()
        before = [sys.getrefcount(c) for c in classes]
        for _ in range(100):
            small_editor.get_stats().length_distribution
            small_editor.validate_merges().invalid_merges
        assert [sys.getrefcount(c) for c in classes] == before
