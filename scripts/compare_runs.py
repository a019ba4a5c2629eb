#!/usr/bin/env python3
"""Times several builds of kadrix (or one build run several ways) on the
same data, alternately, each measured run after an unmeasured one of the
same build, and reports each one's median wall time, its ratio to the
first, and its peak resident memory. The transcripts and the result
files of all of them are compared byte for byte as well.

  compare_runs.py --runs 7 --dir DIR/ --list LIST \\
      --build 'straightforward=build-straightforward/kadrix-straightforward' \\
      --build 'all cores=build/kadrix'
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


def run(command, directory, list_path):
    """Runs one build; returns (seconds, peak KiB, transcript). The transcript
    goes to a file, not a pipe, so that no reader competes with the run for a
    core. GNU time starts it and reports its peak: a child forked from this
    interpreter would count the interpreter's pages in its peak."""
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", peak.name, *command, directory, list_path],
                       stdout=out, check=True)
        seconds = time.perf_counter() - start
        out.seek(0)
        return seconds, int(peak.read().split()[-1]), out.read()


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
            run(command, args.dir, args.list)
            # The result files of the runs before are still being written
            # to disk; that work would take a core from the measured run.
            os.sync()
            seconds, peak, transcript = run(command, args.dir, args.list)
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
