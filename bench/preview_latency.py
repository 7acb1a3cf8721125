#!/usr/bin/env python3
"""The live preview in headless Chromium, measured: the time from pressing
"speak" to the first frame painted, beside the host's own first-frame latency
(from the sample that completes the first chunk to its first frame read by
the peer) in the same runs; and how far video and audio drift apart over a
long stretch of speech.

    bench/preview_latency.py [--bundle B] [--runs 7] [--drift-seconds 60] [--screenshot out/preview.png]
"""

import argparse
import asyncio
import math
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "tests" / "support"))

from chromium import Browser, find_chromium  # noqa: E402
from kinra2_peer.preview import Preview, serve  # noqa: E402

SENTENCES = [
    "Hello. I am the demo face of this render host. Watch my mouth follow the words I speak.",
    "The quick brown fox jumps over the lazy dog, and then it runs away into the woods.",
    "Streaming video from audio on a plain processor is not as hard as it sounds.",
]
# About ten seconds of speech per repetition.
LONG = ("Every chunk of speech becomes thirty two frames of video. The host renders them while the "
        "next words are still being spoken, and the page paints each frame when its audio is heard. ")


def load_average() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


async def speak_and_wait(b: Browser, utt: int, text: str) -> dict:
    await b.eval(f"preview.speak({text!r})")
    await b.wait_for(f"preview.utts[{utt}] && preview.utts[{utt}].ended && preview.utts[{utt}].fedSamples", 600)
    seconds = await b.eval(f"preview.utts[{utt}].fedSamples") / 16000
    await b.wait_for(f"preview.heardSeconds() > {seconds + 0.6}", seconds + 60, every=0.25)
    return await b.eval(f"(u => ({{...u, audio: null}}))(preview.utts[{utt}])")


async def run(args) -> None:
    bin_dir = Path(args.bin)
    tmp = tempfile.TemporaryDirectory(prefix="k2-preview-bench-")
    bundle = args.bundle
    if not bundle:
        bundle = os.path.join(tmp.name, "demo")
        subprocess.run([str(bin_dir / "make_demo_bundle"), bundle], check=True, capture_output=True)
    preview = Preview(bundle, program=str(bin_dir / "render_stream_host_litert"), threads=args.threads)
    runner = await serve(preview, 0)
    b = Browser(args.chromium or find_chromium())
    try:
        await b.start(f"http://127.0.0.1:{preview.port}/")
        await b.wait_for("window.preview && preview.ready", 300)
        utt = 0
        print(f"load average before: {load_average()}")
        paint, host, tts = [], [], []
        for i in range(args.runs):
            utt += 1
            rec = await speak_and_wait(b, utt, SENTENCES[i % len(SENTENCES)])
            paint.append(rec["firstPaintMs"])
            host.append(rec["hostLatencyMs"])
            tts.append(rec["ttsMs"])
            print(f"run {i + 1}: speak->painted {rec['firstPaintMs']:.0f} ms, host first frame {rec['hostLatencyMs']:.0f} ms,"
                  f" speech of the first chunk ready and written {rec['ttsMs']:.0f} ms")
        if args.runs:
            over = [p - h for p, h in zip(paint, host)]
            print(f"median over {args.runs} runs: speak->first frame painted {statistics.median(paint):.0f} ms,"
                  f" host first-frame latency {statistics.median(host):.0f} ms, difference"
                  f" {statistics.median(over):.0f} ms (max {max(over):.0f}),"
                  f" of which speech synthesis and feeding {statistics.median(tts):.0f} ms")
        if args.screenshot:
            # Mid-sentence, with the figures of the runs so far on the page.
            utt += 1
            await b.eval(f"preview.speak({SENTENCES[0]!r})")
            await b.wait_for(f"preview.utts[{utt}] && preview.heardSeconds() > 2.3", 60)
            await b.screenshot(args.screenshot)
            print(f"screenshot: {args.screenshot}")
            await speak_and_wait(b, utt + 1, "Thank you.")
            utt += 1
        if args.drift_seconds > 0:
            await b.eval("preview.hashFrames = false")
            text = LONG * max(1, math.ceil(args.drift_seconds / 10))
            utt += 1
            rec = await speak_and_wait(b, utt, text)
            seconds = rec["fedSamples"] / 16000
            lag = [(pos, pos - record / 20) for record, pos, _ in rec["paints"] if pos >= 0]
            frames_owed = 22 + 32 * (max(1, (int((rec["fedSamples"] + 799) // 800) - 1 + 43) // 32) - 1)
            head = [d for p, d in lag if p < 5]
            tail = [d for p, d in lag if p > seconds - 5]
            n = len(lag)
            mean_p = sum(p for p, _ in lag) / n
            mean_d = sum(d for _, d in lag) / n
            slope = sum((p - mean_p) * (d - mean_d) for p, d in lag) / sum((p - mean_p) ** 2 for p, _ in lag)
            print(f"drift over {seconds:.1f} s of speech: {len(lag)} of {frames_owed} frames painted, audio ahead of"
                  f" the painted frame by median {statistics.median(d for _, d in lag) * 1000:.1f} ms,"
                  f" max {max(abs(d) for _, d in lag) * 1000:.1f} ms; first 5 s median"
                  f" {statistics.median(head) * 1000:.1f} ms, last 5 s median {statistics.median(tail) * 1000:.1f} ms;"
                  f" trend {slope * 60 * 1000:+.2f} ms per 60 s; late audio segments {rec['lateAudio']};"
                  f" speech paused {rec['stalls']} times for late frames ({rec['stallMs'] / 1000:.1f} s);"
                  f" the host's highest logged rtf {rec.get('rtf')}")
        print(f"load average after: {load_average()}")
        errors = await b.eval("preview.errors")
        if errors:
            print("page errors:", errors)
    finally:
        await b.close()
        await runner.cleanup()
        tmp.cleanup()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", default=os.environ.get("K2_BIN_DIR", str(ROOT / "build" / "bin")))
    ap.add_argument("--bundle", help="default: a fresh demo bundle")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--drift-seconds", type=float, default=60)
    ap.add_argument("--threads", type=int)
    ap.add_argument("--screenshot", help="save the page, mid-sentence, to this PNG")
    ap.add_argument("--chromium", help="the browser (default: chromium on the path)")
    args = ap.parse_args()
    if not (args.chromium or find_chromium()):
        print("preview_latency: no chromium found; nothing measured", file=sys.stderr)
        return 77
    asyncio.run(run(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
