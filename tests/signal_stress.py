#!/usr/bin/env python3
"""Signals at random moments: runs of the built tool, each sent a signal
(any that can be caught or held, or SIGKILL) 0 to 1.5 ms after it starts.
Status 0 must mean one whole row more in the table, any other status none
(after SIGKILL, one or none), and after a SIGKILL the next run must leave
only whole rows.

With "phases", each run appends its row and its phases' rows at once:
all of them, or none. With "record", each run appends its record too, and
one run in four its record alone (WRITE 0): after each run that ends with
status 0, the records hold one for each row and each record alone that is
in, and no record line is torn.

    tests/signal_stress.py BUILD_DIR [RUNS] [phases|record]
"""
import os
import random
import shutil
import signal
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
phases = len(sys.argv) > 3 and sys.argv[3] == "phases"
recorded = len(sys.argv) > 3 and sys.argv[3] == "record"
tool = os.path.abspath(os.path.join(build, "energy-totals"))
here = os.path.dirname(os.path.abspath(__file__))
work = tempfile.mkdtemp()
try:
    for name in ("case1.total.pwr", "case1.cpu.pwr", "gpupower1.out"):
        shutil.copy(os.path.join(here, "..", "examples", name), work)
    options = []
    if phases:
        # The bundled GPU log, stamped from the case's start, and one phase
        # inside it: each run appends three rows (the run, the phase, the
        # rest).
        with open(os.path.join(work, "gpupower1.out")) as f, open(os.path.join(work, "gpus.csv"), "w") as out:
            out.write("timestamp, index, power.draw.instant [W]\n")
            for i, line in enumerate(f):
                out.write("2026/12/09 10:%02d:%06.3f, 0, %s\n" % (i // 600, i % 600 / 10, line.split()[0]))
        with open(os.path.join(work, "marks"), "w") as f:
            f.write("2026-12-09T10:00:30Z compute begin\n2026-12-09T10:02:30Z compute end\n")
        options = ["--gpu-log=gpus.csv", "--phases=marks", "--phase-rows"]
    if recorded:
        options = ["--record=runs.jsonl"]
    table = os.path.join(work, "results.txt")
    records = os.path.join(work, "runs.jsonl")

    def whole_records():
        if not os.path.exists(records):
            return 0
        with open(records) as f:
            return f.read().count("\n")
    with open(table, "w") as f:
        f.write("heading\n")
    devnull = os.open(os.devnull, os.O_RDWR)
    os.chdir(work)
    quiet = [(os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)]

    def start(write="1"):
        # No Python runs in the child, so a signal meets the tool, not the
        # script before its exec.
        return os.posix_spawn(tool, [tool] + options + ["--label=stress", "case1", write, "0"], os.environ,
                              file_actions=quiet)

    # One plain run gives the row.
    os.waitpid(start(), 0)
    with open(table) as f:
        row = f.read()[len("heading\n"):]
    assert row.endswith("\n") and row.count("\n") == (3 if phases else 1), repr(row)
    catchable = [s for s in range(1, signal.SIGRTMAX + 1)
                 if s not in (signal.SIGKILL, signal.SIGSTOP, signal.SIGCHLD, signal.SIGCONT,
                              signal.SIGURG, signal.SIGWINCH, signal.SIGTSTP, signal.SIGTTIN,
                              signal.SIGTTOU)]
    rng = random.Random(int(os.environ.get("SEED", "1")))
    counts = {"row": 0, "none": 0, "killed-row": 0, "killed-none": 0, "fragments": 0}
    expected = 1
    # Records alone that are in (records less rows, as of the last run with
    # status 0), and runs of a record alone killed since, each of which may
    # have put one in.
    alone_in, alone_killed = 0, 0
    for i in range(runs):
        sig = signal.SIGKILL if rng.random() < 0.25 else rng.choice(catchable)
        alone = recorded and rng.random() < 0.25
        with open(table) as f:
            before = f.read()
        size_before = len(before)
        pid = start("0" if alone else "1")
        time.sleep(rng.random() * 0.0015)
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass
        _, status = os.waitpid(pid, 0)
        with open(table) as f:
            text = f.read()
        body = text[len("heading\n"):]
        whole, tail = divmod(len(body), len(row))
        if tail and text != before:
            # Part of a row: only a SIGKILL may leave one (a write that
            # crosses a page is cut between pages), and the next run that
            # appends removes it; a run stopped before its append leaves
            # it, with the rest of the table, as it was.
            assert sig == signal.SIGKILL and os.WIFSIGNALED(status), (i, sig, status, body[-tail:])
            counts["fragments"] += 1
        assert body[: whole * len(row)] == row * whole, (i, sig, "a broken row")
        added = whole - expected
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            assert added == (0 if alone else 1), (i, sig, "status 0 but rows added:", added)
            if recorded:
                now = whole_records() - whole
                assert alone_in + alone <= now <= alone_in + alone + alone_killed, \
                    (i, sig, "rows and records differ:", whole, whole_records(), alone_in)
                alone_in, alone_killed = now, 0
            counts["row"] += 1
        elif sig == signal.SIGKILL:
            assert added in ((0,) if alone else (0, 1)), (i, sig, added)
            alone_killed += alone
            counts["killed-row" if added else "killed-none"] += 1
        else:
            assert added == 0 and len(text) == size_before or (added == 0 and tail == 0), \
                (i, sig, status, "failed but rows added:", added)
            counts["none"] += 1
        expected = whole
    # A last plain run cuts off any fragment and leaves only whole rows.
    os.waitpid(start(), 0)
    with open(table) as f:
        body = f.read()[len("heading\n"):]
    assert len(body) % len(row) == 0 and body == row * (len(body) // len(row)), "torn rows remain"
    if recorded:
        import json
        with open(records) as f:
            lines = f.read().splitlines()
        assert alone_in <= len(lines) - len(body) // len(row) <= alone_in + alone_killed, \
            ("a row without its record", len(lines), len(body) // len(row), alone_in)
        for line in lines:
            json.loads(line)
    print("signal stress: %d runs, %d rows: %s" % (runs, len(body) // len(row),
          ", ".join("%s %d" % kv for kv in counts.items())))
finally:
    shutil.rmtree(work)
