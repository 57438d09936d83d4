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


def main_queue_cost(bench):
    """What keep-alives from the main queue cost the application's main thread."""
    bench.log(f"client: main-queue keep-alives ({bench.seconds:g} s per source)")
    out = run_client_cost(bench, "mainqueue", bench.palisade, f"{bench.seconds:g}")
    for source in ("main_queue", "client_thread"):
        if out[f"{source}_held"][0] != "1":
            sys.exit(f"the hold was lost with the {source} source")

    def cost(source, who):
        span = float(out[f"{source}_seconds"][0])
        per_s = lambda key: int(out[f"{source}_{who}_{key}"][0]) / span
        return per_s("voluntary"), per_s("involuntary"), per_s("cpu_ns") / 1e3

    cell = lambda v, i, cpu: f"{v + i:.2f} ({v:.2f} + {i:.2f} preempted) / {cpu:.1f}"
    (vm, im, cm), (vr, ir, cr) = cost("main_queue", "main"), cost("client_thread", "main")
    (vp, ip, cp), (vq, iq, cq) = cost("main_queue", "process"), cost("client_thread", "process")
    due = 1 / KEEPALIVE_PERIOD
    bench.row(f"Keep-alives from the main queue, engaged: the application's main thread's wake-ups per "
              f"second / CPU µs per second ({bench.seconds:g} s, keepAlive every {KEEPALIVE_PERIOD:g} s; "
              "ref: the client-thread source)",
              cell(vm, im, cm), cell(vr, ir, cr), f"{vm + im - vr - ir:+.2f} / {cm - cr:+.1f} µs",
              f"≤ {due * 1.1:g} voluntary (one per keepAlive)", vm <= due * 1.1)
    bench.row("The same, whole process (every thread, libdispatch's included)",
              cell(vp, ip, cp), cell(vq, iq, cq), f"{vp + ip - vq - iq:+.2f} / {cp - cq:+.1f} µs",
              "—", None)
    bench.notes.append(
        "Main-queue keep-alives: the main thread drains libdispatch's main queue as a run loop would "
        "(the helper's own Linux loop), a timer on it marks each interval, and the client's thread "
        "writes; the reference is the same program with the client-thread source, whose main thread "
        "sleeps throughout. Preemptions of the main thread are mostly the client's thread that its "
        "timer wakes.")


ROWS = (thread_cost, engage_latency, main_queue_cost)


def measure(bench):
    for row in ROWS:
        row(bench)


def run_client_cost(bench, *args):
    """Runs bench/client_cost; its "key value..." lines as a dict of lists."""
    done = subprocess.run([bench.client_cost, *args], stdout=subprocess.PIPE, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"client_cost {args[0]} failed ({done.returncode})")
    return {key: values for key, *values in (line.split() for line in done.stdout.splitlines() if line)}
