"""Live preview: a page on the loopback address where typed text is spoken
with espeak-ng, fed to a render host at real-time pace, and the frames come
back over a WebSocket to be drawn in step with the speech.

    python3 -m kinra2_peer.preview BUNDLE [--port 8020]

One page at a time; its host is started when the page connects and ended when
it goes away. A new request while one plays interrupts it with a reset.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import struct
import sys
import threading
import time
from pathlib import Path
from typing import Any, Optional

import numpy as np
from aiohttp import WSMsgType, web

from .host import HostError, Marker, RenderHost
from .protocol import FIRST_CHUNK_SAMPLES, FIRST_INDEX
from .speech import Voice

PAGE = Path(__file__).with_name("preview.html")
MAX_TEXT = 2000
# Audio goes to the host in steps of 100 ms, the first chunk's 1.6 s at once.
STEP_SAMPLES = 1600
# How far feeding runs ahead of real time once the first chunk is in: a
# chunk's render time has to fit in it, or its frames reach the page late. A
# whole chunk of lead absorbs a render as slow as real time on a busy machine.
LEAD_SAMPLES = 25600

# Binary messages to the page: kind, utterance, index or first sample, spare.
MSG_HEAD = struct.Struct("<IIiI")
KIND_FRAME, KIND_AUDIO = 1, 2


class Utterance:
    """One spoken request: synthesised and fed on a thread of its own."""

    def __init__(self, number: int, text: str) -> None:
        self.number = number
        self.text = text
        self.cancel = threading.Event()
        self.thread: Optional[threading.Thread] = None
        self.flush_number: Optional[int] = None


class UtteranceFeed:
    """One utterance on its way: each block of speech goes to the page as it
    is synthesised, and the audio to the host, its first chunk whole and then
    in steps no further ahead of the clock than the lead."""

    def __init__(self, page: "PageSession", utt: Utterance, blocks: Any, t0: float) -> None:
        self.page, self.utt, self.blocks, self.t0 = page, utt, blocks, t0
        self.host = page.host
        self.sr = self.host.sample_rate
        self.fed = self.synthesised = 0
        self.pending = np.zeros(0, dtype=np.float32)  # synthesised, not yet fed
        self.parts: list = []  # synthesised blocks not yet joined to pending
        self.paced_from = 0.0  # when the first chunk had been fed
        self.done = False  # the speech has all been synthesised

    def run(self) -> Optional[int]:
        """The samples fed once the speech ends or is cancelled; None when
        the page went away or the utterance was cut short while feeding."""
        while not self.utt.cancel.is_set():
            want = FIRST_CHUNK_SAMPLES if self.fed == 0 else STEP_SAMPLES
            if not self.done and (self.fed or self.synthesised < want):
                if not self.take_block():
                    return None
                continue
            if len(self.pending) < want and self.parts:
                self.pending = np.concatenate([self.pending] + self.parts)
                self.parts.clear()
            if len(self.pending) == 0:
                break
            n = min(want, len(self.pending))
            ahead = self.ahead_of_clock(n)
            if ahead > 0:
                self.utt.cancel.wait(ahead / self.sr)
                continue
            if not self.feed_step(n):
                return None
        return self.fed

    def take_block(self) -> bool:
        """The next block of speech, to the page at once; False once the page is gone."""
        block = next(self.blocks, None)
        if block is None:
            self.done = True
            return True
        if not self.page.send(MSG_HEAD.pack(KIND_AUDIO, self.utt.number, self.synthesised, 0) + block.tobytes()):
            return False
        self.synthesised += len(block)
        self.parts.append(block)
        return True

    def ahead_of_clock(self, n: int) -> int:
        """Samples by which feeding ``n`` more would run past the lead."""
        if not self.fed:
            return 0
        allowed = FIRST_CHUNK_SAMPLES + LEAD_SAMPLES + int((time.monotonic() - self.paced_from) * self.sr)
        return self.fed + n - allowed

    def feed_step(self, n: int) -> bool:
        """The next ``n`` samples to the host; False when cancelled meanwhile."""
        step, self.pending = self.pending[:n], self.pending[n:]
        with self.page.lock:
            if self.utt.cancel.is_set():
                return False
            self.host.feed(step)
        if not self.fed:
            self.paced_from = time.monotonic()
            self.page.send({"type": "fed_first_chunk", "utt": self.utt.number,
                            "tts_ms": round((self.paced_from - self.t0) * 1000, 1)})
        self.fed += n
        return True


class PageSession:
    """The host and the traffic of one connected page."""

    def __init__(self, app: "Preview", ws: web.WebSocketResponse) -> None:
        self.app = app
        self.ws = ws
        self.loop = asyncio.get_running_loop()
        self.host: Optional[RenderHost] = None
        self.current: Optional[Utterance] = None
        self.session_utt: dict[int, int] = {}
        self.flush_utt: dict[int, int] = {}
        self.numbers = 0
        self.pump: Optional[threading.Thread] = None
        self.lock = threading.Lock()
        self.voice: Optional[Voice] = None
        self.starter: Optional[threading.Thread] = None

    # -- from threads to the page -----------------------------------------------

    def send(self, data: Any) -> bool:
        """Send from a worker thread; waits until it is written, so a slow page
        holds the frames back. False once the page is gone."""
        coro = self.ws.send_bytes(data) if isinstance(data, (bytes, bytearray)) else self.ws.send_json(data)
        try:
            asyncio.run_coroutine_threadsafe(coro, self.loop).result(30)
            return True
        except Exception:
            return False

    def pump_frames(self) -> None:
        host = self.host
        sent_in_session = 0
        try:
            while True:
                item = host.read(markers=True)
                if item is None:
                    break
                if isinstance(item, Marker):
                    with self.lock:  # the feeder registers its flush under it
                        utt = self.flush_utt.pop(item.number, None)
                    if utt is not None and not self.send({"type": "end", "utt": utt}):
                        break
                    continue
                utt = self.session_utt.get(item.session)
                if utt is None:
                    continue
                if item.index == FIRST_INDEX:
                    sent_in_session = 0
                    latency = host.first_frame_latency
                    self.send({"type": "first", "utt": utt,
                               "host_latency_ms": None if latency is None else round(latency * 1000, 1)})
                sent_in_session += 1
                if not self.send(MSG_HEAD.pack(KIND_FRAME, utt, item.index, 0) + item.pixels.tobytes()):
                    break
                if sent_in_session % 16 == 1:
                    self.send({"type": "stats", "utt": utt, "rtf": host.rtf})
        except HostError as e:
            if not host.status == -9:  # -9: ended by us when the page went away
                self.send({"type": "error", "message": f"render host failed: {e}"})

    # -- requests ---------------------------------------------------------------

    async def start_host(self) -> bool:
        await self.ws.send_json({"type": "status", "message": "starting the render host…"})
        started = self.loop.create_future()
        # A thread of its own that end() can wait for: a page that goes away
        # while its host starts cancels this coroutine, not the start.
        self.starter = threading.Thread(target=self.start, args=(started,), name="preview-start", daemon=True)
        self.starter.start()
        failure = await started
        if failure is not None:
            await self.ws.send_json({"type": "error", "message": f"the render host did not start: {failure}"})
            return False
        h = self.host
        await self.ws.send_json({"type": "ready", "fps": h.fps, "width": h.width, "height": h.height,
                                 "sample_rate": h.sample_rate, "color": h.color, "max_text": MAX_TEXT})
        self.pump = threading.Thread(target=self.pump_frames, name="preview-pump", daemon=True)
        self.pump.start()
        return True

    def start(self, started: asyncio.Future) -> None:
        a = self.app
        failure: Optional[Exception] = None
        try:
            self.host = RenderHost(a.bundle, program=a.program, threads=a.threads, queue_frames=64)
            self.voice = Voice()
            # A model's first run allocates its tensors and packs its weights; a
            # chunk of silence does that now instead of in the first request.
            self.host.feed(np.zeros(FIRST_CHUNK_SAMPLES, dtype=np.float32))
            self.host.flush()
            self.host.reset()
        except (HostError, OSError) as e:
            failure = e
        self.loop.call_soon_threadsafe(lambda: started.done() or started.set_result(failure))

    async def handle(self, msg: str) -> None:
        try:
            req = json.loads(msg)
        except ValueError:
            req = None
        if not isinstance(req, dict) or req.get("type") != "speak":
            await self.ws.send_json({"type": "error", "message": "unknown request"})
            return
        text = req.get("text")
        text = text.strip() if isinstance(text, str) else ""
        if not text:
            await self.ws.send_json({"type": "error", "message": "nothing to say: the text is empty"})
            return
        if len(text) > MAX_TEXT:
            await self.ws.send_json({"type": "error",
                                     "message": f"the text is too long: {len(text)} characters, at most {MAX_TEXT}"})
            return
        await self.loop.run_in_executor(None, self.interrupt)
        self.numbers += 1
        utt = Utterance(self.numbers, text)
        with self.lock:
            self.host.reset()
            self.session_utt = {self.host.session: utt.number}
            self.current = utt
        await self.ws.send_json({"type": "start", "utt": utt.number, "chars": len(text)})
        utt.thread = threading.Thread(target=self.feed, args=(utt,), name="preview-feed", daemon=True)
        utt.thread.start()

    def interrupt(self) -> None:
        utt = self.current
        if utt is not None and utt.thread is not None:
            utt.cancel.set()
            utt.thread.join()

    def feed(self, utt: Utterance) -> None:
        """Speech to the page as soon as it is synthesised (its playback must
        never wait for the host), and to the host: the first chunk's audio at
        once, then 100 ms steps paced by the clock."""
        t0 = time.monotonic()
        blocks = None
        try:
            blocks = self.voice.speak(utt.text, rate=self.host.sample_rate, cancel=utt.cancel)
            fed = UtteranceFeed(self, utt, blocks, t0).run()
            if fed is None:
                return
            with self.lock:
                if utt.cancel.is_set():
                    return
                self.flush_utt[self.host.flush(wait=False)] = utt.number
            self.send({"type": "fed", "utt": utt.number, "samples": fed})
        except HostError as e:
            self.send({"type": "error", "message": f"render host failed: {e}"})
        except Exception as e:
            self.send({"type": "error", "message": f"speech failed: {e}"})
        finally:
            if blocks is not None:
                blocks.close()  # ends espeak-ng if the speech was cut short

    def end(self) -> None:
        """The page went away: stop feeding and end its host."""
        if self.starter is not None:
            self.starter.join()
        self.interrupt()
        if self.voice is not None:
            self.voice.close()
        if self.host is not None:
            self.host.kill()
        if self.pump is not None:
            self.pump.join()


class Preview:
    """The web application; ``port`` is known once the site is started."""

    def __init__(self, bundle: str, *, program: Any = None, threads: Optional[int] = None) -> None:
        self.bundle = bundle
        self.program = program
        self.threads = threads
        self.port = 0
        self.page: Optional[PageSession] = None
        self.app = web.Application()
        self.app.router.add_get("/", self.index)
        self.app.router.add_get("/ws", self.socket)

    def allowed(self, value: Optional[str], scheme: str = "") -> bool:
        names = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}
        return value is not None and value in {scheme + n for n in names}

    async def index(self, request: web.Request) -> web.StreamResponse:
        if not self.allowed(request.headers.get("Host")):
            raise web.HTTPMisdirectedRequest(text="this preview answers on the loopback address only\n")
        return web.FileResponse(PAGE, headers={"Cache-Control": "no-store"})

    async def socket(self, request: web.Request) -> web.StreamResponse:
        if not self.allowed(request.headers.get("Host")) or \
                not self.allowed(request.headers.get("Origin"), "http://"):
            raise web.HTTPForbidden(text="requests from other origins are refused\n")
        ws = web.WebSocketResponse(max_msg_size=64 * 1024, heartbeat=None)
        await ws.prepare(request)
        if self.page is not None:
            await ws.send_json({"type": "error", "message": "the preview is already open in another page; "
                                                            "close that page to use this one"})
            await ws.close()
            return ws
        page = PageSession(self, ws)
        self.page = page
        try:
            if await page.start_host():
                async for msg in ws:
                    if msg.type == WSMsgType.TEXT:
                        await page.handle(msg.data)
                    elif msg.type in (WSMsgType.ERROR, WSMsgType.CLOSE):
                        break
        finally:
            await asyncio.get_running_loop().run_in_executor(None, page.end)
            self.page = None
        return ws


async def serve(preview: Preview, port: int) -> web.AppRunner:
    """Start the site on 127.0.0.1; returns the runner (``cleanup()`` stops it)."""
    runner = web.AppRunner(preview.app, access_log=None, handle_signals=False)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", port)
    await site.start()
    preview.port = site._server.sockets[0].getsockname()[1]
    return runner


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="preview", description="Live preview of the render host in a browser.")
    ap.add_argument("bundle", help="the identity's model bundle")
    ap.add_argument("--port", type=int, default=8020, help="port on 127.0.0.1 (0: any free one)")
    ap.add_argument("--program", help="the host program (default: the build tree's)")
    ap.add_argument("--threads", type=int, help="LiteRT threads of the host")
    args = ap.parse_args(argv)
    preview = Preview(args.bundle, program=args.program, threads=args.threads)

    async def run() -> None:
        runner = await serve(preview, args.port)
        print(f"preview: http://127.0.0.1:{preview.port}/", flush=True)
        try:
            await asyncio.Event().wait()
        finally:
            await runner.cleanup()

    try:
        asyncio.run(run())
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
