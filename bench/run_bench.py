#!/usr/bin/python3
"""Measures every figure of BENCHMARKS.md and writes that file:

    run_bench.py BUILD_DIR OUT_MD            the full run
    run_bench.py BUILD_DIR --quick [PARTS]   fewer and shorter rounds, printed only; PARTS is a
                                             comma list of gbench, daemon, engines (default all)

Each figure is a ratio against a baseline measured in the same run and the same place, with
the order alternated every round (A B, B A, …), reported as the median of the per-round
ratios with their spread (min–max), because the machines are noisy.

- Every Google Benchmark program BUILD_DIR/bench/*_bench holding a pair NAME and NAME_baseline
  (arguments after a "/" alike) gives the figure NAME: time per iteration, NAME / baseline.
  A new benchmark is one more bench/*_bench.cpp with such a pair; nothing here changes.
- The daemon figures run the real com.kivovpn.helper as root in the sandbox
  (platform/sandbox) and its baseline, bench/baseline_server.c (a minimal thread-per-connection
  server), beside it in the same sandbox and network namespace; one client program
  (bench/ping_load) reaches both sockets from outside, as the end-to-end tests do. Both are
  warmed alike, and a round holds enough requests to last at least half a second.
- The engines' figures (bench/engine_bench.py): one monitor pass of each engine over 0 to 256
  applied routes, and the monitors' steady CPU with everything staged.
"""
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "platform" / "sandbox"))
from sandbox import Sandbox  # noqa: E402
from helper_process import child_pid, cpu_seconds, helper_pid, proc_status  # noqa: E402

QUICK = "--quick" in sys.argv
if QUICK:
    # Set before engine_bench reads them: a local check, not figures.
    for key, value in (("KIVO_BENCH_ENGINE_ROUTES", "0,16,64"), ("KIVO_BENCH_ENGINE_ROUNDS", "3"),
                       ("KIVO_BENCH_MONITOR_ROUTES", "64"), ("KIVO_BENCH_MONITOR_SECONDS", "15")):
        os.environ.setdefault(key, value)
from engine_bench import engine_figures  # noqa: E402

ROUNDS = int(os.environ.get("KIVO_BENCH_ROUNDS", "5" if QUICK else "21"))
ROUND_SECONDS = 0.5  # shorter rounds measure thread start-up and scheduling, not serving
THROUGHPUT_CLIENTS = (64,) if QUICK else (64, 16, 128)
SOAK_REQUESTS = 20_000 if QUICK else 100_000
SOAK_CHUNKS = 10
IDLE_SECONDS = 5 if QUICK else 15  # the full run covers every monitor's cadence (2, 3, 5 s)
BASELINE_SOCKET = "kivo-bench-baseline.sock"
HELPER_STACK_KIB = 512  # the helper's connection threads (src/server/detached_thread.cpp)


def alternated(measure_a, measure_b):
    """ROUNDS pairs (a, b), the one measured first alternating every round."""
    pairs = []
    for r in range(ROUNDS):
        if r % 2 == 0:
            a = measure_a()
            b = measure_b()
        else:
            b = measure_b()
            a = measure_a()
        pairs.append((a, b))
    return pairs


def ratios(pairs):
    """The median per-round ratio and its spread (min, max)."""
    values = [a / b for a, b in pairs]
    return statistics.median(values), (min(values), max(values))


def figure(name, pairs, value, baseline, **extra):
    ratio, spread = ratios(pairs)
    return {"figure": name, "ratio": ratio, "spread": spread, "value": value, "baseline": baseline, **extra}


def gbench_time(program, name):
    out = subprocess.run([str(program), f"--benchmark_filter=^{re.escape(name)}$", "--benchmark_format=json",
                          "--benchmark_min_time=0.5"], check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    if not runs or runs[0].get("error_occurred"):
        raise RuntimeError(f"{program.name} {name} failed: {runs}")
    return runs[0]["real_time"], runs[0]["time_unit"]


def baseline_name(name):
    head, sep, rest = name.partition("/")
    return f"{head}_baseline{sep}{rest}"


def gbench_figures(build):
    figures = []
    for program in sorted((build / "bench").glob("*_bench")):
        names = subprocess.run([str(program), "--benchmark_list_tests"], check=True, capture_output=True,
                               text=True).stdout.split()
        for name in names:
            if name.partition("/")[0].endswith("_baseline") or baseline_name(name) not in names:
                continue
            unit = gbench_time(program, name)[1]  # also the warm-up of both
            gbench_time(program, baseline_name(name))
            pairs = alternated(lambda: gbench_time(program, name)[0],
                               lambda: gbench_time(program, baseline_name(name))[0])
            label = name.replace("/real_time", "")
            figures.append(figure(f"{label} time per run", pairs,
                                  f"{statistics.median(a for a, _ in pairs):.1f} {unit}",
                                  f"{baseline_name(label)}: {statistics.median(b for _, b in pairs):.1f} {unit}",
                                  program=program.name))
    return figures


def load(build, socket_path, *args):
    result = subprocess.run([str(build / "bench" / "ping_load"), str(socket_path), *map(str, args)], capture_output=True,
                            text=True, timeout=300)
    report = json.loads(result.stdout)
    if report["failures"]:
        raise RuntimeError(f"{report['failures']} failed requests to {socket_path}, {result.stderr.strip()}")
    return report


def timed_load(build, socket_path, *args):
    start = time.monotonic()
    report = load(build, socket_path, *args)
    return report, report.get("seconds", time.monotonic() - start)


def round_size(build, sockets, shape, requests):
    """Requests a round needs so that it lasts ROUND_SECONDS on the faster of the two servers;
    the runs that find it warm both servers alike."""
    while True:
        seconds = min(timed_load(build, sock, *shape, requests)[1] for sock in sockets)
        if seconds >= ROUND_SECONDS:
            return requests
        requests = int(requests * min(ROUND_SECONDS * 1.2 / max(seconds, 1e-3), 10)) + 1


def start_baseline(sb, name=BASELINE_SOCKET, *stack_kib):
    """The C server inside the sandbox, beside the helper: same namespaces, same /run."""
    proc = sb.spawn(f"{Sandbox.INSIDE_BUILD_DIR}/bench/baseline_server", f"/run/{name}", *map(str, stack_kib),
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    if proc.stdout.readline().strip() != "listening":
        raise RuntimeError("the baseline server did not start")
    return sb.run_path(name), child_pid(proc.pid)


def daemon_figures(build):
    with Sandbox(build_dir=build) as sb:
        try:
            return measure_daemon(build, sb)
        except RuntimeError as e:
            # Failed requests mean little without the helper's own account of them.
            raise RuntimeError(f"{e}; the helper {helper_state(sb)}; its standard error ends:\n"
                               + sb.helper_stderr()[-2000:]) from e


def helper_state(sb):
    status = sb._helper.poll()
    return "is running" if status is None else f"exited with status {status}"


def measure_daemon(build, sb):
    figures = []
    baseline_sock, base = start_baseline(sb)
    sb.start_helper()
    helper_sock = sb.run_path("com.kivovpn.helper.sock")
    pid = helper_pid(sb)
    sockets = (helper_sock, baseline_sock)
    time.sleep(3)  # the monitors' first passes

    # Idle: both processes over the same window.
    rss_idle = (proc_status(pid, "VmRSS"), proc_status(base, "VmRSS"))
    cpu0 = (cpu_seconds(pid), cpu_seconds(base))
    time.sleep(IDLE_SECONDS)
    cpu = [(cpu_seconds(p) - c) / IDLE_SECONDS * 100 for p, c in zip((pid, base), cpu0)]
    figures.append({"figure": "idle daemon RSS", "ratio": rss_idle[0] / rss_idle[1],
                    "value": f"{rss_idle[0] / 1024:.2f} MiB",
                    "baseline": f"C server idle: {rss_idle[1] / 1024:.2f} MiB"})
    figures.append({"figure": f"idle daemon CPU over {IDLE_SECONDS} s", "ratio": None,
                    "value": f"{cpu[0]:.2f} % (own and its tools', 10 ms ticks)",
                    "baseline": f"C server idle: {cpu[1]:.2f} %"})

    n = round_size(build, sockets, ("latency",), 1000)
    pairs = alternated(lambda: load(build, helper_sock, "latency", n)["p50_us"],
                       lambda: load(build, baseline_sock, "latency", n)["p50_us"])
    figures.append(figure(f"Ping round trip p50, 1 client ({n} requests a round)", pairs,
                          f"{statistics.median(a for a, _ in pairs):.1f} µs",
                          f"C server: {statistics.median(b for _, b in pairs):.1f} µs"))

    for clients in THROUGHPUT_CLIENTS:
        n = round_size(build, sockets, ("throughput", clients), 4000)
        pairs = alternated(lambda: load(build, helper_sock, "throughput", clients, n)["requests_per_s"],
                           lambda: load(build, baseline_sock, "throughput", clients, n)["requests_per_s"])
        figures.append(figure(f"Ping throughput, {clients} clients ({n} requests a round)", pairs,
                              f"{statistics.median(a for a, _ in pairs):.0f} req/s",
                              f"C server: {statistics.median(b for _, b in pairs):.0f} req/s"))

    # The helper's threads have smaller stacks than the C library's default, which alone saves
    # work at many clients: the same C server with the helper's stacks shows what is left.
    same_stack_sock, _ = start_baseline(sb, "kivo-bench-baseline-stack.sock", HELPER_STACK_KIB)
    clients = THROUGHPUT_CLIENTS[0]
    n = round_size(build, (helper_sock, same_stack_sock), ("throughput", clients), 4000)
    pairs = alternated(lambda: load(build, helper_sock, "throughput", clients, n)["requests_per_s"],
                       lambda: load(build, same_stack_sock, "throughput", clients, n)["requests_per_s"])
    figures.append(figure(f"Ping throughput, {clients} clients, C server with {HELPER_STACK_KIB} KiB stacks "
                          f"({n} requests a round)", pairs, f"{statistics.median(a for a, _ in pairs):.0f} req/s",
                          f"C server: {statistics.median(b for _, b in pairs):.0f} req/s"))

    # Requests in chunks, alternated like the rounds; RSS read after each chunk.
    chunk = SOAK_REQUESTS // SOAK_CHUNKS
    rss = {pid: [], base: []}
    sides = [(pid, helper_sock), (base, baseline_sock)]
    for i in range(SOAK_CHUNKS):
        for p, sock in sides if i % 2 == 0 else sides[::-1]:
            load(build, sock, "throughput", THROUGHPUT_CLIENTS[0], chunk)
            rss[p].append(proc_status(p, "VmRSS"))
    # glibc's per-thread malloc arenas fill during the first tens of thousands.
    warm = SOAK_CHUNKS // 2 - 1
    helper_growth = rss[pid][-1] / rss[pid][warm]
    base_growth = rss[base][-1] / rss[base][warm]
    figures.append({"figure": f"daemon RSS after {SOAK_REQUESTS} requests / after {(warm + 1) * chunk}",
                    "ratio": helper_growth / base_growth,
                    "value": " → ".join(f"{rss[pid][i] / 1024:.2f}" for i in (0, warm, -1))
                             + f" MiB after {chunk}, {(warm + 1) * chunk}, {SOAK_REQUESTS} (×{helper_growth:.3f})",
                    "baseline": f"C server: {rss[base][warm] / 1024:.2f} → "
                                f"{rss[base][-1] / 1024:.2f} MiB (×{base_growth:.3f})"})
    figures.append({"figure": f"daemon RSS after {SOAK_REQUESTS} requests", "ratio": rss[pid][-1] / rss[base][-1],
                    "value": f"{rss[pid][-1] / 1024:.2f} MiB",
                    "baseline": f"C server: {rss[base][-1] / 1024:.2f} MiB"})
    return figures


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return f"{model}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, load average " + \
        " ".join(f"{x:.2f}" for x in os.getloadavg())


def row(f):
    ratio = "—" if f["ratio"] is None else f"{f['ratio']:.3f}×"
    if f.get("spread"):
        ratio += f" ({f['spread'][0]:.3f}–{f['spread'][1]:.3f})"
    return f"| {f['figure']} | {ratio} | {f['value']} | {f['baseline']} |"


PARTS = {"gbench": gbench_figures, "daemon": daemon_figures, "engines": engine_figures}


def main():
    args = [a for a in sys.argv[1:] if a != "--quick"]
    build = Path(args[0])
    if QUICK:
        chosen = args[1].split(",") if len(args) > 1 else list(PARTS)
        print(f"Quick run, {ROUNDS} rounds: a local check, not figures. {machine()}", flush=True)
        print("| Figure | Ratio (min–max) | Helper | Baseline |\n|---|---|---|---|", flush=True)
        for part in chosen:
            for f in PARTS[part](build):
                print(row(f), flush=True)
        return
    out = Path(args[1])
    started = machine()
    figures = [f for part in PARTS.values() for f in part(build)]
    ended = machine()
    lines = ["# Benchmarks", "",
             "Reproduce every figure with one command (as root; it builds `build/bench` and writes this file):", "",
             "    scripts/run-bench.sh", "",
             f"Each ratio is the median over {ROUNDS} rounds of the per-round ratio against a baseline measured in "
             "the same run and the same place, the order alternated every round (A B, B A, …); the spread "
             "(min–max of the per-round ratios) follows it in brackets. Times: lower is better, so a ratio above "
             "1 is the helper's overhead; throughput: higher is better.", "",
             f"Machine at the start: {started}.  ", f"At the end: {ended}.", "",
             "| Figure | Ratio (min–max) | Helper | Baseline |", "|---|---|---|---|"]
    lines += [row(f) for f in figures]
    notes = SOURCE / "bench" / "NOTES.md"
    if notes.exists():
        lines += ["", notes.read_text().strip()]
    out.write_text("\n".join(lines) + "\n")
    print(out.read_text())


if __name__ == "__main__":
    main()
