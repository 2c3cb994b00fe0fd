"""A macOS-like sandbox on Linux in which the real helper runs as root.

    with Sandbox(console_uid=501) as sb:
        sb.start_helper()
        code, out = sb.ctl("Ping")
        sb.run("kivo-probe", "udp", sb.PUBLIC_IP, str(sb.ECHO_PORT))

The client side (where the helper runs) has its own PID, mount and network namespaces and
a root made of an overlay of / with a tmpfs upper layer; the server side (gateway, VPN
server and public hosts) has its own network namespace in the host PID namespace. Nothing
is ever changed outside these namespaces and the sandbox's temp dir, and everything goes
when the sandbox closes, also after an exception, on Ctrl-C, or when the owning process
dies (the holders carry a parent-death signal; temp dirs of dead owners are swept by the
next sandbox). See platform/README.md.
"""
import ctypes
import json
import os
import secrets
import select
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
from pathlib import Path

PLATFORM_DIR = Path(__file__).resolve().parent.parent
HOLDER = PLATFORM_DIR / "sandbox" / "holder.py"
TEMP_PREFIX = "kivo-sandbox-"
# ip, nsenter and unshare live in sbin; a bare CI environment may not list it.
for _dir in ("/usr/sbin", "/sbin"):
    if _dir not in os.environ.get("PATH", "").split(":"):
        os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + ":" + _dir
INSIDE_PATH = ("/opt/kivo-platform/bin:/opt/kivo/bin:/usr/local/sbin:/usr/local/bin:"
               "/usr/sbin:/usr/bin:/sbin:/bin")


def _die_with_parent():
    """preexec_fn: SIGKILL this child when the process that started it dies."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _process_table():
    """{pid: ppid} of every process on the host."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    table[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    return table


def _descendants(pid):
    table = _process_table()
    found, frontier = [], [pid]
    while frontier:
        parent = frontier.pop()
        children = [p for p, pp in table.items() if pp == parent]
        found += children
        frontier += children
    return found


def _kill(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def namespace_id(pid, kind="net"):
    """The kernel's identity of a process's namespace, e.g. "net:[4026532281]"."""
    return os.readlink(f"/proc/{pid}/ns/{kind}")


def pin_namespace(pid, kind="net"):
    """An open handle on a process's namespace. While it is open the namespace's inode number
    cannot pass to a namespace of a sandbox running alongside, so looking for processes by that
    number finds ours alone."""
    return os.open(f"/proc/{pid}/ns/{kind}", os.O_RDONLY)


def processes_in(ns_id, kind="net"):
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/ns/{kind}") == ns_id:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


def _sweep_stale_temp_dirs():
    """Temp dirs of sandboxes whose owner was killed outright (no chance to clean up)."""
    for d in Path(tempfile.gettempdir()).glob(f"{TEMP_PREFIX}*"):
        owner = d.name[len(TEMP_PREFIX):].split("-", 1)[0]
        if owner.isdigit() and not Path(f"/proc/{owner}").exists():
            shutil.rmtree(d, ignore_errors=True)


def _start_holder(unshare_flags, mode, layout, err_path, timeout=15):
    err = open(err_path, "wb")
    proc = subprocess.Popen(
        ["unshare", *unshare_flags, "--propagation", "private", "--fork",
         "--kill-child=SIGKILL", "/usr/bin/python3", str(HOLDER), mode, json.dumps(layout)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
        preexec_fn=_die_with_parent, start_new_session=True)
    err.close()
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    line = proc.stdout.readline() if ready else b""
    proc.stdout.close()
    if not line:
        _kill([proc.pid, *_descendants(proc.pid)])
        proc.wait()
        raise RuntimeError(f"namespace holder failed: {Path(err_path).read_text().strip()}")
    return proc, json.loads(line)["pid"]


class Netns:
    """A throw-away network namespace (with a private mount namespace) held by a process.

    run_dir, when given, is bind-mounted on /run inside, so tools that keep sockets under
    /var/run (wireguard-go) stay private and visible to the host at that directory."""

    def __init__(self, work_dir, run_dir=None):
        self._spawned = []
        self._proc, self.pid = _start_holder(
            ["--net", "--mount"], "net", {"run_dir": str(run_dir) if run_dir else None},
            Path(work_dir) / f"holder-{secrets.token_hex(3)}.err")
        self.net_id = namespace_id(self.pid)
        self.mnt_id = namespace_id(self.pid, "mnt")
        self._pin = pin_namespace(self.pid)

    def argv(self, *argv):
        return ["nsenter", f"--target={self.pid}", "--net", "--mount", "--", *argv]

    def run(self, *argv, check=True, timeout=30, input=None):
        return subprocess.run(self.argv(*argv), check=check, timeout=timeout, input=input,
                              capture_output=True, text=True)

    def spawn(self, *argv, **kwargs):
        """A long-lived process inside; it dies with this process and with close()."""
        proc = subprocess.Popen(self.argv(*argv), preexec_fn=_die_with_parent,
                                start_new_session=True, **kwargs)
        self._spawned.append(proc)
        return proc

    def close(self):
        for proc in self._spawned:
            _kill([proc.pid])
        _kill(processes_in(self.net_id))  # the holder and anything else left inside
        _reap_unshare(self._proc)
        for proc in [*self._spawned, self._proc]:
            proc.wait()
            for stream in (proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        try:
            _wait_until_empty(self.net_id)
        finally:
            os.close(self._pin)


def _reap_unshare(proc, timeout=5):
    """Lets unshare reap the holder it forked: killing unshare first would leave the dead holder
    unreaped, still listed as a process that holds the namespaces."""
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        _kill([proc.pid])


def _wait_until_empty(ns_id, timeout=10):
    deadline = time.monotonic() + timeout
    while processes_in(ns_id):
        if time.monotonic() > deadline:
            raise RuntimeError(f"processes still hold {ns_id}")
        time.sleep(0.02)


class Sandbox:
    GATEWAY = "192.0.2.1"
    CLIENT_IP = "192.0.2.2"
    PHYSICAL_IFACE = "en0"
    SERVER_IP = "203.0.113.1"         # the VPN server's WireGuard endpoint
    WG_PORT = 51820
    SERVER_TUNNEL_IP = "198.18.0.1"
    TUNNEL_IP = "198.18.0.2"          # the client's address inside the tunnel
    PUBLIC_IP = "198.51.100.10"       # public probe targets, served by the echo server
    PUBLIC_IP_2 = "198.51.100.20"
    # IPv6 on the physical link only: the tunnel carries IPv4, so IPv6 leaves outside it.
    CLIENT_IP6 = "2001:db8:2::2"
    GATEWAY6 = "fe80::1"              # a router's link-local address, as macOS sees one
    PUBLIC_IP6 = "2001:db8:100::10"
    PUBLIC_IP6_2 = "2001:db8:100::20"
    ECHO_PORT = 7777                  # open for UDP and TCP on every server address
    ECHO_UDP_PORTS = (53, 443, 7777)
    ECHO_TCP_PORTS = (80, 443, 7777)
    HOLD_PORT = 7778                  # TCP connections stay open (kivo-stream)
    CONFIG_PATH = "/etc/kivo/wg0.conf"
    SOCKET_PATH = "/var/run/com.kivovpn.helper.sock"
    HELPER_TOOLS = "/Library/PrivilegedHelperTools"
    APP_BINARIES = "/Applications/Kivo VPN.app/Contents/Resources/binaries/macos"
    INSIDE_BUILD_DIR = "/opt/kivo/bin"
    DNS_NAME = "vpn-check.kivo.test"  # what the server's DNS (start_dns_server) answers
    DNS_ANSWER = "198.51.100.77"
    DNS_PROXY_PORT = 1053             # where the helper's redirection sends loopback DNS
    INSIDE_PLATFORM_DIR = "/opt/kivo-platform/bin"

    def __init__(self, console_uid=None, build_dir=None):
        self.console_uid = console_uid
        self.build_dir = Path(build_dir or os.environ.get("KIVO_BUILD_DIR")
                              or PLATFORM_DIR.parent / "build" / "sandbox")
        self.id = secrets.token_hex(4)
        self.dir = None
        self.server = None
        self._client_proc = None
        self.client_pid = None
        self._client_pin = None
        self._helper = None
        self._spawned = []

    # -- lifecycle -------------------------------------------------------------------------

    def __enter__(self):
        try:
            self._setup()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _setup(self):
        _sweep_stale_temp_dirs()
        self.dir = Path(tempfile.mkdtemp(prefix=f"{TEMP_PREFIX}{os.getpid()}-{self.id}-"))
        self.dir.chmod(0o755)
        for d in ("run", "server", "server/run", "layer"):
            (self.dir / d).mkdir(mode=0o755)
        keys = {side: self._keypair() for side in ("client", "server")}
        (self.dir / "client-wg0.conf").write_text(
            f"[Interface]\nPrivateKey = {keys['client'][0]}\n\n"
            f"[Peer]\nPublicKey = {keys['server'][1]}\n"
            f"Endpoint = {self.SERVER_IP}:{self.WG_PORT}\nAllowedIPs = 0.0.0.0/0\n")
        (self.dir / "server" / "wg0.conf").write_text(
            f"[Interface]\nPrivateKey = {keys['server'][0]}\nListenPort = {self.WG_PORT}\n\n"
            f"[Peer]\nPublicKey = {keys['client'][1]}\nAllowedIPs = {self.TUNNEL_IP}/32\n")

        self.server = Netns(self.dir, run_dir=self.dir / "server" / "run")
        self._client_proc, self.client_pid = _start_holder(
            ["--net", "--mount", "--pid"], "client", self._client_layout(),
            self.dir / "client-holder.err")
        self.client_net_id = namespace_id(self.client_pid)
        self._client_pin = pin_namespace(self.client_pid)
        self.client_pid_ns_id = namespace_id(self.client_pid, "pid")
        self._wire()
        self._start_server_peer()
        self._seed_network_services()

    def _client_layout(self):
        binds = {self.INSIDE_PLATFORM_DIR: str(PLATFORM_DIR / "bin")}
        if self.build_dir.is_dir():
            binds[self.INSIDE_BUILD_DIR] = str(self.build_dir)
            # A native stand-in takes the place of its script, so the helper runs it directly.
            native = self.build_dir / "platform" / "bin"
            for tool in sorted(native.iterdir()) if native.is_dir() else ():
                if (PLATFORM_DIR / "bin" / tool.name).exists():
                    binds[f"{self.INSIDE_PLATFORM_DIR}/{tool.name}"] = str(tool)
        return {
            "layer_dir": str(self.dir / "layer"),
            "run_dir": str(self.dir / "run"),
            "console_uid": self.console_uid or 0,
            "binds": binds,
            "dirs": [self.APP_BINARIES, self.INSIDE_BUILD_DIR],
            "links": {f"{self.HELPER_TOOLS}/wireguard-go": shutil.which("wireguard-go"),
                      f"{self.HELPER_TOOLS}/wg": shutil.which("wg"),
                      # kivo-ne-manager runs codesign by its full path.
                      "/usr/bin/codesign": f"{self.INSIDE_PLATFORM_DIR}/codesign"},
            "files": {self.CONFIG_PATH: str(self.dir / "client-wg0.conf")},
        }

    @staticmethod
    def _keypair():
        private = subprocess.run(["wg", "genkey"], check=True, capture_output=True,
                                 text=True).stdout.strip()
        public = subprocess.run(["wg", "pubkey"], input=private, check=True,
                                capture_output=True, text=True).stdout.strip()
        return private, public

    def _wire(self):
        """The physical link: en0 in the client, eth0 in the server, public hosts behind."""
        client_ip = ["nsenter", f"--net=/proc/{self.client_pid}/ns/net", "ip", "-batch", "-"]
        subprocess.run(client_ip, check=True, capture_output=True, text=True, input=(
            f"link add {self.PHYSICAL_IFACE} type veth peer name eth0 netns {self.server.pid}\n"
            f"addr add {self.CLIENT_IP}/24 dev {self.PHYSICAL_IFACE}\n"
            f"link set {self.PHYSICAL_IFACE} up\n"
            f"route add default via {self.GATEWAY}\n"
            f"addr add {self.CLIENT_IP6}/64 dev {self.PHYSICAL_IFACE} nodad\n"
            f"route add default via {self.GATEWAY6} dev {self.PHYSICAL_IFACE}\n"))
        self.server.run("ip", "-batch", "-", input=(
            f"addr add {self.GATEWAY}/24 dev eth0\n"
            f"addr add {self.GATEWAY6}/64 dev eth0 nodad\n"
            "addr add 2001:db8:2::1/64 dev eth0 nodad\n"
            "link set eth0 up\n"
            f"addr add {self.SERVER_IP}/32 dev lo\n"
            f"addr add {self.PUBLIC_IP}/32 dev lo\n"
            f"addr add {self.PUBLIC_IP_2}/32 dev lo\n"
            f"addr add {self.PUBLIC_IP6}/128 dev lo\n"
            f"addr add {self.PUBLIC_IP6_2}/128 dev lo\n"))
        # The tunnel's address means something only inside the tunnel: like any network
        # between here and a real public host, the server's side drops packets that claim it
        # on the physical link (strict reverse-path filter), so a flow that began in the
        # tunnel cannot carry on around it.
        self.server.run("sysctl", "-q", "-w", "net.ipv4.conf.all.rp_filter=1",
                        "net.ipv4.conf.eth0.rp_filter=1")

    def _start_server_peer(self):
        log = open(self.dir / "server" / "wireguard-go.log", "wb")
        self.server.spawn("wireguard-go", "-f", "wg0", stdin=subprocess.DEVNULL,
                          stdout=log, stderr=subprocess.STDOUT)
        log.close()
        uapi = self.dir / "server" / "run" / "wireguard" / "wg0.sock"
        _wait_for(uapi.exists, 10, "the server's wireguard-go did not start")
        self.server.run("wg", "setconf", "wg0", str(self.dir / "server" / "wg0.conf"))
        self.server.run("ip", "-batch", "-", input=(
            f"addr add {self.SERVER_TUNNEL_IP}/24 dev wg0\nlink set wg0 up\n"))
        err = open(self.dir / "server" / "echo.err", "wb")
        echo = self.server.spawn(
            str(PLATFORM_DIR / "bin" / "kivo-echo"), "--log", str(self.dir / "server" / "echo.log"),
            "--udp", ",".join(map(str, self.ECHO_UDP_PORTS)),
            "--tcp", ",".join(map(str, self.ECHO_TCP_PORTS)), "--hold", str(self.HOLD_PORT),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        err.close()
        ready, _, _ = select.select([echo.stdout], [], [], 10)
        if not ready or echo.stdout.readline().strip() != b"ready":
            raise RuntimeError("the echo server did not start: "
                               + (self.dir / "server" / "echo.err").read_text())

    def _seed_network_services(self):
        """networksetup's services, with the client's /etc/resolv.conf following their DNS
        servers; a service without servers of its own uses the gateway's, as handed out by
        DHCP on a home network."""
        store = self.run_path("kivo-platform")
        store.mkdir(mode=0o755)
        (store / "networksetup.json").write_text(json.dumps(
            {"resolver": {"file": "/etc/resolv.conf", "automatic_dns_servers": [self.GATEWAY]}}))
        self.run("networksetup", "-listallnetworkservices")

    def close(self):
        """Kills everything the sandbox started and removes its temp dir. Idempotent."""
        if self._client_proc:
            # Killing PID 1 of the client's PID namespace kills every process in it.
            _kill([self.client_pid])
            _kill([p.pid for p in self._spawned])
            _reap_unshare(self._client_proc)
            for proc in [*self._spawned, self._client_proc] + ([self._helper] if self._helper else []):
                proc.wait()
            try:
                _wait_until_empty(self.client_net_id)
            finally:
                if self._client_pin is not None:
                    os.close(self._client_pin)
                    self._client_pin = None
            self._client_proc = None
        if self.server:
            self.server.close()
            self.server = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    # -- inside the client -----------------------------------------------------------------

    def argv(self, *argv, uid=None):
        enter = ["nsenter", f"--target={self.client_pid}", "--net", "--mount", "--pid",
                 "--root", "--wd"]
        if uid is not None:
            enter += [f"--setuid={uid}", f"--setgid={uid}"]
        return [*enter, "--", *argv]

    def env(self, uid=None):
        return {"PATH": INSIDE_PATH, "HOME": "/root" if not uid else "/",
                "LANG": "C.UTF-8", "TERM": os.environ.get("TERM", "dumb")}

    def run(self, *argv, uid=None, check=True, timeout=30, input=None):
        """Runs a command inside the client as root (or uid); returns CompletedProcess."""
        proc = subprocess.Popen(self.argv(*argv, uid=uid), env=self.env(uid), text=True,
                                stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill([*_descendants(proc.pid), proc.pid])
            proc.communicate()
            raise
        result = subprocess.CompletedProcess(argv, proc.returncode, out, err)
        if check and proc.returncode != 0:
            raise subprocess.CalledProcessError(proc.returncode, argv, out, err)
        return result

    def spawn(self, *argv, uid=None, **kwargs):
        """A long-lived process inside the client; ended by close() at the latest."""
        proc = subprocess.Popen(self.argv(*argv, uid=uid), env=self.env(uid),
                                preexec_fn=_die_with_parent, start_new_session=True, **kwargs)
        self._spawned.append(proc)
        return proc

    def inner_pid(self, proc, timeout=5):
        """The pid, as the client sees it, of the command that spawn() started."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for child in _descendants(proc.pid):
                try:
                    with open(f"/proc/{child}/status") as f:
                        nspid = next(l for l in f if l.startswith("NSpid:")).split()
                    if len(nspid) > 2:
                        return int(nspid[-1])
                except (OSError, StopIteration):
                    pass
            time.sleep(0.01)
        raise RuntimeError("the spawned process never appeared inside the sandbox")

    def server_run(self, *argv, check=True, timeout=30):
        """Runs a command in the server's network namespace."""
        return self.server.run(*argv, check=check, timeout=timeout)

    def path(self, inside):
        """Host path of a file inside the client's root (readable while the sandbox lives)."""
        return Path(f"/proc/{self.client_pid}/root{inside}")

    def run_path(self, name=""):
        """Host path of a file in the client's /run (= /var/run)."""
        return self.dir / "run" / name

    def server_log(self):
        """The echo server's lines: "proto src dst port"."""
        log = self.dir / "server" / "echo.log"
        return log.read_text().splitlines() if log.exists() else []

    def set_console_owner(self, uid):
        self.run("chown", f"{uid}:{uid}", "/dev/console")

    # -- the helper ------------------------------------------------------------------------

    def start_helper(self, timeout=10):
        """Starts com.kivovpn.helper inside as root and waits until its socket is open."""
        binary = self.build_dir / "com.kivovpn.helper"
        if not binary.exists():
            raise FileNotFoundError(f"{binary} is not built")
        sock = self.run_path("com.kivovpn.helper.sock")
        # A socket left by a killed helper; ext4 may give the new one the same inode.
        stale = (sock.stat().st_ino, sock.stat().st_ctime_ns) if sock.exists() else None
        out = open(self.dir / "helper.stdout", "ab")
        err = open(self.dir / "helper.stderr", "ab")
        self._helper = subprocess.Popen(
            self.argv(f"{self.INSIDE_BUILD_DIR}/com.kivovpn.helper"), env=self.env(),
            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
            preexec_fn=_die_with_parent, start_new_session=True)
        out.close()
        err.close()

        def ready():
            if self._helper.poll() is not None:
                raise RuntimeError(f"the helper exited with status {self._helper.returncode}: "
                                   + self.helper_stderr())
            try:
                st = sock.stat()
            except FileNotFoundError:
                return False
            return (stat.S_ISSOCK(st.st_mode) and (st.st_ino, st.st_ctime_ns) != stale
                    and stat.S_IMODE(st.st_mode) == 0o666)

        _wait_for(ready, timeout, "the helper did not open its socket")

    def stop_helper(self):
        """SIGKILL, as when the machine or launchd ends it: no clean-up runs."""
        if self._helper:
            # nsenter's child is the helper; its own children (wireguard-go) live on.
            _kill([p for p, parent in _process_table().items() if parent == self._helper.pid])
            self._helper.wait()
            self._helper = None

    def helper_stdout(self):
        path = self.dir / "helper.stdout"
        return path.read_text(errors="replace") if path.exists() else ""

    def helper_stderr(self):
        path = self.dir / "helper.stderr"
        return path.read_text(errors="replace") if path.exists() else ""

    def ctl(self, request, uid=None, timeout=30):
        """Sends one request through kivo-helperctl inside: (exit code, response text)."""
        if not isinstance(request, str):
            request = json.dumps(request, separators=(",", ":"))
        result = self.run(f"{self.INSIDE_BUILD_DIR}/kivo-helperctl", request, uid=uid,
                          check=False, timeout=timeout)
        return result.returncode, result.stdout.removesuffix("\n")

    def raw_request(self, data, timeout=30):
        """Sends bytes as root straight to the helper's socket: the response's exact bytes."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(str(self.run_path("com.kivovpn.helper.sock")))
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            chunks = []
            while chunk := s.recv(65536):
                chunks.append(chunk)
        return b"".join(chunks)

    # -- DNS -------------------------------------------------------------------------------

    def start_dns_server(self):
        """A real DNS server (dnsmasq) in the server namespace answering DNS_NAME with
        DNS_ANSWER, on the gateway (the network's own resolver) and on the server's tunnel
        address; dns_queries() tells who asked."""
        log = self.dir / "server" / "dns.log"
        self.server.spawn(
            "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
            "--bind-interfaces", f"--listen-address={self.GATEWAY}",
            f"--listen-address={self.SERVER_TUNNEL_IP}", "--port=53", "--user=root", "--pid-file=",
            f"--host-record={self.DNS_NAME},{self.DNS_ANSWER}", "--log-queries",
            f"--log-facility={log}", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

        def answers():
            return self.server_run("dig", "+short", "+time=1", "+tries=1", f"@{self.GATEWAY}",
                                   self.DNS_NAME, check=False).stdout.strip() == self.DNS_ANSWER
        _wait_for(answers, 10, "the server's DNS did not start")

    def dns_queries(self):
        """(name, source address) of every query the server's DNS has seen, in order."""
        log = self.dir / "server" / "dns.log"
        lines = log.read_text().splitlines() if log.exists() else []
        return [(words[-3], words[-1]) for words in map(str.split, lines)
                if len(words) >= 4 and words[-4].startswith("query[") and words[-2] == "from"]

    def start_dns_proxy(self, upstream=None):
        """A local DNS proxy (dnsmasq) on 127.0.0.1 port DNS_PROXY_PORT inside the client,
        forwarding every query uncached to `upstream` (the server's tunnel address by default,
        which only the tunnel reaches). Returns the process, for inner_pid()."""
        proc = self.spawn(
            "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
            "--bind-interfaces", "--listen-address=127.0.0.1", f"--port={self.DNS_PROXY_PORT}",
            f"--server={upstream or self.SERVER_TUNNEL_IP}", "--cache-size=0", "--user=root",
            "--pid-file=", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        connect = ("import socket; socket.create_connection(('127.0.0.1', %d), 1).close()"
                   % self.DNS_PROXY_PORT)
        _wait_for(lambda: self.run("python3", "-c", connect, check=False).returncode == 0, 10,
                  "the local DNS proxy did not start")
        return proc


def _wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.02)
