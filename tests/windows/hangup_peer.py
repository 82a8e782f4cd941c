#!/usr/bin/python3
"""A serial peer that hangs up: opens a pseudo-terminal, prints its device path, and closes its
side as soon as the first byte arrives (or after 60 s), as an adapter pulled out would."""
import os
import select
import sys
import tty

master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
# Our own opener of the terminal side keeps the master quiet until the port under test opens.
ready, _, _ = select.select([master], [], [], 60)
if ready:
    try:
        os.read(master, 64)
    except OSError:
        pass
os.close(master)
os.close(slave)
