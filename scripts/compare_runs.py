#!/usr/bin/env python3
"""Times two builds of kadrix on the same data, alternately, and reports the
median wall times, their ratio and each build's peak resident memory. The
result files of both are compared byte for byte as well."""
import argparse
import glob
import os
import resource
import statistics
import subprocess
import sys
import time


def run(binary, directory, list_path):
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
    out = subprocess.run([sys.executable, "-c", code, binary, directory, list_path],
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
    parser.add_argument("--fast", required=True)
    parser.add_argument("--straightforward", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--list", required=True)
    args = parser.parse_args()

    times = {"fast": [], "straightforward": []}
    peaks = {"fast": 0, "straightforward": 0}
    outputs = {}
    for _ in range(args.runs):
        for name in ("straightforward", "fast"):
            seconds, peak, transcript = run(getattr(args, name), args.dir, args.list)
            times[name].append(seconds)
            peaks[name] = max(peaks[name], peak)
            outputs[name] = (transcript, results(args.dir))

    if not outputs["fast"][1]:
        print("no result files were written: check the data directory and list", file=sys.stderr)
        return 1
    same = outputs["fast"] == outputs["straightforward"]
    fast = statistics.median(times["fast"])
    plain = statistics.median(times["straightforward"])
    print(f"runs each:               {args.runs}")
    print(f"straightforward median:  {plain * 1000:.1f} ms   peak {peaks['straightforward'] / 1024:.1f} MiB")
    print(f"fast median:             {fast * 1000:.1f} ms   peak {peaks['fast'] / 1024:.1f} MiB")
    print(f"ratio:                   {plain / fast:.1f} x")
    print(f"identical output:        {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
