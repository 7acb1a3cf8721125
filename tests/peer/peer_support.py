"""Shared by the peer tests: where the built programs are, a demo bundle,
and a runner whose all-skipped run exits 77."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "tests" / "support"))

BIN = Path(os.environ.get("K2_BIN_DIR") or ROOT / "build" / "bin")
HOST = str(BIN / "render_stream_host_litert")

try:
    import numpy
except ImportError:
    numpy = None


def make_demo_bundle(tmp: str) -> str:
    path = os.path.join(tmp, "demo")
    subprocess.run([str(BIN / "make_demo_bundle"), path], check=True, capture_output=True)
    return path


def pixel_bytes(pixels) -> bytes:
    return pixels.tobytes()


def weighted_sum(pixels) -> int:
    """The page's read-back checksum: sum of byte * ((position mod 65521) + 1)."""
    flat = numpy.frombuffer(pixel_bytes(pixels), dtype=numpy.uint8).astype(numpy.int64)
    weights = numpy.arange(flat.size, dtype=numpy.int64) % 65521 + 1
    return int((flat * weights).sum())


class TempDirCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="k2-peer-")
        cls.tmp = cls._tmp.name
        cls.bundle = make_demo_bundle(cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()


def main() -> None:
    prog = unittest.main(exit=False, verbosity=2)
    r = prog.result
    # A skipped class counts its cases as skipped but not as run.
    if r.skipped and r.wasSuccessful() and r.testsRun <= len(r.skipped):
        sys.exit(77)
    sys.exit(0 if r.wasSuccessful() else 1)
