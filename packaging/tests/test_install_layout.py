"""The installed layout: the launchd job names the helper where it is installed, keeps it running
and sends its lines somewhere, and every file lands where macOS and the binary search look."""
import os
import plistlib
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD = Path(os.environ["KIVO_BUILD_DIR"])


class InstallLayout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = Path(cls.tmp.name)
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(cls.root)], check=True,
                       stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_launchd_job_runs_the_installed_helper(self):
        with open(self.root / "Library/LaunchDaemons/com.kivovpn.helper.plist", "rb") as f:
            job = plistlib.load(f)
        self.assertEqual(job["Label"], "com.kivovpn.helper")
        program = job["ProgramArguments"][0]
        self.assertEqual(program, "/Library/PrivilegedHelperTools/com.kivovpn.helper")
        self.assertEqual(job["ProgramArguments"], [program])  # the helper takes no options
        self.assertTrue(os.access(self.root / program.lstrip("/"), os.X_OK))
        self.assertIs(job["RunAtLoad"], True)
        self.assertIs(job["KeepAlive"], True)
        for key in ("StandardOutPath", "StandardErrorPath"):
            self.assertTrue(job[key].startswith("/var/log/"), key)
        mode = (self.root / "Library/LaunchDaemons/com.kivovpn.helper.plist").stat().st_mode & 0o777
        self.assertEqual(mode & 0o022, 0, "launchd refuses a job file others can write")
        # Any local user can make the helper write, so its log is rotated.
        rotation = (self.root / "private/etc/newsyslog.d/com.kivovpn.helper.conf").read_text()
        entries = [line.split() for line in rotation.splitlines() if line.strip() and not line.startswith("#")]
        self.assertEqual([e[0] for e in entries], [job["StandardErrorPath"]])
        path, owner, mode, count, size_kb, when, flags = entries[0]
        self.assertEqual((owner, int(mode, 8) & 0o002), ("root:wheel", 0))
        self.assertTrue(int(count) > 0 and 0 < int(size_kb) <= 10240 and when == "*", entries[0])

    def test_tools_land_in_their_folders(self):
        self.assertTrue(os.access(self.root / "usr/local/bin/kivo-helperctl", os.X_OK))
        if (BUILD / "kivo-ne-manager").exists():
            manager = self.root / "Applications/Kivo VPN.app/Contents/Resources/binaries/macos/kivo-ne-manager"
            self.assertTrue(os.access(manager, os.X_OK))


if __name__ == "__main__":
    unittest.main()
