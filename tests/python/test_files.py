"""telvix.smooth_file and telvix.smooth_sequence: the command's files, summaries of what was
done, progress, resuming, failures reported not raised, and Ctrl-C."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import telvix
from conftest import FRAMES, SAMPLES, run_command


def shot(folder, count, source=SAMPLES / "cel_small.png", first=1):
    folder.mkdir(parents=True, exist_ok=True)
    for number in range(first, first + count):
        shutil.copyfile(source, folder / f"shot.{number:04d}.png")
    return str(folder / "shot.####.png")


def leftovers(folder):
    """Hidden files: the temporary files a run writes before renaming them into place."""
    return [p.name for p in Path(folder).iterdir() if p.name.startswith(".")]


def test_smooth_file_writes_the_commands_file(tmp_path):
    for name in ("h02_aliased.png", "h02_aliased16.png"):
        run_command("smooth", FRAMES / name, tmp_path / "command.png", "--key", "FFFFFF")
        summary = telvix.smooth_file(FRAMES / name, tmp_path / "module.png", key="FFFFFF")
        assert summary.ok and [f.status for f in summary.frames] == ["written"]
        assert (tmp_path / "module.png").read_bytes() == (tmp_path / "command.png").read_bytes()


def test_smooth_file_failures_raise_and_touch_nothing(tmp_path):
    source = tmp_path / "in.png"
    shutil.copyfile(SAMPLES / "cel_small.png", source)
    before = source.read_bytes()
    with pytest.raises(ValueError, match="same file"):
        telvix.smooth_file(source, tmp_path / "." / "in.png")
    assert source.read_bytes() == before
    with pytest.raises(telvix.FileError, match="cannot read") as missing:
        telvix.smooth_file(tmp_path / "none.png", tmp_path / "out.png")
    assert "\n" not in str(missing.value)
    cut = tmp_path / "cut.png"
    cut.write_bytes(before[:len(before) // 2])
    with pytest.raises(telvix.FileError):
        telvix.smooth_file(cut, tmp_path / "out.png")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cut.png", "in.png"]


def test_sequence_summary_progress_and_resume(tmp_path):
    source = shot(tmp_path / "in", 6)
    output = str(tmp_path / "out" / "shot.%04d.png")
    seen = []
    summary = telvix.smooth_sequence(source, output, progress=lambda f, done, total:
                                     seen.append((f.number, f.status, done, total)))
    assert summary.ok and len(summary.done) == 6 and summary.planned == 6
    assert sorted(n for n, _, _, _ in seen) == list(range(1, 7))
    assert [done for _, _, done, _ in seen] == list(range(1, 7))
    assert {total for _, _, _, total in seen} == {6}
    run_command("smooth", source, tmp_path / "command" / "shot.####.png")
    for number in range(1, 7):
        name = f"shot.{number:04d}.png"
        assert (tmp_path / "out" / name).read_bytes() == \
            (tmp_path / "command" / name).read_bytes()

    # Resuming: complete outputs are skipped; one cut short is written again.
    cut = tmp_path / "out" / "shot.0003.png"
    cut.write_bytes(cut.read_bytes()[:100])
    again = telvix.smooth_sequence(source, output, skip_existing=True, frames=[2, 3, 4])
    assert [(f.number, f.status) for f in again.frames] == \
        [(2, "skipped"), (3, "written"), (4, "skipped")]


def test_failed_and_missing_frames_are_reported_not_raised(tmp_path):
    source = shot(tmp_path / "in", 5)
    (tmp_path / "in" / "shot.0002.png").write_bytes(b"\x89PNG\r\n\x1a\n not a picture")
    output = str(tmp_path / "out" / "shot.####.png")
    summary = telvix.smooth_sequence(source, output, frames="1-6", keep_going=True, jobs=2)
    assert not summary.ok and summary.planned == 6
    assert [f.number for f in summary.done] == [1, 3, 4, 5]
    failed = {f.number: f.error for f in summary.failed}
    assert set(failed) == {2, 6} and "no such file" in failed[6]
    assert all("\n" not in reason for reason in failed.values())
    assert str(summary).startswith("4 of 6 frames written, 2 failed")
    # Without keep_going, frames asked for but missing refuse the whole run up front.
    with pytest.raises(telvix.FileError, match="frame 6 of .* is missing"):
        telvix.smooth_sequence(source, output, frames="1-6")
    # Holes in the numbering found on disk are not failures, but the summary names them.
    holes = telvix.smooth_sequence(source, str(tmp_path / "holes" / "s.####.png"),
                                   keep_going=True)
    assert holes.gaps == () and len(holes.failed) == 1
    (tmp_path / "in" / "shot.0004.png").unlink()
    assert telvix.smooth_sequence(source, str(tmp_path / "holes2" / "s.####.png"),
                                  keep_going=True).gaps == (4,)


def test_bad_requests_raise_value_errors(tmp_path):
    source = shot(tmp_path / "in", 2)
    with pytest.raises(ValueError, match="--frames"):
        telvix.smooth_sequence(source, str(tmp_path / "o.####.png"), frames="9-1")
    with pytest.raises(ValueError, match="--jobs"):
        telvix.smooth_sequence(source, str(tmp_path / "o.####.png"), jobs=-1)
    with pytest.raises(ValueError):
        telvix.smooth_sequence(source, source)
    assert not list(tmp_path.glob("o.*"))


def _file(folder, src=None, **options):
    telvix.smooth_file(folder / "none.png" if src is None else src, folder / "out.png", **options)


def _sequence(folder, src=None, **options):
    telvix.smooth_sequence(str(folder / "none.####.png") if src is None else src,
                           str(folder / "out.####.png"), **options)


def _native(folder, progress=None, **options):
    telvix._telvix.run(telvix.plugin_path(), str(folder / "none.####.png"),
                       str(folder / "out.####.png"), True, options, progress)


# (option, value, error, message, calls it applies to: smooth_file, smooth_sequence, and the
# native run they share).
BAD_RUN_OPTIONS = [
    ("compression", 5, TypeError, "compression: expected str, got int", "fsn"),
    ("clip", "yes", TypeError, "clip: expected bool, got str", "fsn"),
    ("drop_alpha", 1, TypeError, "drop_alpha: expected bool, got int", "fsn"),
    ("skip_existing", None, TypeError, "skip_existing: expected bool, got NoneType", "fs"),
    ("tolerance", "6", TypeError, "tolerance: expected int, got str", "fsn"),
    ("threads", 2.0, TypeError, "threads: expected int, got float", "fsn"),
    ("depth", 12, ValueError, "--depth: 12 not in", "fsn"),
    ("key", 1.5, TypeError, "key: expected str or (r, g, b), got float", "fsn"),
    ("extent", (0, 0, "9", 9), TypeError, "extent: expected int, got str", "fsn"),
    ("src", 5, TypeError, "src: expected str or os.PathLike, got int", "f"),
    ("src", 5, TypeError, "src_pattern: expected str or os.PathLike, got int", "s"),
    ("keep_going", "no", TypeError, "keep_going: expected bool, got str", "sn"),
    ("jobs", "2", TypeError, "jobs: expected int, got str", "sn"),
    ("frames", [1, 2.5], TypeError, "frames: expected int, got float", "s"),
    ("frames", 7, TypeError, "frames: expected str or a sequence of int, got int", "s"),
    ("frames", [1, 2], TypeError, "frames: expected str, got list", "n"),
    ("progress", 5, TypeError, "progress: expected a callable or None, got int", "sn"),
]


@pytest.mark.parametrize("call,option,value,error,message",
                         [(call, *row[:4]) for row in BAD_RUN_OPTIONS for call in row[4]])
def test_bad_options_are_refused_before_any_file_is_read(tmp_path, call, option, value, error,
                                                         message):
    # The source does not exist: an option's error, not that, must be what is reported.
    run = {"f": _file, "s": _sequence, "n": _native}[call]
    with pytest.raises(error, match=re.escape(message)):
        run(tmp_path, **{option: value})
    assert list(tmp_path.iterdir()) == []


def test_an_exception_in_progress_stops_the_run_and_is_raised(tmp_path):
    source = shot(tmp_path / "in", 12)
    calls = []

    def progress(frame, done, total):
        calls.append(done)
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        telvix.smooth_sequence(source, str(tmp_path / "out" / "s.####.png"), progress=progress,
                               jobs=1)
    assert calls == [1]
    assert len(list((tmp_path / "out").glob("s.*.png"))) < 12
    assert leftovers(tmp_path / "out") == []
    # The stop does not outlive its run.
    assert telvix.smooth_sequence(source, str(tmp_path / "again" / "s.####.png")).ok


def test_ctrl_c_stops_a_sequence_and_leaves_no_partial_files(tmp_path):
    source = shot(tmp_path / "in", 40, FRAMES / "h00_aliased16.png")
    output = tmp_path / "out"
    script = (
        "import sys, telvix\n"
        "def progress(frame, done, total):\n"
        "    print(done, flush=True)\n"
        "try:\n"
        f"    telvix.smooth_sequence({source!r}, {str(output / 's.####.png')!r},"
        " jobs=1, progress=progress)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "    sys.exit(130)\n")
    run = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert run.stdout.readline().strip() == "1"
    run.send_signal(signal.SIGINT)
    started = time.monotonic()
    rest = run.communicate(timeout=60)[0]
    assert run.returncode == 130 and rest.strip().endswith("interrupted")
    assert time.monotonic() - started < 10
    written = list(output.glob("s.*.png"))
    assert 1 <= len(written) < 40 and leftovers(output) == []
    # What was written is whole: a resumed run skips it and writes the rest.
    resumed = telvix.smooth_sequence(source, str(output / "s.####.png"), skip_existing=True)
    assert resumed.ok and len(resumed.skipped) == len(written)


@pytest.mark.parametrize("call,signum", [("sequence", signal.SIGTERM),
                                         ("sequence", signal.SIGHUP), ("file", signal.SIGTERM)])
def test_sigterm_and_sighup_stop_a_run_as_they_stop_the_command(tmp_path, call, signum):
    source = shot(tmp_path / "in", 40, FRAMES / "h00_aliased16.png")
    output = tmp_path / "out"
    output.mkdir()
    if call == "sequence":
        run = (f"telvix.smooth_sequence({source!r}, {str(output / 's.####.png')!r}, jobs=1, "
               "progress=lambda frame, done, total: print(done, flush=True))")
    else:  # the signal comes from a thread of the script while the one file is smoothed
        run = ("threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGTERM)).start(); "
               f"telvix.smooth_file({str(FRAMES / 'u00_aliased.png')!r}, "
               f"{str(output / 's.png')!r}, threads=1)")
    script = (
        "import os, signal, sys, threading, telvix\n"
        "def mine(number, stack):\n"
        "    print('handler', number, flush=True)\n"
        f"signal.signal({int(signum)}, mine)\n"
        "try:\n"
        f"    {run}\n"
        "except telvix.Interrupted as stop:\n"
        "    print(stop.signal, len(stop.summary.done), stop.summary.interrupted, flush=True)\n"
        "    print(stop, flush=True)\n"
        f"assert signal.getsignal({int(signum)}) is mine\n"
        f"signal.raise_signal({int(signum)})\n")
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    if call == "sequence":
        assert process.stdout.readline().strip() == "1"
        process.send_signal(signum)
    started = time.monotonic()
    lines = process.communicate(timeout=60)[0].splitlines()
    assert process.returncode == 0 and time.monotonic() - started < 10
    number, done, interrupted = lines[-3].split()
    assert (int(number), interrupted) == (signum, "True")
    # The handler set before the call is back, and the frames written are whole and listed.
    assert lines[-1] == f"handler {int(signum)}" and leftovers(output) == []
    written = sorted(p.name for p in output.iterdir())
    assert len(written) == int(done)
    if call == "sequence":
        assert 1 <= len(written) < 40 and lines[-2].startswith(
            f"interrupted by {signal.Signals(signum).name}; {done} of 40 frames written")
    else:
        assert lines[-2] == "interrupted by SIGTERM; nothing written"
