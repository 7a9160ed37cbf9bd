#!/usr/bin/env python3
"""Whole-process time of vivozi beside `df -h`, the tool an administrator would run instead.

Installed into the build as bench/bench_startup, so that `make bench` runs it with the other
programs; it takes their --benchmark_out=FILE and writes JSON of the same shape. Each pair runs
the two commands one after the other, alternating which goes first, so that both see the same
load; the figure kept is the median over the pairs of each side and of the pair's ratio.

Options: --pairs N (default 41, at least 20), --vivozi PATH (default the build's cli/vivozi).
"""

import datetime
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE = ["df", "-h"]
# (benchmark name, vivozi's arguments)
CASES = [("BM_Report", []), ("BM_SizeText", ["size", "1"])]


def which(program):
    for folder in os.environ.get("PATH", "/usr/bin:/bin").split(os.pathsep):
        path = os.path.join(folder, program)
        if os.access(path, os.X_OK):
            return path
    sys.exit(f"bench_startup: {program} not found on PATH")


def timed(argv, sink):
    """Wall seconds from spawn to reaping, as a shell user waits for it, and the exit status."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, sink, 1)])
    _, status = os.waitpid(pid, 0)
    return time.perf_counter() - start, os.waitstatus_to_exitcode(status)


def measure(ours, baseline, pairs, sink):
    ours_times, base_times, ratios = [], [], []
    for warm in range(3):
        timed(ours, sink), timed(baseline, sink)
    for pair in range(pairs):
        if pair % 2 == 0:
            (a, status), (b, _) = timed(ours, sink), timed(baseline, sink)
        else:
            (b, _), (a, status) = timed(baseline, sink), timed(ours, sink)
        if status != 0:
            sys.exit(f"bench_startup: {' '.join(ours)} exited with status {status}")
        ours_times.append(a)
        base_times.append(b)
        ratios.append(a / b)
    return statistics.median(ours_times), statistics.median(base_times), statistics.median(ratios)


def main():
    out, pairs, vivozi = None, 41, os.path.join(os.path.dirname(HERE), "cli", "vivozi")
    for argument in sys.argv[1:]:
        if argument.startswith("--benchmark_out="):
            out = argument.split("=", 1)[1]
        elif argument.startswith("--pairs="):
            pairs = max(20, int(argument.split("=", 1)[1]))
        elif argument.startswith("--vivozi="):
            vivozi = argument.split("=", 1)[1]
        elif not argument.startswith("--benchmark_"):
            sys.exit(__doc__)
    if not os.access(vivozi, os.X_OK):
        sys.exit(f"bench_startup: no vivozi at {vivozi}")
    baseline = [which(BASELINE[0])] + BASELINE[1:]
    runs = []
    with open(os.devnull, "w") as sink:
        for name, arguments in CASES:
            ours, base, ratio = measure([vivozi] + arguments, baseline, pairs, sink.fileno())
            print(f"{name:<14} vivozi {ours * 1e3:7.3f} ms   df -h {base * 1e3:7.3f} ms   "
                  f"ratio {ratio:.2f} (median of {pairs} pairs)")
            runs.append({"name": name, "run_name": name, "run_type": "iteration",
                         "iterations": pairs, "real_time": ours * 1e6, "cpu_time": ours * 1e6,
                         "time_unit": "us", "ours_us": ours * 1e6, "df_us": base * 1e6,
                         "ratio": ratio})
    if out:
        context = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
                   "num_cpus": os.cpu_count(), "load_avg": list(os.getloadavg()),
                   "executable": sys.argv[0]}
        with open(out, "w") as f:
            json.dump({"context": context, "benchmarks": runs}, f, indent=2)


if __name__ == "__main__":
    main()
