#!/usr/bin/env python3
"""Times several builds of kadrix (or one build run several ways) on the
same data, alternately, each measured run after an unmeasured one of the
same build, and reports each one's median wall time, its ratio to the
first, and its peak resident memory. The transcripts and the result
files of all of them are compared byte for byte as well.

  compare_runs.py --runs 7 --dir DIR/ --list LIST \\
      --build 'straightforward=build-straightforward/kadrix-straightforward' \\
      --build 'one core=taskset -c 0 build/kadrix' \\
      --build 'all cores=build/kadrix'

Only the program itself is timed: it is started straight from here, and a
command that begins with `taskset -c CPUS` is started with that CPU
affinity set as taskset would set it, without taskset's own start being
timed. The peak memory comes from the unmeasured run, which GNU time
starts.
"""
import argparse
import glob
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time


def cpu_list(text):
    """taskset's CPU list: "0", "0,2", "1-3"."""
    cpus = set()
    for part in text.split(","):
        first, _, last = part.partition("-")
        cpus.update(range(int(first), int(last or first) + 1))
    return cpus


def start(command, **kwargs):
    """Starts a command; `taskset -c CPUS ...` with that affinity, which the
    child inherits from this process at its start."""
    cpus = None
    if command[:2] == ["taskset", "-c"]:
        cpus, command = cpu_list(command[2]), command[3:]
    own = os.sched_getaffinity(0)
    if cpus is not None:
        os.sched_setaffinity(0, cpus)
    try:
        return subprocess.Popen(command, **kwargs)
    finally:
        if cpus is not None:
            os.sched_setaffinity(0, own)


def peak_of(command, directory, list_path):
    """Runs one build under GNU time; returns its peak resident KiB. GNU
    time reports the child's own peak: a child forked from this interpreter
    would count the interpreter's pages in it."""
    with tempfile.NamedTemporaryFile("r") as peak:
        if start(["/usr/bin/time", "-q", "-f", "%M", "-o", peak.name, *command, directory, list_path],
                 stdout=subprocess.DEVNULL).wait() != 0:
            raise RuntimeError(f"{' '.join(command)} failed")
        return int(peak.read().split()[-1])


def run(command, directory, list_path):
    """Runs one build; returns (seconds, transcript). The transcript goes to
    a file, not a pipe, so that no reader competes with the run for a core."""
    with tempfile.TemporaryFile() as out:
        begin = time.perf_counter()
        process = start(command + [directory, list_path], stdout=out)
        status = process.wait()
        seconds = time.perf_counter() - begin
        if status != 0:
            raise RuntimeError(f"{' '.join(command)} exited with {status}")
        out.seek(0)
        return seconds, out.read()


def results(directory):
    return {os.path.basename(p): open(p, "rb").read()
            for p in sorted(glob.glob(directory + "*SR.BMP") + glob.glob(directory + "*SS.BMP"))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--build", action="append", required=True, metavar="NAME=COMMAND")
    parser.add_argument("--dir", required=True)
    parser.add_argument("--list", required=True)
    args = parser.parse_args()

    builds = []
    for option in args.build:
        name, _, command = option.partition("=")
        builds.append((name, shlex.split(command)))
    times = {name: [] for name, _ in builds}
    peaks = {name: 0 for name, _ in builds}
    outputs = {}
    for round_number in range(args.runs):
        # Each round starts with another build, so that none always runs
        # right after the same one.
        shift = round_number % len(builds)
        for name, command in builds[shift:] + builds[:shift]:
            # A run right after another program's pays for memory that
            # program gave back (a virtual machine's host takes freed pages
            # away); one unmeasured run of the same build goes first.
            peak = peak_of(command, args.dir, args.list)
            # The result files of the runs before are still being written
            # to disk; that work would take a core from the measured run.
            os.sync()
            seconds, transcript = run(command, args.dir, args.list)
            times[name].append(seconds)
            peaks[name] = max(peaks[name], peak)
            outputs[name] = (transcript, results(args.dir))

    first = builds[0][0]
    if not outputs[first][1]:
        print("no result files were written: check the data directory and list", file=sys.stderr)
        return 1
    same = all(outputs[name] == outputs[first] for name, _ in builds)
    base = statistics.median(times[first])
    print(f"runs each, alternated: {args.runs}")
    width = max(len(name) for name, _ in builds)
    for name, _ in builds:
        median = statistics.median(times[name])
        print(f"{name:<{width}}  median {median * 1000:8.1f} ms  {base / median:6.2f} x {first}"
              f"  peak {peaks[name] / 1024:8.1f} MiB")
    print(f"identical output: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
