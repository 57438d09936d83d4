"""The run's shared state: the programs it measures, and the table of rows
and notes every measurement adds to."""

import os
import sys
import time


class Bench:
    def __init__(self, build, seconds):
        self.palisade = os.path.join(build, "palisade")
        self.sim = os.path.join(build, "palisade-sim")
        self.bare = os.path.join(build, "bench", "bare_timer")
        self.client_cost = os.path.join(build, "bench", "client_cost")
        for path in (self.palisade, self.sim, self.bare, self.client_cost):
            if not os.access(path, os.X_OK):
                sys.exit(f"{path} not found: build first (cmake --build {build})")
        self.seconds = seconds
        self.rows = []
        self.notes = []
        self.holding_rss = []  # VmRSS of each holding window, KiB

    def row(self, measurement, ours, reference, compare, target, met, reference_met=True):
        verdict = "—" if met is None else ("yes" if met else "**no**")
        if met is False and not reference_met:
            verdict += " (nor the reference)"
        self.rows.append((measurement, ours, reference, compare, target, verdict))

    def log(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)

    def write_table(self, header):
        print(header)
        print()
        print("| measurement | palisade | reference | ratio/diff | target | met? |")
        print("| --- | --- | --- | --- | --- | --- |")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")
        print()
        print("References: bench/bare_timer, a bare libdispatch process with the helper's main loop and stdin "
              "source: `timer` (2 ms, 500 µs leeway, user-interactive serial queue, a handler that only counts), "
              "`trace` (the same, writing the sim's per-tick line to a pipe), `idle` (no timer). "
              "palisade is the Linux build (no window server); tick intervals and re-assertion use "
              "palisade-sim. Each comparison ran both programs over the same seconds.")
        for note in self.notes:
            print(f"- {note}")


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def machine(build):
    """One line on the machine and the build the figures come from."""
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    build_type = "?"
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip()
                if line.startswith("PALISADE_SANITIZE:") and not line.strip().endswith("=OFF"):
                    build_type += ", sanitized (numbers not meaningful)"
    except OSError:
        pass
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"Machine: {os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable), {model}, "
            f"Linux {os.uname().release}; load average at start {load}; build {build_type}.")

