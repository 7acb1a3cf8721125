"""kinra2 render host: the streaming render host for the talking-head model.

The host itself is the extension module ``velmora._kinra2._litert_host``;
call its ``main(argv)`` or run it with ``python -m velmora._kinra2._litert_host``.
"""
