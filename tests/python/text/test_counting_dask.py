"""`quorvane count --dask`: the parts a cluster counts add up to the count of
one process, wherever their boundaries fall, and a worker that dies never
makes a count smaller.

The parts are checked in this process first; the cluster tests (slow) start
local clusters of two worker processes."""

import collections
import contextlib
import gzip
import logging
import lzma
import multiprocessing
import os
import shutil
import signal
from pathlib import Path

import pytest

import quorvane
from quorvane_cli import main
from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.wordcount import count_text
from test_encoding import TEXT_DIR

if os.environ.get("QUORVANE_SANITIZED"):
    # distributed loads numpy, whose native code keeps objects at exit that
    # LeakSanitizer cannot tell from leaks; the native code run here is what
    # test_counting runs too.
    pytest.skip("numpy under the sanitizers", allow_module_level=True)
distributed = pytest.importorskip("distributed")
import dask  # noqa: E402

from quorvane_cli.text import counting_dask  # noqa: E402

SAMPLES = Path(__file__).resolve().parents[3] / "examples" / "sample"
# Lines that cross every small block: a byte-order mark, CRLF, blank lines,
# characters of two to four bytes, a long line, and no final line break.
TRICKY = ("\ufeffZażółć gęślą jaźń\r\n\n  \nthe lighthouse 灯台 😀 keeper\n"
          + "a long line " * 40 + "\n\r\n" + "żółw " * 7 + "ends here").encode()


def sample(kind):
    name = "tokenizer.json" if kind == "bytelevel" else "marker_tokenizer.json"
    return quorvane.Quorvane(str(SAMPLES / name))


def counted_parts(editor, paths, block_size, read_size):
    """The counts of every part of `paths`, counted in this process, added up."""
    total = collections.Counter()
    texts = set()
    for part in counting_dask.plan(paths, block_size):
        tally = counting_dask.count_part(editor, part, read_size)
        total.update(tally.counts)
        texts |= tally.texts
    return total, texts


class TestParts:
    @pytest.mark.parametrize("kind", ["bytelevel", "marker"])
    @pytest.mark.parametrize("block_size, read_size", [(1, 1), (5, 3), (17, 4096), (64, 7), (10**6, 2)])
    def test_every_line_counted_once(self, tmp_path, kind, block_size, read_size):
        plain = tmp_path / "tricky.txt"
        plain.write_bytes(TRICKY)
        packed = {tmp_path / "tricky.txt.xz": lzma.compress(TRICKY), tmp_path / "tricky.txt.gz": gzip.compress(TRICKY)}
        for path, data in packed.items():
            path.write_bytes(data)
        paths = [str(plain), *map(str, packed)]
        editor = sample(kind)
        expected = count_text(editor, paths, processes=1)
        assert counted_parts(editor, paths, block_size, read_size) == (expected, {0, 1, 2})

    @pytest.mark.parametrize("name, data, message", [
        ("late.txt", b"fine\n" * 20 + b"bad \xc3( here\n", r"late.txt: not UTF-8 \(invalid continuation byte at byte 104\)"),
        ("late.txt.xz", lzma.compress(b"fine\n" * 20 + b"bad \xff\n"),
         r"not UTF-8 \(invalid start byte at byte 104 of the decompressed text\)"),
        ("cut.txt.xz", lzma.compress(b"fine\n" * 2000)[:-30], "cut.txt.xz: not a valid xz file"),
    ])
    def test_bad_text_named_where_it_is(self, tmp_path, name, data, message):
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(CliError, match=message):
            counted_parts(sample("marker"), [str(path)], 32, 16)


# ------------------------------------------------------------ on a cluster

def local_cluster():
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                    scheduler_kwargs={"dashboard_address": ":0"}, silence_logs=logging.CRITICAL)


@contextlib.contextmanager
def started(**config):
    """A local cluster of two worker processes; none is left when it closes."""
    running = set(multiprocessing.active_children())
    with dask.config.set(config):
        cluster = local_cluster()
    try:
        yield cluster
    finally:
        cluster.close()
        assert set(multiprocessing.active_children()) == running


@pytest.fixture(scope="module")
def cluster():
    with started() as running:
        yield running.scheduler_address


@pytest.fixture(scope="module")
def texts(tmp_path_factory):
    """The held-out texts: Czech plain, Polish as .xz and as .gz."""
    sources = {language: TEXT_DIR / f"{language}-heldout.txt.xz" for language in ("cs", "pl")}
    if not all(path.exists() for path in sources.values()):
        pytest.skip(f"no running text in {TEXT_DIR}")
    folder = tmp_path_factory.mktemp("texts")
    plain = lzma.decompress(sources["cs"].read_bytes())
    (folder / "cs.txt").write_bytes(plain)
    shutil.copyfile(sources["pl"], folder / "pl.txt.xz")
    polish = lzma.decompress(sources["pl"].read_bytes())
    (folder / "pl.txt.gz").write_bytes(gzip.compress(polish))
    return {"cs": str(folder / "cs.txt"), "pl_xz": str(folder / "pl.txt.xz"), "pl_gz": str(folder / "pl.txt.gz"),
            "plain": plain, "polish": polish}


BLOCK = 100_003  # parts of the plain text, and reads of the compressed ones, end inside lines
READ = 65_537


@pytest.mark.slow
class TestCluster:
    @pytest.mark.parametrize("name", ["qwen3", "llama2"])
    def test_counts_of_one_process(self, corpus, cluster, texts, name):
        assert all(texts["plain"][end - 1] != ord("\n") for end in range(BLOCK, len(texts["plain"]), BLOCK))
        assert texts["polish"][READ - 1] != ord("\n")
        editor = quorvane.Quorvane(corpus[name])
        paths = [texts["cs"], texts["pl_xz"], texts["pl_gz"]]
        expected = count_text(editor, paths, processes=1)
        result = counting_dask.count(editor, paths, cluster, Progress(False), block_size=BLOCK, read_size=READ)
        assert result.counts == expected
        assert (result.words, result.distinct, result.texts) == (sum(expected.values()), len(expected), {0, 1, 2})
        kept = counting_dask.count(editor, paths, cluster, Progress(False), block_size=BLOCK, min_count=3)
        assert kept.counts == {w: n for w, n in expected.items() if n >= 3}
        assert (kept.words, kept.distinct) == (result.words, result.distinct)

    @pytest.mark.parametrize("where", ["scheduler", "local"])
    def test_the_command_writes_what_one_process_does(self, capsys, cluster, texts, tmp_path, where):
        tokenizer = str(SAMPLES / "marker_tokenizer.json")
        local, there = tmp_path / "local.tsv", tmp_path / "there.tsv"
        options = ["--dask", cluster] if where == "scheduler" else ["--dask", "local", "--workers", "2"]
        running = set(multiprocessing.active_children())
        for output, extra in ((local, []), (there, [*options, "--block-size", "64K"])):
            assert main(["count", tokenizer, "--text", texts["cs"], texts["pl_xz"], "-o", str(output), "--quiet",
                         *extra]) == 0
        assert local.read_bytes() == there.read_bytes()
        assert "on the Dask cluster" in capsys.readouterr().out
        assert set(multiprocessing.active_children()) == running  # a local cluster is gone with the command

    def test_failures_come_back(self, cluster, tmp_path):
        editor = sample("bytelevel")
        (tmp_path / "bad.txt").write_bytes(b"fine\n" * 30000 + b"\xff\n")
        (tmp_path / "blank.txt").write_bytes(b"\n \n")
        with pytest.raises(CliError, match=r"bad.txt: not UTF-8 \(invalid start byte at byte 150000\)"):
            counting_dask.count(editor, [str(tmp_path / "bad.txt")], cluster, Progress(False), block_size=40000)
        with pytest.raises(CliError, match="blank.txt: no text"):
            counting_dask.count(editor, [str(tmp_path / "blank.txt")], cluster, Progress(False))

    def test_an_unreachable_scheduler(self, tmp_path):
        with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
            with pytest.raises(CliError, match="cannot start or reach the cluster"):
                counting_dask.count(sample("marker"), [str(SAMPLES / "corpus.txt")], "tcp://127.0.0.1:9",
                                    Progress(False))


class _KillOnFirstPart(Progress):
    """Kills one worker process as soon as the first part is counted."""

    def __init__(self, pid):
        super().__init__(False)
        self.pid = pid
        self.killed = False

    @contextlib.contextmanager
    def bar(self, text, total):
        def advance(done):
            if not self.killed:
                os.kill(self.pid, signal.SIGKILL)
                self.killed = True

        yield advance


@pytest.mark.slow
@pytest.mark.parametrize("allowed_failures", [3, 0])
def test_a_killed_worker_never_makes_the_count_smaller(texts, tmp_path, allowed_failures):
    """With the scheduler's default the dead worker's parts run again; with no
    failure allowed, a part it was counting may fail the count instead."""
    editor = sample("bytelevel")
    path = tmp_path / "four.txt"
    path.write_bytes(texts["plain"] * 2)
    expected = count_text(editor, [str(path)], processes=1)
    with started(**{"distributed.scheduler.allowed-failures": allowed_failures}) as cluster:
        with distributed.Client(cluster) as client:
            victim = next(iter(client.run(os.getpid).values()))
        progress = _KillOnFirstPart(victim)
        try:
            result = counting_dask.count(editor, [str(path)], cluster.scheduler_address, progress, block_size=8192)
        except CliError as exc:
            assert allowed_failures == 0 and "a Dask worker died counting it, 1 time in all" in str(exc)
        else:
            assert result.counts == expected
        assert progress.killed
