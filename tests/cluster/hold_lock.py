"""Holds an exclusive fcntl lock on a file, the kind energy-totals takes,
for a number of seconds; prints "locked" once it has it.

    python3 hold_lock.py FILE SECONDS
"""
import fcntl
import sys
import time

with open(sys.argv[1], "r+") as table:
    fcntl.lockf(table, fcntl.LOCK_EX)
    print("locked", flush=True)
    time.sleep(float(sys.argv[2]))
