"""When the ticks come: their intervals, the re-assertion after a steal, and
the window-server calls each tick makes, from palisade-sim's trace."""

import os
import random
import statistics
import threading
import time

from procfs import TICK_MS, machine_times, steal_pct
from procs import Child, hold, pump, reference
from table import percentile

# The window-server calls in palisade-sim's trace.
WINDOW_SERVER_CALLS = {"getFront", "setFront", "processForPID", "pidForProcess", "permit", "revoke",
                       "windowList"}


def intervals_ms(stamps):
    return [(b - a) * 1e3 for a, b in zip(stamps, stamps[1:])]


# Tick intervals.
def intervals(bench):
    bench.log(f"tick intervals with traces ({bench.seconds:g} s)")
    sim = Child([bench.sim], control=True, trace=True)
    sim.send("engage\n")
    pump([sim], 0.2)
    bare = reference(bench.bare, "trace", sim, trace=True)
    pump([sim, bare], 0.2)
    t0, m0 = time.monotonic(), machine_times()
    hold([sim, bare], bench.seconds, [sim])
    t1, m1 = time.monotonic(), machine_times()
    bench.notes.append(f"Tick intervals: the host took {steal_pct(m0, m1):.1f} % of the vCPUs' "
                       "time (steal, /proc/stat) over the window.")
    sim.finish()
    bare.finish()
    ticks = lambda trace: [s for s, e in trace.lines if e.startswith("getFront") and t0 <= s <= t1]
    ours, ref = intervals_ms(ticks(sim.trace)), intervals_ms(ticks(bare.trace))
    m, r = statistics.median(ours), statistics.median(ref)
    p, rp = percentile(ours, 99), percentile(ref, 99)
    bench.row(f"Tick interval median, ms ({len(ours)} ticks)", f"{m:.3f}", f"{r:.3f}",
              f"{m - r:+.3f}", "2 ± 0.1", abs(m - TICK_MS) <= 0.1, abs(r - TICK_MS) <= 0.1)
    bench.row("Tick interval p99, ms", f"{p:.3f}", f"{rp:.3f}", f"{p - rp:+.3f} (p99 − median {p - m:+.3f})",
              "≤ median + 1", p - m <= 1.0, rp - r <= 1.0)
    bench.row("Tick interval max, ms", f"{max(ours):.3f}", f"{max(ref):.3f}",
              f"{max(ours) - max(ref):+.3f}", "—", None)


# Re-assertion after a steal.
def steals(bench, count=300):
    bench.log(f"re-assertion after {count} steals")
    rng = random.Random(20240607)
    thief = os.getpid()  # any pid the server knows as live
    sim = Child([bench.sim], control=True, trace=True)
    sim.control_line(f"live {thief}")
    sim.send("engage\n")
    pump([sim], 0.2)
    bare = reference(bench.bare, "trace", sim, trace=True)
    pump([sim, bare], 0.2)
    own = next(e.split()[-1] for _, e in sim.trace.lines if e.startswith("start"))
    # Steals come from a thread of their own that sleeps to the instant:
    # the trace loop's waits are cut to whole milliseconds after a tick,
    # which would tie the steals to the ticks' phase.
    done = threading.Event()

    def steal():
        for _ in range(count):
            time.sleep(rng.uniform(0.010, 0.040))
            sim.control_line(f"front {thief}")
        done.set()

    thief_thread = threading.Thread(target=steal)
    thief_thread.start()
    hold([sim, bare], 3600, [sim], lambda now: None if done.is_set() else 0.05)
    thief_thread.join()
    pump([sim, bare], 0.2)
    held_until = time.monotonic()
    sim.finish()
    bare.finish()

    # The words it read are traced from the main queue, and may fall
    # between a tick's front query and its answer.
    lines = [(s, e) for s, e in sim.trace.lines if not e.startswith("read ")]
    regain = f"setFront {own} 0 0x400 -> 0"
    latencies, first_tick, missed = [], 0, 0
    steal_times = []
    for i, (stamp, event) in enumerate(lines):
        if event != f"ctl front {thief}":
            continue
        steal_times.append(stamp)
        seen = answered = None
        for j in range(i + 1, len(lines)):
            e = lines[j][1]
            if e.startswith("ctl front"):
                break  # the next steal came first
            if seen is None and e == f"getFront -> {thief}":
                seen = j
            if e == regain:
                answered = j
                break
        if answered is None:
            missed += 1
            continue
        latencies.append((lines[answered][0] - stamp) * 1e3)
        if seen is not None and answered == seen + 1:
            first_tick += 1
    # What a bare 2 ms timer gives: from each steal to its next tick.
    bare_ticks = [s for s, _ in bare.trace.lines]
    ref = []
    k = 0
    for stamp in steal_times:
        while k < len(bare_ticks) and bare_ticks[k] < stamp:
            k += 1
        if k < len(bare_ticks):
            ref.append((bare_ticks[k] - stamp) * 1e3)
    n = len(steal_times)
    for name, f in (("median", statistics.median), ("p99", lambda v: percentile(v, 99)), ("max", max)):
        ours, theirs = f(latencies), f(ref)
        bench.row(f"Re-assertion latency {name}, ms ({n} steals; ref: bare timer's next tick)",
                  f"{ours:.3f}", f"{theirs:.3f}", f"{ours - theirs:+.3f}", "—", None)
    bench.row("Steals answered by the first tick that saw the thief", f"{first_tick} / {n}", "—", "—",
              "all", first_tick == n and n == count)
    bench.row("Steals missed (no re-assertion before the next steal)", f"{missed}", "—", "—", "0",
              missed == 0)
    tick_calls(bench, lines, own, held_until)


def tick_calls(bench, lines, own, held_until):
    """Window-server calls per tick from the trace of a hold with steals:
    a tick starts with its front query and runs to the next one. From
    the end of engage (its window list) to the release."""
    start = next(i for i, (_, e) in enumerate(lines) if e.startswith("windowList")) + 1
    ticks = []  # [helper front?, calls]
    for stamp, event in lines[start:]:
        name = event.split(" ", 1)[0]
        if name == "getFront":
            if stamp > held_until:
                break
            ticks.append([event == f"getFront -> {own}", 0])
        if name in WINDOW_SERVER_CALLS and ticks:
            ticks[-1][1] += 1
    front = [n for mine, n in ticks if mine]
    stolen = [n for mine, n in ticks if not mine]
    bench.row(f"Window-server calls per tick, helper front / thief front (palisade-sim trace; "
              f"{len(front)} / {len(stolen)} ticks)",
              f"{statistics.mean(front):.3f} / {statistics.mean(stolen):.3f}", "—",
              f"max {max(front)} / {max(stolen)}", "1 / 2",
              set(front) == {1} and set(stolen) == {2})
