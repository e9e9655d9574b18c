"""How the embedding row of a new token is made, without training: the rules of
`--init`, shared by `resize-embeddings` and GGUF edits.

"mean" and "zeros" give every new token the same row. The other rules start
from the rows of the pieces the old tokenizer splits the new token into (its
constituents), in order, and fall back to "mean" for a token with no pieces:

- "mean-of-constituents": their mean;
- "norm-matched": their mean, scaled to the mean of their norms in an input
  or tied matrix. Averaging rows that point different ways shortens the
  result, and a short input row reads to the model like a weak, unusual
  token; this keeps the direction of the mean at the length typical of the
  pieces. The output rows of an untied model keep the plain mean: there the
  length sets how often the token is predicted, and a longer row would have
  the model predict the new token everywhere;
- "positional": a mean weighted by position. An input row stands for what
  reading the token completes, which the model learns mostly from the last
  piece, so weights rise towards the last piece (1, 2, ..., k); an output row
  of an untied model predicts the token starting, which is first of all
  predicting its first piece, so there they fall towards the last (k, ..., 1).
  A tied matrix is read as input and written as output at once: it takes the
  input weights, since a row that reads well matters from the first step;
- "shrunk": their mean moved a tenth of the way to the mean of all the old
  tokenizer's rows. As an output row, the mean of the pieces scores the new
  token about as high as its pieces wherever one of them is likely, which
  overstates it: it then draws probability from the tokens of text it does not
  belong to, most of all in a language the edit was to leave alone. The mean
  of all rows is the one row the model scores as ordinary everywhere;
  shrinking towards it damps those scores, while nine tenths of the row still
  carry what the pieces mean.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

RULES = ("mean-of-constituents", "mean", "zeros", "norm-matched", "positional", "shrunk")
FROM_PIECES = frozenset({"mean-of-constituents", "norm-matched", "positional", "shrunk"})
NEEDS_MEAN = frozenset({"shrunk"})  # rules that also take the mean of all rows
SHRINK = 0.1  # how far "shrunk" moves towards the mean of all rows
DEFAULT = "mean-of-constituents"

INPUT, OUTPUT = "input", "output"  # the role of a matrix: read as tokens come in, or scored as they go out


def row_from_pieces(
    pieces: npt.NDArray[np.float64], rule: str, role: str, mean_of_all: npt.NDArray[np.float64] | None = None
) -> npt.NDArray[np.float64]:
    """The row of a new token by `rule` (one of FROM_PIECES) from the rows of
    its pieces (`pieces[i]` the i-th piece's row, repeats kept) in a matrix of
    `role` (INPUT for an input or tied matrix, OUTPUT for an untied output);
    the rules of NEEDS_MEAN also take `mean_of_all`, the mean of all the old
    tokenizer's rows."""
    import numpy as np

    mean: npt.NDArray[np.float64] = pieces.mean(axis=0)
    if rule == "mean-of-constituents" or (rule == "norm-matched" and role == OUTPUT):
        return mean
    if rule == "shrunk":
        if mean_of_all is None:
            raise ValueError("the shrunk rule needs the mean of all rows")
        shrunk: npt.NDArray[np.float64] = (1 - SHRINK) * mean + SHRINK * mean_of_all
        return shrunk
    if rule == "norm-matched":
        length = float(np.linalg.norm(mean))
        target = float(np.linalg.norm(pieces, axis=1).mean())
        return mean * (target / length) if length > 0 else mean
    if rule == "positional":
        weights: npt.NDArray[np.float64] = np.arange(1, len(pieces) + 1, dtype=np.float64)
        if role == OUTPUT:
            weights = weights[::-1]
        weighted: npt.NDArray[np.float64] = (weights @ pieces) / weights.sum()
        return weighted
    raise ValueError(f"no rule {rule!r} makes a row from pieces")
