"""codesign stand-in: signing records, the display the manager reads, and failures."""
import os
import shutil
import subprocess
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bin", "codesign")
TEAM_REQUIREMENT = (
    'anchor apple generic and identifier "com.example.editor" and '
    "(certificate leaf[field.1.2.840.113635.100.6.1.9] /* exists */ or "
    "certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */ and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */ and "
    "certificate leaf[subject.OU] = ABCDE12345)")


def read_signature(result):
    """The manager's reading: stderr then stdout, last Identifier= and designated => win."""
    combined = "\n".join(s for s in (result.stderr, result.stdout) if s)
    identifier = requirement = None
    for line in filter(None, combined.split("\n")):
        if line.startswith("Identifier="):
            identifier = line[len("Identifier="):].strip()
        if "designated =>" in line:
            requirement = line.split("designated =>", 1)[1].strip()
    return identifier, requirement


class CodesignCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.macos = os.path.join(self.dir.name, "Editor.app", "Contents", "MacOS")
        os.makedirs(self.macos)
        self.exe = self.executable("Editor")

    def tearDown(self):
        self.dir.cleanup()

    def executable(self, name):
        path = os.path.join(self.macos, name)
        shutil.copyfile("/bin/true", path)
        os.chmod(path, 0o755)
        return path

    def sign(self, path, record):
        os.setxattr(path, "user.kivo.codesign", record.encode())

    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=30)

    def display(self, path):
        return self.run_tool("-d", "--verbose=4", "-r-", path)


class DisplayTest(CodesignCase):
    def test_signed_with_team(self):
        self.sign(self.exe, "identifier=com.example.editor\nteam=ABCDE12345\n")
        result = self.display(self.exe)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Details on stderr, the requirement on stdout, as macOS prints them.
        self.assertIn("Identifier=com.example.editor\n", result.stderr)
        self.assertIn("TeamIdentifier=ABCDE12345\n", result.stderr)
        self.assertEqual(result.stdout, f"designated => {TEAM_REQUIREMENT}\n")
        self.assertEqual(read_signature(result), ("com.example.editor", TEAM_REQUIREMENT))

    def test_platform_binary_and_explicit_requirement(self):
        self.sign(self.exe, "identifier=com.apple.Safari")
        self.assertEqual(read_signature(self.display(self.exe)),
                         ("com.apple.Safari", 'identifier "com.apple.Safari" and anchor apple'))
        self.sign(self.exe, "# custom\nidentifier = com.example.x\n"
                            "requirement=identifier \"com.example.x\" and anchor apple generic")
        self.assertEqual(read_signature(self.display(self.exe)),
                         ("com.example.x", 'identifier "com.example.x" and anchor apple generic'))

    def test_sidecar_record_and_attribute_precedence(self):
        with open(self.exe + ".codesign", "w") as f:
            f.write("identifier=com.example.sidecar\n")
        self.assertEqual(read_signature(self.display(self.exe))[0], "com.example.sidecar")
        self.sign(self.exe, "identifier=com.example.attribute")
        self.assertEqual(read_signature(self.display(self.exe))[0], "com.example.attribute")

    def test_symlink_shows_its_target(self):
        self.sign(self.exe, "identifier=com.example.editor")
        link = os.path.join(self.dir.name, "editor-link")
        os.symlink(self.exe, link)
        result = self.display(link)
        self.assertEqual(result.returncode, 0)
        self.assertIn(f"Executable={os.path.realpath(self.exe)}\n", result.stderr)

    def test_option_spellings(self):
        self.sign(self.exe, "identifier=com.example.editor\nteam=ABCDE12345")
        out_file = os.path.join(self.dir.name, "req.txt")
        for args in (["-dvvvv", "-r", "-"], ["--display", "--verbose=4", "--requirements=-"],
                     ["-d", "-v", "-r-"]):
            result = self.run_tool(*args, self.exe)
            self.assertEqual(read_signature(result), ("com.example.editor", TEAM_REQUIREMENT),
                             args)
        result = self.run_tool("-d", "-v", "-r", out_file, self.exe)
        self.assertEqual(result.stdout, "")
        with open(out_file) as f:
            self.assertEqual(f.read(), f"designated => {TEAM_REQUIREMENT}\n")
        # Without -v only the executable is named.
        self.assertEqual(self.run_tool("-d", self.exe).stderr,
                         f"Executable={os.path.realpath(self.exe)}\n")


class FailureTest(CodesignCase):
    def test_unsigned_missing_and_damaged(self):
        damaged = self.executable("Damaged")
        self.sign(damaged, "team=ABCDE12345")
        cases = {self.exe: f"{self.exe}: code object is not signed at all\n",
                 os.path.join(self.macos, "Nope"):
                     f"{os.path.join(self.macos, 'Nope')}: No such file or directory\n",
                 damaged: f"{damaged}: invalid signature (code or signature have been "
                          "modified)\n"}
        for path, message in cases.items():
            result = self.display(path)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (1, "", message))

    def test_verify(self):
        self.assertEqual(self.run_tool("-v", self.exe).returncode, 1)
        self.sign(self.exe, "identifier=com.example.editor")
        result = self.run_tool("--verify", self.exe)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        self.assertIn("valid on disk", self.run_tool("-vv", self.exe).stderr)

    def test_usage_errors(self):
        for args in ([self.exe], ["-d"], ["-x", self.exe], ["-d", "-r"],
                     ["--frob", self.exe], ["--verbose=x", "-d", self.exe]):
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("Usage: codesign", result.stderr)


if __name__ == "__main__":
    unittest.main()
