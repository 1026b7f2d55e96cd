"""What the release engineers ship: an exe that imports only Windows system
DLLs, has the right PE header, and is rebuilt byte for byte the same."""
import hashlib
import os
import re
import shutil
import subprocess
import unittest

import harness

# In KnownDLLs on every Windows from 7 to 11, so never looked for beside the
# exe. Anything else must be delay-loaded from the system folder.
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
              "normaliz.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll"}


def objdump(path):
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True, capture_output=True,
                          text=True).stdout


def release_build(source, folder):
    """A clean release build of the installer alone from `source` in `folder`; its exe."""
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja",
                    "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % source,
                    "-DTARVEX_BUILD_TESTS=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", folder, "--target", "tarvex-installer"], check=True, capture_output=True)
    return os.path.join(folder, "tarvex-installer.exe")


def sha256(path):
    with open(path, "rb") as exe:
        return hashlib.sha256(exe.read()).hexdigest()


class ShippedExecutable(unittest.TestCase):
    def test_imports_only_known_dlls(self):
        dump = objdump(harness.exe("tarvex-installer"))
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertTrue(imported, "no import table found")
        self.assertLessEqual(imported, KNOWN_DLLS, "imports outside KnownDLLs: %s" % (imported - KNOWN_DLLS))

    def test_is_a_64_bit_gui_program_for_windows_6_0(self):
        dump = objdump(harness.exe("tarvex-installer"))
        self.assertIn("pei-x86-64", dump)
        self.assertRegex(dump, r"Subsystem\s+00000002")
        self.assertRegex(dump, r"MajorSubsystemVersion\s+6\n")
        self.assertRegex(dump, r"MinorSubsystemVersion\s+0\n")
        self.assertRegex(dump, r"Time/Date\s+Thu Jan  1 00:00:00 1970")

    def test_two_clean_builds_from_different_folders_are_identical(self):
        root = os.path.join(harness.build_dir(), "reproducible")
        shutil.rmtree(root, ignore_errors=True)
        copy = os.path.join(root, "a-copy-of-the-sources-elsewhere")
        shutil.copytree(harness.source_dir(), copy, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
        first = release_build(harness.source_dir(), os.path.join(root, "a"))
        second = release_build(copy, os.path.join(root, "second-build-in-a-longer-folder"))
        digests = (sha256(first), sha256(second))
        print("sha256 %s\nsha256 %s" % digests)
        self.assertEqual(digests[0], digests[1])
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
