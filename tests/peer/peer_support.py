"""Shared by the peer tests: where the built programs are, a demo bundle,
speech-like audio without numpy, and a runner whose all-skipped run exits 77."""

import array
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
FRAME_BYTES = 720 * 416 * 3

try:
    import numpy
except ImportError:
    numpy = None


def make_demo_bundle(tmp: str) -> str:
    path = os.path.join(tmp, "demo")
    subprocess.run([str(BIN / "make_demo_bundle"), path], check=True, capture_output=True)
    return path


def speechlike(n: int, seed: int = 1) -> array.array:
    """Loud and quiet bursts of noise, float32, deterministic."""
    out = array.array("f", bytes(4 * n))
    s = seed
    for i in range(n):
        s = (s * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = (0.05 if (i // 3000) % 3 == 0 else 0.6) * (((s >> 8) / 8388608.0) - 1.0)
    return out


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
