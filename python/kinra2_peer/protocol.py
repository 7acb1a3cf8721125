"""The record protocol between a peer and the render host, in both
directions, and the speech-like audio the tests, scripts and benches feed.

Standard library only (no numpy), so every interpreter that drives the host
can use it, the extension module's 3.12 included.

Peer to host: a little-endian 32-bit word, either a step size (that many
float32 samples follow) or a control word (flush, reset, credit with one
more word). Host to peer: one ``READY {json}`` line, then records that each
start with a signed 32-bit index: a frame's pixels follow an index of 0 or
more, and -1 marks a flush.
"""

from __future__ import annotations

import array
import json
import struct
from dataclasses import dataclass
from typing import Any, BinaryIO, Iterator, Optional

#: The largest audio step the host takes, in samples.
MAX_STEP = 16777216
#: Samples that complete the first chunk of a session (1.6 s at 16 kHz).
FIRST_CHUNK_SAMPLES = 25600
#: Index of the first frame record of every session.
FIRST_INDEX = 3
#: The index word of a flush marker.
MARKER_INDEX = -1
#: Longest header line a peer reads before it gives up on the stream.
HEADER_LIMIT = 1 << 16

FLUSH_WORD, RESET_WORD, CREDIT_WORD = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
WORD = struct.Struct("<I")
INDEX = struct.Struct("<i")
FLUSH = WORD.pack(FLUSH_WORD)
RESET = WORD.pack(RESET_WORD)


def step_word(samples: int) -> bytes:
    """The word that announces an audio step of ``samples`` samples."""
    return WORD.pack(samples)


def credit(n: int) -> bytes:
    """A credit record: its control word and its count."""
    return WORD.pack(CREDIT_WORD) + WORD.pack(n)


def audio_record(samples: Any) -> bytes:
    """One audio record of float32 ``samples`` (an ``array("f")`` on a
    little-endian machine, or their raw little-endian bytes)."""
    data = memoryview(samples).cast("B")
    if data.nbytes % 4:
        raise ValueError(f"{data.nbytes} bytes is not a whole number of float32 samples")
    return step_word(data.nbytes // 4) + data.tobytes()


def speechlike(n: int, seed: int = 1) -> array.array:
    """``n`` float32 samples of syllable-like bursts of noise, 3000 quiet
    then 6000 loud, over and over: deterministic for a seed, and the signal
    the C++ tests feed."""
    out = array.array("f", bytes(4 * n))
    s = seed
    for i in range(n):
        s = (s * 1664525 + 1013904223) & 0xFFFFFFFF
        noise = ((s ^ 0x80000000) - 0x80000000 >> 8) / 8388608.0  # the top 24 bits, signed
        out[i] = (0.05 if (i // 3000) % 3 == 0 else 0.6) * noise
    return out


@dataclass(frozen=True)
class Header:
    """The stream's ``READY`` header."""

    fps: int
    width: int
    height: int
    sample_rate: int
    color: Optional[dict]
    raw: dict

    @property
    def frame_bytes(self) -> int:
        return self.width * self.height * 3


def parse_header(line: bytes) -> Header:
    """The header of a ``READY {json}`` line; ValueError for anything else."""
    if not line.startswith(b"READY "):
        raise ValueError(f"expected a READY header, got {bytes(line[:60])!r}")
    fields = json.loads(bytes(line[6:]).decode("ascii"))
    header = Header(fps=int(fields["fps"]), width=int(fields["width"]), height=int(fields["height"]),
                    sample_rate=int(fields["sample_rate"]), color=fields.get("color"), raw=fields)
    if min(header.fps, header.width, header.height, header.sample_rate) <= 0:
        raise ValueError(f"impossible stream geometry in {fields}")
    return header


def read_header(stream: BinaryIO) -> Optional[Header]:
    """Read the header line a byte at a time, so that nothing of the first
    record is taken with it; None when the stream ends (or runs past
    ``HEADER_LIMIT``) before the line does."""
    line = bytearray()
    one = bytearray(1)
    while not line.endswith(b"\n"):
        if len(line) > HEADER_LIMIT or not stream.readinto(one):
            return None
        line += one
    return parse_header(line)


def read_exact(stream: BinaryIO, view: memoryview) -> bool:
    """Fill ``view`` from ``stream``; False when the stream ends first."""
    while view.nbytes:
        got = stream.readinto(view)
        if not got:
            return False
        view = view[got:]
    return True


def read_record(stream: BinaryIO, frame_bytes: int,
                into: Optional[bytearray] = None) -> Optional[tuple[int, Optional[bytearray]]]:
    """The next record: ``(index, pixels)`` for a frame, ``(MARKER_INDEX,
    None)`` for a flush marker, None at the end of the stream (a record cut
    short included). The pixels go into ``into`` when given, else into a
    buffer of their own. ValueError for an index that is neither."""
    word = bytearray(4)
    if not read_exact(stream, memoryview(word)):
        return None
    (index,) = INDEX.unpack(word)
    if index == MARKER_INDEX:
        return index, None
    if index < 0:
        raise ValueError(f"negative frame index {index}")
    pixels = bytearray(frame_bytes) if into is None else into
    return (index, pixels) if read_exact(stream, memoryview(pixels)[:frame_bytes]) else None


def records(stream: BinaryIO, frame_bytes: int, into: Optional[bytearray] = None) -> Iterator[tuple[int, Any]]:
    """Every record of ``stream`` after its header, as ``read_record`` gives them."""
    while (record := read_record(stream, frame_bytes, into)) is not None:
        yield record
