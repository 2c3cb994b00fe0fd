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
        macos = Path(self.enterContext(tempfile.TemporaryDirectory())) / "Editor.app/Contents/MacOS"
        macos.mkdir(parents=True)
        self.exe = str(macos / "Editor")
        shutil.copyfile("/bin/true", self.exe)

    def display(self):
        return self.tool("-d", "--verbose=4", "-r-", self.exe)

    def read_signature(self):
        """(identifier, requirement) as the manager reads them from the stand-in's display."""
        read = subprocess.run([str(READER), str(BIN / "codesign"), self.exe], capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(read.returncode, 0, read.stderr)
        return tuple(read.stdout.splitlines())

    def test_signing_records_as_the_manager_reads_them(self):
        # Details on stderr, the requirement on stdout, as macOS prints them.
        os.setxattr(self.exe, "user.kivo.codesign", b"identifier=com.example.editor\nteam=ABCDE12345\n")
        shown = self.display()
        self.assertEqual((shown.returncode, shown.stdout), (0, f"designated => {TEAM_REQUIREMENT}\n"))
        self.assertEqual(self.read_signature(), ("com.example.editor", TEAM_REQUIREMENT))
        for record, expected in (
                ("identifier=com.apple.Safari", ("com.apple.Safari", 'identifier "com.apple.Safari" and anchor apple')),
                ('# custom\nidentifier = com.example.x\nrequirement=identifier "com.example.x" and anchor apple generic',
                 ("com.example.x", 'identifier "com.example.x" and anchor apple generic'))):
            with self.subTest(record=record):
                os.setxattr(self.exe, "user.kivo.codesign", record.encode())
                self.assertEqual(self.read_signature(), expected)
        os.setxattr(self.exe, "user.kivo.codesign", b"identifier=com.apple.siri.launcher")
        self.assertEqual(self.display().stdout, macos_sample("codesign platform application").splitlines(True)[-1])

    def test_adhoc_signature_comments_its_requirement_out(self):
        os.setxattr(self.exe, "user.kivo.codesign", b"identifier=de.jonasgehring.notable\nadhoc=yes\n")
        shown = self.display()
        self.assertIn("Signature=adhoc\n", shown.stderr)
        # The form of a real Mac, with this file's hashes.
        pattern = re.sub(r'H"[0-9a-f]+"', 'H"[0-9a-f]+"', re.escape(macos_sample("codesign ad-hoc").splitlines()[1]))
        self.assertRegex(shown.stdout, f"^{pattern}\n$")
        self.assertEqual(self.read_signature()[0], "de.jonasgehring.notable")

    def test_sidecar_record_counts_unless_the_attribute_is_set(self):
        Path(self.exe + ".codesign").write_text("identifier=com.example.sidecar\n")
        self.assertEqual(self.read_signature()[0], "com.example.sidecar")
        os.setxattr(self.exe, "user.kivo.codesign", b"identifier=com.example.attribute")
        self.assertEqual(self.read_signature()[0], "com.example.attribute")

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
