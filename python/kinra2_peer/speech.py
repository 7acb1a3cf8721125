"""Text to 16 kHz float32 speech with espeak-ng, handed out while it is
synthesised so the first chunk can go to the host before the sentence ends."""

from __future__ import annotations

import math
import shutil
import struct
import subprocess
import threading
from typing import Iterator, Optional

import numpy as np

ESPEAK = "espeak-ng"


def espeak_available() -> bool:
    return shutil.which(ESPEAK) is not None


class Resampler:
    """Windowed-sinc polyphase resampler that works on a stream of blocks.
    Every output sample depends only on the input, never on where the blocks
    were cut."""

    def __init__(self, src: int, dst: int, half_taps: int = 16) -> None:
        g = math.gcd(src, dst)
        self.up, self.down = dst // g, src // g
        self.half = half_taps
        cutoff = 0.92 * min(1.0, dst / src)  # of the input's Nyquist frequency
        k = np.arange(-half_taps + 1, half_taps + 1, dtype=np.float64)
        t = k[None, :] - (np.arange(self.up, dtype=np.float64) / self.up)[:, None]
        window = np.cos(np.pi * t / (2 * half_taps)) ** 2
        table = cutoff * np.sinc(cutoff * t) * window
        self.table = table / table.sum(axis=1, keepdims=True)
        # Input held so far, led by half_taps - 1 zeros so output 0 sits on input 0.
        self._x = np.zeros(half_taps - 1, dtype=np.float64)
        self._x_base = -(half_taps - 1)  # input index of _x[0]
        self._m = 0  # next output sample

    def push(self, block: np.ndarray, final: bool = False) -> np.ndarray:
        x = np.concatenate([self._x, block.astype(np.float64)])
        if final:
            x = np.concatenate([x, np.zeros(self.half, dtype=np.float64)])
        end = self._x_base + len(x)  # input index one past the last held sample
        # Output m needs inputs up to floor(m * down / up) + half; after the
        # final block's padding that leaves exactly the outputs that fall
        # inside the real input.
        m_end = max(self._m, ((end - self.half) * self.up - 1) // self.down + 1)
        m = np.arange(self._m, m_end, dtype=np.int64)
        pos = m * self.down
        i, phase = pos // self.up, pos % self.up
        first = i - self.half + 1 - self._x_base  # offset of each output's first tap in x
        windows = np.lib.stride_tricks.sliding_window_view(x, 2 * self.half)
        y = np.einsum("ij,ij->i", windows[first], self.table[phase]) if len(m) else np.zeros(0)
        self._m = m_end
        keep_from = (self._m * self.down) // self.up - self.half + 1 - self._x_base
        keep_from = max(0, min(keep_from, len(x)))
        self._x = x[keep_from:]
        self._x_base += keep_from
        return y.astype(np.float32)


class Voice:
    """espeak-ng, started ahead of time: loading the voice costs a process 50
    to 100 ms, which would otherwise come before every first frame. Each
    request takes the waiting process and starts the next one."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._closed = False
        self._ready: Optional[subprocess.Popen] = self._spawn()

    @staticmethod
    def _spawn() -> subprocess.Popen:
        # The text goes in on standard input, so nothing in it is read as an option.
        return subprocess.Popen([ESPEAK, "--stdin", "--stdout"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)

    def speak(self, text: str, *, rate: int = 16000, cancel: Optional[threading.Event] = None,
              block_bytes: int = 8192) -> "Speech":
        """Yield the speech of ``text`` as float32 blocks at ``rate`` Hz while
        it is synthesised."""
        with self._lock:
            proc, self._ready = self._ready, None
        if proc is None:  # closed, or asked again before the next one started
            if self._closed:
                raise RuntimeError("the voice is closed")
            proc = self._spawn()
        # The next one starts beside this request, not ahead of its speech.
        threading.Thread(target=self._replace, daemon=True).start()
        return Speech(proc, text, rate, cancel, block_bytes)

    def _replace(self) -> None:
        proc = self._spawn()
        with self._lock:
            if self._ready is None and not self._closed:
                self._ready, proc = proc, None
        if proc is not None:
            _end(proc)

    def close(self) -> None:
        with self._lock:
            proc, self._ready, self._closed = self._ready, None, True
        if proc is not None:
            _end(proc)


def _end(proc: subprocess.Popen) -> None:
    proc.kill()
    proc.stdin.close()
    proc.stdout.close()
    proc.wait()


def speak(text: str, *, rate: int = 16000, cancel: Optional[threading.Event] = None,
          block_bytes: int = 8192) -> "Speech":
    """Yield the speech of ``text`` as float32 blocks at ``rate`` Hz while
    espeak-ng synthesises it, so the first chunk can go out before the text
    is spoken to the end."""
    return Speech(Voice._spawn(), text, rate, cancel, block_bytes)


class Speech:
    """The float32 blocks of one text; ``close()`` ends espeak-ng even when
    no block was asked for."""

    def __init__(self, proc: subprocess.Popen, text: str, rate: int, cancel: Optional[threading.Event],
                 block_bytes: int) -> None:
        self._proc = proc
        self._blocks = _stream(proc, text, rate, cancel, block_bytes)

    def __iter__(self) -> "Speech":
        return self

    def __next__(self) -> np.ndarray:
        return next(self._blocks)

    def close(self) -> None:
        self._blocks.close()
        if self._proc.returncode is None:
            _end(self._proc)


def _stream(proc: subprocess.Popen, text: str, rate: int, cancel: Optional[threading.Event],
            block_bytes: int) -> Iterator[np.ndarray]:
    try:
        proc.stdin.write(text.encode("utf-8") + b"\n")
        proc.stdin.close()
        head = b""
        while b"data" not in head[:-4] or len(head) < head.find(b"data") + 8:
            more = proc.stdout.read1(4096)
            if not more:
                raise RuntimeError("espeak-ng wrote no speech")
            head += more
        if head[:4] != b"RIFF" or head[8:12] != b"WAVE":
            raise RuntimeError("espeak-ng wrote no WAV stream")
        fmt = head.find(b"fmt ")
        channels, src_rate = struct.unpack_from("<HI", head, fmt + 10)
        bits = struct.unpack_from("<H", head, fmt + 22)[0]
        if channels != 1 or bits != 16:
            raise RuntimeError(f"espeak-ng wrote {channels} channel(s) of {bits} bits")
        pending = head[head.find(b"data") + 8:]
        resampler = Resampler(src_rate, rate)
        while True:
            if cancel is not None and cancel.is_set():
                return
            more = proc.stdout.read1(block_bytes)
            pending += more
            whole = len(pending) // 2 * 2
            pcm = np.frombuffer(pending[:whole], dtype="<i2").astype(np.float32) / 32768.0
            pending = pending[whole:]
            out = resampler.push(pcm, final=not more)
            if len(out):
                yield out
            if not more:
                return
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.stdout.close()
        proc.wait()
