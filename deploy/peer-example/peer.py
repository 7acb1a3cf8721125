"""The stand-in peer: renders three seconds of a tone through the host it
starts as its subprocess, reports the frames and the host's warm-up line,
then keeps the host open, as a peer does between sessions, until the pod
stops it (SIGTERM). Exits 1 when nothing was rendered or the host did not
end cleanly. What the pod's settings gave the host is checked from outside
(scripts/image kube), not here."""

import signal
import sys

import numpy as np
from kinra2_peer.host import RenderHost


def stop(signum, frame):
    raise SystemExit(0)


# As the container's first process the default action of SIGTERM would be
# ignored, and the pod would take its grace period to kill us.
signal.signal(signal.SIGTERM, stop)
t = np.arange(16000 * 3, dtype=np.float32) / 16000
audio = (0.3 * np.sin(2 * np.pi * 220 * t)).astype(np.float32)
with RenderHost(sys.argv[1]) as host:
    frames = sum(1 for _ in host.render(audio))
    print(f"peer: rendered {frames} frames through host pid {host.pid}", flush=True)
    print("\n".join(line for line in host.log if "warming up" in line), flush=True)
    if frames > 0:
        try:
            signal.pause()
        except SystemExit:
            pass
    status = host.close()
print(f"peer: host status {status}", flush=True)
sys.exit(0 if frames > 0 and status == 0 else 1)
