#!/usr/bin/python3
"""The codesign stand-in: the display the manager reads, signing records, and failures."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from standin_support import BIN, PLATFORM, StandinTest, macos_sample

TEAM_REQUIREMENT = (
    'anchor apple generic and identifier "com.example.editor" and '
    "(certificate leaf[field.1.2.840.113635.100.6.1.9] /* exists */ or "
    "certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */ and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */ and "
    "certificate leaf[subject.OU] = ABCDE12345)")
# The manager's own parser, run over the stand-in by a test-only program of the build.
READER = Path(os.environ.get("KIVO_BUILD_DIR") or PLATFORM.parent / "build" / "default") / "kivo-codesign-reading"


@unittest.skipUnless(READER.exists(), f"{READER} is not built")
class CodesignTest(StandinTest):
    TOOL = "codesign"

    def setUp(self):
        self.exe = str(Path(self.enterContext(tempfile.TemporaryDirectory())) / "Editor")
        shutil.copyfile("/bin/true", self.exe)

    def test_displays_as_a_mac_prints_them_and_as_the_manager_reads_them(self):
        adhoc = re.sub(r'H"[0-9a-f]+"', 'H"[0-9a-f]+"', re.escape(macos_sample("codesign ad-hoc").splitlines()[1]))
        siri = re.escape(macos_sample("codesign platform application").splitlines()[-1])
        # (the record, its identifier, the requirement line on stdout); a sidecar record counts
        # until the attribute is set, and an Apple platform binary's reads as a real Mac's.
        for record, identifier, shown_requirement in (
                ("sidecar identifier=com.apple.siri.launcher", "com.apple.siri.launcher", siri),
                ("identifier=com.example.editor\nteam=ABCDE12345\n", "com.example.editor",
                 re.escape(f"designated => {TEAM_REQUIREMENT}")),
                ('# custom\nidentifier = com.example.x\n'
                 'requirement=identifier "com.example.x" and anchor apple generic', "com.example.x",
                 re.escape('designated => identifier "com.example.x" and anchor apple generic')),
                # The form of a real Mac, with this file's hashes.
                ("identifier=de.jonasgehring.notable\nadhoc=yes\n", "de.jonasgehring.notable", adhoc)):
            with self.subTest(record=record):
                if record.startswith("sidecar "):
                    Path(self.exe + ".codesign").write_text(record.split(" ", 1)[1] + "\n")
                else:
                    os.setxattr(self.exe, "user.kivo.codesign", record.encode())
                # Details on stderr, the requirement on stdout.
                shown = self.tool("-d", "--verbose=4", "-r-", self.exe)
                self.assertRegex(shown.stdout, f"^{shown_requirement}\n\\Z")
                self.assertIn(f"Identifier={identifier}\n", shown.stderr)
                read = subprocess.run([str(READER), str(BIN / "codesign"), self.exe], capture_output=True,
                                      text=True, timeout=60)
                self.assertEqual((read.returncode, read.stdout),
                                 (0, f"{identifier}\n{shown.stdout.split('designated => ')[1]}"), read.stderr)

    def test_failures(self):
        missing = self.exe + "-missing"
        self.fails([(["-d", "--verbose=4", "-r-", self.exe], 1, f"{self.exe}: code object is not signed at all\n"),
                    (["-d", "--verbose=4", "-r-", missing], 1, f"{missing}: No such file or directory\n"),
                    (["-d", "-r-"], 2, "Usage: codesign")])
        os.setxattr(self.exe, "user.kivo.codesign", b"team=ABCDE12345")
        self.fails([(["-d", "--verbose=4", "-r-", self.exe], 1,
                     f"{self.exe}: invalid signature (code or signature have been modified)\n")])


if __name__ == "__main__":
    unittest.main()
