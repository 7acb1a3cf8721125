"""Install tests of the release artefacts that scripts/release leaves in
dist/, as a user meets them: each unpacked into a fresh folder and run with
nothing of the checkout around it.

- Every ELF file of both Linux tarballs against the baseline, Debian 11's
  glibc 2.31 and GCC 10's runtimes: no newer symbol version, no library
  beyond glibc's, libgcc_s, libstdc++, zlib and what the archive ships.
- The x86-64 tarball on a bare Debian 11 and a bare Debian 12 (minbase roots
  made with mmdebstrap, run in a chroot with an empty environment; without
  root or mmdebstrap, this machine with an empty environment), and its module
  with only the unpacked folder on PYTHONPATH: the same bytes as the build
  tree's host.
- The arm64 tarball on a bare arm64 Debian 11, through QEMU's binfmt_misc:
  the same bytes for the exact demo bundle, a whole stream for the float one.
- The Windows zip in a fresh Wine prefix, the program and the module (through
  the stand-in python3.dll): the same bytes.
- Every missing runtime piece: one line naming it, status 1, nothing on
  standard output.
- The peer wheel in a fresh venv, installed with pip --no-index, driving the
  unpacked host.

usage: test_release.py   (run from anywhere; K2_DIST overrides dist/)
"""

import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python"))
from kinra2_peer import protocol  # noqa: E402

DIST = os.environ.get("K2_DIST", os.path.join(ROOT, "dist"))
BIN = os.path.join(ROOT, "build", "bin")
WIN_BUILD = os.path.join(ROOT, "build-windows")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run")
with open(os.path.join(ROOT, "VERSION")) as f:
    VERSION = f.readline().strip()


def python312():
    """A Python 3.12 that runs, looked for as the build looks for one."""
    candidates = [os.environ.get("PYTHON"), shutil.which("python3.12")]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.12*/bin/python3.12")), reverse=True)
    for c in filter(None, candidates):
        ok = subprocess.run([c, "-c", "import sys; sys.exit(sys.version_info[:2] != (3, 12))"],
                            capture_output=True).returncode == 0
        if ok:
            return c
    return None


PYTHON312 = python312()
TIMEOUT = 900
HOST = "render_stream_host_litert"
RUNTIME_LINE = b"[render-stream-host-litert] error: cannot load the LiteRT runtime: "

# Two sessions of speech-like audio, each flushed, a reset between them.
STREAM = (protocol.audio_record(protocol.speechlike(60000, 1)) + protocol.FLUSH + protocol.RESET +
          protocol.audio_record(protocol.speechlike(9000, 2)) + protocol.FLUSH)


def run(argv, data=b"", env=None, cwd=None):
    return subprocess.run(argv, input=data, capture_output=True, env=env, cwd=cwd, timeout=TIMEOUT)


def artefact(name):
    path = os.path.join(DIST, name)
    if not os.path.exists(path):
        raise unittest.SkipTest(f"{path} is missing: run scripts/release first")
    return path


def unloaded_bundle(top):
    """A bundle the host accepts without the runtime: the runtime is first
    needed when the chain is built, after the bundle and its colour line."""
    bundle = os.path.join(top, "unloaded")
    os.makedirs(bundle)
    with open(os.path.join(bundle, "canon.bin"), "wb") as f:
        f.write(bytes(16 * 4680 * 4))
    with open(os.path.join(bundle, "combined_litert.tflite"), "wb") as f:
        f.write(b"never read without the runtime")
    return bundle


_reference = {}


def reference(*bundle_args):
    """The build tree's host on the demo bundle (make_demo_bundle's options
    given): what every installed form must answer."""
    if bundle_args not in _reference:
        tmp = tempfile.mkdtemp(prefix="k2ref")
        bundle = os.path.join(tmp, "demo")
        subprocess.run([os.path.join(BIN, "make_demo_bundle"), bundle, *bundle_args], check=True,
                       capture_output=True)
        r = run([os.path.join(BIN, HOST), "render-stream", bundle], STREAM)
        assert r.returncode == 0, r.stderr.decode(errors="replace")
        _reference[bundle_args] = r.stdout
        shutil.rmtree(tmp)
    return _reference[bundle_args]


def speech_wav(path, bits):
    """A 16 kHz mono WAV file of the tests' speech-like audio, 16-bit PCM or
    32-bit float: what a user hands render_wav."""
    samples = protocol.speechlike(12000, 3)
    if bits == 16:
        code, data = 1, b"".join(max(-32768, min(32767, round(x * 32768))).to_bytes(2, "little", signed=True)
                                 for x in samples)
    else:
        code, data = 3, samples.tobytes()
    fmt = b"".join(v.to_bytes(n, "little") for v, n in (
        (code, 2), (1, 2), (16000, 4), (16000 * bits // 8, 4), (bits // 8, 2), (bits, 2)))
    body = b"WAVEfmt " + len(fmt).to_bytes(4, "little") + fmt + b"data" + len(data).to_bytes(4, "little") + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + len(body).to_bytes(4, "little") + body)
    return path


def wav_reference(wav):
    """The build tree's render_wav on the demo bundle: the frames every
    installed render_wav must write for that file."""
    tmp = tempfile.mkdtemp(prefix="k2ref")
    try:
        bundle = os.path.join(tmp, "demo")
        subprocess.run([os.path.join(BIN, "make_demo_bundle"), bundle], check=True, capture_output=True)
        r = run([os.path.join(BIN, "render_wav"), bundle, wav, "-"])
        assert r.returncode == 0 and r.stdout, r.stderr.decode(errors="replace")
        return r.stdout
    finally:
        shutil.rmtree(tmp)


class Contents:
    """What every artefact must hold, checked on its unpacked folder."""

    def check_contents(self, top, exe=""):
        with open(os.path.join(top, "VERSION")) as f:
            self.assertEqual(f.read().strip(), VERSION)
        self.assertTrue(os.path.isfile(os.path.join(top, "README.txt")))
        for prog in (HOST, "make_demo_bundle", "imx_from_bundle", "render_wav", "q8gd_regate"):
            self.assertTrue(os.path.isfile(os.path.join(top, "bin", prog + exe)), prog)
        names = os.listdir(os.path.join(top, "bin"))
        self.assertEqual([n for n in names if n.startswith(("test_", "bench_"))], [])
        licences = os.listdir(os.path.join(top, "licenses"))
        for component in ("tensorflow-lite-2.9.0", "nlohmann-json", "flatbuffers"):
            self.assertIn(component + ".txt", licences)


# The baseline of every Linux artefact, Debian 11 and Ubuntu 20.04: the
# newest version each may need of glibc, and of GCC 10's runtimes (libstdc++,
# its ABI, libgcc_s), zlib 1.2.11.
BASELINE = {"GLIBC": (2, 31), "GLIBCXX": (3, 4, 28), "CXXABI": (1, 3, 12), "GCC": (7, 0, 0), "ZLIB": (1, 2, 9)}
# What such a system has: glibc's own libraries, libgcc_s, libstdc++ and zlib.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libgcc_s.so.1", "libstdc++.so.6",
                    "libz.so.1"}


def beyond_baseline(path):
    """What the ELF file at path needs beyond the baseline, one line each."""
    out = subprocess.run(["readelf", "-W", "-d", "-V", path], capture_output=True, text=True, check=True).stdout
    faults = []
    for lib in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out):
        if lib not in SYSTEM_LIBRARIES and not os.path.isfile(os.path.join(os.path.dirname(path), lib)):
            faults.append(f"needs {lib}, which is neither a system library nor beside it")
    needs = out.partition("Version needs section")[2]
    for lib, block in re.findall(r"File: (\S+)\s+Cnt: \d+\n((?:\s+0x[0-9a-f]+:\s+Name: .*\n?)*)", needs):
        if lib not in SYSTEM_LIBRARIES:
            continue  # shipped beside it
        for version in re.findall(r"Name: (\S+)", block):
            prefix, _, number = version.partition("_")
            newest = BASELINE.get(prefix)
            if newest is None or tuple(int(n) for n in number.split(".")) > newest:
                faults.append(f"needs {version} of {lib}")
    return faults


def minbase_root(suite, arch="amd64"):
    """A bare Debian (priority "required" only), made once and kept in .deps;
    None where it cannot be made here."""
    name = f"{suite}-minbase" + ("" if arch == "amd64" else f"-{arch}")
    root = os.path.join(ROOT, ".deps", name)
    if os.geteuid() != 0:
        return None  # nor could it chroot there
    # Checkouts that share .deps may run this at the same time.
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isfile(os.path.join(root, "etc", "debian_version")):
            if not shutil.which("mmdebstrap"):
                return None
            subprocess.run([os.path.join(ROOT, "scripts", "debian-root"), suite, arch, "minbase", root],
                           check=True, stdin=subprocess.DEVNULL, timeout=TIMEOUT)
    return root


def run_in_root(root, top, commands, data):
    """The unpacked folder top as /opt/kinra2 of the bare system at root, and
    commands run there by its shell with an empty environment; /proc and /sys
    for the processor files and the program's path, as a real system has them.
    The system's own libseccomp (its apt needs one) is hidden, as a container
    lacks it: the archive's must serve."""
    inside = os.path.join(root, "opt", "kinra2")
    shutil.rmtree(inside, ignore_errors=True)
    shutil.copytree(top, inside, symlinks=True)
    try:
        script = ("mount -t proc proc \"$1/proc\" && mount -t sysfs sysfs \"$1/sys\" && "
                  "for f in \"$1\"/usr/lib/*/libseccomp.so.2; do "
                  "[ ! -e \"$f\" ] || mount --bind /dev/null \"$f\" || exit; done && "
                  "exec chroot \"$1\" /usr/bin/env -i /bin/sh -c \"$2\"")
        return run(["unshare", "--mount", "--fork", "sh", "-c", script, "sh", root, commands], data)
    finally:
        shutil.rmtree(inside)


def qemu_aarch64_registered():
    """Whether the kernel starts arm64 programs through QEMU, inside a chroot
    too (the "fix binary" flag)."""
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-aarch64") as f:
            text = f.read()
    except OSError:
        return False
    return text.startswith("enabled") and re.search(r"^flags: \S*F", text, re.M) is not None


class LinuxArchive(Contents):
    """What both Linux tarballs share; ARCH names one."""

    @classmethod
    def setUpClass(cls):
        name = f"kinra2-host-{VERSION}-linux-{cls.ARCH}"
        cls._tmp = tempfile.TemporaryDirectory(prefix="k2rel")
        with tarfile.open(artefact(name + ".tar.gz")) as t:
            t.extractall(cls._tmp.name)
        cls.top = os.path.join(cls._tmp.name, name)
        cls.pkg = os.path.join(cls.top, "velmora", "_kinra2", "_litert_host")

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_contents(self):
        self.check_contents(self.top)
        for lic in ("gcc-runtime-libraries", "libzip", "openssl", "libseccomp"):  # linked in or shipped
            self.assertIn(lic + ".txt", os.listdir(os.path.join(self.top, "licenses")))
        with open(os.path.join(self.top, "licenses", "components.txt")) as f:
            self.assertIn("libseccomp", f.read().split())
        with open(os.path.join(self.top, "licenses", "libseccomp.txt")) as f:
            text = f.read()
        self.assertIn("Copyright: 2012 Paul Moore", text)
        self.assertIn("GNU LESSER GENERAL PUBLIC LICENSE\n                       Version 2.1", text)
        for folder in (os.path.join(self.top, "bin"), self.pkg):  # beside the program and the module
            with self.subTest(os.path.relpath(folder, self.top)):
                with open(os.path.join(folder, "libseccomp.so.2"), "rb") as f:
                    self.assertEqual(f.read(4), b"\x7fELF")
        with open(os.path.join(self.top, "README.txt")) as f:
            self.assertIn("glibc 2.31 or later", f.read())

    def test_every_elf_file_keeps_the_baseline(self):
        elves = []
        for folder, _, files in os.walk(self.top):
            for f in files:
                path = os.path.join(folder, f)
                with open(path, "rb") as fh:
                    if not os.path.islink(path) and fh.read(4) == b"\x7fELF":
                        elves.append(path)
        # 5 programs, the module, and beside both the component, the runtime and libseccomp
        self.assertGreaterEqual(len(elves), 12)
        for path in elves:
            with self.subTest(os.path.relpath(path, self.top)):
                self.assertEqual(beyond_baseline(path), [])


class LinuxTarball(LinuxArchive, unittest.TestCase):
    ARCH = "x86_64"

    def fresh_copy(self):
        dst = tempfile.mkdtemp(prefix="k2copy")
        self.addCleanup(shutil.rmtree, dst)
        top = os.path.join(dst, "kinra2")
        shutil.copytree(self.top, top, symlinks=True)
        return top

    def test_bare_debian_renders_the_same_bytes(self):
        demo = (f"/opt/kinra2/bin/make_demo_bundle /opt/kinra2/demo >/dev/null && "
                f"exec /opt/kinra2/bin/{HOST} render-stream /opt/kinra2/demo")
        roots = [root for root in (minbase_root("bullseye"), minbase_root("bookworm")) if root]
        for root in roots or [None]:
            with self.subTest(os.path.basename(root) if root else "this machine"):
                if root:
                    r = run_in_root(root, self.top, demo, STREAM)
                else:
                    # No root to make one: this machine with nothing in the environment.
                    demo_dir = os.path.join(self.fresh_copy(), "demo")
                    subprocess.run(["env", "-i", os.path.join(self.top, "bin", "make_demo_bundle"), demo_dir],
                                   check=True, capture_output=True)
                    r = run(["env", "-i", os.path.join(self.top, "bin", HOST), "render-stream", demo_dir], STREAM)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                self.assertTrue(r.stdout == reference(), "the installed host answers other bytes than the build tree's")
                self.assertIn(b"confine: seccomp, ", r.stderr)

    def test_readme_steps_in_bare_debian_11(self):
        root = minbase_root("bullseye")
        if not root:
            self.skipTest("no root or mmdebstrap here to make a bare Debian 11")
        top = self.fresh_copy()
        wav = speech_wav(os.path.join(top, "speech.wav"), 16)
        r = run_in_root(root, top, "cd /opt/kinra2 && bin/make_demo_bundle demo >/dev/null && "
                        "exec bin/render_wav demo speech.wav -", b"")
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertTrue(r.stdout == wav_reference(wav), "the release's render_wav gives other frames than the build tree's")

    def module_env(self, top):
        return {"PYTHONPATH": top, "PYTHONDONTWRITEBYTECODE": "1"}

    def test_module_with_only_the_folder_on_the_path(self):
        if not PYTHON312:
            self.skipTest("no Python 3.12 here")
        top = self.fresh_copy()
        demo = os.path.join(top, "demo")
        subprocess.run([os.path.join(top, "bin", "make_demo_bundle"), demo], check=True, capture_output=True,
                       env={})
        r = run(["env", "-i", f"PYTHONPATH={top}", PYTHON312, "-c",
                 "import velmora._kinra2._litert_host as m; print(m.__version__)"])
        self.assertEqual(r.stdout.decode().strip(), VERSION, r.stderr.decode(errors="replace"))
        r = run(["env", "-i", f"PYTHONPATH={top}", PYTHON312, "-m", "velmora._kinra2._litert_host",
                 "render-stream", demo], STREAM)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertTrue(r.stdout == reference(), "the installed module answers other bytes than the build tree's")

    def test_missing_runtime_is_one_line_and_status_1(self):
        rows = [("program", os.path.join("bin", "libtensorflowlite_c.so"), [os.path.join("bin", HOST)])]
        if PYTHON312:
            rows.append(("module", os.path.join("velmora", "_kinra2", "_litert_host", "libtensorflowlite_c.so"),
                         [PYTHON312, "-m", "velmora._kinra2._litert_host"]))
        for form, removed, argv in rows:
            with self.subTest(form):
                top = self.fresh_copy()
                os.remove(os.path.join(top, removed))
                cmd = [os.path.join(top, argv[0])] if form == "program" else argv
                r = run(["env", "-i", f"PYTHONPATH={top}"] + cmd + ["render-stream", unloaded_bundle(top)], STREAM)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 4, r.stderr)  # warm-up, colour, confine, then the chain's first need
                self.assertTrue(lines[-1].startswith(RUNTIME_LINE + b"libtensorflowlite_c.so is neither in "), lines)


class LinuxArm64Tarball(LinuxArchive, unittest.TestCase):
    """Under QEMU's user-mode emulator, which the kernel starts for arm64
    programs (scripts/setup --arm64 registers it), inside the arm64 root too."""

    ARCH = "aarch64"

    def test_bare_arm64_debian_renders(self):
        if not qemu_aarch64_registered():
            self.skipTest("QEMU's arm64 emulator is not registered with binfmt_misc (scripts/setup --arm64)")
        root = minbase_root("bullseye", "arm64")
        if not root:
            self.skipTest("no root or no mmdebstrap here to make a bare arm64 Debian")
        # The exact bundle's frames are the same on every processor; the float
        # one's sums may round otherwise there, so it must render a whole stream.
        for bundle_args, same_bytes in ((("--exact",), True), ((), False)):
            with self.subTest(bundle=" ".join(bundle_args) or "float"):
                r = run_in_root(root, self.top,
                                f"/opt/kinra2/bin/make_demo_bundle /opt/kinra2/demo {' '.join(bundle_args)} "
                                f">/dev/null && exec /opt/kinra2/bin/{HOST} render-stream /opt/kinra2/demo", STREAM)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                want = reference(*bundle_args)
                if same_bytes:
                    self.assertTrue(r.stdout == want, "the arm64 host answers other bytes than the x86-64 one")
                else:
                    self.assertEqual(len(r.stdout), len(want))
                    self.assertEqual(r.stdout.split(b"\n", 1)[0], want.split(b"\n", 1)[0])


class WindowsZip(unittest.TestCase, Contents):
    """Under Wine, in a prefix of its own: a Windows that has never seen the
    build. Wine's own C++ runtime DLLs stand in for the redistributable; each
    is switched off in turn for the missing-piece rows."""

    @classmethod
    def setUpClass(cls):
        if not shutil.which("wine"):
            raise unittest.SkipTest("no Wine here")
        name = f"kinra2-host-{VERSION}-windows-x64"
        cls._tmp = tempfile.TemporaryDirectory(prefix="k2win")
        with zipfile.ZipFile(artefact(name + ".zip")) as z:
            z.extractall(cls._tmp.name)
        cls.top = os.path.join(cls._tmp.name, name)
        cls.prefix = os.path.join(cls._tmp.name, "wineprefix")
        cls.pyd = glob.glob(os.path.join(cls.top, "velmora", "_kinra2", "_litert_host", "__init__*.pyd"))[0]
        # The stand-in interpreter is a test tool of the build, not part of the release.
        cls.pyd_host = os.path.join(WIN_BUILD, "python-standin", "pyd_host.exe")
        # The demo bundle, written by the release's own tool.
        cls.demo = os.path.join(cls._tmp.name, "demo")
        r = cls.wine(os.path.join(cls.top, "bin", "make_demo_bundle.exe"), cls.demo)
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=cls.prefix), capture_output=True)
        cls._tmp.cleanup()

    @classmethod
    def wine(cls, *argv, data=b"", overrides=None):
        env = dict(os.environ)
        if overrides:
            env["WINEDLLOVERRIDES"] = overrides
        return run([WINE_RUN, cls.prefix] + list(argv), data, env=env)

    def forms(self, top):
        pyd = os.path.join(top, os.path.relpath(self.pyd, self.top))
        forms = [("program", [os.path.join(top, "bin", HOST + ".exe")])]
        if os.path.isfile(self.pyd_host):
            forms.append(("module", [self.pyd_host, pyd, "host"]))
        return forms

    def test_contents(self):
        self.check_contents(self.top, ".exe")
        for lic in ("gcc-runtime-libraries", "mingw-w64-and-winpthreads", "libzip", "zlib"):
            self.assertIn(lic + ".txt", os.listdir(os.path.join(self.top, "licenses")))

    def test_fresh_prefix_renders_the_same_bytes(self):
        for form, argv in self.forms(self.top):
            with self.subTest(form):
                r = self.wine(*argv, "render-stream", self.demo, data=STREAM)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                self.assertTrue(r.stdout == reference(), f"the {form} answers other bytes than the Linux host")

    def test_missing_pieces_are_one_line_and_status_1(self):
        redist = b"; install the Microsoft Visual C++ 2015-2022 x64 redistributable"
        rows = [(dll, dll + "=d", None) for dll in ("msvcp140", "vcruntime140", "vcruntime140_1")]
        rows.append(("tensorflowlite_c", None, "tensorflowlite_c.dll"))
        for piece, overrides, removed in rows:
            top = self.top
            if removed:
                top = os.path.join(tempfile.mkdtemp(prefix="k2win", dir=self._tmp.name), "kinra2")
                shutil.copytree(self.top, top)
                for f in glob.glob(os.path.join(top, "**", removed), recursive=True):
                    os.remove(f)
            for form, argv in self.forms(top):
                with self.subTest(piece=piece, form=form):
                    r = self.wine(*argv, "render-stream", self.demo, data=STREAM, overrides=overrides)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertEqual(r.stdout, b"")
                    lines = r.stderr.splitlines()
                    # Warm-up, colour, confine, then the chain's first need; the
                    # module's main() leaves its caller's process unconfined.
                    self.assertEqual(len(lines), 4 if form == "program" else 3, r.stderr)
                    self.assertEqual(form == "program", b"] confine: " in r.stderr, r.stderr)
                    self.assertTrue(lines[-1].startswith(RUNTIME_LINE), lines)
                    self.assertIn(piece.lower() + ".dll", lines[-1].lower().decode())
                    if overrides:
                        self.assertIn(redist, lines[-1])

    def test_render_wav_renders_16_bit_and_float_files(self):
        for bits in (16, 32):
            with self.subTest(f"{bits}-bit"):
                wav = speech_wav(os.path.join(self._tmp.name, f"speech-{bits}.wav"), bits)
                r = self.wine(os.path.join(self.top, "bin", "render_wav.exe"), self.demo, wav, "-")
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                self.assertTrue(len(r.stdout) > 0 and r.stdout == wav_reference(wav),
                                "the release's render_wav gives other frames than the build tree's")


class PeerWheel(unittest.TestCase):
    """The peer library from its wheel, in a venv that sees nothing else,
    driving the host of an unpacked release."""

    @classmethod
    def setUpClass(cls):
        wheels = glob.glob(os.path.join(DIST, f"kinra2_peer-{VERSION}-py3-none-any.whl"))
        if not wheels:
            raise unittest.SkipTest("no wheel in dist/: run scripts/release first")
        cls._tmp = tempfile.TemporaryDirectory(prefix="k2peer")
        venv = os.path.join(cls._tmp.name, "venv")
        subprocess.run(["/usr/bin/python3", "-m", "venv", venv], check=True, capture_output=True)
        cls.python = os.path.join(venv, "bin", "python")
        r = run([cls.python, "-m", "pip", "install", "--no-index", "--quiet", wheels[0]])
        assert r.returncode == 0, r.stderr
        name = f"kinra2-host-{VERSION}-linux-x86_64"
        with tarfile.open(artefact(name + ".tar.gz")) as t:
            t.extractall(cls._tmp.name)
        cls.host = os.path.join(cls._tmp.name, name, "bin", HOST)
        cls.demo = os.path.join(cls._tmp.name, "demo")
        subprocess.run([os.path.join(cls._tmp.name, name, "bin", "make_demo_bundle"), cls.demo], check=True,
                       capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def peer(self, code, env):
        return run([self.python, "-I", "-c", code], env=dict(env, PATH="/usr/bin:/bin"),
                   cwd=self._tmp.name)

    def test_renders_through_the_installed_host(self):
        code = ("import hashlib, sys, kinra2_peer\n"
                "from kinra2_peer import protocol\n"
                "program = sys.argv[1] if len(sys.argv) > 1 else None\n"
                "print(kinra2_peer.__version__)\n")
        code += ("h = hashlib.sha256()\n"
                 "with kinra2_peer.RenderHost(%r, program=%s) as host:\n"
                 "    for frame in host.render(protocol.speechlike(60000, 5)):\n"
                 "        h.update(bytes(frame.pixels))\n"
                 "print(h.hexdigest())\n")
        for route, env, program in (("KINRA2_HOST", {"KINRA2_HOST": self.host}, "None"),
                                    ("program=", {}, repr(self.host))):
            with self.subTest(route):
                r = self.peer(code % (self.demo, program), env)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                version, digest = r.stdout.decode().split()
                self.assertEqual(version, VERSION)
                if not hasattr(self, "digest"):
                    self.digest = digest
                self.assertEqual(digest, self.digest)

    def test_missing_host_names_what_was_looked_for(self):
        r = self.peer("import kinra2_peer\nkinra2_peer.RenderHost(%r)\n" % self.demo,
                      {"KINRA2_HOST": "/nowhere/render_stream_host_litert"})
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"/nowhere/render_stream_host_litert", r.stderr)
        self.assertIn(b"KINRA2_HOST", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
