"""The Windows extension module, loaded under Wine by a stand-in for
python3.dll (standin/) the way Python loads an extension, must behave like
the Windows program beside it: same statuses, the policy component found in
the module's own folder, UTF-8 paths, and the same bytes on stdout.

usage: pyd_standin.py <bin dir> <pyd_host.exe> <module.pyd> <emulator...>
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from kinra2_peer.protocol import FLUSH, RESET, audio_record, speechlike  # noqa: E402

BIN, PYD_HOST, PYD = sys.argv[1:4]
EMULATOR = sys.argv[4:]
del sys.argv[1:]
NATIVE = EMULATOR + [os.path.join(BIN, "render_stream_host_litert.exe")]
MODULE = EMULATOR + [PYD_HOST, PYD, "host"]
TIMEOUT = 600

INPUT = audio_record(speechlike(30000)) + FLUSH + RESET + audio_record(speechlike(9000)) + FLUSH


class StandIn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        # Non-ASCII on the way in: arguments must arrive as UTF-8.
        cls.tmp = os.path.join(cls._tmp.name, "b\u00fcndel-\u00df")
        os.makedirs(cls.tmp)
        # Packed under a plain name: only the host's side is under test here.
        demo = os.path.join(cls._tmp.name, "demo")
        packed = os.path.join(cls._tmp.name, "demo.imx")
        for tool, args in (("make_demo_bundle.exe", [demo]), ("imx_from_bundle.exe", [demo, packed])):
            subprocess.run(EMULATOR + [os.path.join(BIN, tool)] + args, check=True, capture_output=True,
                           timeout=TIMEOUT)
        cls.imx = os.path.join(cls.tmp, "d\u00e9mo.imx")
        os.rename(packed, cls.imx)
        # A two-artifact zip with an impostor encoder: only the policy
        # component can refuse it for what it is.
        cls.refused = os.path.join(cls.tmp, "refused.zip")
        manifest = {"dependencies": [{"id": "kinra2-shared-enc",
                                      "sha256": hashlib.sha256(b"the right encoder").hexdigest()}]}
        with zipfile.ZipFile(cls.refused, "w") as z:
            z.write(os.path.join(demo, "canon.bin"), "canon.bin")
            z.writestr("identity.tflite", b"I")
            z.writestr("shared-enc.tflite", b"an impostor")
            z.writestr("manifest.json", json.dumps(manifest))
        cls.stage = os.path.join(cls.tmp, "stage")
        os.makedirs(cls.stage)
        env = {k: v for k, v in os.environ.items()
               if k not in ("KINRA2_SHARED_ENC", "KINRA2_ENGINE_DIR", "KINRA2_ANE_ENGINE")}
        home = os.path.join(cls._tmp.name, "home")
        env.update(HOME=home, USERPROFILE=home, VELMORA_DEPS_DIR=os.path.join(cls._tmp.name, "store"),
                   KINRA2_STAGE_DIR=cls.stage)
        cls.env = env

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def run_host(self, cmd, args, data=b""):
        p = subprocess.run(cmd + args, input=data, capture_output=True, env=self.env, timeout=TIMEOUT)
        return p.returncode, p.stdout, p.stderr.decode(errors="replace")

    def test_statuses_match_the_program(self):
        cases = [([], 2, "usage:"),
                 (["render-stream", self.refused], 3, "(co-located in the bundle): sha mismatch")]
        for args, status, says in cases:
            for name, cmd in (("program", NATIVE), ("module", MODULE)):
                with self.subTest(args=args, form=name):
                    st, out, log = self.run_host(cmd, args, INPUT)
                    self.assertEqual(st, status, log)
                    self.assertEqual(out, b"")
                    self.assertIn(says, log)
                    self.assertEqual(os.listdir(self.stage), [])

    def test_stream_is_byte_identical(self):
        st_n, out_n, log_n = self.run_host(NATIVE, ["render-stream", self.imx], INPUT)
        st_m, out_m, log_m = self.run_host(MODULE, ["render-stream", self.imx], INPUT)
        self.assertEqual(st_n, 0, log_n)
        self.assertEqual(st_m, 0, log_m)
        self.assertTrue(out_n.startswith(b"READY "))
        self.assertTrue(out_m == out_n, "module stdout differs from the program's")
        self.assertEqual(os.listdir(self.stage), [])


if __name__ == "__main__":
    unittest.main()
