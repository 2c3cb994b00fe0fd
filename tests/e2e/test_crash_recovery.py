#!/usr/bin/python3
"""The helper killed with SIGKILL in the middle of a request, at every tool run of it (route, ifconfig,
pfctl, networksetup, wg): after the restart, as launchd would do it, the request's undo (or, for DNS,
the restart alone) must bring routes, nftables, pf references, DNS servers, processes and the helper's
files back to where they were. A wrapper in place of each tool counts its runs and, at the chosen
one, announces itself and sleeps instead of running the tool."""
import itertools
import subprocess
import time
import unittest

from e2e_support import (APP_EXE, STOPPED, STREAM_EXE, PfCase, Sandbox as S, pid_update, stage_request,
                         start_request, wait_until)

GATE_DIR = "kivo-crash"  # in the client's /run: the plan, the count, the log, the pause
WRAPPER = """#!/bin/sh
gate=%(gate)s
if [ -f $gate/at ]; then
  n=$(flock $gate/lock sh -c 'n=$(( $(cat %(gate)s/count 2>/dev/null || echo 0) + 1 )); echo $n > %(gate)s/count; echo $n')
  echo "$n %(name)s $*" >> $gate/log
  if [ "$n" = "$(cat $gate/at)" ]; then
    echo $$ > $gate/paused
    exec sleep 1000
  fi
fi
exec %(real)s "$@"
"""
LAN = "USB 10/100/1000 LAN"
# Request, its undo, and whether the restart alone must undo it (no DNS proxy listens on 1053).
SCENARIOS = {
    "tunnel": (start_request(), "StopTunnel", False),
    "tunnel_recover": (start_request(), "Recover", False),
    "split_bypass": ({"ApplySplitBypass": {"routes": [S.PUBLIC_IP, "198.51.100.128/25", "203.0.113.64/26"],
                                           "gateway": S.GATEWAY}}, "RestoreSplitBypass", False),
    "kill_switch": ({"ApplyKillSwitch": {"server_ip": S.SERVER_IP}}, "RemoveKillSwitch", False),
    "quic": ({"SetQuicMitigation": {"enabled": True}}, "Recover", False),
    "dns": ({"ApplyDnsProxy": {"dns_ip": "127.0.0.1"}}, "RestoreDnsProxy", True),
}
# Each engine's PID update and undo.
ENGINES = {"PacketSteeringEngine": "RestorePacketSteeringEngine", "CustomSplitEngine": "RestoreCustomSplitEngine"}
DNS_RESTORED_AT_START = ("[Tarnwick DNS] stale state detected during helper startup; local proxy 127.0.0.1:1053 "
                         "unreachable. Restoring DNS.")


class CrashRecoveryTest(PfCase):
    @classmethod
    def prepare(cls):
        super().prepare()
        sb = cls.sb
        sb.run("mkdir", "-p", "/opt/crash/real", f"/run/{GATE_DIR}")
        # The stand-ins stay reachable for the wrappers at a second place.
        sb.run("mount", "--bind", S.INSIDE_PLATFORM_DIR, "/opt/crash/real")
        for name in ("route", "ifconfig", "pfctl", "networksetup"):
            cls.install_wrapper(name, f"/opt/crash/real/{name}", f"{S.INSIDE_PLATFORM_DIR}/{name}")
        wg = f"{S.HELPER_TOOLS}/wg"
        cls.install_wrapper("wg", sb.run("readlink", "-f", wg).stdout.strip(), wg)
        # The user's own DNS: one service automatic, one with servers of its own.
        sb.run("networksetup", "-setdnsservers", LAN, S.GATEWAY, "192.0.2.53")
        # One clean round of every feature first, so what pf and nftables keep after a clean
        # removal is part of the baseline.
        for apply, undo, _ in SCENARIOS.values():
            sb.ctl(apply)
            sb.ctl(undo)

    @classmethod
    def install_wrapper(cls, name, real, over):
        inside = f"/opt/crash/{name}"
        cls.sb.path(inside).write_text(WRAPPER % {"gate": f"/run/{GATE_DIR}", "name": name, "real": real})
        cls.sb.path(inside).chmod(0o755)
        cls.sb.run(*(("ln", "-sfn") if name == "wg" else ("mount", "--bind")), inside, over)

    def gate(self, name=""):
        return self.sb.run_path(GATE_DIR) / name

    def snapshot(self):
        sb = self.sb
        return {
            "routes": self.routes(),
            "nft": sb.run("nft", "list", "ruleset").stdout,
            "pf": (self.pf_info(), self.pf_tokens()),
            "tunnel": self.tunnel_leftovers(),
            "files": [f for f in self.helper_files("com.kivovpn.helper.") if not f.endswith(".sock")],
            "dns": {s: sb.run("networksetup", "-getdnsservers", s.lstrip("*")).stdout
                    for s in sb.run("networksetup", "-listallnetworkservices").stdout.splitlines()[1:]},
        }

    def arm_gate(self, step):
        """The wrappers count afresh and pause at `step` (0: never)."""
        for name in ("count", "log", "paused"):
            self.gate(name).unlink(missing_ok=True)
        self.gate("at").write_text(f"{step}\n")

    def run_to_step(self, request, step):
        """Sends the request, pausing at `step`, and restarts the helper; whether it paused there."""
        self.arm_gate(step)
        client = self.ctl_in_background(request)
        self.assertTrue(wait_until(lambda: self.gate("paused").exists() or client.poll() is not None, 30, 0.02),
                        f"step {step} never came")
        paused = self.gate("paused").exists()
        self.sb.stop_helper()
        if paused:
            self.sb.run("kill", "-9", self.gate("paused").read_text().strip(), check=False)
        client.wait(10)
        self.gate("at").unlink()
        self.sb.start_helper()
        return paused

    def crash_at_every_step(self, make, undo, look, restage=None, by_restart=False):
        """Kills the helper at each tool run of the request `make` gives in turn and restarts it; after
        the undo (or the restart alone) `look` must see what it saw before. The clean run's tool runs."""
        before = look()
        if restage:
            self.sb.ctl(restage)
        self.arm_gate(0)  # the wrappers log the tool runs of a clean request
        self.sb.ctl(make())
        self.gate("at").unlink()
        steps = self.gate("log").read_text().splitlines()
        self.sb.ctl(undo)
        self.assertEqual(look(), before, "a clean request and undo left something")
        # Waits (for the interface, say) may take more rounds than in the first run: go on until the
        # request finishes before its step comes. An engine's monitor keeps running passes, so there
        # every step comes and the steps of the first run are all there are.
        step, paused = 0, True
        while paused and not (restage and step == len(steps)):
            step += 1
            self.assertLess(step, len(steps) + 30, "the request never finished")
            with self.subTest(step=step, tool=steps[step - 1] if step <= len(steps) else "a later one"):
                if restage:
                    self.sb.ctl(restage)
                paused = self.run_to_step(request := make(), step)
                self.assertTrue(paused or not restage, "the monitor's pass never came")
                if paused and "StartTunnel" in request:
                    # Until a start is complete no tunnel is reported, whatever is half up.
                    self.assertEqual(self.request("Status"), STOPPED)
                if not by_restart:
                    self.sb.ctl(undo)
                self.assertEqual(look(), before)
        self.assertGreaterEqual(step, len(steps) + (0 if restage else 1))
        return steps

    def test_every_request_is_undone_after_a_crash_at_any_step(self):
        for scenario, (request, undo, by_restart) in SCENARIOS.items():
            with self.subTest(scenario=scenario):
                steps = self.crash_at_every_step(lambda: request, undo, self.snapshot, by_restart=by_restart)
                self.assertGreater(len(steps), 8 if by_restart else 2)
                if by_restart:
                    self.assertIn(DNS_RESTORED_AT_START, self.sb.helper_stderr())

    # -- the split engines' passes ----------------------------------------------------------
    # A pass routes each network (or host) the tracked processes talk to; one killed between
    # its route commands must leave a record naming every route it may have added.

    def engine_client(self, engine):
        """Processes with flows into two networks, so that a pass adds two routes: (the application
        path, a maker of PID update requests for them, each of a newer generation)."""
        hosts = (S.PUBLIC_IP, S.SERVER_IP)
        if engine == "CustomSplitEngine":
            app = self.sb.spawn("kivo-app", *hosts, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.assertEqual([app.stdout.readline().strip() for _ in hosts], [S.CLIENT_IP] * 2)
            app, pids = APP_EXE, [self.sb.inner_pid(app)]
        else:
            app, pids = STREAM_EXE, self.held_streams(*hosts)
        generation = itertools.count(1)
        return app, lambda: pid_update(engine, next(generation), app, pids)

    def test_a_pass_of_either_engine_is_undone_after_a_crash_at_any_route_command(self):
        for engine, undo in ENGINES.items():
            with self.subTest(engine=engine):
                app, snapshot = self.engine_client(engine)
                steps = self.crash_at_every_step(snapshot, undo, self.routes, restage=stage_request(engine, app))
                self.assertGreaterEqual(sum(" route -n add " in step for step in steps), 2, steps)

    def test_a_hung_route_tool_holds_the_steering_engine_back_only_until_its_run_is_cut_off(self):
        before = self.routes()
        app, snapshot = self.engine_client("PacketSteeringEngine")
        self.sb.ctl(stage_request("PacketSteeringEngine", app))
        self.arm_gate(1)  # the pass's first route add never returns
        update = self.ctl_in_background(snapshot())
        self.assertTrue(wait_until(lambda: self.gate("paused").exists(), 30, 0.02), "the route add never came")
        began = time.monotonic()
        # Recover waits for the engine's lock: for as long as the hung tool may run, no longer.
        self.assertEqual(self.sb.ctl("Recover", timeout=60), (0, '"Ok"'))
        # It did wait: the hang held the lock until the run was cut off at 30 s.
        self.assertTrue(20 < time.monotonic() - began < 40, time.monotonic() - began)
        update.wait(10)
        self.gate("at").unlink()
        self.assertEqual(self.routes(), before)


if __name__ == "__main__":
    unittest.main()
