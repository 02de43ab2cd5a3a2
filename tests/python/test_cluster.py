"""Shots on a real Dask cluster on this machine: a scheduler and two workers (one thread each),
started here as processes of their own, against the telvix command's own output.

Outputs are compared byte for byte: the command writes the same file for any number of jobs,
threads or machines, so a cluster's frames must be those files exactly.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import COMMAND, FRAMES, SAMPLES, run_command

import distributed  # noqa: E402  (installed with the other test dependencies)
import telvix  # noqa: E402
import telvix.cluster  # noqa: E402

SMALL = [SAMPLES / "cel_small.png"] + sorted((FRAMES / "small").glob("*.png"))
LARGE = [FRAMES / "h00_aliased.png", FRAMES / "h01_aliased.png", FRAMES / "h02_aliased.png"]
START_TIMEOUT = 60  # seconds for the scheduler and a worker to come up
RUN_TIMEOUT = 120  # seconds for any one run


def make_shot(folder, sources, count, name="shot"):
    """Frames 1..count of folder/name.####.png, cycling through `sources` (hard links)."""
    folder.mkdir(parents=True, exist_ok=True)
    for number in range(1, count + 1):
        target = folder / "{}.{:04d}.png".format(name, number)
        try:
            os.link(sources[(number - 1) % len(sources)], target)
        except OSError:
            shutil.copyfile(sources[(number - 1) % len(sources)], target)
    return str(folder / (name + ".####.png"))


def outputs(folder):
    """name -> bytes of every file in `folder`, hidden files included."""
    return {p.name: p.read_bytes() for p in sorted(Path(folder).iterdir())}


def corrupt(path):
    """Cuts a frame's PNG in half (a broken link is replaced, not written through)."""
    data = Path(path).read_bytes()
    os.unlink(path)
    Path(path).write_bytes(data[: len(data) // 2])


class Cluster:
    """A scheduler and workers on 127.0.0.1, each in a process group of its own."""

    def __init__(self, folder):
        self.folder = folder
        self.scheduler_file = str(folder / "scheduler.json")
        self.processes = []
        self.workers = []
        self.scheduler = self._start("scheduler", "distributed.cli.dask_scheduler",
                                     "--host", "127.0.0.1", "--port", "0")
        deadline = time.monotonic() + START_TIMEOUT
        while not os.path.exists(self.scheduler_file):
            assert self.scheduler.poll() is None, self._log("scheduler")
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        self.client = distributed.Client(scheduler_file=self.scheduler_file,
                                         timeout=START_TIMEOUT)
        self.address = self.client.scheduler.address

    def _start(self, name, module, *args):
        log = open(self.folder / (name + ".log"), "wb")
        process = subprocess.Popen(
            [sys.executable, "-m", module, "--scheduler-file", self.scheduler_file,
             "--no-dashboard", *args],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True, env=dict(os.environ))
        log.close()
        self.processes.append(process)
        return process

    def _log(self, name):
        return (self.folder / (name + ".log")).read_text(errors="replace")[-2000:]

    def ensure_workers(self, count=2):
        """Starts workers until `count` run, and waits for all to be registered."""
        self.workers = [w for w in self.workers if w.poll() is None]
        while len(self.workers) < count:
            name = "worker{}".format(len(self.processes))
            self.workers.append(self._start(name, "distributed.cli.dask_worker",
                                            "--nthreads", "1", "--host", "127.0.0.1"))
        self.client.wait_for_workers(count, timeout=START_TIMEOUT)
        deadline = time.monotonic() + START_TIMEOUT
        while len(self.client.scheduler_info()["workers"]) != count:
            assert time.monotonic() < deadline, "workers did not settle"
            time.sleep(0.1)

    def kill(self, process):
        """SIGKILL to the process group (a worker's nanny and the worker it runs). The worker,
        orphaned, is left for init to reap, as on a farm machine: until then it is a zombie,
        which the next run must already count as gone."""
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(timeout=10)

    def close(self):
        try:
            self.client.close(timeout=10)
        except Exception:
            pass
        for process in self.processes:
            self.kill(process)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    started = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield started
    finally:
        started.close()


@pytest.fixture
def client(cluster):
    cluster.ensure_workers(2)
    return cluster.client


def test_shot_matches_the_command(client, tmp_path):
    """60 frames in chunks of 7 on two workers: every file is the command's, byte for byte."""
    shot = make_shot(tmp_path / "plates", SMALL, 60)
    run_command("smooth", shot, tmp_path / "ref" / "shot.####.png", "--jobs", "1", "-q")
    seen = []
    summary = telvix.cluster.smooth_shot(client, shot, str(tmp_path / "out" / "shot.####.png"),
                                         chunk=7, progress=lambda done, total: seen.append(
                                             (done, total)))
    assert summary.ok and summary.planned == 60 and len(summary.done) == 60
    assert [f.number for f in summary.frames] == list(range(1, 61))
    assert len(seen) == 9 and seen[-1] == (60, 60)
    assert outputs(tmp_path / "out") == outputs(tmp_path / "ref")

    # Run again: every frame exists whole and is skipped.
    again = telvix.cluster.smooth_shot(client, shot, str(tmp_path / "out" / "shot.####.png"),
                                       frames="1-60", chunk=25)
    assert again.ok and len(again.skipped) == 60


def test_a_worker_killed_mid_shot(cluster, client, tmp_path):
    """A worker SIGKILLed while it smooths a chunk: its chunk runs again on the other worker,
    every frame ends up whole and identical, and no temporary file is left."""
    count = 30
    shot = make_shot(tmp_path / "plates", LARGE, count)
    ref = tmp_path / "ref"
    run_command("smooth", shot, ref / "shot.####.png", "--frames", "1-3", "-q")
    killed = []

    def progress(done, total):
        # Two chunks ended: kill the group of a worker that the scheduler says is running one.
        if done < 4 or killed:
            return
        busy = [address for address, keys in client.processing().items() if keys]
        assert busy, "no worker is running a chunk"
        pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
        victim = next(w for w in cluster.workers if w.pid == os.getpgid(pid))
        cluster.kill(victim)
        killed.append(done)

    started = time.monotonic()
    summary = telvix.cluster.smooth_shot(client, shot, str(tmp_path / "out" / "shot.####.png"),
                                         chunk=2, progress=progress)
    assert killed and killed[0] < count, "the worker was not killed in the middle"
    assert time.monotonic() - started < RUN_TIMEOUT
    assert summary.ok, [f.error for f in summary.failed]
    assert len(summary.done) + len(summary.skipped) == count
    files = outputs(tmp_path / "out")
    assert sorted(files) == ["shot.{:04d}.png".format(n) for n in range(1, count + 1)], \
        "temporary or missing files: {}".format(sorted(files))
    for number in range(1, count + 1):
        expected = (ref / "shot.{:04d}.png".format((number - 1) % 3 + 1)).read_bytes()
        assert files["shot.{:04d}.png".format(number)] == expected, number


def test_a_corrupt_frame_fails_alone(client, tmp_path):
    """A cut-off frame is reported failed with the reader's reason; the others are written."""
    shot = make_shot(tmp_path / "plates", SMALL, 12)
    corrupt(tmp_path / "plates" / "shot.0005.png")
    summary = telvix.cluster.smooth_shot(client, shot, str(tmp_path / "out" / "shot.####.png"),
                                         frames=range(1, 14), chunk=4)
    assert not summary.ok and summary.planned == 13
    failed = {f.number: f.error for f in summary.failed}
    assert sorted(failed) == [5, 13]
    assert "shot.0005.png" in failed[5] and "\n" not in failed[5]
    assert failed[13] == "cannot read '{}': no such file".format(tmp_path / "plates" /
                                                                  "shot.0013.png")
    assert len(summary.done) == 11
    assert len(list((tmp_path / "out").iterdir())) == 11
    # Without a frame list a hole in the numbering on disk is no failure; the summary names it.
    os.unlink(tmp_path / "plates" / "shot.0007.png")
    again = telvix.cluster.smooth_shot(client, shot, str(tmp_path / "out" / "shot.####.png"))
    assert again.gaps == (7,) and [f.number for f in again.failed] == [5]


def test_chunks_the_cluster_gives_up_on(cluster, client, tmp_path, monkeypatch):
    """A chunk whose task raises, and one whose workers die on it until Dask gives up
    (KilledWorker): their frames fail with the reason in one line, the other chunks' frames are
    written. The tasks run functions pickled here by value."""
    shot = make_shot(tmp_path / "plates", SMALL, 6)
    smooth_chunk = telvix.cluster._smooth_chunk

    def doomed(src, dst, numbers, options):
        if 3 in numbers:
            raise RuntimeError("storage gone\nfor good")
        if 5 in numbers:
            os._exit(1)  # the worker dies; its nanny starts another
        return smooth_chunk(src, dst, numbers, options)

    monkeypatch.setattr(telvix.cluster, "_smooth_chunk", doomed)
    output = str(tmp_path / "out" / "shot.####.png")
    started = time.monotonic()
    summary = telvix.cluster.smooth_shot(client, shot, output, frames="1-4", chunk=2)
    assert [f.number for f in summary.done] == [1, 2], summary
    failed = {f.number: f.error for f in summary.failed}
    assert failed[3] == failed[4] == ("the chunk of frames 3-4 failed on the cluster: "
                                      "RuntimeError: storage gone; for good")
    assert all(f.host.startswith("tcp://127.0.0.1:") for f in summary.frames), summary
    assert summary.failed[0].input == str(tmp_path / "plates" / "shot.0003.png")
    assert summary.failed[0].output == str(tmp_path / "out" / "shot.0003.png")
    # A shot of its own: a worker that dies takes the chunks queued on it down with it, and a
    # healthy chunk could be given up beside the doomed one.
    summary = telvix.cluster.smooth_shot(client, shot, output, frames="5-6", chunk=2)
    failed = {f.number: f.error for f in summary.failed}
    assert failed[5] == failed[6] == ("the cluster gave up on the chunk of frames 5-6: the "
                                      "workers running it died")
    assert summary.failed[0].host.startswith("tcp://127.0.0.1:"), summary
    assert time.monotonic() - started < RUN_TIMEOUT


def test_shell_entry_interrupted(cluster, client, tmp_path):
    """Ctrl-C stops the shell entry with status 130 and one line; running it again completes
    the shot, leaving only whole frames."""
    count = 12
    shot = make_shot(tmp_path / "plates", LARGE, count)
    args = [sys.executable, "-m", "telvix.cluster", "--scheduler", cluster.address, shot,
            str(tmp_path / "out" / "shot.####.png"), "--chunk", "2"]
    running = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + RUN_TIMEOUT
    while not any(p.suffix == ".png" and not p.name.startswith(".")
                  for p in (tmp_path / "out").glob("*")):
        assert running.poll() is None, running.stderr.read()
        assert time.monotonic() < deadline, "no frame was written"
        time.sleep(0.05)
    running.send_signal(signal.SIGINT)
    _, stderr = running.communicate(timeout=RUN_TIMEOUT)
    assert running.returncode == 130, stderr
    assert stderr.splitlines()[-1].startswith("telvix: error: interrupted; "), stderr

    again = subprocess.run(args, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert again.returncode == 0, again.stderr
    # A chunk of the first run that was running on a worker may still be finishing a frame.
    expected = ["shot.{:04d}.png".format(n) for n in range(1, count + 1)]
    deadline = time.monotonic() + RUN_TIMEOUT
    while sorted(p.name for p in (tmp_path / "out").iterdir()) != expected:
        assert time.monotonic() < deadline, sorted((tmp_path / "out").iterdir())
        time.sleep(0.1)


def test_only_frame_patterns(client, tmp_path):
    make_shot(tmp_path / "plates", SMALL, 2)
    with pytest.raises(ValueError, match="not a frame pattern"):
        telvix.cluster.smooth_shot(client, str(tmp_path / "plates"), str(tmp_path / "out"))


def test_shell_entries(cluster, client, tmp_path):
    """python3 -m telvix.cluster and telvix smooth --scheduler, given paths relative to a
    folder that is not the workers': the same files, exit 0; a corrupt frame: exit 1 and its
    line."""
    make_shot(tmp_path / "plates", SMALL, 9)
    shot = "plates/shot.####.png"
    env = dict(os.environ)

    def runs(suffix):
        return {
            "module": [sys.executable, "-m", "telvix.cluster", "--scheduler", cluster.address,
                       shot, "module{}/shot.####.png".format(suffix), "--chunk", "4",
                       "--tolerance", "9"],
            "command": [COMMAND, "smooth", shot, "command{}/shot.%04d.png".format(suffix),
                        "--tolerance", "9", "--scheduler", cluster.address, "--chunk", "4"],
        }

    def run(args):
        return subprocess.run(args, capture_output=True, text=True, env=env, cwd=tmp_path,
                              timeout=RUN_TIMEOUT)

    for name, args in runs("").items():
        done = run(args)
        assert done.returncode == 0, (name, done.stderr)
        assert "9 frames written" in done.stderr, (name, done.stderr)
    assert outputs(tmp_path / "module") == outputs(tmp_path / "command")
    run_command("smooth", tmp_path / shot, tmp_path / "ref" / "shot.####.png", "--tolerance",
                "9", "-q")
    assert outputs(tmp_path / "module") == outputs(tmp_path / "ref")

    # Into new folders (existing outputs would be skipped), with frame 3 cut off.
    corrupt(tmp_path / "plates" / "shot.0003.png")
    for name, args in runs("2").items():
        done = run(args)
        assert done.returncode == 1, (name, done.stderr)
        lines = done.stderr.splitlines()
        assert any(line.startswith("telvix: error: frame 3: ") and
                   line.endswith(")") and "(worker tcp://127.0.0.1:" in line
                   for line in lines), lines
        assert lines[-1] == "telvix: error: 1 of 9 frames failed", lines

    usage = run(runs("3")["command"][:-2] + ["--chunk", "0"])
    assert usage.returncode == 2 and usage.stderr.startswith("telvix: error: --chunk")
    alone = run([COMMAND, "smooth", shot, "command3/shot.####.png", "--chunk", "4"])
    assert alone.returncode == 2 and "--chunk requires --scheduler" in alone.stderr


def read_report(path):
    """A --report file: its totals, and its frames by number."""
    report = json.loads(Path(path).read_text())
    statuses = [f["status"] for f in report["frames"]]
    for status in ("written", "skipped", "failed"):
        assert report[status] == statuses.count(status), report
    return report, {f["number"]: f for f in report["frames"]}


def test_reports_of_the_command_and_the_cluster(cluster, client, tmp_path):
    """--report of the command run here and of the cluster's shell entry: one layout, each
    frame as on disk, the failed one with its reason, and where each frame ran."""
    plates = tmp_path / "plates"
    shot = make_shot(plates, SMALL, 5)
    corrupt(plates / "shot.0004.png")
    first = plates / "shot.0001.png"
    kept = first.read_bytes()
    for refused in ([COMMAND, "smooth", shot, str(tmp_path / "x")],
                    [sys.executable, "-m", "telvix.cluster", "--scheduler", cluster.address,
                     shot, str(tmp_path / "x")]):
        done = subprocess.run(refused + ["--report", str(first)], capture_output=True,
                              errors="replace", timeout=RUN_TIMEOUT)
        assert done.returncode == 2 and "--report: " in done.stderr, done.stderr
    assert first.read_bytes() == kept and not (tmp_path / "x").exists()
    selection = ["--frames", "1-6", "--keep-going", "--report"]
    local = subprocess.run([COMMAND, "smooth", shot, str(tmp_path / "here" / "shot.####.png"),
                            *selection, str(tmp_path / "here.json")],
                           capture_output=True, errors="replace", timeout=RUN_TIMEOUT)
    remote = subprocess.run([sys.executable, "-m", "telvix.cluster", "--scheduler",
                             cluster.address, shot, str(tmp_path / "there" / "shot.####.png"),
                             *selection, str(tmp_path / "there.json"), "--chunk", "2"],
                            capture_output=True, errors="replace", timeout=RUN_TIMEOUT)
    assert local.returncode == remote.returncode == 1, (local.stderr, remote.stderr)
    here, here_frames = read_report(tmp_path / "here.json")
    there, there_frames = read_report(tmp_path / "there.json")
    assert list(here) == list(there) and here["planned"] == there["planned"] == 6
    assert (here["written"], here["failed"], here["interrupted"]) == (4, 2, False)
    for report, frames, folder in ((here, here_frames, "here"), (there, there_frames, "there")):
        assert sorted(frames) == list(range(1, 7))
        on_disk = sorted(p.name for p in (tmp_path / folder).iterdir())
        assert on_disk == [Path(f["output"]).name for f in report["frames"]
                           if f["status"] == "written"]
    for number in range(1, 7):
        a, b = here_frames[number], there_frames[number]
        assert list(a) == list(b)
        assert (a["status"], a["reason"], a["input"]) == (b["status"], b["reason"], b["input"])
        assert a["input"] == str(plates / "shot.{:04d}.png".format(number))
    assert "shot.0004.png" in here_frames[4]["reason"]
    assert here_frames[1]["host"] == socket.gethostname()
    assert there_frames[1]["host"].startswith("tcp://127.0.0.1:")
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]
    # A file name that is not UTF-8 is spelt in the command's report as Python reads it.
    odd = tmp_path / os.fsdecode(b"cel\xe9.png")
    shutil.copyfile(SMALL[0], odd)
    run_command("smooth", odd, tmp_path / "odd_out.png", "--report", tmp_path / "odd.json")
    assert read_report(tmp_path / "odd.json")[0]["frames"][0]["input"] == str(odd)


def lines_until_exit(process, timeout):
    """(seconds since start, line) of a process's stderr until it ends."""
    started, lines = time.monotonic(), []
    for line in process.stderr:
        lines.append((time.monotonic() - started, line.rstrip("\n")))
    process.wait(timeout=timeout)
    return lines


def test_no_worker_then_a_lost_scheduler(cluster, client, tmp_path):
    """A scheduler of its own: with no worker the shell entry says so at once and gives up at
    --wait-timeout; with one, the scheduler (and the worker) killed mid-shot end it with one
    line, and the report counts exactly the frames on disk. The cluster of the other tests
    then completes the shot."""
    count = 10
    shot = make_shot(tmp_path / "plates", LARGE, count)
    out = tmp_path / "out"
    (tmp_path / "own").mkdir()
    own = Cluster(tmp_path / "own")
    try:
        args = [sys.executable, "-m", "telvix.cluster", "--scheduler", own.address, shot,
                str(out / "shot.####.png"), "--chunk", "2", "--report",
                str(tmp_path / "report.json")]
        waiting = subprocess.Popen(args + ["--wait-timeout", "4"], stderr=subprocess.PIPE,
                                   text=True)
        lines = lines_until_exit(waiting, RUN_TIMEOUT)
        assert waiting.returncode == 1, lines
        assert len(lines) == 2, lines
        assert lines[0][1].startswith("telvix: waiting for a worker at " + own.address)
        assert lines[0][0] < 10, lines
        assert lines[1][1].startswith("telvix: error: no worker joined the scheduler "), lines
        report, _ = read_report(tmp_path / "report.json")
        assert report["interrupted"] and report["frames"] == [] and report["planned"] == count

        own.ensure_workers(1)
        running = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + RUN_TIMEOUT
        while len(list(out.glob("shot.*.png"))) < 3:
            assert running.poll() is None, running.stderr.read()
            assert time.monotonic() < deadline, "no frame was written"
            time.sleep(0.05)
        for process in own.workers + [own.scheduler]:
            own.kill(process)
        _, stderr = running.communicate(timeout=RUN_TIMEOUT)
    finally:
        own.close()
    assert running.returncode == 1, stderr
    assert stderr.startswith("telvix: error: lost the scheduler " + own.address), stderr
    assert len(stderr.splitlines()) == 1, stderr
    report, frames = read_report(tmp_path / "report.json")
    assert report["interrupted"] and report["failed"] == 0
    whole = sorted(int(p.name.split(".")[1]) for p in out.glob("shot.*.png")
                   if telvix._telvix.is_complete(str(p)))
    assert 3 <= len(whole) < count and sorted(frames) == whole, (whole, report)

    again = subprocess.run([a.replace(own.address, cluster.address) for a in args],
                           capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert again.returncode == 0, again.stderr
    report, frames = read_report(tmp_path / "report.json")
    assert report["skipped"] == len(whole) and report["written"] == count - len(whole)
    assert all(telvix._telvix.is_complete(str(out / "shot.{:04d}.png".format(n)))
               for n in range(1, count + 1))
