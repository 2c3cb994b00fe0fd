"""What the bench drivers read of a process from /proc: its CPU time and a sandboxed process's host pid."""
import os
from pathlib import Path

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith(key + ":")).split()[1])


def cpu_seconds(pid):
    """Own and reaped children's CPU time: the helper's tools count as its cost."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15]) / CLOCK_TICKS


def helper_pid(sb):
    """The helper's pid on the host."""
    return child_pid(sb._helper.pid)


def child_pid(parent):
    """The host pid of what the sandbox started: the child of the nsenter that entered it."""
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == parent:
                    return int(entry.name)
            except (OSError, ValueError, IndexError):
                continue
    raise RuntimeError(f"no child of {parent} was found")
