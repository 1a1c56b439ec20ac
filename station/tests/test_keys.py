"""The operator's keys on a terminal: a slot's number acts at once, a label scanned (keys
faster than a finger, then Enter) waits for the slot's key, the terminal is given back."""

import os
import pty
import queue
import termios

from station.keys import Keys


def test_keys_and_a_scanned_label_on_a_terminal():
    master, slave = pty.openpty()
    before = termios.tcgetattr(slave)
    started: queue.Queue = queue.Queue()
    said: list[str] = []
    keys = Keys(["slot1", "slot2"], lambda slot, label: started.put((slot, label)) or True,
                said.append, os.fdopen(slave, "r", closefd=False)).start()
    try:
        os.write(master, b"2")  # a person's key: no Enter
        assert started.get(timeout=30) == ("slot2", None)
        os.write(master, b"0c2205435901\r")  # a scanner: the label and Enter at once
        os.write(master, b"1")
        assert started.get(timeout=30) == ("slot1", "0c2205435901")
        assert said == ["label 0c2205435901 scanned: press the key of the slot it goes in"]
        assert not termios.tcgetattr(slave)[3] & termios.ECHO  # nothing typed shows
    finally:
        keys.close()
    assert termios.tcgetattr(slave) == before
    os.close(master)
    os.close(slave)
