"""The command channel: how fast keep-alives are read, and memory under a
flood without LF."""

import statistics
import sys
import time

from procfs import rss_kib
from procs import Child, feed


# Both programs are fed at once, whichever pipe has room, and run over
# the same seconds.
def throughput(bench, lines=500_000, runs=3):
    bench.log(f"throughput: {lines} keepAlive lines, {runs} runs")
    data = b"engage\n" + b"keepAlive\n" * lines + b"release\n"
    rates = []
    for _ in range(runs):
        children = [Child([bench.palisade]), Child([bench.bare, "idle"])]
        time.sleep(0.2)
        t0 = time.monotonic()
        ended = feed(children, data, close=True)
        for c in children:
            if c.finish() != 0 or c.pid not in ended:
                sys.exit("a program failed the throughput run")
        rates.append([lines / (ended[c.pid] - t0) for c in children])
    ours, theirs = (statistics.median(r[i] for r in rates) for i in (0, 1))
    bench.row(f"keepAlive lines per second, median of {runs} ({lines} lines, then release and end of "
              "input; ref: same bytes read and discarded)",
              f"{ours:,.0f}", f"{theirs:,.0f}", f"{ours / theirs:.2f}×", "—", None)


def flood(bench, mib=64):
    bench.log(f"flood: {mib} MiB without LF")
    children = [Child([bench.palisade]), Child([bench.bare, "idle"])]
    time.sleep(0.2)
    before = [rss_kib(c.pid) for c in children]
    feed(children, b"x" * (1 << 20), repeat=mib)
    time.sleep(0.2)  # the last pipe-full read
    after = [rss_kib(c.pid) for c in children]
    for c in children:
        c.finish()
    (b0, b1), (a0, a1) = before, after
    bench.row(f"VmRSS under a {mib} MiB flood without LF, KiB (before → after)",
              f"{b0} → {a0} ({a0 - b0:+d})", f"{b1} → {a1} ({a1 - b1:+d})",
              f"{(a0 - b0) - (a1 - b1):+d} KiB", "flat (≤ +64 KiB)", a0 - b0 <= 64)
