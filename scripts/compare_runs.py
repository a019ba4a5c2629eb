#!/usr/bin/env python3
"""Times several builds of kadrix (or one build run several ways) on the
same data, alternately, and reports each one's median wall time, its ratio
to the first, and its peak resident memory. The transcripts and the result
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


def run(command, directory, list_path):
    """Runs one build in a child of its own; returns (seconds, peak KiB, stdout)."""
    # The peak of a child is read in a fresh helper process so that every run
    # reports its own maximum, not the largest of all earlier children.
    code = (
        "import resource, subprocess, sys, time\n"
        "t = time.perf_counter()\n"
        "out = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout\n"
        "t = time.perf_counter() - t\n"
        "peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss\n"
        "sys.stdout.buffer.write(b'%f %d\\n' % (t, peak) + out)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, *command, directory, list_path],
                         stdout=subprocess.PIPE, check=True).stdout
    head, _, transcript = out.partition(b"\n")
    seconds, peak = head.split()
    return float(seconds), int(peak), transcript


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
    for spec in args.build:
        name, _, command = spec.partition("=")
        builds.append((name, shlex.split(command)))
    times = {name: [] for name, _ in builds}
    peaks = {name: 0 for name, _ in builds}
    outputs = {}
    for _ in range(args.runs):
        for name, command in builds:
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
