"""The host loaded as a Python extension module must behave like the native
program: same bytes on stdout, same statuses, nothing staged left behind, and
main() callable again in one process without holding the GIL or leaving its
signal handlers in place."""

import ctypes
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from kinra2_peer.protocol import FLUSH, RESET, audio_record, credit, speechlike  # noqa: E402

BIN = os.environ["K2_BIN_DIR"]
NATIVE = [os.path.join(BIN, "render_stream_host_litert")]
MODULE = [sys.executable, "-m", "velmora._kinra2._litert_host"]
TIMEOUT = 300


def records(items):
    """The input of a peer: an integer is that many samples of speech-like
    audio (each step with a seed of its own), bytes a control record."""
    return b"".join(item if isinstance(item, bytes) else audio_record(speechlike(item, seed))
                    for seed, item in enumerate(items, 1))


# Two sessions, flushes, a credit and trailing audio that is never rendered.
INPUT = records([30000, 20000, FLUSH, RESET, 26000, credit(7), 9000, FLUSH, 5000])


class HostCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.tmp = cls._tmp.name
        cls.demo = os.path.join(cls.tmp, "demo")
        subprocess.run([os.path.join(BIN, "make_demo_bundle"), cls.demo], check=True, capture_output=True)
        cls.imx = os.path.join(cls.tmp, "demo.imx")
        subprocess.run([os.path.join(BIN, "imx_from_bundle"), cls.demo, cls.imx], check=True, capture_output=True)
        # A two-artifact zip whose co-located encoder is an impostor: it is
        # staged, then refused; telling them apart needs the policy component.
        cls.refused = os.path.join(cls.tmp, "refused.zip")
        manifest = {"dependencies": [{"id": "kinra2-shared-enc",
                                      "sha256": hashlib.sha256(b"the right encoder").hexdigest()}]}
        with zipfile.ZipFile(cls.refused, "w") as z:
            z.write(os.path.join(cls.demo, "canon.bin"), "canon.bin")
            z.writestr("identity.tflite", b"I")
            z.writestr("shared-enc.tflite", b"an impostor")
            z.writestr("manifest.json", json.dumps(manifest))
        cls.stage = os.path.join(cls.tmp, "stage")
        os.makedirs(cls.stage)
        env = {k: v for k, v in os.environ.items()
               if k not in ("KINRA2_SHARED_ENC", "KINRA2_ENGINE_DIR", "KINRA2_ANE_ENGINE")}
        env.update(HOME=os.path.join(cls.tmp, "home"), VELMORA_DEPS_DIR=os.path.join(cls.tmp, "store"),
                   KINRA2_STAGE_DIR=cls.stage)
        cls.env = env

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def run_host(self, cmd, args, data=b""):
        p = subprocess.run(cmd + args, input=data, capture_output=True, env=self.env, timeout=TIMEOUT)
        return p.returncode, p.stdout, p.stderr.decode(errors="replace")

    def assertNothingStaged(self):
        self.assertEqual(os.listdir(self.stage), [])


class AsProgram(HostCase):
    def test_stream_is_byte_identical(self):
        for bundle in (self.demo, self.imx):
            with self.subTest(bundle=os.path.basename(bundle)):
                st_n, out_n, log_n = self.run_host(NATIVE, ["render-stream", bundle], INPUT)
                st_m, out_m, log_m = self.run_host(MODULE, ["render-stream", bundle], INPUT)
                self.assertEqual(st_n, 0, log_n)
                self.assertEqual(st_m, 0, log_m)
                self.assertTrue(out_n.startswith(b"READY "))
                self.assertGreater(len(out_n), 40 * 898560)
                self.assertTrue(out_m == out_n, "module stdout differs from the native program's")
                # Run as a program, the module confines its process as the
                # native program does (in-process runs below never do: they
                # go on writing files).
                self.assertEqual(log_m.count("] confine: "), 1, log_m)
                self.assertNothingStaged()

    def test_failure_statuses_match(self):
        cases = [([], 2, "usage:"),
                 (["render-stream", self.refused], 3, "(co-located in the bundle): sha mismatch"),
                 (["render-stream", self.demo, "--threads", "many"], 1, "error:")]
        for args, status, says in cases:
            for name, cmd in (("native", NATIVE), ("module", MODULE)):
                with self.subTest(args=args, form=name):
                    st, out, log = self.run_host(cmd, args, INPUT)
                    self.assertEqual(st, status, log)
                    self.assertEqual(out, b"")
                    self.assertIn(says, log)
                    self.assertNothingStaged()

    def test_peer_closing_stdout_is_status_1(self):
        for name, cmd in (("native", NATIVE), ("module", MODULE)):
            with self.subTest(form=name):
                p = subprocess.Popen(cmd + ["render-stream", self.imx], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
                self.assertTrue(p.stdout.readline().startswith(b"READY "))
                p.stdout.close()
                try:
                    p.stdin.write(records([30000, FLUSH]))
                    p.stdin.close()
                except BrokenPipeError:
                    pass
                with p.stderr:
                    err = p.stderr.read().decode(errors="replace")
                self.assertEqual(p.wait(timeout=TIMEOUT), 1, err)
                self.assertNothingStaged()

    def test_runtime_is_looked_for_beside_the_module_first(self):
        # A copy of the package whose runtime file is no library: the module
        # still imports, reads the bundle, and the chain names that very file
        # (the build tree's run path would have found a good one elsewhere).
        top = os.path.join(self.tmp, "pkg")
        shutil.copytree(os.path.join(os.environ["PYTHONPATH"], "velmora"), os.path.join(top, "velmora"))
        lib = os.path.join(top, "velmora", "_kinra2", "_litert_host", "libtensorflowlite_c.so")
        with open(lib, "wb") as f:
            f.write(b"x" * 4096)
        with self.assertRaises(OSError) as loader:
            ctypes.CDLL(lib)
        env = dict(self.env, PYTHONPATH=top)
        p = subprocess.run(MODULE + ["render-stream", self.demo], capture_output=True, env=env, timeout=TIMEOUT)
        lines = p.stderr.decode().splitlines()
        self.assertEqual(p.returncode, 1, lines)
        self.assertEqual(p.stdout, b"")
        self.assertTrue(lines[0].startswith("[render-stream-host-litert] warming up identity="), lines)
        self.assertEqual(lines[-1], "[render-stream-host-litert] error: cannot load the LiteRT runtime: "
                         + str(loader.exception))


# Runs inside one interpreter: a refused bundle, then two runs whose input a
# Python thread feeds through a pipe (which only progresses if main released
# the GIL), each run's stdout going to its own file.
DRIVER = r"""
import json, os, signal, sys, threading
from velmora._kinra2._litert_host import main

refused, bundle, stage, inp, out1, out2, report_path = sys.argv[1:]
with open(inp, "rb") as f:
    data = f.read()

CHANGED = (signal.SIGPIPE, signal.SIGTERM, signal.SIGINT,
           signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGABRT)

def kernel_dispositions():
    # The kernel's view (Python's own table would not see a C handler),
    # for the signals the host changes.
    masks = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("SigIgn", "SigCgt"):
                bits = int(value, 16)
                masks[key] = [bool(bits >> (s - 1) & 1) for s in CHANGED]
    return masks

# Default SIGPIPE, so a run that left it ignored would show.
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
report = {"before": kernel_dispositions()}
fd = os.open(os.devnull, os.O_RDONLY)
os.dup2(fd, 0)
os.close(fd)
report["refused"] = main(["host", "render-stream", refused])
report["left_after_refusal"] = os.listdir(stage)
for i, out in enumerate((out1, out2)):
    r, w = os.pipe()
    os.dup2(r, 0)
    os.close(r)
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(fd, 1)
    os.close(fd)
    def feed(w=w):
        with os.fdopen(w, "wb") as f:
            for k in range(0, len(data), 4096):
                f.write(data[k:k + 4096])
    t = threading.Thread(target=feed)
    t.start()
    report["run%d" % i] = main(["host", "render-stream", bundle])
    t.join()
    report["left_after_run%d" % i] = os.listdir(stage)
report["after"] = kernel_dispositions()
try:
    signal.raise_signal(signal.SIGINT)
    report["sigint"] = "ignored"
except KeyboardInterrupt:
    report["sigint"] = "KeyboardInterrupt"
with open(report_path, "w") as f:
    json.dump(report, f)
"""


class InProcess(HostCase):
    def test_refusal_then_two_runs_in_one_interpreter(self):
        st_n, expected, log_n = self.run_host(NATIVE, ["render-stream", self.imx], INPUT)
        self.assertEqual(st_n, 0, log_n)
        inp, out1, out2, rep = (os.path.join(self.tmp, n) for n in ("in", "out1", "out2", "report"))
        with open(inp, "wb") as f:
            f.write(INPUT)
        try:
            p = subprocess.run([sys.executable, "-c", DRIVER, self.refused, self.imx, self.stage, inp, out1, out2,
                                rep], capture_output=True, env=self.env, timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail("main() never returned: the feeding thread could not run while it served")
        self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
        with open(rep) as f:
            report = json.load(f)
        self.assertEqual(report["refused"], 3)
        self.assertEqual(report["left_after_refusal"], [])
        for i, out in enumerate((out1, out2)):
            self.assertEqual(report["run%d" % i], 0)
            self.assertEqual(report["left_after_run%d" % i], [])
            with open(out, "rb") as f:
                self.assertTrue(f.read() == expected, "run %d differs from the native program's output" % i)
        self.assertEqual(report["after"], report["before"])
        self.assertEqual(report["sigint"], "KeyboardInterrupt")


# Serves a bundle in the module while a thread of the interpreter waits for
# the word to fault (faulthandler's own test hook, a write through null).
FAULTER = r"""
import faulthandler, os, sys, threading
from velmora._kinra2._litert_host import main

bundle, go = sys.argv[1], int(sys.argv[2])
def fault():
    os.read(go, 1)
    faulthandler._sigsegv()
threading.Thread(target=fault, daemon=True).start()
sys.exit(main(["host", "render-stream", bundle]))
"""


class Fault(HostCase):
    def test_fault_line_then_faulthandler_then_the_signal(self):
        go_r, go_w = os.pipe()
        err_path = os.path.join(self.tmp, "fault.err")
        env = dict(self.env)
        if "ASAN_OPTIONS" in env:
            # The sanitizer's handler, first in line, would end it with status 1.
            env["ASAN_OPTIONS"] += ":handle_segv=0"
        with open(err_path, "wb") as err:
            p = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", FAULTER, self.demo, str(go_r)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, pass_fds=(go_r,),
                                 env=env)
        os.close(go_r)
        try:
            self.assertTrue(p.stdout.readline().startswith(b"READY "))
            os.write(go_w, b"!")
            p.wait(timeout=TIMEOUT)
        finally:
            os.close(go_w)
            p.kill()
            p.stdin.close()
            p.stdout.close()
        with open(err_path) as f:
            log = f.read()
        self.assertEqual(p.returncode, -signal.SIGSEGV, log)
        ours = log.find("[render-stream-host-litert] fatal signal SIGSEGV\n")
        theirs = log.find("Fatal Python error: Segmentation fault")
        self.assertGreaterEqual(ours, 0, log)
        self.assertGreater(theirs, ours, log)


if __name__ == "__main__":
    unittest.main()
