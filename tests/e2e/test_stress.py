#!/usr/bin/python3
"""Many clients at once against the real helper in the sandbox: the tunnel up, both split engines
staged and fed by tracked processes that hold real connections, split bypass and the QUIC block
in force and the three monitors running, while 64 clients send thousands of mixed requests (PID
snapshots of both engines with rising generations from several clients at once among them).
Afterwards nothing failed that should have succeeded, the helper holds no more threads and
descriptors than when it was idle, each engine's record carries the highest generation sent, the
kernel's routes are exactly the records' own, and the teardown leaves nothing of the helper's.

KIVO_STRESS_REQUESTS (default 2000) and KIVO_STRESS_SECONDS (default 60) bound the load."""
import collections
import itertools
import json
import os
import random
import re
import socket
import subprocess
import threading
import time
import unittest

from e2e_support import OK, PF_STANDIN_DIR, HelperCase, Sandbox, err, start_request

S = Sandbox
CLIENTS = 64
REQUESTS = int(os.environ.get("KIVO_STRESS_REQUESTS", "2000"))
SECONDS = float(os.environ.get("KIVO_STRESS_SECONDS", "60"))
# A request still waiting when the load ends must not hold the test beyond this.
ANSWER_TIMEOUT = 60
SETTLE_SECONDS = 20
LANE_DEPTH = 3
WATCHDOG_ERROR = re.compile(r"^(Custom split|Packet steering) engine watchdog reconcile error: ")
DEGRADED = (r"(Custom split engine runtime snapshot updated, but route reconciliation is degraded"
            r"|Custom split engine is staged, but dynamic route reconciliation is degraded"
            r"|Packet steering engine is staged, but diagnostics are degraded): .*")

# The custom split engine's application talks to a host of its own, so that the engines' routes
# never name the same destination.
CUSTOM_HOST = "203.0.113.80"
CUSTOM_NETWORK = "203.0.113.0/24"
CUSTOM_APP = "/usr/bin/python3"  # kivo-app is a Python script
STEERING_APP = f"{S.INSIDE_PLATFORM_DIR}/kivo-stream"
# The steering engine's host among them: both own the route, and neither may take it from the other.
BYPASS_ROUTES = ["100.64.7.0/24", S.PUBLIC_IP]
QUIC_ANCHOR = "com.apple/252.KivoVPNQuic"
GONE_APP = "/Applications/Gone.app"
HELPER_FILE = re.compile(r"^com\.kivovpn\.helper\.")
# Restore keeps what the steering engine learned for the next stage; it is meant to stay.
STEERING_CACHE = "com.kivovpn.helper.packet_steering.cache.json"
CUSTOM_STATE = "com.kivovpn.helper.custom_split.state.json"
STEERING_STATE = "com.kivovpn.helper.packet_steering.state.json"
SPLIT_STATE = "com.kivovpn.helper.split.state.json"


def encode(request):
    return json.dumps(request, separators=(",", ":")).encode()


class Outcome:
    """Every answer of the load, by request kind; `problems` holds those that should not be."""

    def __init__(self):
        self.lock = threading.Lock()
        self.answers = collections.Counter()
        self.problems = []
        self.accepted = {"custom": [], "steering": []}
        self.stale = {"custom": [], "steering": []}
        self.sent = {"custom": [], "steering": []}
        self.slowest = collections.Counter()
        self.degraded = []

    def count(self, into, item):
        with self.lock:
            into.append(item)

    def add(self, kind, request, answer, problem, took):
        with self.lock:
            self.answers[kind] += 1
            self.slowest[kind] = max(self.slowest[kind], took)
            if problem:
                self.problems.append(f"{kind}: {problem}\n  request {request!r}\n  answer {answer!r}")


class StressTest(HelperCase):
    @classmethod
    def prepare(cls):
        cls.sb.server_run("ip", "addr", "add", f"{CUSTOM_HOST}/32", "dev", "lo")

    def setUp(self):
        self.socket_path = str(self.sb.run_path("com.kivovpn.helper.sock"))
        self.generations = {"custom": itertools.count(1), "steering": itertools.count(1)}
        self.outcome = Outcome()

    # -- talking to the helper straight through its socket, as root ---------------------------

    def ask(self, data, read_answer=True):
        """The answer's bytes (empty when the helper closed without one)."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(ANSWER_TIMEOUT)
            s.connect(self.socket_path)
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            if not read_answer:
                return b""
            chunks = []
            while chunk := s.recv(65536):
                chunks.append(chunk)
        return b"".join(chunks)

    def answer(self, request):
        return json.loads(self.ask(encode(request)))

    # -- the scene ----------------------------------------------------------------------------

    def stage_everything(self):
        sb = self.sb
        self.bare_routes6 = self.routes6()
        status = self.answer(start_request())["Status"]
        self.wg_pid = status["pid"]
        self.tunnel_routes = self.routes()
        self.tunnel_routes6 = self.routes6()

        self.assertEqual(self.answer({"ApplySplitBypass": {"routes": BYPASS_ROUTES, "gateway": S.GATEWAY}}),
                         {"SplitBypassStatus": {"active": True, "routes": 2}})
        self.assertEqual(self.answer({"SetQuicMitigation": {"enabled": True}}),
                         {"QuicMitigationStatus": {"enabled": True}})

        self.app = sb.spawn("kivo-app", CUSTOM_HOST, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.app.stdout.readline().strip(), S.TUNNEL_IP)
        self.custom_pids = [sb.inner_pid(self.app)]
        staged = self.answer({"StageCustomSplitEngine": {"app_paths": [CUSTOM_APP], "routes": [],
                                                         "gateway": S.GATEWAY, "allow_lan": False}})
        self.assertTrue(staged["CustomSplitEngineStatus"]["staged"], staged)

        self.streams = [sb.spawn("kivo-stream", host, str(S.HOLD_PORT), stdout=subprocess.PIPE)
                        for host in (S.PUBLIC_IP, S.PUBLIC_IP6)]
        for stream in self.streams:
            self.assertTrue(stream.stdout.readline().startswith(b"connected"))
        self.steering_pids = [sb.inner_pid(stream) for stream in self.streams]
        staged = self.answer({"StagePacketSteeringEngine": {"app_paths": [STEERING_APP], "routes": [],
                                                            "gateway": S.GATEWAY, "allow_lan": False}})
        self.assertTrue(staged["PacketSteeringEngineStatus"]["staged"], staged)

        # Both engines go live before the load, so the load finds routes to keep.
        deadline = time.monotonic() + 10
        while True:
            for engine in ("custom", "steering"):
                request = self.new_pid_update(engine)
                self.assertIsNone(self.check_pid_update(engine, request, self.answer(request)))
            steering = self.state(STEERING_STATE)
            if (self.state(CUSTOM_STATE)["dynamic_routes"] == [CUSTOM_NETWORK]
                    and steering["applied_bypass_routes_ipv6"] == [S.PUBLIC_IP6]):
                break
            self.assertLess(time.monotonic(), deadline, "the engines installed no routes")
            time.sleep(0.2)

    def restore_everything(self):
        for stream in [*self.streams, self.app]:
            stream.kill()
        for request in ("RestorePacketSteeringEngine", "RestoreCustomSplitEngine", "RestoreSplitBypass",
                        {"SetQuicMitigation": {"enabled": False}}, "StopTunnel"):
            answer = self.answer(request)
            self.assertNotIn("Err", answer, f"{request}: {answer}")

    # -- the requests of the load --------------------------------------------------------------

    def new_pid_update(self, engine):
        """A snapshot of the engine's tracked processes under the next generation of the one
        counter all clients share."""
        with self.outcome.lock:
            generation = next(self.generations[engine])
            self.outcome.sent[engine].append(generation)
        if engine == "custom":
            return {"UpdateCustomSplitEnginePids": {"generation": generation, "apps": [
                {"name": "Tracked", "exe_path": CUSTOM_APP, "active_pids": self.custom_pids}]}}
        return {"UpdatePacketSteeringPids": {"generation": generation, "apps": [
            {"name": "kivo-stream", "exe_path": STEERING_APP, "active_pids": self.steering_pids}]}}

    def check_pid_update(self, engine, request, answer):
        """None when the answer is one this snapshot may get, else the fault."""
        generation = next(iter(request.values()))["generation"]
        if engine == "custom":
            status = answer.get("CustomSplitEngineStatus")
            accepted = (rf"Custom split engine runtime snapshot updated \(generation {generation}, tracked apps 1, "
                        rf"active pids 1, dynamic routes [01]\)\.")
            stale = rf"Ignoring stale custom split engine PID snapshot generation {generation} \(current (\d+)\)\."
        else:
            status = answer.get("PacketSteeringEngineStatus")
            accepted = rf"Packet steering engine diagnostics are live\. observer=\w+ PID generation={generation} .*"
            stale = rf"Ignoring stale packet steering PID snapshot generation {generation} \(current (\d+)\)\."
        if not status or not status["staged"]:
            return "not a staged engine's status"
        if match := re.fullmatch(stale, status["note"]):
            if int(match[1]) <= generation:
                return "called stale by a generation that is not newer"
            self.outcome.count(self.outcome.stale[engine], generation)
            return None
        if (re.fullmatch(accepted, status["note"]) and status["active"]) or self.slowed_down(status):
            self.outcome.count(self.outcome.accepted[engine], generation)
            return None
        return "neither accepted nor refused as stale"

    def slowed_down(self, status):
        """Whether the status says a tool ran out of time: a machine this loaded may make a
        monitor tool overrun its limit, and the engine is right to say so."""
        if re.fullmatch(DEGRADED, status["note"]) and "timed out" in status["note"] and not status["active"]:
            self.outcome.count(self.outcome.degraded, status["note"])
            return True
        return False

    def load_table(self):
        """Rows (weight, kind, lane, request maker, checker). Makers take nothing; checkers take
        the request and the decoded answer (None when none came) and name what is wrong. A lane
        is the feature whose lock the request waits for."""
        steady = {}

        def same_as_before(kind, request):
            # A request whose answer cannot change while the scene stands: asked once before the load.
            steady[kind] = self.answer(request)
            self.assertNotIn("Err", steady[kind], f"{kind} fails before the load")
            return (lambda: request,
                    lambda _, answer: None if answer == steady[kind] else f"expected {steady[kind]}")

        def expect(expected):
            return lambda _, answer: None if answer == expected else f"expected {expected}"

        def pid_update(engine):
            return (lambda: self.new_pid_update(engine),
                    lambda request, answer: self.check_pid_update(engine, request, answer or {}))

        def verify(response, note):
            def check(_, answer):
                status = (answer or {}).get(response)
                if not status or not status["staged"]:
                    return "not a staged engine's status"
                if (status["active"] and re.fullmatch(note, status["note"])) or self.slowed_down(status):
                    return None
                return "the engine is not live"
            return lambda: "Verify" + response.removesuffix("Status"), check

        def data_plane(_, answer):
            status = (answer or {}).get("TunnelDataPlaneStatus")
            return None if status and (status["connected"], status["iface"]) == (True, "utun200") else "no tunnel"

        def parse_error(prefix):
            def check(_, answer):
                fault = (answer or {}).get("Err", {})
                if fault.get("code") == "ParseError" and fault["message"].startswith(prefix):
                    return None
                return f"expected a ParseError beginning {prefix!r}"
            return check

        bypass = {"ApplySplitBypass": {"routes": BYPASS_ROUTES, "gateway": S.GATEWAY}}
        return [
            (250, "Ping", None, lambda: "Ping", expect(OK)),
            (170, "Status", None, lambda: "Status",
             expect({"Status": {"connected": True, "iface": "utun200", "pid": self.wg_pid}})),
            (15, "GetStatus", "pf", *same_as_before("GetStatus", "GetStatus")),
            (50, "VerifyTunnelDataPlane", None, lambda: "VerifyTunnelDataPlane", data_plane),
            (10, "VerifyKillSwitch", "pf", *same_as_before("VerifyKillSwitch", "VerifyKillSwitch")),
            (40, "VerifyDnsProxy", None,
             *same_as_before("VerifyDnsProxy", {"VerifyDnsProxy": {"dns_ip": "127.0.0.1"}})),
            (20, "VerifySplitBypass", "split", *same_as_before("VerifySplitBypass", "VerifySplitBypass")),
            (10, "ApplySplitBypass", "split", *same_as_before("ApplySplitBypass", bypass)),
            (12, "VerifyQuicMitigation", "pf", *same_as_before("VerifyQuicMitigation", "VerifyQuicMitigation")),
            (5, "SetQuicMitigation", "pf",
             *same_as_before("SetQuicMitigation", {"SetQuicMitigation": {"enabled": True}})),
            (40, "UpdateCustomSplitEnginePids", "custom", *pid_update("custom")),
            (15, "VerifyCustomSplitEngine", "custom",
             *verify("CustomSplitEngineStatus", r"Custom split engine is live\. .*")),
            (30, "UpdatePacketSteeringPids", "steering", *pid_update("steering")),
            (10, "VerifyPacketSteeringEngine", "steering",
             *verify("PacketSteeringEngineStatus", r"Packet steering engine diagnostics are live\. .*")),
            # Hostile and failing requests, which must change nothing.
            (40, "bad JSON", None, lambda: b'{"Ping":', parse_error("EOF while parsing")),
            (40, "unknown variant", None, lambda: "Explode",
             parse_error("unknown variant `Explode`, expected one of")),
            (20, "invalid UTF-8", None, lambda: b'"Ping\xff"',
             lambda _, answer: None if answer is None else "answered"),
            (20, "hang-up", None, lambda: "Status", None),
            (5, "bad bypass route", "split",
             lambda: {"ApplySplitBypass": {"routes": ["100.64.7.0/24; reboot"], "gateway": S.GATEWAY}},
             expect(err("SplitBypassApplyFailed", "Invalid CIDR prefix '100.64.7.0/24; reboot'"))),
            (2, "missing custom split app", "custom",
             lambda: {"StageCustomSplitEngine": {"app_paths": [GONE_APP], "routes": [], "gateway": S.GATEWAY,
                                                 "allow_lan": False}},
             expect(err("CustomSplitEngineStageFailed", f"Custom split engine app path does not exist: {GONE_APP}"))),
            (2, "missing steering app", "steering",
             lambda: {"StagePacketSteeringEngine": {"app_paths": [GONE_APP], "routes": [], "gateway": S.GATEWAY,
                                                    "allow_lan": False}},
             expect(err("PacketSteeringEngineStageFailed", f"Packet steering app path does not exist: {GONE_APP}"))),
        ]

    def run_load(self):
        """CLIENTS threads send REQUESTS requests drawn from the table, until done or SECONDS pass.

        Requests of one feature wait for its lock in the helper in no particular order. With
        dozens of snapshots queued, a newer generation comes through ever more rarely, and the
        snapshots turn stale while clients are still sending them, which no real client can
        make happen: so at most LANE_DEPTH requests of one lane are in the helper at once, and a
        client waits for its turn in the lane before it connects."""
        table = self.load_table()
        weights = [row[0] for row in table]
        lanes = {row[2]: threading.BoundedSemaphore(LANE_DEPTH) for row in table if row[2]}
        taken = itertools.count()
        deadline = time.monotonic() + SECONDS
        crashed = []

        def client(seed):
            pick = random.Random(seed)
            try:
                while next(taken) < REQUESTS and time.monotonic() < deadline:
                    _, kind, lane, make, check = pick.choices(table, weights)[0]
                    if lane and not lanes[lane].acquire(timeout=max(0, deadline - time.monotonic())):
                        break
                    try:
                        request = make()
                        began = time.monotonic()
                        raw = self.ask(request if isinstance(request, bytes) else encode(request),
                                       read_answer=check is not None)
                        took = time.monotonic() - began
                    finally:
                        if lane:
                            lanes[lane].release()
                    try:
                        answer = json.loads(raw) if raw else None
                    except ValueError:
                        answer = raw
                    problem = check(request, answer) if check else None
                    self.outcome.add(kind, request, answer, problem, took)
            except Exception as e:  # noqa: BLE001 - a client's end is reported, not swallowed
                crashed.append(f"client {seed}: {e!r}")

        threads = [threading.Thread(target=client, args=(n,), daemon=True) for n in range(CLIENTS)]
        began = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0, deadline - time.monotonic()) + ANSWER_TIMEOUT + 10)
        took = time.monotonic() - began
        self.assertFalse([t for t in threads if t.is_alive()], "clients still waiting for answers")
        self.assertEqual(crashed, [])
        return took

    # -- what the helper holds ---------------------------------------------------------------

    def helper_holdings(self):
        """(threads, open descriptors, descriptor listing) of the helper, seen inside the client."""
        pid = self.sb.run("pgrep", "-xf", f"{S.INSIDE_BUILD_DIR}/com.kivovpn.helper").stdout.split()[0]
        out = self.sb.run("sh", "-c", f"ls /proc/{pid}/task | wc -l; ls -l /proc/{pid}/fd").stdout.splitlines()
        listing = [" ".join(line.split()[-3:]) for line in out[1:] if "->" in line]
        return int(out[0]), len(listing), listing

    def idle_holdings(self, within=3):
        """The helper's least holdings over a short while: monitors' passes come and go."""
        least = None
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            threads, fds, listing = self.helper_holdings()
            if least is None or (threads <= least[0] and fds <= least[1]):
                least = (threads, fds, listing)
            time.sleep(0.2)
        return least

    def settle_to(self, idle):
        deadline = time.monotonic() + SETTLE_SECONDS
        while True:
            now = self.helper_holdings()
            if (now[0] <= idle[0] and now[1] <= idle[1]) or time.monotonic() > deadline:
                return now
            time.sleep(0.2)

    # -- routes -------------------------------------------------------------------------------

    def routes6(self):
        return self.sb.run("ip", "-6", "route", "show", "table", "main").stdout.splitlines()

    def routes_follow_records(self):
        """The fault, if any, between the kernel's routes and the records of split bypass and
        both engines. Read records, routes, records again, so a pass in between shows up."""
        def records():
            return (self.state(SPLIT_STATE)["routes"], self.state(CUSTOM_STATE)["dynamic_routes"],
                    self.state(STEERING_STATE)["applied_bypass_routes_ipv4"],
                    self.state(STEERING_STATE)["applied_bypass_routes_ipv6"])
        before = records()
        kernel4, kernel6 = self.routes(), self.routes6()
        if records() != before:
            return "the records changed while the routes were read"
        bypass, custom, steered4, steered6 = before
        expected4 = {line.split()[0]: line for line in self.tunnel_routes}
        for dest in [*bypass, *custom, *steered4]:
            expected4.setdefault(dest, f"{dest} via {S.GATEWAY} dev {S.PHYSICAL_IFACE}")
        expected6 = {line.split()[0]: line for line in self.tunnel_routes6}
        for dest in steered6:
            expected6.setdefault(dest, f"{dest} via {S.GATEWAY6} dev {S.PHYSICAL_IFACE}")
        faults = []
        for family, kernel, expected in (("IPv4", kernel4, expected4), ("IPv6", kernel6, expected6)):
            held = {line.split()[0]: line for line in kernel}
            for dest in sorted(set(held) - set(expected)):
                faults.append(f"{family} route no record names: {held[dest]}")
            for dest, line in sorted(expected.items()):
                if dest not in held:
                    faults.append(f"{family} route of a record missing: {line}")
                elif not held[dest].startswith(line.split(" proto")[0].split(" metric")[0]):
                    faults.append(f"{family} route on another path: {held[dest]}, expected {line}")
        return "\n".join(faults) or None

    def wait_for_routes_to_follow_records(self, within=10):
        deadline = time.monotonic() + within
        while (fault := self.routes_follow_records()) and time.monotonic() < deadline:
            time.sleep(0.3)
        return fault

    # -- the scenario ---------------------------------------------------------------------------

    def test_many_clients_at_once_leave_the_helper_as_they_found_it(self):
        sb = self.sb
        self.stage_everything()
        idle = self.idle_holdings()
        self.assertIsNone(self.wait_for_routes_to_follow_records(), "before the load")

        took = self.run_load()
        answers = self.outcome.answers
        if self.outcome.degraded:
            print(f"\n{len(self.outcome.degraded)} answers told of a tool out of time, the first: "
                  f"{self.outcome.degraded[0]}")
        print(f"\n{sum(answers.values())} requests from {CLIENTS} clients in {took:.1f} s: "
              + ", ".join(f"{kind} {n} (slowest {self.outcome.slowest[kind]:.1f} s)"
                          for kind, n in sorted(answers.items())))
        problems = self.outcome.problems
        self.assertEqual(problems[:5], [], f"{len(problems)} answers should not be, by kind: "
                         f"{collections.Counter(p.split(':')[0] for p in problems)}")
        self.assertGreaterEqual(sum(answers.values()), min(REQUESTS, 500), "the load hardly ran")

        # Whichever client sent the highest generation, it was accepted and is the record's.
        sent, accepted, stale = self.outcome.sent, self.outcome.accepted, self.outcome.stale
        for engine, state in (("custom", CUSTOM_STATE), ("steering", STEERING_STATE)):
            with self.subTest(engine=engine):
                self.assertEqual(sorted(accepted[engine] + stale[engine]), sorted(sent[engine]))
                self.assertIn(max(sent[engine]), accepted[engine])
                self.assertEqual(self.state(state)["pid_generation"], max(sent[engine]))
        # Every refused snapshot was counted: no save of the engine's record was lost.
        self.assertEqual(self.state(STEERING_STATE)["diagnostics"]["stale_pid_snapshots"], len(stale["steering"]))

        self.assertIsNone(self.wait_for_routes_to_follow_records(), "after the load")
        self.assertEqual(self.answer("Ping"), OK)
        settled = self.settle_to(idle)
        self.assertEqual(settled[:2], idle[:2], "threads and descriptors, now and idle:\n"
                         + "\n".join(settled[2]) + "\n--\n" + "\n".join(idle[2]))

        self.restore_everything()
        self.assertEqual(self.routes(), self.bare_routes)
        self.assertEqual(self.routes6(), self.bare_routes6)
        left = sorted(p.name for p in sb.run_path().iterdir() if HELPER_FILE.match(p.name))
        self.assertEqual(left, [STEERING_CACHE, "com.kivovpn.helper.sock"])
        self.assertEqual(sb.run("pfctl", "-a", QUIC_ANCHOR, "-s", "rules", check=False).stdout.strip(), "")
        tokens = [t for f in sb.run_path(PF_STANDIN_DIR).glob("netns-*.json") for t in json.loads(f.read_text())["tokens"]]
        self.assertEqual(tokens, [], "pf references still held")
        # The invalid UTF-8 requests' line, and a monitor's tool that overran its limit.
        unexpected = [line for line in sb.helper_stderr().splitlines()
                      if line != "Read error: stream did not contain valid UTF-8"
                      and not (WATCHDOG_ERROR.match(line) and "timed out" in line)]
        self.assertEqual(unexpected, [])


if __name__ == "__main__":
    unittest.main()
