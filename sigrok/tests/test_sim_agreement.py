'''The decoder and the simulator name every command alike.

The tool's own builders (tool_oracle frames: each builder called once or more, with plain and
odd parameters) write their frames; the same bytes go to `mcu_sim --decode` through its link
and, as a capture, through the decoder. The simulator's lines and the decoder's commands and
noise rows must agree line by line.
'''

import contextlib
import difflib
import os
import re
import signal
import subprocess
import time
import tty

import pytest

from testkit.linkdecode import run, sequence, texts

HERE = os.path.dirname(os.path.abspath(__file__))
COMMANDS_H = os.path.join(HERE, '..', '..', 'protocol', 'commands.h')
ORACLE = os.environ.get('MCU_TOOL_ORACLE')
SIM = os.environ.get('MCU_SIM')
GAP_MS = 60.0  # silence after each frame: well over the 20 ms that ends a frame or noise

pytestmark = pytest.mark.skipif(not (ORACLE and SIM), reason='MCU_TOOL_ORACLE, MCU_SIM: ctest')


def builder_calls():
    '''(builder, bytes it wrote) of every call that tool_oracle makes.'''
    out = subprocess.run([ORACLE, 'frames'], stdout=subprocess.PIPE, check=True, timeout=60,
                         universal_newlines=True).stdout
    lines = [line.partition(' ') for line in out.splitlines()]
    return [(name, bytes.fromhex(data)) for name, _, data in lines]


def declared_builders():
    with open(COMMANDS_H) as f:
        return set(re.findall(r'^void (\w+)\(int fd', f.read(), re.M))


def wait_for(path, seconds=10.0):
    end = time.monotonic() + seconds
    while not os.path.exists(path):
        assert time.monotonic() < end, 'no %s after %s s' % (path, seconds)
        time.sleep(0.01)


def simulator_lines(tmp_path, frames):
    '''What mcu_sim --decode prints for the frames, written one by one on its link.'''
    link, ready = str(tmp_path / 'ttyMCU'), str(tmp_path / 'ready')
    sim = subprocess.Popen([SIM, '--link', link, '--ready', ready, '--decode'],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           universal_newlines=True)
    try:
        wait_for(ready)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        time.sleep(0.05)  # the simulator sees the open within a millisecond
        for data in frames:
            os.write(fd, data)
            time.sleep(GAP_MS / 1000)
            with contextlib.suppress(BlockingIOError):
                os.read(fd, 65536)  # its replies, so that they never fill the terminal
        os.close(fd)
        time.sleep(0.05)
    finally:
        sim.send_signal(signal.SIGTERM)
        out, _ = sim.communicate(timeout=10)
    lines = [line.split(' ', 1)[1] for line in out.splitlines()]
    return [line for line in lines if line not in ('connect', 'disconnect')]


def test_every_builder_is_called():
    assert {name for name, _ in builder_calls()} == declared_builders()


def test_simulator_and_decoder_agree_on_every_builders_frame(tmp_path):
    calls = builder_calls()
    frames = [data for _, data in calls]
    sim = simulator_lines(tmp_path, frames)
    streams, _ = sequence([('TX', data) for data in frames], gap_ms=GAP_MS)
    decoder = texts(run(tmp_path, streams, ['commands', 'noise']))
    diff = difflib.unified_diff(sim, decoder, 'simulator', 'decoder', lineterm='')
    assert sim == decoder, '\n'.join(diff)
    # Each call gives one line, and one more for the zero padding of the fixed-size sends.
    padded = sum(1 for data in frames if data[0] == 0xAA and len(data) > data[1] + 2)
    assert len(sim) == len(calls) + padded
