"""Headless Chromium driven over the DevTools protocol (aiohttp only), for the
preview's browser test and its latency bench."""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
from typing import Any, Optional

import aiohttp

CANDIDATES = ("chromium", "chromium-browser", "google-chrome")


def find_chromium() -> Optional[str]:
    env = os.environ.get("CHROMIUM", "").strip()
    if env:
        return env
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless Chromium with a fresh profile and one page."""

    def __init__(self, binary: str) -> None:
        self.binary = binary
        self.proc: Optional[subprocess.Popen] = None
        self.profile = tempfile.TemporaryDirectory(prefix="k2-chromium-", ignore_cleanup_errors=True)
        self.session: Optional[aiohttp.ClientSession] = None
        self.ws: Optional[aiohttp.ClientWebSocketResponse] = None
        self._ids = itertools.count(1)
        self._pending: dict[int, asyncio.Future] = {}
        self._pump: Optional[asyncio.Task] = None
        self.console: list[str] = []

    async def start(self, url: str, *, width: int = 900, height: int = 820) -> None:
        args = [self.binary, "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--autoplay-policy=no-user-gesture-required", "--mute-audio",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding", "--disable-dev-shm-usage",
                f"--window-size={width},{height}", f"--user-data-dir={self.profile.name}",
                "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        # A session of its own, so its helper processes can be ended with it.
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        port = await asyncio.get_running_loop().run_in_executor(None, self._devtools_port)
        self.session = aiohttp.ClientSession()
        async with self.session.get(f"http://127.0.0.1:{port}/json/list") as r:
            targets = await r.json(content_type=None)
        page = next(t for t in targets if t.get("type") == "page")
        self.ws = await self.session.ws_connect(page["webSocketDebuggerUrl"], max_msg_size=0)
        self._pump = asyncio.create_task(self._read())
        await self.send("Runtime.enable")
        await self.send("Page.enable")
        await self.send("Page.navigate", url=url)

    def _devtools_port(self) -> int:
        for raw in iter(self.proc.stderr.readline, b""):
            m = re.search(rb"DevTools listening on ws://[^:]+:(\d+)/", raw)
            if m:
                # Keep draining its log so it never blocks on a full pipe.
                threading.Thread(target=self.proc.stderr.read, daemon=True).start()
                return int(m.group(1))
        raise RuntimeError(f"chromium exited ({self.proc.wait()}) without a DevTools port")

    async def _read(self) -> None:
        async for msg in self.ws:
            if msg.type != aiohttp.WSMsgType.TEXT:
                break
            data = json.loads(msg.data)
            fut = self._pending.pop(data.get("id"), None)
            if fut is not None and not fut.done():
                fut.set_result(data)
            elif data.get("method") == "Runtime.consoleAPICalled":
                self.console.append(" ".join(str(a.get("value", a.get("description", "")))
                                             for a in data["params"]["args"]))
            elif data.get("method") == "Runtime.exceptionThrown":
                self.console.append("exception: " + json.dumps(data["params"]["exceptionDetails"])[:500])
        for fut in self._pending.values():
            if not fut.done():
                fut.set_exception(RuntimeError("DevTools connection closed"))

    async def send(self, method: str, **params: Any) -> dict:
        mid = next(self._ids)
        fut = asyncio.get_running_loop().create_future()
        self._pending[mid] = fut
        await self.ws.send_str(json.dumps({"id": mid, "method": method, "params": params}))
        data = await asyncio.wait_for(fut, 120)
        if "error" in data:
            raise RuntimeError(f"{method}: {data['error']}")
        return data.get("result", {})

    async def eval(self, expression: str) -> Any:
        """The JSON value of a page expression (promises awaited)."""
        res = await self.send("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in res:
            raise RuntimeError(f"page error: {json.dumps(res['exceptionDetails'])[:800]}")
        return res["result"].get("value")

    async def wait_for(self, expression: str, timeout: float = 60.0, every: float = 0.05) -> Any:
        loop = asyncio.get_running_loop()
        end = loop.time() + timeout
        while True:
            value = await self.eval(expression)
            if value:
                return value
            if loop.time() > end:
                raise TimeoutError(f"page never satisfied {expression!r}; console: {self.console[-5:]}")
            await asyncio.sleep(every)

    async def screenshot(self, path: str, width: int = 880, height: int = 752) -> None:
        await self.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                        mobile=False)
        res = await self.send("Page.captureScreenshot", format="png")
        with open(path, "wb") as f:
            f.write(base64.b64decode(res["data"]))

    async def close(self) -> None:
        if self.ws is not None and not self.ws.closed:
            try:
                await asyncio.wait_for(self.send("Browser.close"), 5)
            except Exception:
                pass  # ended below either way
        if self._pump is not None:
            self._pump.cancel()
        if self.ws is not None:
            await self.ws.close()
        if self.session is not None:
            await self.session.close()
        if self.proc is not None:
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
            try:  # whatever of its group is left (the group is the browser's own)
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            if self.proc.poll() is None:
                self.proc.wait()
        self.profile.cleanup()
