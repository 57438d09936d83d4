"""What /proc tells about a process and the machine."""

import glob
import os
import time

TICK_MS = 2.0  # the helper's timer period, and the bare timer's


def cpu_ns(pid):
    """The process's CPU time, all threads including those that exited, from
    its process CPU clock (what clock_getcpuclockid gives): nanoseconds,
    where /proc/PID/stat counts in 10 ms steps."""
    return time.clock_gettime_ns(((~pid) << 3) | 2)


def timer_due_ns(pid):
    """When the process's libdispatch timer fires next, on CLOCK_MONOTONIC,
    from its timerfd's remaining time in /proc/PID/fdinfo; None if no
    timer is armed."""
    for link in glob.glob(f"/proc/{pid}/fd/*"):
        try:
            if os.readlink(link) != "anon_inode:[timerfd]":
                continue
            fd = link.rsplit("/", 1)[1]
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                info = f.read()
            now = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        except OSError:
            continue
        fields = dict(line.split(":", 1) for line in info.splitlines() if ":" in line)
        if fields.get("clockid", "").strip() != str(time.CLOCK_MONOTONIC):
            continue
        sec, nsec = (int(x) for x in fields["it_value"].strip(" ()").split(","))
        if sec or nsec:
            return now + sec * 1_000_000_000 + nsec
    return None


def timer_phase_ns(pid, timeout=2.0):
    """The timer's offset within its 2 ms period; None if none is armed
    within `timeout` (it also reads as disarmed between a fire and its
    re-arm, and before the process has started its timer)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        due = timer_due_ns(pid)
        if due is not None:
            return due % int(TICK_MS * 1e6)
        time.sleep(0.0003)
    return None


def machine_times():
    """The machine's CPU time counters from /proc/stat: (steal, total)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return fields[7], sum(fields[:8])


def steal_pct(before, after):
    """Share of the vCPUs' time the host took in between, in %."""
    total = after[1] - before[1]
    return 100.0 * (after[0] - before[0]) / total if total else 0.0


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def switches(pid):
    """Context switches (voluntary + involuntary), per live thread."""
    counts = {}
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as f:
                counts[status] = sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
        except OSError:
            pass  # exited meanwhile
    return counts


def wakeups(before, after):
    """Wake-ups between two samples. A thread that exited in between woke at
    least once to do so; its later counts are lost with it."""
    total = 0
    for thread, count in after.items():
        total += count - before.get(thread, 0)
    total += sum(1 for thread in before if thread not in after)
    return total

