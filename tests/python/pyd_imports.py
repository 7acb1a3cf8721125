"""The Windows extension module cannot be loaded here, so what a Windows
Python would need from it is read from its PE headers instead: it exports its
init function and nothing else, takes from Python only python3.dll (the
stable ABI, so any 3.12 interpreter serves it) and only names that DLL
exports, and every other DLL it needs is either part of Windows or lies
beside it.

usage: pyd_imports.py <objdump> <module.pyd> <python3.def>
"""

import os
import re
import subprocess
import sys
import unittest

OBJDUMP, PYD, DEF = sys.argv[1:4]
del sys.argv[1:4]

# Present on every Windows x64 (api-ms-win-* are the universal CRT's sets).
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "bcrypt.dll", "user32.dll", "ws2_32.dll", "shell32.dll",
               "ole32.dll", "ntdll.dll", "ucrtbase.dll"}
# Stable ABI functions that python3.dll exports although the interpreter's own
# list of ctypes-visible names leaves them out (they are absent from some
# debug builds of the interpreter, not from python3.dll).
NOT_IN_CTYPES_LIST = {"PyModule_Create2", "PyModule_FromDefAndSpec2"}


def parse(text):
    """(exports, {dll name: [imported names]}) from `objdump -p`."""
    imports, exports, dll, in_exports = {}, [], None, False
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            imports[dll] = []
            continue
        if dll and re.match(r"\s*$", line):
            dll = None
        elif dll:
            m = re.match(r"\s*[0-9a-f]+\s+[0-9a-f]+\s+(\S+)", line)
            if m:
                imports[dll].append(m.group(1))
        if "[Ordinal/Name Pointer] Table" in line:
            in_exports = True
        elif in_exports:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if m:
                exports.append(m.group(1))
            else:
                in_exports = False
    return exports, imports


def def_names(path):
    names = []
    with open(path) as f:
        for line in f:
            line = line.split(";")[0].strip()
            if line and not line.startswith(("LIBRARY", "EXPORTS")):
                names.append(line.split()[0])
    return names


class PydForm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        out = subprocess.run([OBJDUMP, "-p", PYD], check=True, capture_output=True, text=True).stdout
        cls.exports, cls.imports = parse(out)
        cls.folder = os.path.dirname(os.path.abspath(PYD))

    def test_exports_only_its_init(self):
        self.assertEqual(self.exports, ["PyInit__litert_host"])

    def test_python_only_through_the_stable_abi(self):
        pythons = [d for d in self.imports if d.lower().startswith("python")]
        self.assertEqual(pythons, ["python3.dll"], "a versioned python3x.dll ties it to one interpreter build")
        used = set(self.imports["python3.dll"])
        self.assertTrue(used, "parsed no imports from python3.dll")
        self.assertLessEqual(used, set(def_names(DEF)))
        try:
            from test.test_stable_abi_ctypes import SYMBOL_NAMES
        except ImportError as e:  # an interpreter installed without its tests
            self.skipTest("no list of the stable ABI here: %s" % e)
        self.assertEqual(sorted(used - set(SYMBOL_NAMES) - NOT_IN_CTYPES_LIST), [])

    def test_other_dlls_are_the_systems_or_beside_it(self):
        beside = {n.lower() for n in os.listdir(self.folder)}
        for dll in self.imports:
            name = dll.lower()
            with self.subTest(dll=dll):
                # One C runtime only: the module's streams are the runtime's.
                self.assertNotEqual(name, "msvcrt.dll")
                if name.startswith("python"):
                    continue
                self.assertTrue(name in SYSTEM_DLLS or name.startswith("api-ms-win-") or name in beside,
                                "%s is neither part of Windows nor beside the module" % dll)
        for needed in ("shared_enc_dep.dll", "tensorflowlite_c.dll", "__main__.py"):
            self.assertIn(needed, beside)


if __name__ == "__main__":
    unittest.main()
