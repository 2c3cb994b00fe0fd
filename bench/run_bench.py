#!/usr/bin/python3
"""Measures every figure of BENCHMARKS.md and writes that file: run_bench.py BUILD_DIR OUT_MD.

Each figure is a ratio against a baseline measured in the same run, interleaved (A, B, A, B…)
and reported as the median of the per-round ratios, because the machines are noisy.

- Every Google Benchmark program BUILD_DIR/bench/*_bench holding a pair NAME and NAME_baseline
  (arguments after a "/" alike) gives the figure NAME: time per iteration, NAME / baseline.
  A new benchmark is one more bench/*_bench.cpp with such a pair; nothing here changes.
- The engines' figures (bench/engine_bench.py): one monitor pass of each engine over 0 to 256
  applied routes, and the monitors' steady CPU with everything staged.
- The daemon figures run the real com.kivovpn.helper as root in the sandbox
  (platform/sandbox) and reach its socket from outside, as the end-to-end tests do; their
  baseline is bench/baseline_server.c, a minimal thread-per-connection server.
"""
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "platform" / "sandbox"))
from sandbox import Sandbox  # noqa: E402
from engine_bench import engine_figures  # noqa: E402
from helper_process import cpu_seconds, helper_pid, proc_status  # noqa: E402

ROUNDS = int(os.environ.get("KIVO_BENCH_ROUNDS", "21"))
LATENCY_REQUESTS = 1000
THROUGHPUT_CLIENTS = 64
THROUGHPUT_REQUESTS = 4000
SOAK_REQUESTS = 100_000
SOAK_CHUNKS = 10
IDLE_SECONDS = 15  # covers every monitor's cadence (2, 3 and 5 s) more than twice


def median_ratio(rounds):
    return statistics.median(a / b for a, b in rounds)


def gbench_time(program, name):
    out = subprocess.run([str(program), f"--benchmark_filter=^{re.escape(name)}$", "--benchmark_format=json",
                          "--benchmark_min_time=0.3"], check=True, capture_output=True, text=True).stdout
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
            rounds = []
            for _ in range(ROUNDS):
                a, unit = gbench_time(program, name)
                b, _ = gbench_time(program, baseline_name(name))
                rounds.append((a, b))
            label = name.replace("/real_time", "")
            figures.append({"figure": f"{label} time per run", "ratio": median_ratio(rounds),
                            "value": f"{statistics.median(a for a, _ in rounds):.1f} {unit}",
                            "baseline": f"{baseline_name(label)}: {statistics.median(b for _, b in rounds):.1f} {unit}",
                            "program": program.name})
    return figures


def load(build, socket_path, *args):
    result = subprocess.run([str(build / "bench" / "ping_load"), str(socket_path), *map(str, args)], capture_output=True,
                            text=True, timeout=300)
    report = json.loads(result.stdout)
    if report["failures"]:
        raise RuntimeError(f"{report['failures']} failed requests to {socket_path}")
    return report








def daemon_figures(build):
    figures = []
    with tempfile.TemporaryDirectory(prefix="kivo-bench-") as tmp, Sandbox(build_dir=build) as sb:
        baseline_sock = Path(tmp) / "baseline.sock"
        baseline = subprocess.Popen([str(build / "bench" / "baseline_server"), str(baseline_sock)], stdout=subprocess.PIPE,
                                    text=True)
        try:
            if baseline.stdout.readline().strip() != "listening":
                raise RuntimeError("the baseline server did not start")
            sb.start_helper()
            helper_sock = sb.run_path("com.kivovpn.helper.sock")
            pid = helper_pid(sb)
            time.sleep(3)  # the monitors' first passes

            # Idle: both processes over the same window.
            rss_idle = (proc_status(pid, "VmRSS"), proc_status(baseline.pid, "VmRSS"))
            cpu0 = (cpu_seconds(pid), cpu_seconds(baseline.pid))
            time.sleep(IDLE_SECONDS)
            cpu = [(cpu_seconds(p) - c) / IDLE_SECONDS * 100 for p, c in zip((pid, baseline.pid), cpu0)]
            figures.append({"figure": "idle daemon RSS", "ratio": rss_idle[0] / rss_idle[1],
                            "value": f"{rss_idle[0] / 1024:.2f} MiB",
                            "baseline": f"C server idle: {rss_idle[1] / 1024:.2f} MiB"})
            figures.append({"figure": f"idle daemon CPU over {IDLE_SECONDS} s", "ratio": None,
                            "value": f"{cpu[0]:.2f} % (own and its tools', 10 ms ticks)",
                            "baseline": f"C server idle: {cpu[1]:.2f} %"})

            rounds = []
            for _ in range(ROUNDS):
                a = load(build, helper_sock, "latency", LATENCY_REQUESTS)["p50_us"]
                b = load(build, baseline_sock, "latency", LATENCY_REQUESTS)["p50_us"]
                rounds.append((a, b))
            figures.append({"figure": f"Ping round trip p50, 1 client ({LATENCY_REQUESTS} requests a round)",
                            "ratio": median_ratio(rounds), "value": f"{statistics.median(a for a, _ in rounds):.1f} µs",
                            "baseline": f"C server: {statistics.median(b for _, b in rounds):.1f} µs"})

            rounds = []
            for _ in range(ROUNDS):
                a = load(build, helper_sock, "throughput", THROUGHPUT_CLIENTS, THROUGHPUT_REQUESTS)["requests_per_s"]
                b = load(build, baseline_sock, "throughput", THROUGHPUT_CLIENTS, THROUGHPUT_REQUESTS)["requests_per_s"]
                rounds.append((a, b))
            figures.append({"figure": f"Ping throughput, {THROUGHPUT_CLIENTS} clients ({THROUGHPUT_REQUESTS} a round)",
                            "ratio": median_ratio(rounds), "value": f"{statistics.median(a for a, _ in rounds):.0f} req/s",
                            "baseline": f"C server: {statistics.median(b for _, b in rounds):.0f} req/s"})

            # 100k requests in chunks, interleaved; RSS read after each chunk.
            chunk = SOAK_REQUESTS // SOAK_CHUNKS
            rss = {pid: [], baseline.pid: []}
            for _ in range(SOAK_CHUNKS):
                for p, sock in ((pid, helper_sock), (baseline.pid, baseline_sock)):
                    load(build, sock, "throughput", THROUGHPUT_CLIENTS, chunk)
                    rss[p].append(proc_status(p, "VmRSS"))
            # glibc's per-thread malloc arenas fill during the first tens of thousands.
            warm = SOAK_CHUNKS // 2 - 1
            helper_growth = rss[pid][-1] / rss[pid][warm]
            base_growth = rss[baseline.pid][-1] / rss[baseline.pid][warm]
            figures.append({"figure": f"daemon RSS after {SOAK_REQUESTS} requests / after {(warm + 1) * chunk}",
                            "ratio": helper_growth / base_growth,
                            "value": " → ".join(f"{rss[pid][i] / 1024:.2f}" for i in (0, warm, -1))
                                     + f" MiB after {chunk}, {(warm + 1) * chunk}, {SOAK_REQUESTS} (×{helper_growth:.3f})",
                            "baseline": f"C server: {rss[baseline.pid][warm] / 1024:.2f} → "
                                        f"{rss[baseline.pid][-1] / 1024:.2f} MiB (×{base_growth:.3f})"})
            figures.append({"figure": f"daemon RSS after {SOAK_REQUESTS} requests", "ratio": rss[pid][-1] / rss[baseline.pid][-1],
                            "value": f"{rss[pid][-1] / 1024:.2f} MiB",
                            "baseline": f"C server: {rss[baseline.pid][-1] / 1024:.2f} MiB"})
        finally:
            baseline.kill()
            baseline.wait()
    return figures


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return f"{model}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, load average " + \
        " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    build, out = Path(sys.argv[1]), Path(sys.argv[2])
    started = machine()
    figures = gbench_figures(build) + daemon_figures(build) + engine_figures(build)
    ended = machine()
    lines = ["# Benchmarks", "",
             "Reproduce every figure with one command (as root; it builds `build/bench` and writes this file):", "",
             "    scripts/run-bench.sh", "",
             f"Each ratio is the median over {ROUNDS} rounds of the per-round ratio against a baseline measured in "
             "the same run, interleaved (A, B, A, B…). Times: lower is better, so a ratio above 1 is the "
             "helper's overhead; throughput: higher is better.", "",
             f"Machine at the start: {started}.  ", f"At the end: {ended}.", "",
             "| Figure | Ratio | Helper | Baseline |", "|---|---|---|---|"]
    for f in figures:
        ratio = "—" if f["ratio"] is None else f"{f['ratio']:.3f}×"
        lines.append(f"| {f['figure']} | {ratio} | {f['value']} | {f['baseline']} |")
    notes = SOURCE / "bench" / "NOTES.md"
    if notes.exists():
        lines += ["", notes.read_text().strip()]
    out.write_text("\n".join(lines) + "\n")
    print(out.read_text())


if __name__ == "__main__":
    main()
