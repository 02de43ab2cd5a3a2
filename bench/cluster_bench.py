#!/usr/bin/python3
"""The cluster benchmark: a 1920x1080 8-bit PNG shot through telvix.cluster.smooth_shot on a
local Dask cluster (a scheduler and WORKERS workers of one thread each, started here), against
the same shot through `telvix smooth` (default jobs) on the same machine.

Usage: /usr/bin/python3 bench/cluster_bench.py [--build build] [--frames 100] [--rounds 3]
                                               [--chunk 10] [--workers 2] [--jobs N]

Rounds are interleaved (command, smooth_shot, telvix smooth --scheduler, then again), each into a
fresh output folder with the page cache warm; the cluster is started once, before the rounds,
and its start-up is reported apart, as a cluster outlives the shots it runs. The first round's
cluster outputs are checked byte for byte against the command's.
"""

import argparse
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(REPO / "build"))
    parser.add_argument("--frames", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--chunk", type=int, default=10)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--jobs", type=int, default=None,
                        help="frames each chunk runs at once (default: smooth_shot's)")
    args = parser.parse_args()

    build = Path(args.build).resolve()
    command = build / "cli" / "telvix"
    if not command.exists():
        sys.exit("build {} first (cmake --build {} --target telvix telvix_python)".format(
            command, build))
    sys.path.insert(0, str(build / "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(build / "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                                   if p])
    import distributed
    import telvix.cluster

    work = Path(tempfile.mkdtemp(prefix="telvix-cluster-bench-"))
    processes = []
    try:
        sources = [REPO / "tests" / "frames" / "h0{}_aliased.png".format(i) for i in range(3)]
        (work / "in").mkdir()
        for number in range(1, args.frames + 1):
            os.link(sources[(number - 1) % 3], work / "in" / "shot.{:04d}.png".format(number))
        shot = str(work / "in" / "shot.####.png")
        for path in (work / "in").iterdir():
            path.read_bytes()

        started = time.perf_counter()
        scheduler_file = str(work / "scheduler.json")

        def start(module, *more):
            process = subprocess.Popen(
                [sys.executable, "-m", module, "--scheduler-file", scheduler_file,
                 "--no-dashboard", "--host", "127.0.0.1", *more],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            processes.append(process)

        start("distributed.cli.dask_scheduler", "--port", "0")
        while not os.path.exists(scheduler_file):
            time.sleep(0.05)
        for _ in range(args.workers):
            start("distributed.cli.dask_worker", "--nthreads", "1")
        client = distributed.Client(scheduler_file=scheduler_file, timeout=60)
        client.wait_for_workers(args.workers, timeout=60)
        start_up = time.perf_counter() - started
        address = client.scheduler.address

        def fresh(name):
            folder = work / name
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            return folder

        # CPU seconds of the scheduler's and workers' processes (all their threads), of this
        # process and of its finished children: less sensitive than wall time to other work on
        # a shared machine.
        pids = list(client.run(os.getpid).values()) + [client.run_on_scheduler(os.getpid)]
        tick = os.sysconf("SC_CLK_TCK")

        def cpu_seconds():
            total = 0.0
            for pid in pids:
                fields = Path("/proc/{}/stat".format(pid)).read_text().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / tick
            for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
                usage = resource.getrusage(who)
                total += usage.ru_utime + usage.ru_stime
            return total

        cpu = {"command": [], "smooth_shot": [], "--scheduler": []}

        def timed(run, name):
            began, began_cpu = time.perf_counter(), cpu_seconds()
            run()
            cpu[name].append(cpu_seconds() - began_cpu)
            return time.perf_counter() - began

        options = {} if args.jobs is None else {"jobs": args.jobs}
        times = {"command": [], "smooth_shot": [], "--scheduler": []}
        for round_number in range(args.rounds):
            out = fresh("command")
            times["command"].append(timed(lambda: subprocess.run(
                [str(command), "smooth", shot, str(out / "shot.####.png"), "--quiet"],
                check=True), "command"))
            out_cluster = fresh("cluster")

            def shot_run():
                summary = telvix.cluster.smooth_shot(client, shot,
                                                     str(out_cluster / "shot.####.png"),
                                                     chunk=args.chunk, **options)
                assert summary.ok, summary

            times["smooth_shot"].append(timed(shot_run, "smooth_shot"))
            if round_number == 0:
                for path in sorted(out.iterdir()):
                    assert (out_cluster / path.name).read_bytes() == path.read_bytes(), path.name
            out_shell = fresh("shell")
            extra = [] if args.jobs is None else ["--jobs", str(args.jobs)]
            times["--scheduler"].append(timed(lambda: subprocess.run(
                [str(command), "smooth", shot, str(out_shell / "shot.####.png"), "--quiet",
                 "--scheduler", address, "--chunk", str(args.chunk), *extra], check=True), "--scheduler"))
            print("round {}: ".format(round_number + 1) + ", ".join(
                "{} {:.2f} s ({:.2f} s CPU)".format(name, values[-1], cpu[name][-1])
                for name, values in times.items()), flush=True)

        base = statistics.median(times["command"])
        print("\n{} frames 1920x1080 RGBA 8-bit, {} workers x 1 thread, chunk {}, jobs {}; "
              "{} cores; cluster start-up {:.1f} s (not counted)".format(
                  args.frames, args.workers, args.chunk,
                  "default" if args.jobs is None else args.jobs, os.cpu_count(), start_up))
        base_cpu = statistics.median(cpu["command"])
        print("| run | wall median | wall best | frames/s (median) | wall over the command "
              "| CPU median | CPU over the command |")
        print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
        for name, values in times.items():
            median, median_cpu = statistics.median(values), statistics.median(cpu[name])
            print("| {} | {:.2f} s | {:.2f} s | {:.2f} | {:+.1f} % | {:.2f} s | {:+.1f} % |"
                  .format(name, median, min(values), args.frames / median,
                          (median / base - 1) * 100, median_cpu,
                          (median_cpu / base_cpu - 1) * 100))
        client.close()
    finally:
        for process in processes:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
