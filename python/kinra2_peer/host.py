"""A peer of the render host: starts it, frames audio into records, reads the
header and the frame records on a thread of its own, and hands the frames out
through a bounded queue."""

from __future__ import annotations

import collections
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator, Mapping, Optional, Sequence, Union

try:  # frames are numpy arrays where numpy is installed, 3-D memoryviews otherwise
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the interpreter
    _np = None

from .protocol import (FIRST_CHUNK_SAMPLES, FIRST_INDEX, FLUSH, MARKER_INDEX, MAX_STEP, RESET, Header,
                       read_header, read_record, step_word)

#: Pass as ``program`` to run the host as the Python extension module
#: (``python3.12 -m velmora._kinra2._litert_host``) instead of the native program.
MODULE = "module"
#: Environment variable naming the host program used when none is given.
HOST_ENV = "KINRA2_HOST"
#: The native host's file name, in a build tree and on the PATH.
HOST_PROGRAM = "render_stream_host_litert"


def _checkout() -> Optional[Path]:
    """The source tree this package lies in (``python/kinra2_peer``), or None
    where it was installed elsewhere."""
    here = Path(__file__).resolve().parent
    root = here.parents[1]
    return root if here.parent.name == "python" and (root / "CMakeLists.txt").is_file() else None


#: The checkout whose build tree is looked in, None for an installed package.
CHECKOUT = _checkout()

Program = Union[str, os.PathLike, Sequence[str], None]
Samples = Any  # a float32 numpy array, bytes-like raw float32, or array.array("f")


class HostError(RuntimeError):
    """The host refused to start, died, or broke the protocol.

    ``status`` is its exit status (negative: the signal that ended it; None:
    still running), ``last_log`` its last line on standard error."""

    def __init__(self, what: str, status: Optional[int], last_log: str) -> None:
        detail = what
        if status is not None:
            detail += f" (exit status {status})"
        if last_log:
            detail += f": {last_log}"
        super().__init__(detail)
        self.what = what
        self.status = status
        self.last_log = last_log


class Frame(tuple):
    """One frame record: unpacks as ``(index, pixels)``; ``session`` counts the
    resets the peer had sent when the host rendered it."""

    session: int

    def __new__(cls, index: int, pixels: Any, session: int) -> "Frame":
        self = super().__new__(cls, (index, pixels))
        self.session = session
        return self

    @property
    def index(self) -> int:
        return self[0]

    @property
    def pixels(self) -> Any:
        return self[1]


class Marker:
    """A flush marker: ``number`` counts the flushes, the first being 1."""

    __slots__ = ("number",)

    def __init__(self, number: int) -> None:
        self.number = number


_END = object()


class _BoundedQueue:
    """Frames between the reader thread and the consumer. Full, it stops the
    reader, which stops reading the host's pipe, which stops the host, which
    stops reading audio: the producer slows down instead of memory growing.
    ``unbound()`` lifts the limit while the host winds down after its input
    ended (what it can still write is bounded by what it had been fed)."""

    def __init__(self, limit: int) -> None:
        self._items: collections.deque = collections.deque()
        self._limit = limit
        self._cond = threading.Condition()
        self._discard = False

    def put(self, item: Any, *, control: bool = False) -> None:
        with self._cond:
            while not control and not self._discard and self._limit and len(self._items) >= self._limit:
                self._cond.wait()
            if self._discard and not control:
                return
            self._items.append(item)
            self._cond.notify_all()

    def get(self, timeout: Optional[float]) -> Any:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not self._items:
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError("no frame within the timeout")
                self._cond.wait(left)
            item = self._items.popleft()
            self._cond.notify_all()
            return item

    def __len__(self) -> int:
        with self._cond:
            return sum(1 for i in self._items if isinstance(i, Frame))

    def unbound(self, discard: bool = False) -> None:
        with self._cond:
            self._limit = 0
            if discard:
                self._discard = True
                self._items = collections.deque(i for i in self._items if not isinstance(i, Frame))
            self._cond.notify_all()


def default_program() -> list[str]:
    """The host program when none is given: ``$KINRA2_HOST`` if set, else the
    build tree's native program where this package lies in a checkout, else
    ``render_stream_host_litert`` on the PATH. Where none of them has it, a
    HostError names each place looked at."""
    return _find_program()[0]


def _find_program() -> tuple[list[str], str]:
    """The default host command and where it came from, for messages."""
    env = os.environ.get(HOST_ENV, "").strip()
    if env:
        return [env], f"named by ${HOST_ENV}"
    looked = [f"${HOST_ENV} (not set)"]
    if CHECKOUT is not None:
        built = CHECKOUT / "build" / "bin" / HOST_PROGRAM
        if built.is_file():
            return [str(built)], "the checkout's build tree"
        looked.append(f"{built} (no such file)")
    on_path = shutil.which(HOST_PROGRAM)
    if on_path:
        return [on_path], "found on the PATH"
    looked.append(f"{HOST_PROGRAM} on the PATH (not found)")
    raise HostError(f"no render host found; looked at {', '.join(looked)}; pass program= or set ${HOST_ENV}",
                    None, "")


def module_program() -> tuple[list[str], dict[str, str]]:
    """The command and environment additions that run the host as the Python
    3.12 extension module: ``$PYTHON`` if set, this interpreter if it is a
    3.12, else ``python3.12``; in a checkout, its build tree's package
    directory goes on ``PYTHONPATH``."""
    python = os.environ.get("PYTHON", "").strip()
    if not python:
        python = sys.executable if sys.version_info[:2] == (3, 12) else "python3.12"
    path = [str(CHECKOUT / "build" / "python")] if CHECKOUT is not None else []
    if os.environ.get("PYTHONPATH"):
        path.append(os.environ["PYTHONPATH"])
    extra = {"PYTHONPATH": os.pathsep.join(path)} if path else {}
    return [python, "-m", "velmora._kinra2._litert_host"], extra


def _host_command(program: Program) -> tuple[list[str], dict[str, str], str]:
    """The command that starts the host, the environment it adds, and where
    the command came from (said when it cannot be started)."""
    if program is None:
        cmd, origin = _find_program()
        return cmd, {}, origin
    if isinstance(program, str) and program == MODULE:
        cmd, extra = module_program()
        return cmd, extra, "program=MODULE: $PYTHON, this 3.12 interpreter or python3.12"
    if isinstance(program, (str, os.PathLike)):
        return [os.fspath(program)], {}, "given as program="
    return [os.fspath(a) for a in program], {}, "given as program="


def _child_env(extra: Mapping[str, str], changes: Optional[Mapping[str, Optional[str]]]) -> dict[str, str]:
    """This process's environment with ``extra`` added and ``changes`` applied
    (a value of None removes its variable)."""
    run_env = {**os.environ, **extra}
    for key, value in (changes or {}).items():
        if value is None:
            run_env.pop(key, None)
        else:
            run_env[key] = value
    return run_env


def _as_record_bytes(samples: Samples) -> memoryview:
    """The samples as raw little-endian float32 bytes, without a copy where possible."""
    if _np is not None and isinstance(samples, _np.ndarray):
        if not _np.issubdtype(samples.dtype, _np.floating):
            raise TypeError(f"audio must be float samples in [-1, 1], not {samples.dtype}")
        arr = _np.ascontiguousarray(samples.reshape(-1), dtype="<f4")
        return memoryview(arr).cast("B")
    view = memoryview(samples)
    if view.format == "f" and view.itemsize == 4:
        if sys.byteorder != "little":
            raise ValueError("float32 buffers must be little-endian")
        return view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
    if view.format in ("B", "b", "c") and view.ndim == 1:
        if view.nbytes % 4:
            raise ValueError(f"{view.nbytes} bytes is not a whole number of float32 samples")
        return view
    raise TypeError(f"audio must be float32 samples or their raw bytes, not format {view.format!r}")


class RenderHost:
    """One running render host and its stream.

    ``RenderHost(bundle)`` starts the host on a bundle, waits for its ``READY``
    header and exposes it (``fps``, ``width``, ``height``, ``sample_rate``,
    ``color``). ``feed`` writes audio records, ``flush`` asks for everything
    the audio fed so far owes, ``reset`` starts a new session, ``frames``
    yields ``(index, frame)`` pairs, ``close`` ends the input and returns the
    exit status. Use it as a context manager to have it closed.

    A reader thread takes frame records off the host's standard output into a
    queue of at most ``queue_frames`` frames. While the queue is full the host
    is held up and, once its pipes are full too, ``feed`` blocks: feed from one
    thread and consume ``frames()`` on another, or use ``render``, which does
    both.

    ``program`` is the host's path (or an argument list that starts it), or
    ``MODULE``; without it, ``default_program()`` finds the host. ``env`` adds
    to (a value of None: removes from) this process's environment.
    ``on_log`` receives each line the host writes to standard error; the
    last ``log_lines`` lines are kept in ``log``.
    """

    def __init__(
        self,
        bundle: Union[str, os.PathLike],
        *,
        program: Program = None,
        threads: Optional[int] = None,
        env: Optional[Mapping[str, Optional[str]]] = None,
        queue_frames: int = 64,
        start_timeout: float = 300.0,
        on_log: Optional[Callable[[str], None]] = None,
        log_lines: int = 200,
    ) -> None:
        if queue_frames < 1:
            raise ValueError("queue_frames must be at least 1")
        cmd, extra_env, origin = _host_command(program)
        cmd = cmd + ["render-stream", os.fspath(bundle)]
        if threads is not None:
            cmd += ["--threads", str(int(threads))]

        self.command: list[str] = cmd
        self.header: Optional[Header] = None
        self.log: collections.deque[str] = collections.deque(maxlen=log_lines)
        #: The host's own real-time factor from its latest throughput log line.
        self.rtf: Optional[float] = None
        #: Seconds from the audio that completed a session's first chunk (or
        #: its flush) being written to that session's first frame arriving.
        self.first_frame_latency: Optional[float] = None

        self._on_log = on_log
        self._queue = _BoundedQueue(queue_frames)
        self._write_lock = threading.Lock()
        self._state = threading.Condition()
        self._session = 0  # resets sent
        self._fed = 0  # samples fed in the current session
        self._due: list[Optional[float]] = [None]  # per session: when its first chunk became due
        self._reader_session = -1
        self._flushes = 0
        self._markers = 0
        self._started = threading.Event()
        self._ended = False
        self._closing = False
        self._error: Optional[HostError] = None

        self._start(_child_env(extra_env, env), origin)
        self._wait_header(start_timeout)

    def _start(self, run_env: dict[str, str], origin: str) -> None:
        """The host process and the two threads that drain its output."""
        cmd = self.command
        try:
            self._proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, bufsize=0, env=run_env)
        except OSError as e:
            raise HostError(f"cannot start {cmd[0]} ({origin}): {e.strerror or e}", None, "") from e
        self._stdin = self._proc.stdin
        self._stdout = self._proc.stdout
        self._log_thread = threading.Thread(target=self._read_log, name="kinra2-host-log", daemon=True)
        self._reader = threading.Thread(target=self._read_stream, name="kinra2-host-frames", daemon=True)
        self._log_thread.start()
        self._reader.start()

    def _wait_header(self, timeout: float) -> None:
        if not self._started.wait(timeout):
            self.kill()
            raise HostError(f"no READY header within {timeout:g} s", self._proc.returncode, self.last_log)
        if self.header is None:
            self.kill()
            raise self._error or HostError("the host ended before its READY header", self.status, self.last_log)

    # -- header ---------------------------------------------------------------

    @property
    def fps(self) -> int:
        return self.header.fps

    @property
    def width(self) -> int:
        return self.header.width

    @property
    def height(self) -> int:
        return self.header.height

    @property
    def sample_rate(self) -> int:
        return self.header.sample_rate

    @property
    def color(self) -> Optional[dict]:
        """The colour correction's descriptor (``kind``, ``sha256``), or None."""
        return self.header.color

    @property
    def status(self) -> Optional[int]:
        """The host's exit status, None while it runs."""
        return self._proc.poll()

    @property
    def pid(self) -> int:
        return self._proc.pid

    @property
    def last_log(self) -> str:
        return self.log[-1] if self.log else ""

    @property
    def queued(self) -> int:
        """Frames read from the host and not yet handed out."""
        return len(self._queue)

    @property
    def session(self) -> int:
        """Resets sent so far; frames of earlier sessions are no longer handed out."""
        return self._session

    # -- input ----------------------------------------------------------------

    def feed(self, samples: Samples, *, step: int = MAX_STEP) -> None:
        """Write mono float32 audio at the header's sample rate as audio records
        of at most ``step`` samples. Blocks while the host is held up by
        unread frames."""
        if not 1 <= step <= MAX_STEP:
            raise ValueError(f"step must be 1 to {MAX_STEP} samples")
        data = _as_record_bytes(samples)
        n = data.nbytes // 4
        with self._write_lock:
            for at in range(0, n, step):
                k = min(step, n - at)
                self._write(step_word(k), data[at * 4:(at + k) * 4])
                self._fed += k
                if self._fed >= FIRST_CHUNK_SAMPLES:
                    self._mark_due()

    def flush(self, *, wait: bool = True, timeout: Optional[float] = None) -> int:
        """Ask for every frame the audio fed so far owes; returns the number
        its ``Marker`` will carry. With ``wait``, return once that marker has
        arrived (its frames are then queued); some other thread must be
        consuming frames meanwhile if they may exceed the queue."""
        with self._write_lock:
            self._mark_due()
            self._write(FLUSH)
            self._flushes += 1
            number = self._flushes
        if wait:
            self._wait_marker(number, timeout)
        return number

    def reset(self) -> None:
        """Start a new session: the host drops the audio it holds and numbers
        frames from 3 again. Frames of the ended session that are still on
        their way are discarded."""
        with self._write_lock:
            self._write(RESET)
            with self._state:
                self._session += 1
                self._fed = 0
                self._due.append(None)

    def _mark_due(self) -> None:
        with self._state:
            if self._due[self._session] is None:
                # The first chunk's audio is on its way; measured from here.
                self._due[self._session] = time.monotonic()

    def _write(self, *parts: Union[bytes, memoryview]) -> None:
        if self._ended or self._closing:
            raise self._failure("the host's input is closed")
        try:
            for part in parts:
                view = memoryview(part)
                while view.nbytes:
                    done = self._stdin.write(view)
                    view = view[done:]
        except (BrokenPipeError, ValueError, OSError) as e:
            try:
                self._proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
            self._log_thread.join(2)
            raise self._failure("the host stopped reading its input") from e

    # -- output ---------------------------------------------------------------

    def read(self, timeout: Optional[float] = None, *, markers: bool = False) -> Union[Frame, Marker, None]:
        """The next frame of the current session (with ``markers``, also the
        flush markers, in stream order), or None once the stream has ended.
        Raises HostError when the host ended abnormally, TimeoutError when
        nothing arrived within ``timeout`` seconds."""
        while True:
            item = self._next(timeout)
            if item is None or markers or isinstance(item, Frame):
                return item

    def frames(self, timeout: Optional[float] = None) -> Iterator[Frame]:
        """Yield ``(index, frame)`` for every frame until the stream ends (or,
        with a timeout, until none arrives for that long). ``frame`` is an
        (height, width, 3) uint8 numpy array viewing the record's buffer, or a
        memoryview of that shape where numpy is missing."""
        while True:
            try:
                frame = self.read(timeout)
            except TimeoutError:
                return
            if frame is None:
                return
            yield frame

    def render(self, samples: Samples, *, step: int = 3200) -> Iterator[Frame]:
        """Feed ``samples`` (from a thread of its own), flush, and yield every
        frame up to the flush's marker: the whole rendering of the audio."""
        with self._state:
            number = self._flushes + 1
        failure: list[BaseException] = []

        def produce() -> None:
            try:
                self.feed(samples, step=step)
                self.flush(wait=False)
            except BaseException as e:  # handed to the consuming side
                failure.append(e)
                self._queue.put(Marker(number), control=True)

        writer = threading.Thread(target=produce, name="kinra2-host-feed", daemon=True)
        writer.start()
        done = False
        try:
            while not done:
                item = self._next(None)
                if item is None or isinstance(item, Marker) and item.number >= number:
                    done = True
                elif isinstance(item, Frame):
                    yield item
        finally:
            # Stopped early: the writer may be held up by the frames nobody
            # takes any more, so they are taken and dropped up to the marker.
            try:
                while not done:
                    item = self._next(None)
                    done = item is None or isinstance(item, Marker) and item.number >= number
            except HostError:
                pass
            writer.join()
        if failure:
            raise failure[0]

    def _next(self, timeout: Optional[float]) -> Any:
        """The next frame of the current session or marker; None at the end."""
        while True:
            item = self._queue.get(timeout)
            if item is _END:
                self._queue.put(_END, control=True)  # stays the end for every later call
                if self._error is not None:
                    raise self._error
                return None
            if isinstance(item, Frame) and item.session < self._session:
                continue
            return item

    def _wait_marker(self, number: int, timeout: Optional[float]) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._state:
            while self._markers < number:
                if self._ended:
                    raise self._error or self._failure("the host ended before its flush marker")
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError("the flush marker did not arrive within the timeout")
                self._state.wait(left)

    # -- threads --------------------------------------------------------------

    def _read_log(self) -> None:
        for raw in iter(self._proc.stderr.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.log.append(line)
            m = re.search(r"\brtf=([0-9]+(?:\.[0-9]+)?)", line)
            if m:
                self.rtf = float(m.group(1))
            if self._on_log is not None:
                try:
                    self._on_log(line)
                except Exception:
                    pass  # a broken log callback must not stop the host's log from draining
        self._proc.stderr.close()

    def _read_stream(self) -> None:
        try:
            self.header = read_header(self._stdout)
            if self.header is not None:
                self._started.set()
                self._read_records()
        except Exception as e:  # the host wrote something that is not the stream
            self._error = HostError(f"unreadable output from the host: {e}", None, self.last_log)
            self._proc.kill()
        finally:
            self._finish()
            self._stdout.close()

    def _read_records(self) -> None:
        size = self.header.frame_bytes
        shape = (self.header.height, self.header.width, 3)
        while (record := read_record(self._stdout, size)) is not None:
            index, buf = record
            if index == MARKER_INDEX:
                with self._state:
                    self._markers += 1
                    number = self._markers
                    self._state.notify_all()
                self._queue.put(Marker(number), control=True)
                continue
            if index == FIRST_INDEX:
                self._start_session()
            pixels = _np.frombuffer(buf, dtype=_np.uint8).reshape(shape) if _np is not None \
                else memoryview(buf).cast("B", shape)
            if self._reader_session >= self._session:
                self._queue.put(Frame(index, pixels, self._reader_session))

    def _start_session(self) -> None:
        """Index 3 opens a session's frames; it belongs to the next session
        that has had its first chunk asked for (sessions reset before that
        wrote nothing)."""
        with self._state:
            s = self._reader_session + 1
            while s < self._session and self._due[s] is None:
                s += 1
            self._reader_session = s
            if self._due[s] is not None and s == self._session:
                self.first_frame_latency = time.monotonic() - self._due[s]

    def _finish(self) -> None:
        try:
            status = self._proc.wait(None if self._closing else 10)
        except subprocess.TimeoutExpired:
            status = None
        self._log_thread.join(2)
        with self._state:
            if self._error is None and (status != 0 or not self._closing):
                what = "the host ended before its READY header" if self.header is None else "the host ended"
                self._error = HostError(what, status, self.last_log)
            self._ended = True
            self._state.notify_all()
        self._started.set()
        self._queue.put(_END, control=True)

    def _failure(self, what: str) -> HostError:
        return HostError(what, self._proc.poll(), self.last_log)

    # -- ending ---------------------------------------------------------------

    def close(self, timeout: Optional[float] = None) -> int:
        """End the host's input and return its exit status. Frames it still
        writes stay readable. After ``timeout`` seconds it is killed."""
        # Unbounded first: a feed held up by the queue then completes, and the
        # next record it tries sees the input closed.
        self._closing = True
        self._queue.unbound()
        with self._write_lock:
            try:
                self._stdin.close()
            except OSError:
                pass  # already gone: its status tells why
        try:
            self._proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
        self._reader.join()
        return self._proc.returncode

    def kill(self) -> int:
        """Stop the host at once, dropping what it had not yet handed out."""
        self._closing = True
        self._queue.unbound(discard=True)
        if self._proc.poll() is None:
            self._proc.kill()
        self._proc.wait()
        if self._write_lock.acquire(timeout=5):
            try:
                self._stdin.close()
            except OSError:
                pass
            finally:
                self._write_lock.release()
        self._reader.join()
        return self._proc.returncode

    def __enter__(self) -> "RenderHost":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.close()
        else:
            self.kill()
