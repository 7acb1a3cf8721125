"""Peer library for the kinra2 render host.

    from kinra2_peer import RenderHost
    with RenderHost("out/demo_bundle") as host:
        for index, frame in host.render(samples):   # float32, 16 kHz mono
            ...                                      # frame: (720, 416, 3) uint8

``kinra2_peer.protocol`` frames the records themselves, for peers of their own.
"""

import pathlib as _pathlib


def _version() -> str:
    """The release this package belongs to: the installed wheel's, else the
    checkout's VERSION (the project's one place for it)."""
    try:
        from importlib.metadata import PackageNotFoundError, version
        return version("kinra2_peer")
    except PackageNotFoundError:
        checkout = _pathlib.Path(__file__).resolve().parents[2] / "VERSION"
        return checkout.read_text().split()[0] if checkout.is_file() else "0+unknown"


__version__ = _version()

from .host import (HOST_ENV, HOST_PROGRAM, MODULE, Frame, HostError, Marker, RenderHost, default_program,
                   module_program)
from .protocol import FIRST_CHUNK_SAMPLES, FIRST_INDEX, MAX_STEP, Header

__all__ = ["RenderHost", "HostError", "Header", "Frame", "Marker", "MODULE", "HOST_ENV", "HOST_PROGRAM", "MAX_STEP",
           "FIRST_INDEX", "FIRST_CHUNK_SAMPLES", "default_program", "module_program"]
