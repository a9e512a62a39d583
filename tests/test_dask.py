"""Scans spread over a Dask cluster: a real LocalCluster of two worker
processes gives the same reports as a local run, also when a worker is
killed mid-run; the command's --dask option, and its errors."""

import gzip
import json
import os
import pathlib
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip(
    "distributed", reason="needs the dask extra: pip install 'ravick[dask]'"
)

from descriptors import googleapis_descriptors, wkt_descriptors
from ravick.distributed import (
    ClusterError,
    ClusterUnavailable,
    dask_executor,
)
from ravick.extracting import extract
from ravick.inputs import find_in_paths
from ravick.reporting import Summary, document
from ravick.workers import ScanLost

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEBIAN_LIBS = ROOT / "build" / "binaries" / "root" / "usr" / "lib"
MADE = 120


class RemovesOnStart:
    """A progress receiver that deletes one file once the inputs are
    gathered, so that the worker given it finds it gone."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path

    def started(self, files, total_bytes):
        self.path.unlink()

    def advanced(self, report):
        pass

    def finished(self):
        pass


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Real binaries when fetched, and files of random bytes holding real
    descriptors, plain and as gzip-compressed copies; dangling symlinks, one
    met in the walk and one named."""
    top = tmp_path_factory.mktemp("corpus")
    tree = top / "tree"
    rng = random.Random(5)
    blobs = wkt_descriptors() + googleapis_descriptors()
    made = tree / "made"
    made.mkdir(parents=True)
    for i in range(MADE):
        parts = []
        for blob in rng.sample(blobs, rng.randrange(0, 6)):
            parts += [rng.randbytes(rng.randrange(4000)), blob, b"\x00"]
        data = b"".join(parts) + rng.randbytes(rng.randrange(2000))
        (made / f"{i:03}.bin").write_bytes(data)
        if i % 4 == 0:
            (made / f"{i:03}.bin.gz").write_bytes(gzip.compress(data, mtime=0))
    (made / "empty").write_bytes(b"")
    if DEBIAN_LIBS.is_dir():
        libs = tree / "libs"
        libs.mkdir()
        for path in DEBIAN_LIBS.rglob("*"):
            if path.is_file() and not path.is_symlink():
                # Copied, not linked: a fetch running meanwhile rewrites them.
                shutil.copyfile(path, libs / path.name)
    (tree / "dangling").symlink_to(top / "nowhere")
    (top / "dangling").symlink_to(top / "nowhere")
    return top


@pytest.fixture(scope="module")
def cluster():
    with dask_executor("local", workers=2) as executor:
        yield executor


def scan(corpus, executor, each=lambda index: None):
    """The JSON document of a run over the corpus (without its timing) and
    the bytes of every descriptor; one file vanishes after gathering."""
    vanishing = corpus / "tree" / "vanishing"
    vanishing.write_bytes(wkt_descriptors()[0])
    paths = [str(corpus / "tree"), str(corpus / "dangling")]
    run = find_in_paths(
        paths, executor=executor, workers=1, progress=RemovesOnStart(vanishing)
    )
    reports = []
    for report in run:
        each(len(reports))
        reports.append(report)
    doc = document(reports, Summary())
    doc["summary"].pop("seconds")
    return doc, [[f.data for f in r.found] for r in reports]


@pytest.fixture(scope="module")
def local(corpus):
    return scan(corpus, None)


def test_corpus_has_what_the_comparison_needs(local):
    doc, _ = local
    summary = doc["summary"]
    assert summary["files"] > 100
    assert summary["compressed"] > 10
    assert summary["errors"] == 2
    errors = {pathlib.Path(f["path"]).name: f["error"] for f in doc["files"]}
    assert errors["vanishing"] == errors["dangling"] == "No such file or directory"


def test_cluster_run_is_identical(cluster, corpus, local):
    assert scan(corpus, cluster) == local


def test_cluster_keeps_no_results(cluster, corpus):
    client = cluster.client
    held = []
    for _ in find_in_paths([str(corpus / "tree")], executor=cluster):
        held.append(len(client.futures))
    assert len(held) > 100
    assert max(held) < len(held) // 2
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and remaining_tasks(client):
        time.sleep(0.05)
    assert remaining_tasks(client) == 0


def remaining_tasks(client):
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def test_extracted_tree_is_identical(cluster, corpus, tmp_path):
    trees = []
    for name, executor in [("local", None), ("cluster", cluster)]:
        out = tmp_path / name
        extract([str(corpus / "tree" / "made")], str(out), executor=executor, workers=1)
        trees.append(tree(out))
    assert len(trees[0]) > 10
    assert trees[0] == trees[1]


def test_worker_killed_mid_run_changes_nothing(cluster, corpus, local):
    client = cluster.client
    pids = client.run(os.getpid)
    killed = {}

    def kill_a_busy_worker(index):
        if killed or index < 3:
            return
        busy = [(w, keys) for w, keys in client.processing().items() if keys]
        if busy:
            worker, keys = busy[0]
            os.kill(pids[worker], signal.SIGKILL)
            killed[pids[worker]] = keys

    assert scan(corpus, cluster, kill_a_busy_worker) == local
    assert killed, "the run ended before a worker could be killed"
    [(pid, keys)] = killed.items()
    # What the dead worker held was given to a worker again.
    assert any(processing_count(client, key) > 1 for key in keys)
    client.wait_for_workers(2, timeout=60)
    assert pid not in client.run(os.getpid).values()


def processing_count(client, key):
    return sum(1 for entry in client.story(key) if entry[2] == "processing")


def test_lost_tasks_are_a_cluster_error(cluster):
    def die():
        os.kill(os.getpid(), signal.SIGKILL)

    with pytest.raises(ClusterError, match="died") as lost:
        cluster.submit(die).result(timeout=120)
    assert isinstance(lost.value, ScanLost)
    cluster.client.wait_for_workers(2, timeout=60)


@pytest.mark.parametrize("truncate", [True, False])
def test_a_file_that_changed_as_every_worker_died_on_it_is_reported(
    cluster, tmp_path, truncate
):
    from distributed import WorkerPlugin

    mark = b"KILL-ME"

    class KillsOnMarkedFiles(WorkerPlugin):
        """Makes every worker, restarted ones too, die when it scans a file
        starting with ``mark``, cutting the file short first if told to."""

        name = "kills-on-marked-files"

        def setup(self, worker):
            from ravick import inputs

            original = inputs.scan_target

            def scan_target(target, *args, **kwargs):
                with open(target.path, "rb") as f:
                    if f.read(len(mark)) == mark:
                        if truncate:
                            os.truncate(target.path, 100)
                        os.kill(os.getpid(), signal.SIGKILL)
                return original(target, *args, **kwargs)

            inputs.scan_target = scan_target

    client = cluster.client
    (tmp_path / "victim.bin").write_bytes(mark.ljust(5000, b"-"))
    client.register_plugin(KillsOnMarkedFiles())
    try:
        if not truncate:  # which file killed the workers is not known
            with pytest.raises(ClusterError, match="died"):
                list(find_in_paths([str(tmp_path)], executor=cluster))
            return
        (report,) = find_in_paths([str(tmp_path)], executor=cluster)
    finally:
        client.unregister_worker_plugin(KillsOnMarkedFiles.name)
        client.restart()
    assert report.error == "changed while it was scanned (5000 bytes, now 100)"
    assert report.found == ()


@pytest.mark.parametrize(
    ("address", "message"),
    [
        ("no-port", "missing port number"),
        ("127.0.0.1:1", "Timed out trying to connect"),
        ("nonsense://x:1", "unknown address scheme"),
    ],
)
def test_unreachable_scheduler(address, message):
    started = time.monotonic()
    with (
        pytest.raises(ClusterUnavailable, match=message),
        dask_executor(address, timeout=1),
    ):
        pass
    assert time.monotonic() - started < 10


def ravick(*args, env=None):
    proc = subprocess.run(
        [sys.executable, *args],
        capture_output=True,
        text=True,
        timeout=180,
        env=env,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


def command_result(command, paths, out, *options):
    """The exit status and what a command made: the JSON document of
    ``scan`` (without its timing), the tree ``extract`` wrote."""
    if command == "scan":
        proc = ravick("-m", "ravick", "scan", "--json", *options, *paths)
        doc = json.loads(proc.stdout)
        doc["summary"].pop("seconds")
        return proc.returncode, doc
    proc = ravick("-m", "ravick", "extract", "-o", str(out), *options, *paths)
    return proc.returncode, tree(out)


def tree(top):
    return {p.relative_to(top): p.read_bytes() for p in top.rglob("*") if p.is_file()}


@pytest.mark.parametrize("command", ["scan", "extract"])
def test_command_dask_local_matches_local_run(command, corpus, tmp_path):
    paths = [str(corpus / "tree"), str(corpus / "dangling")]
    local = command_result(command, paths, tmp_path / "local")
    cluster = command_result(
        command, paths, tmp_path / "cluster", "--dask", "local", "-j", "2"
    )
    assert local[0] == cluster[0] == 1  # the dangling symlink
    assert local[1] == cluster[1]


BLOCKED = "import sys; sys.modules['distributed'] = None; "


@pytest.mark.parametrize(
    ("code", "status", "message"),
    [
        (
            BLOCKED + "from ravick.cli import main; "
            "sys.exit(main(['scan', '--dask', 'local', '.']))",
            2,
            "argument --dask: needs the dask extra: pip install 'ravick[dask]'",
        ),
        (
            "from ravick.cli import main; "
            "sys.exit(main(['scan', '--dask', 'no-port', '.']))",
            2,
            "ravick: cannot reach a Dask scheduler at 'no-port'",
        ),
        (
            "from ravick.cli import main; "
            "sys.exit(main(['scan', '--dask', 'local', '-']))",
            2,
            "ravick: standard input cannot be scanned with --dask",
        ),
    ],
    ids=["missing-extra", "bad-address", "stdin"],
)
def test_command_errors(code, status, message):
    proc = subprocess.run(
        [sys.executable, "-c", "import sys; " + code],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    assert proc.returncode == status
    assert message in proc.stderr


def test_library_without_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with (
        pytest.raises(ClusterUnavailable, match=r"pip install 'ravick\[dask\]'"),
        dask_executor("local"),
    ):
        pass
