"""Syscalls, context switches and CPU time of this process over a section, split by thread.

`perf stat` attaches to this very process with its events disabled and counts only between
`enable` and `disable`, which it acknowledges, so the section is exact: nothing of the start-up,
the warm-up or perf's own attachment is in it. Threads are grouped by role: the interpreter's
main thread ("loop", which runs the event loop in these benchmarks), the runtime's workers
(named "quorvelin") and anything else. Only threads that exist when the counter attaches are
seen, so the runtime must already run by then.

    counter = ThreadCounts.attach()      # None when perf is missing or refused
    counter.enable(); ...; counter.disable()
    counts = counter.finish()            # {"loop": [syscalls, switches, cpu ms], "workers": ..., ...}
"""

import os
import shutil
import signal
import subprocess
import time

EVENTS = ("raw_syscalls:sys_enter", "context-switches", "task-clock")
ROLES = ("loop", "workers", "other")


class ThreadCounts:
    def __init__(self, process, control, ack):
        self._process = process
        self._control = control
        self._ack = ack

    @classmethod
    def attach(cls):
        if shutil.which("perf") is None:
            return None
        control_read, control_write = os.pipe()
        ack_read, ack_write = os.pipe()
        process = subprocess.Popen(
            ["perf", "stat", "--per-thread", "-x", ",", "-D", "-1",
             "--control", f"fd:{control_read},{ack_write}", "-e", ",".join(EVENTS), "-p", str(os.getpid())],
            pass_fds=[control_read, ack_write], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        os.close(control_read)
        os.close(ack_write)
        counter = cls(process, control_write, ack_read)
        # perf answers commands only once it has attached to every thread.
        if not counter._command("disable", timeout=10):
            counter._stop()
            return None
        return counter

    def _command(self, word, timeout=5.0):
        os.write(self._control, word.encode() + b"\n")
        deadline = time.monotonic() + timeout
        answer = b""
        os.set_blocking(self._ack, False)
        while b"ack" not in answer:
            if time.monotonic() > deadline or self._process.poll() is not None:
                return False
            try:
                answer += os.read(self._ack, 64)
            except BlockingIOError:
                time.sleep(0.001)
        return True

    def enable(self):
        self._command("enable")

    def disable(self):
        self._command("disable")

    def _stop(self):
        self._process.send_signal(signal.SIGINT)
        try:
            _, errors = self._process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            _, errors = self._process.communicate()
        os.close(self._control)
        os.close(self._ack)
        return errors

    def finish(self):
        """Counts per role: {role: [syscalls, context switches, CPU milliseconds]}."""
        errors = self._stop()
        main = os.getpid()
        counts = {role: [0, 0, 0.0] for role in ROLES}
        for line in errors.splitlines():
            fields = line.split(",")
            if len(fields) < 4 or fields[3] not in EVENTS:
                continue
            try:
                value = float(fields[1])  # task-clock comes in milliseconds with a fraction
            except ValueError:
                continue  # "<not counted>": the thread ran no part of the section
            name, _, tid = fields[0].rpartition("-")
            role = "loop" if tid == str(main) else "workers" if name == "quorvelin" else "other"
            index = EVENTS.index(fields[3])
            counts[role][index] += value if index == 2 else int(value)
        return counts
