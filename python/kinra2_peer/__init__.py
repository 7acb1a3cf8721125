"""Peer library for the kinra2 render host.

    from kinra2_peer import RenderHost
    with RenderHost("out/demo_bundle") as host:
        for index, frame in host.render(samples):   # float32, 16 kHz mono
            ...                                      # frame: (720, 416, 3) uint8

``kinra2_peer.protocol`` frames the records themselves, for peers of their own.
"""

from .host import HOST_ENV, MODULE, Frame, HostError, Marker, RenderHost, default_program, module_program
from .protocol import FIRST_CHUNK_SAMPLES, FIRST_INDEX, MAX_STEP, Header

__all__ = ["RenderHost", "HostError", "Header", "Frame", "Marker", "MODULE", "HOST_ENV", "MAX_STEP",
           "FIRST_INDEX", "FIRST_CHUNK_SAMPLES", "default_program", "module_program"]
