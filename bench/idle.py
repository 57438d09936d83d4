"""A released helper at rest: wake-ups, CPU and memory."""

import statistics
import time

from procfs import cpu_ns, rss_kib, switches, wakeups
from procs import Child


# Started before the throughput runs, measured after them.
def start(bench):
    bench.log("idle: commands and a release, then settle")
    pal = Child([bench.palisade])
    bare = Child([bench.bare, "idle"])
    pal.send("engage\n")
    time.sleep(0.1)
    pal.send("keepAlive\n")
    time.sleep(0.1)
    pal.send("keepAlive\nrelease\n")
    released = time.monotonic()
    time.sleep(0.1)
    return pal, bare, released, len(switches(pal.pid))


def measure(bench, resting, settle=6.0, seconds=4.0):
    pal, bare, released, threads_after_release = resting
    # libdispatch retires a worker thread 5 s after its last work item: a
    # single wake-up, once. Measure past it.
    time.sleep(max(0.0, released + settle - time.monotonic()))
    bench.notes.append(
        f"Idle: measured from {settle:g} s after the release, past libdispatch's retirement of "
        f"idle worker threads (5 s after their last work; one wake-up each, once): palisade went "
        f"from {threads_after_release} threads just after the release to {len(switches(pal.pid))}.")
    bench.log(f"idle window ({seconds:g} s)")
    s0 = [switches(c.pid) for c in (pal, bare)]
    c0 = [cpu_ns(c.pid) for c in (pal, bare)]
    t0 = time.monotonic()
    time.sleep(seconds)
    s1 = [switches(c.pid) for c in (pal, bare)]
    c1 = [cpu_ns(c.pid) for c in (pal, bare)]
    span = time.monotonic() - t0
    rss = [rss_kib(c.pid) for c in (pal, bare)]
    pal.finish()
    bare.finish()
    (wp, wb), (cp, cb) = ([wakeups(a, b) / span for a, b in zip(s0, s1)],
                          [(b - a) / span / 1e3 for a, b in zip(c0, c1)])
    bench.row(f"Idle wake-ups per second (after commands and a release; {seconds:g} s)", f"{wp:.2f}", f"{wb:.2f}",
              f"{wp - wb:+.2f}", "0", wp == 0)
    bench.row("Idle CPU, µs per second", f"{cp:.1f}", f"{cb:.1f}", f"{cp - cb:+.1f}", "0", cp == 0)
    bench.row("VmRSS idle, KiB (ref: bare libdispatch process, idle)", f"{rss[0]}", f"{rss[1]}",
              f"{rss[0] / rss[1]:.2f}×", "—", None)
    h = statistics.median(bench.holding_rss) if bench.holding_rss else float("nan")
    bench.row("VmRSS holding, KiB (ref: the same idle process)", f"{h:.0f}", f"{rss[1]}",
              f"{h / rss[1]:.2f}×", "—", None)
