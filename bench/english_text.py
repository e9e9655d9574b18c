"""English running text of the same kind as the shared Czech and Polish texts.

    python bench/english_text.py [DIR]

The shared texts are the Czech and Polish LibreOffice help pages; their
English original is Debian's `libreoffice-help-en-us`. This fetches that
package (`apt-get download`, no root needed), strips its HTML the same way
(one paragraph a line, lines under 20 characters and repeated lines dropped)
and splits the lines by a hash into a training part (~90 %) and a held-out
part (~10 %): DIR/en-train.txt.xz and DIR/en-heldout.txt.xz. DIR defaults to
~/.cache/quorvane/text (or $QUORVANE_TEXT); files already there are kept.
"""

from __future__ import annotations

import glob
import hashlib
import html.parser
import lzma
import os
import subprocess
import sys
import tempfile
from pathlib import Path

PACKAGE = "libreoffice-help-en-us"
CACHE = Path(os.environ.get("QUORVANE_TEXT", Path.home() / ".cache" / "quorvane" / "text"))
SHORTEST_LINE = 20
HELDOUT_SHARE = 10  # a line is held out when its hash's first byte is below 256 * 10 %

# Elements whose text is one paragraph; <pre> keeps its own lines.
PARAGRAPHS = {"p", "h1", "h2", "h3", "h4", "h5", "h6", "li", "td", "th", "dt", "dd", "caption", "title"}
SKIPPED = {"script", "style", "head", "noscript", "header", "aside", "nav", "button", "label"}


class _Paragraphs(html.parser.HTMLParser):
    """Collects the page's paragraphs as lines of collapsed white space."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.lines: list[str] = []
        self._skipping = 0
        self._text: list[str] = []
        self._in_pre = 0

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag in SKIPPED:
            self._skipping += 1
        elif tag == "pre":
            self._flush()
            self._in_pre += 1
        elif tag in PARAGRAPHS or tag == "br":
            self._flush()

    def handle_endtag(self, tag: str) -> None:
        if tag in SKIPPED:
            self._skipping = max(0, self._skipping - 1)
        elif tag == "pre":
            self._flush(keep_lines=True)
            self._in_pre = max(0, self._in_pre - 1)
        elif tag in PARAGRAPHS:
            self._flush()

    def handle_data(self, data: str) -> None:
        if not self._skipping:
            self._text.append(data)

    def _flush(self, keep_lines: bool = False) -> None:
        text = "".join(self._text)
        self._text.clear()
        pieces = text.splitlines() if keep_lines or self._in_pre else [text]
        for piece in pieces:
            line = " ".join(piece.split())
            if line:
                self.lines.append(line)


def paragraphs(root: str) -> list[str]:
    """Every kept line of the help pages under `root`, first occurrence only, in file order."""
    seen: set[str] = set()
    lines: list[str] = []
    for path in sorted(glob.glob(os.path.join(root, "**", "*.html"), recursive=True)):
        parser = _Paragraphs()
        with open(path, encoding="utf-8", errors="replace") as page:
            parser.feed(page.read())
        parser.close()
        for line in parser.lines:
            if len(line) >= SHORTEST_LINE and line not in seen:
                seen.add(line)
                lines.append(line)
    return lines


def held_out(line: str) -> bool:
    return hashlib.blake2b(line.encode("utf-8"), digest_size=8).digest()[0] < 256 * HELDOUT_SHARE // 100


def make(directory: Path = CACHE) -> tuple[Path, Path]:
    """The paths of en-train.txt.xz and en-heldout.txt.xz under `directory`, made if missing."""
    train, heldout = directory / "en-train.txt.xz", directory / "en-heldout.txt.xz"
    if train.exists() and heldout.exists():
        return train, heldout
    directory.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["apt-get", "download", PACKAGE], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        (deb,) = glob.glob(os.path.join(work, "*.deb"))
        subprocess.run(["dpkg-deb", "-x", deb, os.path.join(work, "x")], check=True)
        lines = paragraphs(os.path.join(work, "x", "usr", "share", "libreoffice", "help"))
    for path, part in ((train, [l for l in lines if not held_out(l)]), (heldout, [l for l in lines if held_out(l)])):
        partial = path.with_suffix(".partial")
        with lzma.open(partial, "wt", encoding="utf-8") as out:
            out.writelines(line + "\n" for line in part)
        os.replace(partial, path)
    return train, heldout


def main() -> int:
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else CACHE
    for path in make(directory):
        with lzma.open(path, "rt", encoding="utf-8") as text:
            lines = text.read().splitlines()
        print(f"{path}: {len(lines):,} lines, {sum(map(len, lines)):,} characters")
    return 0


if __name__ == "__main__":
    sys.exit(main())
