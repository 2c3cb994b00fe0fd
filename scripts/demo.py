#!/usr/bin/python3
"""Runs the real helper in the sandbox and shows, step by step, what it does for a user.

Usage: demo.py BUILD_DIR
"""
import json
import os
import select
import shlex
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "platform" / "sandbox"))
from sandbox import Sandbox  # noqa: E402


def say(text):
    print(f"\n== {text}", flush=True)


def ctl(sb, *args, stdin=None):
    """Runs kivo-helperctl as a person would type it and shows what it printed; the
    "name: value" lines it printed, as a dict."""
    result = sb.run(f"{sb.INSIDE_BUILD_DIR}/kivo-helperctl", *args, check=False, input=stdin)
    print(f"  $ kivo-helperctl {shlex.join(args)}" + (f" <<< '{stdin}'" if stdin else ""), flush=True)
    for line in (result.stdout + result.stderr).splitlines():
        print(f"    {line}", flush=True)
    return dict(map(str.strip, line.split(":", 1)) for line in result.stdout.splitlines() if ":" in line)


def snapshot(name, exe_path, *pids):
    return json.dumps([{"name": name, "exe_path": exe_path, "active_pids": list(pids)}], separators=(",", ":"))


def probe(sb, proto, host, port, what):
    result = sb.run("kivo-probe", proto, host, str(port), "--timeout", "1", check=False)
    seen = result.stdout.strip()
    if result.returncode != 0:
        verdict = "blocked (no answer)"
    elif seen == sb.TUNNEL_IP:
        verdict = f"answered; the server saw {seen}: it went through the tunnel"
    elif seen == sb.CLIENT_IP:
        verdict = f"answered; the server saw {seen}: it went around the tunnel"
    else:
        verdict = f"answered; the server saw {seen}"
    print(f"  probe {proto} {host}:{port} ({what}): {verdict}", flush=True)


def lookup(sb, what):
    """An ordinary lookup of the test name inside the sandbox, and who the server's DNS saw ask."""
    mark = len(sb.dns_queries())
    result = sb.run("getent", "ahostsv4", sb.DNS_NAME, check=False)
    answer = result.stdout.split()[0] if result.returncode == 0 else "no answer"
    askers = sorted({source for name, source in sb.dns_queries()[mark:] if name == sb.DNS_NAME})
    via = {sb.CLIENT_IP: "straight from the client, outside the tunnel",
           sb.TUNNEL_IP: "from the tunnel address, through the local proxy and the tunnel"}
    seen = "; ".join(f"the DNS server saw {a}: {via.get(a, 'unexpected')}" for a in askers) or "no query seen"
    print(f"  lookup {sb.DNS_NAME} ({what}): {answer}; {seen}", flush=True)


def nameservers(sb):
    lines = sb.path("/etc/resolv.conf").read_text().splitlines()
    servers = [line.split()[1] for line in lines if line.startswith("nameserver ")]
    print(f"  /etc/resolv.conf (follows networksetup): nameserver {', '.join(servers) or 'none'}", flush=True)


def dns_demo(sb):
    say("DNS through a local proxy: the network services point at 127.0.0.1, pf sends port 53 "
        "to the proxy on 1053, and the proxy asks through the tunnel")
    sb.start_dns_server()
    nameservers(sb)
    lookup(sb, "the user's own DNS, the gateway's")
    proxy = sb.start_dns_proxy()
    print("  started dnsmasq on 127.0.0.1:1053 as the local DNS proxy", flush=True)
    ctl(sb, "dns", "apply", "127.0.0.1")
    ctl(sb, "dns", "verify", "127.0.0.1")
    nameservers(sb)
    lookup(sb, "through the proxy")

    say("The proxy dies: within 5 s the helper's watchdog puts the user's DNS back")
    sb.run("kill", "-KILL", str(sb.inner_pid(proxy)))
    proxy.wait()
    deadline = time.monotonic() + 10
    while sb.run_path("com.kivovpn.helper.dns.state.json").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    for line in sb.helper_stderr().splitlines():
        if line.startswith("[Tarnwick DNS]"):
            print(f"  helper: {line}", flush=True)
    ctl(sb, "dns", "verify", "127.0.0.1")
    nameservers(sb)
    lookup(sb, "the user's own DNS again")


def next_connection(stream):
    """The source address the server saw on the stream's next connection, or None."""
    ready, _, _ = select.select([stream.stdout], [], [], 10)
    words = stream.stdout.readline().decode().split() if ready else []
    return words[1] if words[:1] == ["connected"] else None


def steer_excluded_app(sb):
    app = f"{sb.INSIDE_PLATFORM_DIR}/kivo-stream"
    say("Steer an excluded application around the tunnel with the packet steering engine")
    ctl(sb, "steering", "stage", "--gateway", sb.GATEWAY, "--app", app)
    stream = sb.spawn("kivo-stream", sb.PUBLIC_IP, str(sb.HOLD_PORT), stdout=subprocess.PIPE)
    print(f"  the excluded app holds a connection to {sb.PUBLIC_IP}:{sb.HOLD_PORT}; "
          f"the server sees it from {next_connection(stream)} (the tunnel)", flush=True)
    ctl(sb, "steering", "update", "--generation", "1", stdin=snapshot("kivo-stream", app, sb.inner_pid(stream)))
    print(f"  its flow stuck in the tunnel is recycled; it reconnects and the server now sees it from "
          f"{next_connection(stream)} (around the tunnel)", flush=True)
    seen = [line for line in sb.server_log() if line.endswith(f" {sb.HOLD_PORT}")]
    print("  the server's log of those connections: " + "; ".join(seen), flush=True)
    ctl(sb, "steering", "verify")
    stream.kill()  # the engine stays staged: the overview shows it, and recover takes it down


def main():
    build_dir = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "default").resolve()
    with Sandbox(build_dir=str(build_dir)) as sb:
        say("Start the helper as root in a private sandbox")
        sb.start_helper()
        print("  " + sb.helper_stdout().strip())
        say("Is it alive, and what can it do here?")
        ctl(sb, "ping")
        ctl(sb, "features")

        say("Before the tunnel, a public host is reached over the physical network")
        probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host")

        say("Bring the WireGuard tunnel up")
        ctl(sb, "tunnel", "start", "--config", sb.CONFIG_PATH, "--client-ip", sb.TUNNEL_IP,
            "--server-ip", sb.SERVER_IP, "--gateway", sb.GATEWAY)
        ctl(sb, "tunnel", "status")
        before = ctl(sb, "tunnel", "data-plane")
        probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host")
        probe(sb, "tcp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host")
        after = ctl(sb, "tunnel", "data-plane")
        if all("rx bytes" in counters for counters in (before, after)):
            print(f"  the tunnel moved {int(after['rx bytes']) - int(before['rx bytes'])} bytes in and "
                  f"{int(after['tx bytes']) - int(before['tx bytes'])} bytes out meanwhile")

        say("Send one destination around the tunnel with a split bypass route")
        ctl(sb, "split", "apply", "--gateway", sb.GATEWAY, sb.PUBLIC_IP_2)
        ctl(sb, "split", "verify")
        probe(sb, "udp", sb.PUBLIC_IP_2, sb.ECHO_PORT, "bypassed host")
        probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "other host")

        dns_demo(sb)

        say("Let one application bypass the tunnel with the custom split engine")
        other_host = "203.0.113.80"  # a public host in another network
        sb.server_run("ip", "addr", "add", f"{other_host}/32", "dev", "lo")
        ctl(sb, "custom-split", "stage", "--gateway", sb.GATEWAY, "--app", "/usr/bin/python3")
        app = sb.spawn("kivo-app", sb.PUBLIC_IP, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        print(f"  the application connects to {sb.PUBLIC_IP}; the server saw {app.stdout.readline().strip()}")
        ctl(sb, "custom-split", "update", "--generation", "1",
            stdin=snapshot("kivo-app", "/usr/bin/python3", sb.inner_pid(app)))
        ctl(sb, "custom-split", "verify")
        for line in sb.run("ip", "-4", "route", "show", "198.51.100.0/24").stdout.splitlines():
            print(f"  route of its peers' network: {line.strip()}")
        for host in (sb.PUBLIC_IP, other_host):
            app.stdin.write(host + "\n")
            app.stdin.flush()
            print(f"  the application connects again to {host}; the server saw {app.stdout.readline().strip()}")
        probe(sb, "tcp", other_host, sb.ECHO_PORT, "another application, another network")
        ctl(sb, "custom-split", "restore")
        app.kill()

        steer_excluded_app(sb)

        say("Block QUIC: UDP to port 443 is dropped, TCP to 443 still works")
        ctl(sb, "quic", "on")
        ctl(sb, "quic", "verify")
        probe(sb, "udp", sb.PUBLIC_IP, 443, "QUIC")
        probe(sb, "tcp", sb.PUBLIC_IP, 443, "HTTPS over TCP")

        say("Turn the kill switch on: nothing leaves outside the tunnel")
        ctl(sb, "kill-switch", "on", "--server-ip", sb.SERVER_IP)
        ctl(sb, "kill-switch", "verify")
        probe(sb, "udp", sb.PUBLIC_IP_2, sb.ECHO_PORT, "bypassed host, outside the tunnel")
        probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "through the tunnel")

        say("Everything the helper can report, in one overview (read-only requests only)")
        ctl(sb, "status")

        say("Tear everything down: recover cleans up as after a crash of the client (the tunnel, the "
            "bypass routes, both engines, the QUIC block) but leaves the kill switch to its own command")
        ctl(sb, "recover")
        ctl(sb, "kill-switch", "off")
        probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host")
        ne_manager_demo(sb)
        say("Finally, what the helper reports now: nothing applied, nothing staged")
        ctl(sb, "status")
        say("Done; the sandbox and everything in it are removed")


# -- kivo-ne-manager ---------------------------------------------------------------------------

def ne_manager(sb, command, payload=None):
    stdin = json.dumps(payload, separators=(",", ":")) if payload is not None else ""
    result = sb.run(f"{sb.INSIDE_BUILD_DIR}/kivo-ne-manager", command, input=stdin, check=False)
    shown = json.dumps(dict(payload, privateKey="…"), separators=(",", ":")) if payload and "privateKey" in payload else stdin
    print(f"  $ kivo-ne-manager {command}" + (f" <<< {shown}" if stdin else ""))
    print(f"  {'stdout' if result.returncode == 0 else 'stderr'} (exit {result.returncode}): "
          f"{result.stdout or result.stderr}", flush=True)
    return json.loads(result.stdout or result.stderr)


def ne_wait(sb, wanted):
    for _ in range(150):
        status = json.loads(sb.run(f"{sb.INSIDE_BUILD_DIR}/kivo-ne-manager", "status").stdout)
        if status["status"] == wanted:
            break
        time.sleep(0.1)
    return ne_manager(sb, "status")


def ne_manager_demo(sb):
    """The Network Extension profile CLI, with its Linux stand-in running a real tunnel."""
    say("kivo-ne-manager: configure the VPN profile and start its packet tunnel")
    keys = dict(line.split(" = ", 1) for line in sb.path(sb.CONFIG_PATH).read_text().splitlines() if " = " in line)
    payload = {"privateKey": keys["PrivateKey"], "address": f"{sb.TUNNEL_IP}/32", "dns": sb.SERVER_TUNNEL_IP,
               "peerPublicKey": keys["PublicKey"], "peerEndpoint": f"{sb.SERVER_IP}:{sb.WG_PORT}",
               "allowedIps": "0.0.0.0/0", "excludedApps": []}
    ne_manager(sb, "connect", payload)
    ne_wait(sb, "connected")
    probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host, through the profile's tunnel")

    say("kivo-ne-manager: per-app mode, from the code signatures of the installed applications")
    for name, identifier in (("Editor", "com.example.editor"), ("Mail", "com.apple.mail"), ("Notes", "com.apple.Notes")):
        executable = f"/Applications/{name}.app/Contents/MacOS/{name}"
        sb.run("install", "-D", "/bin/true", executable)
        os.setxattr(sb.path(executable), "user.kivo.codesign", f"identifier={identifier}".encode())
        print(f"  installed {executable} signed as {identifier}")
    print("  " + sb.run("codesign", "-d", "--verbose=4", "-r-", "/Applications/Mail.app/Contents/MacOS/Mail")
          .stdout.strip())
    answer = ne_manager(sb, "connect", dict(payload, excludedApps=["/Applications/Editor.app"]))
    print(f"  the full-tunnel profile is replaced by a per-app one with {answer.get('appRuleCount')} rules "
          "(every signed application but Editor)")
    ne_wait(sb, "connected")
    ne_manager(sb, "update-app-rules", {"excludedApps": ["/Applications/Editor.app", "/Applications/Notes.app"]})
    ne_wait(sb, "connected")
    say("kivo-ne-manager: a connect that names a missing application changes nothing")
    ne_manager(sb, "connect", dict(payload, excludedApps=["/Applications/Missing.app"]))
    ne_manager(sb, "status")
    say("kivo-ne-manager: disconnect")
    ne_manager(sb, "disconnect")
    ne_wait(sb, "disconnected")
    probe(sb, "udp", sb.PUBLIC_IP, sb.ECHO_PORT, "public host")


if __name__ == "__main__":
    main()
