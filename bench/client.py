"""What the client library costs a parent, measured by bench/client_cost:
one function per row, run in ROWS' order."""

import statistics
import subprocess
import sys

from procs import KEEPALIVE_PERIOD
from table import percentile


def thread_cost(bench):
    """What the client's thread costs while engaged."""
    bench.log(f"client: thread cost engaged ({bench.seconds:g} s)")
    out = run_client_cost(bench, "cost", bench.palisade, f"{bench.seconds:g}")
    span = float(out["seconds"][0])
    if out["helper_alive"][0] != "1":
        sys.exit("the client's helper died during the cost window")
    per_s = lambda key: int(out[key][0]) / span
    woke = lambda who: (per_s(f"{who}_voluntary"), per_s(f"{who}_involuntary"))
    (vc, ic), (vr, ir) = woke("client"), woke("reference")
    cc, cr = per_s("client_cpu_ns") / 1e3, per_s("reference_cpu_ns") / 1e3
    due = 1 / KEEPALIVE_PERIOD
    cell = lambda v, i, cpu: f"{v + i:.2f} ({v:.2f} + {i:.2f} preempted) / {cpu:.1f}"
    bench.row(f"Client engaged, parent side: wake-ups per second / CPU µs per second of its thread "
              f"({bench.seconds:g} s, keepAlive every {KEEPALIVE_PERIOD:g} s; ref: a bare thread that "
              "sleeps to each keepAlive and writes it to a reading thread)",
              cell(vc, ic, cc), cell(vr, ir, cr),
              f"{vc + ic - vr - ir:+.2f} / " + (f"{cc / cr:.2f}×" if cr else "—"),
              f"≤ {due * 1.1:g} voluntary (one per keepAlive)", vc <= due * 1.1, vr <= due * 1.1)
    bench.notes.append(
        f"Client cost: the {out['threads'][0]} thread(s) that palisade_open started, found as the tasks "
        "of /proc/self/task that appeared with it; wake-ups are their voluntary + involuntary context "
        "switches (involuntary: preempted, mostly by the reader its write wakes), CPU their thread "
        "CPU clocks (ns; /proc's utime and stime count in 10 ms steps). "
        f"A keepAlive every {KEEPALIVE_PERIOD:g} s needs {due:g} wake-ups per second at least.")


def engage_latency(bench, cycles=200):
    """How much later the helper holds the front for going through the client."""
    bench.log(f"client: engage-to-front latency ({cycles} cycles)")
    out = run_client_cost(bench, "latency", bench.sim, str(cycles))
    ours, ref = ([float(v) for v in out[k]] for k in ("client_ms", "direct_ms"))
    stats = lambda v: (statistics.median(v), percentile(v, 99))
    (m, p), (rm, rp) = stats(ours), stats(ref)
    bench.row(f"Engage-to-front latency through the client, median / p99, ms ({len(ours)} engage/release "
              "cycles on palisade-sim; ref: engage written to the helper's stdin by the caller)",
              f"{m:.3f} / {p:.3f}", f"{rm:.3f} / {rp:.3f}", f"{m - rm:+.3f} / {p - rp:+.3f}", "—", None)


ROWS = (thread_cost, engage_latency)


def measure(bench):
    for row in ROWS:
        row(bench)


def run_client_cost(bench, *args):
    """Runs bench/client_cost; its "key value..." lines as a dict of lists."""
    done = subprocess.run([bench.client_cost, *args], stdout=subprocess.PIPE, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"client_cost {args[0]} failed ({done.returncode})")
    return {key: values for key, *values in (line.split() for line in done.stdout.splitlines() if line)}
