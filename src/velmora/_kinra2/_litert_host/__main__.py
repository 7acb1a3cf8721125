# `python -m velmora._kinra2._litert_host ...`: the extension module is the
# package itself (its __init__), and this runs its entry as the program.
import sys

from velmora._kinra2._litert_host import main

sys.exit(main(sys.argv))
