"""Peer library for the kinra2 render host.

    from kinra2_peer import RenderHost
    with RenderHost("out/demo_bundle") as host:
        for index, frame in host.render(samples):   # float32, 16 kHz mono
            ...                                      # frame: (720, 416, 3) uint8
"""

from .host import (FIRST_CHUNK_SAMPLES, FIRST_INDEX, HOST_ENV, MAX_STEP, MODULE, Frame, Header, HostError, Marker,
                   RenderHost, default_program, module_program)

__all__ = ["RenderHost", "HostError", "Header", "Frame", "Marker", "MODULE", "HOST_ENV", "MAX_STEP",
           "FIRST_INDEX", "FIRST_CHUNK_SAMPLES", "default_program", "module_program"]
