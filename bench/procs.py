"""The programs measured, run as a parent application runs the helper:
started with pipes for input, control and trace, fed, held and finished."""

import fcntl
import os
import selectors
import signal
import time

from procfs import TICK_MS, timer_phase_ns

KEEPALIVE_PERIOD = 0.5  # how often a holding parent says keepAlive


def high_fd(fd):
    """Moves fd to 10 or above (close-on-exec), so the dup2s into 0, 3 and 4
    of the child can never overwrite one another."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Trace:
    """Lines "SECONDS EVENT" read from a child's descriptor 4."""

    def __init__(self, fd):
        self.fd = fd
        os.set_blocking(fd, False)
        self.buffer = b""
        self.lines = []  # (seconds, event)

    def read(self):
        """Reads what is there; False at end of file."""
        try:
            data = os.read(self.fd, 1 << 16)
        except BlockingIOError:
            return True
        if not data:
            return False
        self.buffer += data
        *complete, self.buffer = self.buffer.split(b"\n")
        for raw in complete:
            stamp, _, event = raw.decode(errors="replace").partition(" ")
            self.lines.append((float(stamp), event))
        return True


class Child:
    """A helper or reference program, its stdin a pipe; optionally control
    lines on its descriptor 3 and trace lines from its descriptor 4."""

    def __init__(self, argv, control=False, trace=False, cpu=None):
        actions, theirs = [], []

        def pipe():
            r, w = os.pipe()
            return high_fd(r), high_fd(w)

        r, self.stdin = pipe()
        actions.append((os.POSIX_SPAWN_DUP2, r, 0))
        theirs.append(r)
        actions.append((os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0))
        self.control = None
        if control:
            r, self.control = pipe()
            actions.append((os.POSIX_SPAWN_DUP2, r, 3))
            theirs.append(r)
        self.trace = None
        if trace:
            r, w = pipe()
            actions.append((os.POSIX_SPAWN_DUP2, w, 4))
            theirs.append(w)
            self.trace = Trace(r)
        # Threads inherit the affinity of the thread that starts them.
        affinity = os.sched_getaffinity(0)
        if cpu is not None:
            os.sched_setaffinity(0, {cpu})
        try:
            # As a parent application would start it: SIGPIPE not ignored.
            self.pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions,
                                      setsigdef=(signal.SIGPIPE,))
        finally:
            os.sched_setaffinity(0, affinity)
        for fd in theirs:
            os.close(fd)
        self.status = None

    def send(self, text):
        write_all(self.stdin, text.encode() if isinstance(text, str) else text)

    def control_line(self, line):
        write_all(self.control, (line + "\n").encode())

    def close_input(self):
        if self.stdin is not None:
            os.close(self.stdin)
            self.stdin = None
        if self.control is not None:
            os.close(self.control)
            self.control = None

    def poll_exit(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = status
        return self.status is not None

    def finish(self, timeout=10.0):
        """Closes its inputs and waits for it, draining its trace; kills it
        if it is still there after `timeout`. Returns the exit code."""
        self.close_input()
        deadline = time.monotonic() + timeout
        while not self.poll_exit():
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                _, self.status = os.waitpid(self.pid, 0)
                break
            pump([self], 0.005)
        while self.trace is not None and self.trace.read():
            pump([self], 0.05)
        return os.waitstatus_to_exitcode(self.status)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def feed(children, data, repeat=1, close=False, timeout=120.0):
    """Writes `data` `repeat` times to every child's stdin, to whichever has
    room, so that all of them read over the same seconds. With `close`, each
    input is closed as soon as it is written and the children's exit times
    (monotonic) are returned, by pid, once all have exited."""
    left = {c.stdin: [c, repeat, memoryview(data)] for c in children}
    exited = {}
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as sel:
        for fd in left:
            os.set_blocking(fd, False)
            sel.register(fd, selectors.EVENT_WRITE)
        if close:
            for c in children:  # a pidfd turns readable when its process exits
                sel.register(os.pidfd_open(c.pid), selectors.EVENT_READ, c)
        while (left or (close and len(exited) < len(children))) and time.monotonic() < deadline:
            for key, _ in sel.select(1.0):
                if key.data is not None:
                    exited[key.data.pid] = time.monotonic()
                    sel.unregister(key.fd)
                    os.close(key.fd)
                    continue
                state = left[key.fd]
                try:
                    state[2] = state[2][os.write(key.fd, state[2]):]
                except BlockingIOError:
                    continue
                if not state[2]:
                    state[1] -= 1
                    state[2] = memoryview(data)
                if state[1] == 0:
                    sel.unregister(key.fd)
                    del left[key.fd]
                    os.set_blocking(key.fd, True)
                    if close:
                        state[0].close_input()
        for key in list(sel.get_map().values()):
            if key.data is not None:
                os.close(key.fd)
    return exited


def pump(children, seconds):
    """Reads the children's traces for `seconds` (at least once)."""
    traces = [c.trace for c in children if c.trace is not None]
    deadline = time.monotonic() + seconds
    with selectors.DefaultSelector() as sel:
        for t in traces:
            sel.register(t.fd, selectors.EVENT_READ, t)
        while True:
            left = deadline - time.monotonic()
            for key, _ in sel.select(max(left, 0)) if traces else ():
                if not key.data.read():
                    sel.unregister(key.fd)
                    traces.remove(key.data)
            if left <= 0:
                return
            if not traces:
                time.sleep(left)


def hold(children, seconds, holders, on_step=None):
    """Keeps `holders` holding for `seconds` (keepAlive every 500 ms) while
    reading every child's trace. `on_step(now)` may act between reads; it
    returns how long it wants to wait at most, or None to end the hold."""
    start = time.monotonic()
    end = start + seconds
    next_keepalive = start + KEEPALIVE_PERIOD
    while (now := time.monotonic()) < end:
        if now >= next_keepalive:
            for h in holders:
                h.send("keepAlive\n")
            next_keepalive += KEEPALIVE_PERIOD
        wait = min(end, next_keepalive) - now
        if on_step:
            step = on_step(now)
            if step is None:
                return
            wait = min(wait, step)
        pump(children, max(wait, 0))



def reference(bare, mode, other, cpu=None, offset=0.5, **options):
    """Starts bare_timer (`bare`) in `mode` with its ticks `offset` of a
    period after `other`'s. Two timers firing together on one clock would
    make the first to wake the CPU pay for the second, a bias of up to 2×
    either way; apart, neither rides on the other's wake-up."""
    argv = [bare, mode]
    phase = timer_phase_ns(other.pid)
    if phase is not None:
        period = int(TICK_MS * 1e6)
        start = (time.clock_gettime_ns(time.CLOCK_MONOTONIC) + 100_000_000) // period * period
        argv += ["--first", str(start + (phase + int(period * offset)) % period)]
    return Child(argv, cpu=cpu, **options)
