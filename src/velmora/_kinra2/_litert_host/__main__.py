# `python -m velmora._kinra2._litert_host ...`: the extension module is the
# package itself (its __init__), and this runs its entry as the program: the
# process is the host's alone, so it confines itself once set up, as the
# native program does (an application calling main() is never confined).
import sys

from velmora._kinra2._litert_host import _program_main

sys.exit(_program_main(sys.argv))
