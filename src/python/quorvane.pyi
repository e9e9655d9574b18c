from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import NoReturn, SupportsIndex, TypeAlias, TypedDict, final

__version__: str

# Paths are `str` only: the module refuses bytes and os.PathLike (pass str(path)).
# Token lists take any sequence of str except a bare str, which the module
# refuses at run time although a type checker cannot tell it from a sequence.
# Ids take 0..2**32-1 and counts 0..2**64-1; anything with __index__ will do.

class _SyncSingleCharsResult(TypedDict):
    initial_vocab_size: int
    final_vocab_size: int
    chars_in_source: int
    chars_already_present: int
    chars_added_count: int
    total_tokens_removed: int
    total_merges_removed: int

class _AddTokensKeepSizeResult(TypedDict):
    initial_vocab_size: int
    final_vocab_size: int
    tokens_requested: int
    tokens_added: int
    tokens_removed: int

# A GGUF metadata value: a scalar, or (element type, values) for an array.
_GgufValue: TypeAlias = int | float | bool | str | tuple[int, list["_GgufValue"]]

class _GgufFile(TypedDict):
    version: int
    alignment: int
    data_offset: int
    file_size: int
    metadata: list[tuple[str, int, _GgufValue, int, int]]
    tensors: list[tuple[str, tuple[int, ...], int, int, int]]

def read_gguf(path: str) -> _GgufFile:
    """The header, metadata and tensor directory of a GGUF file"""

def gguf_bpe_members(path: str) -> str:
    """The vocabulary and merges of a GGUF file's tokenizer, as JSON text"""

def merges_from_scores(
    tokens: Sequence[str], scores: Sequence[float], types: Sequence[int]
) -> list[tuple[str, str]]:
    """The merge list of a SentencePiece BPE vocabulary, derived from its scores"""

@final
class Quorvane:
    """Python wrapper for Quorvane"""

    def __new__(cls, path: str) -> Quorvane: ...
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
    @staticmethod
    def from_json(json_str: str) -> Quorvane:
        """Create a new editor from JSON string"""
    def save(self, path: str) -> None:
        """Save the tokenizer to a JSON file"""
    def to_json(self) -> str:
        """Export tokenizer to JSON string"""
    def has_token(self, token: str) -> bool:
        """Check if a token exists in the vocabulary"""
    def get_token_id(self, token: str) -> int | None:
        """Get the ID of a token"""
    def get_token_by_id(self, id: SupportsIndex) -> str | None:
        """Get a token by its ID"""
    def get_vocab(self) -> dict[str, int]:
        """Get all tokens in the vocabulary"""
    def get_merges(self) -> list[tuple[str, str]]:
        """Get all merges as list of tuples"""
    def get_stats(self) -> TokenizerStats:
        """Get comprehensive tokenizer statistics"""
    def validate_merges(self) -> ValidationResult:
        """Validate all merges - check that each merge result exists in vocabulary"""
    def remove_invalid_merges(self) -> int:
        """Remove all invalid merges from the tokenizer"""
    def merge_from(self, source_path: str | Quorvane, max_vocab_size: SupportsIndex = 262144) -> MergeTokenizerResult:
        """Merge a source tokenizer into this target tokenizer."""
    def add_token(self, token: str) -> AdditionResult:
        """Add a token with proper merge chain creation"""
    def add_tokens(self, tokens: Sequence[str]) -> list[AdditionResult]:
        """Add multiple tokens"""
    def add_token_atomic(self, token: str) -> bool:
        """Add a token without creating merge chains (for special tokens)"""
    def remove_token(self, token: str) -> RemovalResult:
        """Remove a token and all its dependencies"""
    def remove_tokens(self, tokens: Sequence[str]) -> list[RemovalResult]:
        """Remove multiple tokens"""
    def shrink(self, count: SupportsIndex, min_id: SupportsIndex = 0) -> ShrinkResult:
        """Shrink vocabulary by removing N longest non-special tokens"""
    def find_tokens_to_shrink(self, count: SupportsIndex, min_id: SupportsIndex = 0) -> list[tuple[str, int, int]]:
        """Find tokens that would be removed by shrink operation (preview)"""
    def get_single_char_tokens(self) -> list[tuple[str, int]]:
        """Get all single-character tokens"""
    def sync_single_chars(self, source_path: str | Quorvane, min_id: SupportsIndex = 0) -> _SyncSingleCharsResult:
        """Sync single-character tokens from another tokenizer"""
    def add_tokens_keep_size(
        self, tokens: Sequence[str], whitelist: Sequence[str] | None = None
    ) -> _AddTokensKeepSizeResult:
        """Add tokens while keeping vocabulary size fixed"""
    def check_vocab_gaps(self) -> tuple[bool, int, int, int]:
        """Check if vocabulary has gaps in its ID space"""
    def reindex_vocab(self) -> ReindexResult:
        """Reindex vocabulary to make all IDs sequential"""
    def tokenize(self, word: str) -> list[str]:
        """Encode one pre-tokenized word with the current vocabulary and merges"""
    def tokenize_batch(self, words: Sequence[str]) -> list[list[str]]:
        """Encode many pre-tokenized words, as tokenize does each"""
    def unreachable_tokens(self) -> list[tuple[str, int, list[str]]]:
        """Find vocabulary tokens that the tokenizer never produces from their own string"""
    def add_tokens_reachable(self, tokens: Sequence[str]) -> list[ReachableAdditionResult]:
        """Add tokens so that the tokenizer actually produces them"""
    def extend_vocabulary(
        self,
        words: Mapping[str, SupportsIndex] | Iterable[tuple[str, SupportsIndex]],
        count: SupportsIndex,
        max_token_length: SupportsIndex = 0,
        min_frequency: SupportsIndex = 2,
        reuse_freed_ids: object = False,
        unchanged_words: Mapping[str, SupportsIndex] | Iterable[tuple[str, SupportsIndex]] | None = None,
    ) -> ExtendResult:
        """Learn new tokens from counted words by continuing BPE training"""
    def prune_leaves(
        self,
        count: SupportsIndex,
        words: Mapping[str, SupportsIndex] | Iterable[tuple[str, SupportsIndex]] | None = None,
        keep: Sequence[str] | None = None,
        close_gaps: object = False,
    ) -> PruneResult:
        """Remove leaf tokens, the ones the words need least first"""
    def prepare_encoder(self) -> None:
        """Build now what encoding needs, letting other threads run meanwhile"""
    def count_words(
        self,
        lines: Iterable[str],
        counts: dict[str, int] | None = None,
        threads: SupportsIndex = 0,
        fallback: Callable[[str], Iterable[str]] | None = None,
    ) -> dict[str, int]:
        """Count the words of lines of text as the tokenizer itself cuts them"""
    def count_text(
        self,
        blocks: bytes | Iterable[bytes],
        counts: dict[str, int] | None = None,
        threads: SupportsIndex = 0,
        fallback: Callable[[str], Iterable[str]] | None = None,
    ) -> dict[str, int]:
        """Count the words of UTF-8 text given in blocks of whole lines"""
    def split_words(self, text: str, fallback: Callable[[str], Iterable[str]] | None = None) -> list[str]:
        """The words of one text, in order, as count_words cuts them"""
    def copy(self) -> Quorvane:
        """A new editor holding a copy of this tokenizer, as it is now"""
    def __copy__(self) -> Quorvane:
        """The same as copy()"""
    def __deepcopy__(self, memo: object) -> Quorvane:
        """The same as copy()"""
    def __reduce__(self) -> tuple[Callable[[str], Quorvane], tuple[str]]:
        """Pickle support: the JSON text, from which from_json rebuilds the editor"""
    def id_map_json(
        self, before: Quorvane | dict[str, int], moved: Iterable[tuple[str, SupportsIndex, SupportsIndex]] = ()
    ) -> str:
        """The id map from the vocabulary before an edit to this one, as JSON text"""
    @property
    def vocab_size(self) -> int:
        """Get the current vocabulary size"""
    @property
    def merges_count(self) -> int:
        """Get the current number of merges"""

# The result classes below are made only by the editor's methods: calling one
# raises TypeError, so each declares a __new__ that never returns.

@final
class ValidationResult:
    """Result of validating merges"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def valid_count(self) -> int: ...
    @property
    def invalid_count(self) -> int: ...
    @property
    def invalid_merges(self) -> list[tuple[int, str, str]]:
        """(position in the merge list, left, right) for each invalid merge."""

@final
class AdditionResult:
    """Result of token addition"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def token(self) -> str: ...
    @property
    def added(self) -> bool: ...
    @property
    def method(self) -> str:
        """One of "already_exists", "single_char", "longest_prefix", "char_chain"."""
    @property
    def added_merges(self) -> list[tuple[str, str]]: ...

@final
class ReachableAdditionResult:
    """Result of adding a token so that the tokenizer produces it"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def token(self) -> str: ...
    @property
    def added(self) -> bool: ...
    @property
    def reachable(self) -> bool: ...
    @property
    def pieces(self) -> list[str]: ...
    @property
    def added_tokens(self) -> list[str]: ...
    @property
    def added_merges(self) -> list[tuple[str, str]]: ...
    @property
    def reason(self) -> str | None: ...

@final
class ExtendResult:
    """Result of learning new tokens from counted words"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def words(self) -> int: ...
    @property
    def added_tokens(self) -> list[str]: ...
    @property
    def added_merges(self) -> list[tuple[str, str]]: ...
    @property
    def frequencies(self) -> list[int]: ...
    @property
    def moved_added_tokens(self) -> list[tuple[str, int, int]]: ...

@final
class PruneResult:
    """Result of pruning leaf tokens"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def removed(self) -> list[str]: ...
    @property
    def tokens_removed(self) -> int: ...
    @property
    def merges_removed(self) -> int: ...
    @property
    def ids_remapped(self) -> int: ...
    @property
    def moved_added_tokens(self) -> list[tuple[str, int, int]]: ...

@final
class RemovalResult:
    """Result of token removal"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def root_token(self) -> str: ...
    @property
    def removed_tokens(self) -> list[str]: ...
    @property
    def removed_merges(self) -> list[tuple[str, str]]: ...

@final
class ShrinkResult:
    """Result of shrink operation"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def initial_vocab_size(self) -> int: ...
    @property
    def initial_merges_count(self) -> int: ...
    @property
    def final_vocab_size(self) -> int: ...
    @property
    def final_merges_count(self) -> int: ...
    @property
    def tokens_removed_count(self) -> int: ...
    @property
    def total_tokens_removed(self) -> int: ...
    @property
    def total_merges_removed(self) -> int: ...

@final
class MergeTokenizerResult:
    """Result of merging a source tokenizer into a target tokenizer"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def initial_target_vocab_size(self) -> int: ...
    @property
    def source_vocab_size(self) -> int: ...
    @property
    def final_model_vocab_size(self) -> int: ...
    @property
    def final_vocab_size(self) -> int: ...
    @property
    def tokens_injected(self) -> int: ...
    @property
    def target_tokens_removed(self) -> int: ...
    @property
    def bridge_tokens_added(self) -> int: ...
    @property
    def bridge_merges_added(self) -> int: ...
    @property
    def source_merges_added(self) -> int: ...
    @property
    def target_merges_retained(self) -> int: ...
    @property
    def representation(self) -> str: ...

@final
class TokenizerStats:
    """Tokenizer statistics"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def merges_count(self) -> int: ...
    @property
    def single_char_count(self) -> int: ...
    @property
    def special_token_count(self) -> int: ...
    @property
    def min_token_id(self) -> int: ...
    @property
    def max_token_id(self) -> int: ...
    @property
    def length_distribution(self) -> list[tuple[int, int]]:
        """(length in characters, number of tokens) in ascending order of length."""

@final
class ReindexResult:
    """Result of reindex operation"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def merges_count(self) -> int: ...
    @property
    def old_min_id(self) -> int: ...
    @property
    def old_max_id(self) -> int: ...
    @property
    def new_min_id(self) -> int: ...
    @property
    def new_max_id(self) -> int: ...
    @property
    def ids_remapped(self) -> int: ...
    @property
    def gaps_removed(self) -> int: ...
