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
    def test_launchd_job_runs_the_installed_helper_and_tools_land_in_their_folders(self):
        root = Path(self.enterContext(tempfile.TemporaryDirectory()))
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(root)], check=True, stdout=subprocess.DEVNULL)
        job_file = root / "Library/LaunchDaemons/com.kivovpn.helper.plist"
        job = plistlib.loads(job_file.read_bytes())
        helper = "/Library/PrivilegedHelperTools/com.kivovpn.helper"
        # The helper takes no options; launchd keeps it running.
        self.assertEqual((job["Label"], job["ProgramArguments"], job["RunAtLoad"] is True, job["KeepAlive"] is True),
                         ("com.kivovpn.helper", [helper], True, True))
        self.assertTrue(os.access(root / helper.lstrip("/"), os.X_OK))
        for key in ("StandardOutPath", "StandardErrorPath"):
            self.assertTrue(job[key].startswith("/var/log/"), key)
        self.assertEqual(job_file.stat().st_mode & 0o022, 0, "launchd refuses a job file others can write")
        # Any local user can make the helper write, so its log is rotated.
        rotation = (root / "private/etc/newsyslog.d/com.kivovpn.helper.conf").read_text()
        entries = [line.split() for line in rotation.splitlines() if line.strip() and not line.startswith("#")]
        self.assertEqual([e[0] for e in entries], [job["StandardErrorPath"]])
        path, owner, mode, count, size_kb, when, flags = entries[0]
        self.assertEqual((owner, int(mode, 8) & 0o002), ("root:wheel", 0))
        self.assertTrue(int(count) > 0 and 0 < int(size_kb) <= 10240 and when == "*", entries[0])

        self.assertTrue(os.access(root / "usr/local/bin/kivo-helperctl", os.X_OK))
        if (BUILD / "kivo-ne-manager").exists():
            manager = root / "Applications/Kivo VPN.app/Contents/Resources/binaries/macos/kivo-ne-manager"
            self.assertTrue(os.access(manager, os.X_OK))


if __name__ == "__main__":
    unittest.main()
