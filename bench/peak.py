#!/usr/bin/env python3
"""peak.py OUT COMMAND...: runs COMMAND, writes its peak resident set and when it started and
ended (CLOCK_MONOTONIC) to OUT as JSON, and exits with its status.

A process forked from the benchmark would inherit the benchmark's own (large) peak: the kernel
carries the peak across exec. This small process forks the command instead."""

import json
import os
import sys
import time


def main() -> int:
    out, command = sys.argv[1], sys.argv[2:]
    # The child starts as a copy of this process, so nothing smaller than this can be seen.
    with open("/proc/self/status") as f:
        floor_kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    end = time.monotonic()
    with open(out, "w") as f:
        json.dump({"start": start, "end": end, "peak_kib": usage.ru_maxrss,
                   "floor_kib": floor_kib}, f)
    return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    sys.exit(main())
