"""The minimal python3-mido player: the loop as its documentation writes it,
one os.write() per message to the node given on the command line."""
import os
import sys

from mido import MidiFile

fd = os.open(sys.argv[2], os.O_WRONLY)
for msg in MidiFile(sys.argv[1]).play():
    os.write(fd, msg.bin())
os.close(fd)
