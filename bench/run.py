#!/usr/bin/env python3
"""Palisade's benchmark: runs the built helpers beside bare libdispatch
reference programs over the same seconds and prints one Markdown table.

    python3 bench/run.py --build build

Linux only (it reads /proc and uses strace). Builds nothing: it finds
palisade, palisade-sim, bench/bare_timer and bench/client_cost in the build folder.
The measurements live beside this file, one module for each kind: cpu,
ticks, client, idle and channel.
"""

import argparse
import shutil
import sys
import time

import channel
import client
import cpu
import idle
import ticks
from procfs import machine_times, steal_pct
from table import Bench, machine


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="length of each holding window (default: 10)")
    args = parser.parse_args()
    if not shutil.which("strace"):
        sys.exit("strace not found (apt-get install strace)")
    bench = Bench(args.build, args.seconds)
    started, times = time.monotonic(), machine_times()
    header = machine(args.build)

    cpu.holding_cpu(bench)
    cpu.syscalls(bench)
    ticks.intervals(bench)
    ticks.steals(bench)
    client.measure(bench)
    # Idle is started before the throughput runs and measured after them,
    # past libdispatch's retirement of its idle threads.
    resting = idle.start(bench)
    channel.throughput(bench)
    channel.flood(bench)
    idle.measure(bench, resting)

    bench.notes.append(f"Total run time {time.monotonic() - started:.0f} s.")
    bench.write_table(f"{header} Host steal over the run: {steal_pct(times, machine_times()):.1f} % of the vCPUs' time.")


if __name__ == "__main__":
    main()
