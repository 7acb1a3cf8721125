"""The peer library against the real host: what it reads must be the stream
the host wrote, resets must not leak frames of the ended session, a slow
consumer must hold the host back, and failures must say why."""

import array
import hashlib
import io
import itertools
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path
from unittest import mock

from peer_support import HOST, TempDirCase, main, numpy, pixel_bytes

import kinra2_peer.host
from kinra2_peer import MODULE, HostError, Marker, RenderHost, module_program
from kinra2_peer.protocol import (FLUSH, HEADER_LIMIT, INDEX, RESET, audio_record, read_header, read_record,
                                  records, speechlike)

A = speechlike(30000, seed=1)
B = speechlike(26000, seed=2)


def module_runs() -> bool:
    if sys.version_info[:2] != (3, 12):
        return False
    cmd, env = module_program()
    return subprocess.run([cmd[0], "-c", "import velmora._kinra2._litert_host"], env={**os.environ, **env},
                          capture_output=True).returncode == 0


def digest(pixels) -> str:
    return hashlib.sha256(pixels).hexdigest()[:16]


def raw_records(stdout: bytes) -> list:
    """(index, digest of the pixels) pairs of a whole stream; -1 for a marker."""
    stream = io.BytesIO(stdout)
    header = read_header(stream)
    return [(i, None if pixels is None else digest(pixels)) for i, pixels in records(stream, header.frame_bytes)]


def digests(frames) -> list:
    """(index, digest) pairs, which a failed comparison can print."""
    return [(i, digest(f)) for i, f in frames]


class Library(TempDirCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The reference: the two sessions A and B written in one go by hand.
        data = audio_record(A) + FLUSH + RESET + audio_record(B) + FLUSH
        p = subprocess.run([HOST, "render-stream", cls.bundle], input=data, capture_output=True, timeout=300)
        assert p.returncode == 0, p.stderr.decode(errors="replace")
        recs = raw_records(p.stdout)
        first_marker = [i for i, _ in recs].index(-1)
        cls.ref_a, cls.ref_b = recs[:first_marker], recs[first_marker + 1:-1]

    def test_header_frames_and_sessions_match_the_raw_stream(self):
        with RenderHost(self.bundle, program=HOST, threads=1) as host:
            self.assertEqual((host.fps, host.width, host.height, host.sample_rate, host.color),
                             (20, 416, 720, 16000, None))
            got_a = list(host.render(A, step=777))
            host.reset()
            got_b = list(host.render(B.tobytes()))
        self.assertEqual(host.status, 0)
        self.assertEqual(digests(got_a), self.ref_a)
        self.assertEqual(digests(got_b), self.ref_b)
        self.assertEqual([i for i, _ in got_b][:3], [3, 4, 5])
        index, frame = got_a[0]
        if numpy is not None:
            self.assertEqual((frame.shape, frame.dtype), ((720, 416, 3), numpy.uint8))
            self.assertIsNotNone(frame.base, "a frame should view its record's buffer, not copy it")
        else:
            self.assertEqual((frame.shape, frame.format), ((720, 416, 3), "B"))

    def test_reset_drops_the_ended_sessions_frames_queued_or_in_flight(self):
        # However the frames are taken, none of session A may come out after
        # the reset: neither the eight queued unread when it was sent, nor the
        # rest of A's first chunk, still in the pipe or not yet written then.
        consumers = {"read": lambda host: iter(lambda: host.read(timeout=120), None),
                     "frames": lambda host: host.frames(timeout=120),
                     "render": None}
        for name, consume in consumers.items():
            with self.subTest(name), RenderHost(self.bundle, program=HOST, queue_frames=8) as host:
                host.feed(A)
                deadline = time.monotonic() + 120
                while host.queued < 8 and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(host.queued, 8)
                host.reset()
                if consume is None:
                    got = list(host.render(B))
                else:
                    writer = threading.Thread(target=lambda: (host.feed(B), host.flush(wait=False)))
                    writer.start()
                    got = list(itertools.islice(consume(host), len(self.ref_b)))
                    writer.join()
                self.assertIsNotNone(host.first_frame_latency)
                self.assertEqual(digests(got), self.ref_b)
                self.assertEqual({frame.session for frame in got}, {1})

    def test_each_session_counts_its_own_audio(self):
        # Neither of the first two sessions completes a first chunk, though
        # together they were fed more than one. The third is fed exactly its
        # first chunk and no flush: its frames are due from that feed, and
        # must be handed out, not dropped as an earlier session's.
        with RenderHost(self.bundle, program=HOST) as host:
            host.feed(A[:20000])
            host.reset()
            host.feed(A[:10000])
            host.reset()
            host.feed(A[:25600])
            first = [host.read(timeout=60) for _ in range(22)]
            self.assertIsNotNone(host.first_frame_latency)
            host.reset()
            got = list(host.render(B))
        self.assertEqual([(f.index, f.session) for f in first], [(i, 2) for i in range(3, 25)])
        self.assertEqual(digests(got), self.ref_b)

    def test_flush_returns_once_its_frames_are_queued(self):
        with RenderHost(self.bundle, program=HOST) as host:
            host.feed(B)
            self.assertEqual(host.flush(), 1)
            self.assertEqual(host.queued, len(self.ref_b))
            self.assertEqual(digests(host.frames(timeout=0)), self.ref_b)

    def test_slow_consumer_holds_the_host_back(self):
        audio = speechlike(25600 * 6)
        with RenderHost(self.bundle, program=HOST, queue_frames=4) as host:
            feeder = threading.Thread(target=lambda: (host.feed(audio, step=3200), host.flush()))
            feeder.start()
            deadline = time.monotonic() + 60
            while host.queued < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(1.0)
            self.assertTrue(feeder.is_alive(), "all audio went in although nobody read the frames")
            self.assertLessEqual(host.queued, 4)
            n = sum(1 for _ in host.frames(timeout=30))
            feeder.join()
        self.assertEqual(n, 22 + 6 * 32)  # six chunks' audio, and the flush owes one more

    def test_failures_carry_status_and_last_log_line(self):
        empty = os.path.join(self.tmp, "empty")
        os.makedirs(empty, exist_ok=True)
        nope = os.path.join(self.tmp, "nope")
        # Where no host is found, the message names every place looked at
        # (here the build tree of a checkout at self.tmp, which has none).
        cases = [("refused bundle", dict(bundle=empty, program=HOST), {}, 3, ["FATAL:"]),
                 ("missing program", dict(program=nope), {}, None, [nope, "program="]),
                 ("missing $KINRA2_HOST", {}, {"KINRA2_HOST": nope}, None, [nope, "$KINRA2_HOST"]),
                 ("no host anywhere", {}, {"KINRA2_HOST": "", "PATH": self.tmp}, None,
                  ["$KINRA2_HOST (not set)", os.path.join(self.tmp, "build", "bin", "render_stream_host_litert"),
                   "render_stream_host_litert on the PATH"])]
        for name, kw, env, status, says in cases:
            with self.subTest(name), mock.patch.dict(os.environ, env), \
                    mock.patch.object(kinra2_peer.host, "CHECKOUT", Path(self.tmp)):
                with self.assertRaises(HostError) as cm:
                    RenderHost(kw.pop("bundle", self.bundle), **kw)
                self.assertEqual(cm.exception.status, status)
                for text in says:
                    self.assertIn(text, str(cm.exception))
        with self.subTest("host killed while streaming"):
            host = RenderHost(self.bundle, program=HOST)
            os.kill(host.pid, signal.SIGKILL)
            with self.assertRaises(HostError) as cm:
                for _ in range(50):
                    host.feed(A)
            self.assertEqual(cm.exception.status, -signal.SIGKILL)
            with self.assertRaises(HostError):
                host.read(timeout=30)
            self.assertEqual(host.close(), -signal.SIGKILL)
        with self.subTest("audio that is not float32"):
            with RenderHost(self.bundle, program=HOST) as host:
                self.assertRaises(ValueError, host.feed, b"\0\0\0")
                self.assertRaises(TypeError, host.feed, array.array("h", [1, 2]))

    @unittest.skipUnless(module_runs(), "the extension module runs on Python 3.12 from a build tree")
    def test_extension_module_form(self):
        with RenderHost(self.bundle, program=MODULE) as host:
            self.assertEqual(host.command[1:3], ["-m", "velmora._kinra2._litert_host"])
            got = list(host.render(A))
        self.assertEqual(digests(got), self.ref_a)


TINY = b'READY {"fps":20,"width":2,"height":1,"sample_rate":16000}\n'  # frames of 6 bytes
# A stand-in host: writes `first` at once and `last` once its input has
# ended, then exits with `status`.
FAKE_HOST = [sys.executable, "-c", "import sys; o = sys.stdout.buffer; o.write(bytes.fromhex(sys.argv[1])); "
             "o.flush(); sys.stdin.buffer.read(); o.write(bytes.fromhex(sys.argv[2])); sys.exit(int(sys.argv[3]))"]


def fake_host(first: bytes, last: bytes = b"", status: int = 0) -> RenderHost:
    return RenderHost("unused", program=FAKE_HOST + [first.hex(), last.hex(), str(status)])


def rec(index: int, pixels: bytes = b"") -> bytes:
    return INDEX.pack(index) + pixels


class Protocol(unittest.TestCase):
    def test_speechlike_is_the_audio_of_the_cpp_tests(self):
        audio = speechlike(9001, 1).tobytes() + speechlike(9001, 2).tobytes()
        self.assertEqual(hashlib.sha256(audio).hexdigest()[:16], "541e99b8f7e121ef")

    def test_header_is_read_up_to_its_line_feed_and_no_further(self):
        stream = io.BytesIO(TINY + rec(3))
        self.assertEqual(read_header(stream).frame_bytes, 6)
        self.assertEqual(stream.read(), rec(3))
        self.assertIsNone(read_header(io.BytesIO(TINY[:-1])))
        self.assertIsNone(read_header(io.BytesIO(b"READY " + b" " * HEADER_LIMIT + b"{}\n")))


class Package(unittest.TestCase):
    def test_version_is_the_checkouts(self):
        from importlib.metadata import PackageNotFoundError, version
        try:
            self.skipTest(f"an installed kinra2_peer {version('kinra2_peer')} answers instead")
        except PackageNotFoundError:
            pass
        root = Path(kinra2_peer.host.__file__).resolve().parents[2]
        self.assertEqual(kinra2_peer.__version__, (root / "VERSION").read_text().split()[0])

    def test_module_program_puts_the_build_tree_first(self):
        with mock.patch.dict(os.environ, {"PYTHON": " /opt/py ", "PYTHONPATH": "/mine"}), \
                mock.patch.object(kinra2_peer.host, "CHECKOUT", Path("/src")):
            self.assertEqual(module_program(), (["/opt/py", "-m", "velmora._kinra2._litert_host"],
                                                {"PYTHONPATH": os.pathsep.join(["/src/build/python", "/mine"])}))


class HostOutput(unittest.TestCase):
    """The library against stand-in hosts: output that breaks off or is no
    stream, markers, a kill, the environment, a failing end."""

    def test_a_record_cut_short_ends_the_stream(self):
        # Read into one reused buffer too, which then holds the last frame's
        # bytes: the cut record must not come out as a frame of them.
        stream = rec(3, b"\xaa" * 6) + rec(-1) + rec(4, b"\xbb" * 6) + rec(5, b"\xcc" * 5)
        for into in (None, bytearray(6)):
            got = [(i, p if p is None else bytes(p)) for i, p in records(io.BytesIO(stream), 6, into)]
            self.assertEqual(got, [(3, b"\xaa" * 6), (-1, None), (4, b"\xbb" * 6)])
        self.assertIsNone(read_record(io.BytesIO(rec(3)[:2]), 6))
        # The host's output breaks off inside a frame record as its input ends.
        host = fake_host(TINY, rec(3, b"\xaa" * 6) + rec(4, b"\xbb" * 5))
        self.assertEqual(host.close(), 0)
        self.assertEqual([(f.index, pixel_bytes(f.pixels)) for f in host.frames()], [(3, b"\xaa" * 6)])

    def test_markers_come_out_only_when_asked_for(self):
        host = fake_host(TINY + rec(-1) + rec(3, bytes(6)) + rec(-1) + rec(4, bytes(6)))
        try:
            marker = host.read(timeout=60, markers=True)
            self.assertEqual((type(marker), marker.number), (Marker, 1))
            self.assertEqual(host.read(timeout=60, markers=True).index, 3)
            self.assertEqual(host.read(timeout=60).index, 4)
        finally:
            host.close()

    def test_kill_drops_the_frames_not_handed_out(self):
        host = fake_host(TINY + rec(3, bytes(6)) + rec(4, bytes(6)))
        deadline = time.monotonic() + 60
        while host.queued < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(host.queued, 2)
        host.kill()
        self.assertEqual(host.queued, 0)

    def test_environment_changes_reach_the_host(self):
        # The stand-in puts what it was given into its header.
        show = [sys.executable, "-c", "import json, os, sys; sys.stdout.buffer.write(b'READY ' + json.dumps("
                "dict(fps=20, width=2, height=1, sample_rate=16000, env=[os.environ.get('K2_NEW'), "
                "os.environ.get('K2_GONE')])).encode() + b'\\n'); sys.stdout.flush(); sys.stdin.read()"]
        with mock.patch.dict(os.environ, {"K2_GONE": "here"}):
            host = RenderHost("unused", program=show, env={"K2_NEW": "1", "K2_GONE": None})
        self.assertEqual(host.header.raw["env"], ["1", None])
        self.assertEqual(host.close(), 0)

    def test_a_host_that_fails_as_its_input_ends_is_an_error(self):
        host = fake_host(TINY, rec(3, bytes(6)), status=1)
        self.assertEqual(host.close(), 1)
        self.assertEqual(host.read(timeout=60).index, 3)
        with self.assertRaises(HostError) as cm:
            host.read(timeout=60)
        self.assertEqual((cm.exception.what, cm.exception.status), ("the host ended", 1))

    def test_output_that_is_no_stream_raises_what_is_wrong(self):
        for name, output, says in [("no header", b"HELLO\n", "expected a READY header"),
                                   ("no geometry", TINY.replace(b'"width":2', b'"width":0'), "impossible"),
                                   ("negative index", TINY + rec(3, bytes(6)) + rec(-2), "negative frame index -2")]:
            with self.subTest(name):
                with self.assertRaises(HostError) as cm:
                    host = fake_host(output)
                    try:
                        self.assertEqual(host.read(timeout=60).index, 3)
                        host.read(timeout=60)
                    finally:
                        host.kill()
                self.assertIn("unreadable output from the host: ", str(cm.exception))
                self.assertIn(says, str(cm.exception))


if __name__ == "__main__":
    main()
