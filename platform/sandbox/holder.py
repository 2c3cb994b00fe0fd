#!/usr/bin/python3
"""Namespace holder, started by sandbox.py under unshare(1).

It prepares the namespaces it was born in, prints one JSON line {"pid": HOST_PID} on
standard output once they are ready, and then stays alive so that later commands can join
them with nsenter. When it dies, the kernel tears the namespaces down.

  holder.py net LAYOUT     network + mount namespace (a throw-away netns, the server)
  holder.py client LAYOUT  PID 1 of the client's PID namespace: also builds the macOS-like
                         root (overlay of / with a tmpfs upper layer) and chroots into it

LAYOUT is a JSON object; see Sandbox._client_layout in sandbox.py for the client's keys.
"""
import json
import os
import shutil
import signal
import subprocess
import sys


def sh(*argv):
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)


def host_pid():
    # /proc is still the host's at this point; NSpid lists the pid outermost first.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("NSpid:"):
                return int(line.split()[1])
    return os.getpid()


def make_dev(root, console_uid):
    """A private /dev holding only what the helper and its tools need."""
    dev = f"{root}/dev"
    sh("mount", "-t", "tmpfs", "-o", "mode=0755,nosuid", "kivo-dev", dev)
    nodes = {"null": (1, 3), "zero": (1, 5), "full": (1, 7), "random": (1, 8),
             "urandom": (1, 9), "tty": (5, 0), "net/tun": (10, 200)}
    for name, (major, minor) in nodes.items():
        os.makedirs(os.path.dirname(f"{dev}/{name}"), exist_ok=True)
        os.mknod(f"{dev}/{name}", 0o20666, os.makedev(major, minor))
        os.chmod(f"{dev}/{name}", 0o666)
    for name, target in {"fd": "/proc/self/fd", "stdin": "/proc/self/fd/0",
                         "stdout": "/proc/self/fd/1", "stderr": "/proc/self/fd/2"}.items():
        os.symlink(target, f"{dev}/{name}")
    os.mkdir(f"{dev}/shm", 0o1777)
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "kivo-shm", f"{dev}/shm")
    # The helper only looks at who owns the console, so a plain file serves.
    with open(f"{dev}/console", "w"):
        pass
    os.chown(f"{dev}/console", console_uid, console_uid)
    os.chmod(f"{dev}/console", 0o600)


def build_client_root(layout):
    layer = layout["layer_dir"]
    sh("mount", "-t", "tmpfs", "-o", "mode=0755", "kivo-layer", layer)
    for d in ("upper", "work", "root"):
        os.mkdir(f"{layer}/{d}")
    root = f"{layer}/root"
    sh("mount", "-t", "overlay", "kivo-root", "-o",
       f"lowerdir=/,upperdir={layer}/upper,workdir={layer}/work", root)
    sh("mount", "-t", "proc", "-o", "nosuid,nodev,noexec", "proc", f"{root}/proc")
    sh("mount", "-t", "sysfs", "-o", "nosuid,nodev,noexec", "sysfs", f"{root}/sys")
    make_dev(root, layout["console_uid"])
    sh("mount", "--bind", layout["run_dir"], f"{root}/run")
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "kivo-tmp", f"{root}/tmp")
    for inside, outside in layout["binds"].items():
        if os.path.isdir(outside):
            os.makedirs(f"{root}{inside}", exist_ok=True)
        sh("mount", "--bind", "-o", "ro", outside, f"{root}{inside}")
    for d in layout["dirs"]:
        os.makedirs(f"{root}{d}", exist_ok=True)
    for link, target in layout["links"].items():
        os.makedirs(os.path.dirname(f"{root}{link}"), exist_ok=True)
        os.symlink(target, f"{root}{link}")
    for inside, outside in layout["files"].items():
        os.makedirs(os.path.dirname(f"{root}{inside}"), exist_ok=True)
        shutil.copyfile(outside, f"{root}{inside}")
        os.chmod(f"{root}{inside}", 0o600)
    return root


def reap_forever():
    """PID 1 inherits every orphan of the namespace; reaping them keeps `kill -0` honest."""
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD})
    while True:
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass
        signal.sigtimedwait({signal.SIGCHLD}, 5)


def main():
    mode, layout = sys.argv[1], json.loads(sys.argv[2])
    pid = host_pid()
    if layout.get("run_dir") and mode == "net":
        sh("mount", "--bind", layout["run_dir"], "/run")
    sh("ip", "link", "set", "lo", "up")
    if mode == "client":
        root = build_client_root(layout)
        os.chroot(root)
        os.chdir("/")
    print(json.dumps({"pid": pid}), flush=True)
    devnull = os.open("/dev/null", os.O_RDWR)
    os.dup2(devnull, 1)
    os.close(devnull)
    reap_forever()


if __name__ == "__main__":
    main()
