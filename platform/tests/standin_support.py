"""What the stand-ins' tests share: throw-away network namespaces, running a stand-in from
bin/ and checking how it ended."""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

PLATFORM = Path(__file__).resolve().parent.parent
BIN = PLATFORM / "bin"
sys.dont_write_bytecode = True  # nothing compiled lands in the source tree
sys.path.insert(0, str(PLATFORM / "sandbox"))
from sandbox import TEMP_PREFIX, Netns  # noqa: E402  (also puts /usr/sbin on PATH)

needs_root = unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")


def macos_sample(name):
    """The block NAME of the verbatim outputs of real Macs that the parsers' tests read too."""
    samples = (PLATFORM.parent / "testing" / "macos_samples" / "tool_outputs.txt").read_text(encoding="utf-8")
    return re.search(rf"^=== {re.escape(name)}\n(.*?)(?=^=== |\Z)", samples, re.M | re.S).group(1)


def wait_until(condition, timeout=10):
    """CONDITION's last value, once it holds or TIMEOUT seconds have passed."""
    deadline = time.monotonic() + timeout
    while not (held := condition()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return held


class StandinTest(unittest.TestCase):
    """Runs the stand-in TOOL, inside `ns` when set, with `env` added; the class's tests share
    one throw-away network namespace set up by NAMESPACE (an `ip -batch` script) when it is set."""
    TOOL = ""
    TOOL_DIR = BIN
    NAMESPACE = None
    ns = None
    env = {}

    @classmethod
    def setUpClass(cls):
        if cls.NAMESPACE is not None:
            # Named like a sandbox's, so that the next sandbox sweeps it if this process is killed.
            work = cls.enterClassContext(tempfile.TemporaryDirectory(prefix=f"{TEMP_PREFIX}{os.getpid()}-standin-"))
            cls.ns = Netns(work)
            cls.addClassCleanup(cls.ns.close)
            cls.ns.run("ip", "-batch", "-", input=cls.NAMESPACE)

    def tool(self, *args):
        argv = [f"{self.TOOL_DIR}/{self.TOOL}", *args]
        return subprocess.run(self.ns.argv(*argv) if self.ns else argv, capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, **self.env))

    def ok(self, *args):
        result = self.tool(*args)
        self.assertEqual(result.returncode, 0, f"{self.TOOL} {args}: {result.stderr}")
        return result.stdout

    def fails(self, cases):
        """cases: (arguments, exit status, text on stderr); a failure prints nothing on stdout."""
        for args, status, text in cases:
            with self.subTest(args=args):
                result = self.tool(*args)
                self.assertEqual((result.returncode, result.stdout), (status, ""), result.stderr)
                self.assertIn(text, result.stderr)
