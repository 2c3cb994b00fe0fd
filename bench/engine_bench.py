"""The engines' figures for run_bench.py, each in a fresh sandbox (platform/sandbox):

- One monitor pass of the custom split and of the packet steering engine over 0, 16, 64 and 256
  applied routes, by bench/engine_pass_load inside the sandbox: the real engine code against the
  stand-in tools and the sandbox's kernel. Each round times the pass (A) and the same command
  lines by bare posix_spawnp+waitpid (B), the order alternated per round, then as many spawns of
  /bin/true (C) and one atomic write of the engine's record (D); the figure is the median of the
  per-round ratios A/B with their spread, and A/C and D beside it. The packet steering rows end
  with what its drift check (one `route -n get` per applied route every second) costs per route.
- The monitors' steady CPU of the real daemon with DNS, custom split and packet steering staged
  and 256 routes applied by each engine: own and reaped tools' CPU per second of wall time and
  per pass, against the same daemon idle (nothing staged) over a window as long.
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "platform" / "sandbox"))
from sandbox import Sandbox  # noqa: E402
from helper_process import cpu_seconds, helper_pid  # noqa: E402

ROUTE_COUNTS = [int(n) for n in os.environ.get("KIVO_BENCH_ENGINE_ROUTES", "0,16,64,256").split(",")]
ENGINE_ROUNDS = int(os.environ.get("KIVO_BENCH_ENGINE_ROUNDS", "5"))
MONITOR_ROUTES = int(os.environ.get("KIVO_BENCH_MONITOR_ROUTES", "256"))
MONITOR_SECONDS = int(os.environ.get("KIVO_BENCH_MONITOR_SECONDS", "60"))
APPLY_DEADLINE = 600  # 256 route adds on a loaded machine take a while
LOAD = f"{Sandbox.INSIDE_BUILD_DIR}/bench/engine_pass_load"

# An application for an engine to track: connected UDP sockets, one per /24, held until killed.
HOLDER = """
import socket, sys, time
first, count = int(sys.argv[1]), int(sys.argv[2])
held = []
for i in range(count):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect((f"{first}.0.{i}.1", 443))
    held.append(s)
print("holding", flush=True)
time.sleep(3600)
"""


def _median_ratio(a, b):
    return statistics.median(x / y for x, y in zip(a, b))


def pass_figures(build):
    figures = []
    with Sandbox(build_dir=build) as sb:
        for engine in ("custom_split", "packet_steering"):
            per_route = {}
            for routes in ROUTE_COUNTS:
                run = sb.run(LOAD, engine, str(routes), str(ENGINE_ROUNDS), check=False, timeout=3600)
                if run.returncode != 0:
                    raise RuntimeError(f"engine_pass_load {engine} {routes}: {run.stderr.strip() or run.stdout}")
                r = json.loads(run.stdout)
                a, b, c, d = r["pass_us"], r["replay_us"], r["true_us"], r["record_write_us"]
                per_route[routes] = statistics.median(a)
                counts = sorted({int(n) for n in r["processes"]})
                processes = "–".join(map(str, (counts[0], counts[-1]) if len(counts) > 1 else counts))
                expired = "" if r["still_applied"] == r["applied"] else \
                    f"; {r['applied'] - r['still_applied']} routes expired during the rounds"
                ratios = [x / y for x, y in zip(a, b)]
                figures.append({
                    "figure": f"{engine} monitor pass, {routes} routes applied",
                    "ratio": statistics.median(ratios), "spread": (min(ratios), max(ratios)),
                    "value": f"{statistics.median(a) / 1000:.1f} ms, {processes} processes{expired}",
                    "baseline": f"its {processes} command lines by bare posix_spawnp: {statistics.median(b) / 1000:.1f} ms; "
                                f"as many /bin/true: {statistics.median(c) / 1000:.2f} ms "
                                f"(pass = {_median_ratio(a, c):.1f}× that); one atomic write of its record: "
                                f"{statistics.median(d) / 1000:.1f} ms"})
                print(f"  {figures[-1]}", file=sys.stderr, flush=True)
            if 0 in per_route and len(per_route) > 2:
                counts = sorted(n for n in per_route if n)
                costs = {n: (per_route[n] - per_route[0]) / n for n in counts}
                figures.append({
                    "figure": f"{engine} cost per applied route, {counts[-1]} against {counts[-2]} routes",
                    "ratio": costs[counts[-1]] / costs[counts[-2]] if costs[counts[-2]] > 0 else None,
                    "value": ", ".join(f"{costs[n] / 1000:.2f} ms at {n}" for n in counts),
                    "baseline": "(pass(N) − pass(0)) / N; flat cost is ≈ 1×"})
                if engine == "packet_steering":
                    # Each applied route is one `route -n get` a pass, and the pass comes every
                    # second while an application is staged: its cost per route recurs each second.
                    cost = costs[counts[-1]] / 1000
                    figures.append({
                        "figure": "packet steering drift check at its 1 s cadence, per applied route",
                        "ratio": None,
                        "value": f"{cost:.2f} ms of pass time per route (tools included), each second; "
                                 f"{cost * counts[-1] / 10:.1f} % of every second at {counts[-1]} routes",
                        "baseline": "one `route -n get` per applied route, with the native route stand-in"})
    return figures






def _request(sb, request):
    # An update runs a pass at once, and with 256 routes on a loaded machine that takes a while.
    code, out = sb.ctl(request, timeout=APPLY_DEADLINE)
    if code != 0 or '"Error"' in out:
        raise RuntimeError(f"{request}: {out}")
    return out


def _state(sb, name):
    path = sb.run_path(f"com.kivovpn.helper.{name}.state.json")
    try:
        return json.loads(Path(path).read_text())
    except (OSError, ValueError):
        return {}


def _watch(sb, pid, seconds):
    """CPU seconds of the helper and its reaped tools over `seconds`, and the passes each engine
    made meanwhile (each pass stamps its record with the second it synced)."""
    stamps = {"custom_split": set(), "packet_steering": set()}
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    while time.monotonic() - start < seconds:
        for name in stamps:
            if (stamp := _state(sb, name).get("engine_last_sync_at")) is not None:
                stamps[name].add(stamp)
        time.sleep(0.2)
    cpu, elapsed = cpu_seconds(pid) - start_cpu, time.monotonic() - start
    return cpu, elapsed, {name: max(len(s) - 1, 0) for name, s in stamps.items()}


def _applied(sb):
    return (len(_state(sb, "custom_split").get("dynamic_routes", [])),
            len(_state(sb, "packet_steering").get("applied_bypass_routes_ipv4", [])))


class _Client:
    """The desktop client's part: each engine's snapshot sent again every 5 s, each engine on
    its own, so a long pass of one never lets the other's snapshot go stale."""

    def __init__(self, sb, apps):
        self.done = threading.Event()
        self.threads = [threading.Thread(target=self._refresh, args=(sb, engine, inner)) for engine, inner in apps.items()]

    def _refresh(self, sb, engine, inner):
        generation = 0
        track = [{"name": "python3", "exe_path": "/usr/bin/python3", "active_pids": [inner]}]
        while True:
            generation += 1
            _request(sb, {f"Update{engine}Pids": {"generation": generation, "apps": track}})
            if self.done.wait(5):
                return

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        for t in self.threads:
            t.join()


def monitor_figures(build):
    figures = []
    with Sandbox(build_dir=build) as sb:
        sb.start_helper()
        pid = helper_pid(sb)
        time.sleep(3)
        idle_cpu, idle_wall, _ = _watch(sb, pid, MONITOR_SECONDS)

        sb.start_dns_proxy()
        _request(sb, {"ApplyDnsProxy": {"dns_ip": "127.0.0.1"}})
        apps = {}
        for engine, first in (("CustomSplitEngine", 45), ("PacketSteering", 46)):
            holder = sb.spawn("python3", "-c", HOLDER, str(first), str(MONITOR_ROUTES), stdout=subprocess.PIPE, text=True)
            if holder.stdout.readline().strip() != "holding":
                raise RuntimeError("the tracked application did not start")
            apps[engine] = sb.inner_pid(holder)
            stage = f"Stage{engine.removesuffix('Engine')}Engine"
            _request(sb, {stage: {"app_paths": ["/usr/bin/python3"], "routes": [], "gateway": Sandbox.GATEWAY,
                                  "allow_lan": False}})

        with _Client(sb, apps):
            deadline = time.monotonic() + APPLY_DEADLINE
            while (applied := _applied(sb)) != (MONITOR_ROUTES, MONITOR_ROUTES):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"routes applied (custom split, packet steering): {applied}")
                time.sleep(1)
            cpu, wall, passes = _watch(sb, pid, MONITOR_SECONDS)
            kept = _applied(sb)
        total = sum(passes.values())
        figures.append({
            "figure": f"monitors' steady CPU, DNS + both engines staged, {MONITOR_ROUTES} routes each, over {MONITOR_SECONDS} s",
            "ratio": None,
            "value": f"{cpu / wall * 100:.1f} % of a core (own and its tools'); {cpu / total * 1000:.0f} ms per pass "
                     f"({passes['custom_split']} custom split, {passes['packet_steering']} packet steering passes; "
                     f"routes applied at the end: {kept[0]} and {kept[1]})"
                     if total else f"{cpu / wall * 100:.1f} % of a core; no pass completed in the window",
            "baseline": f"idle daemon, nothing staged, {MONITOR_SECONDS} s: {idle_cpu / idle_wall * 100:.2f} %"})
    return figures


def engine_figures(build):
    return pass_figures(build) + monitor_figures(build)


if __name__ == "__main__":
    # engine_bench.py BUILD_DIR [passes|monitors]: these figures alone, as table rows.
    only = sys.argv[2] if len(sys.argv) > 2 else None
    chosen = {"passes": pass_figures, "monitors": monitor_figures}.get(only, engine_figures)
    for f in chosen(Path(sys.argv[1])):
        ratio = "—" if f["ratio"] is None else f"{f['ratio']:.3f}×"
        print(f"| {f['figure']} | {ratio} | {f['value']} | {f['baseline']} |", flush=True)
