"""The stand-in peer: renders three seconds of a tone through the host it
starts as its subprocess, then reports what the pod's settings should give:
frames, one LiteRT thread under a limit of 1 CPU, a non-root user and an
empty stage directory. Exits 1 when any of them is not so."""

import os
import sys

import numpy as np
from kinra2_peer.host import RenderHost

t = np.arange(16000 * 3, dtype=np.float32) / 16000
audio = (0.3 * np.sin(2 * np.pi * 220 * t)).astype(np.float32)
with RenderHost(sys.argv[1]) as host:
    frames = sum(1 for _ in host.render(audio))
    status = host.close()
warmup = [line for line in host.log if "warming up" in line]
left = os.listdir(os.environ["KINRA2_STAGE_DIR"])
print(f"peer: {frames} frames, host status {status}, uid {os.getuid()}, stage left {left}")
print("\n".join(warmup))
ok = frames > 0 and status == 0 and os.getuid() != 0 and not left
ok = ok and any("threads=1 " in line for line in warmup)
sys.exit(0 if ok else 1)
