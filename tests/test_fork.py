import subprocess
import sys
import textwrap


def test_worker_threads_are_named_by_the_time_the_first_read_returns():
    # Each child is forked before any use, so it starts its own runtime at its first read and
    # looks at its threads' names right away.
    script = textwrap.dedent("""
        import os, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from quorvelin import Serial

        def other_threads_names():
            me = str(os.getpid())  # a forked child's only thread at first
            return sorted(open(f"/proc/self/task/{tid}/comm").read().strip()
                          for tid in os.listdir("/proc/self/task") if tid != me)

        wrong = 0
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                code = 2
                try:
                    with Serial("loop://", timeout=0) as s:
                        s.read(1)
                        code = 0 if other_threads_names() == ["quorvelin", "quorvelin"] else 1
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            wrong += status != 0
        print(wrong)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=50)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"], "children whose threads were not yet named"
