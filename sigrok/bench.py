#!/usr/bin/python3
'''Writes a capture for timing the decoder: SECONDS of traffic at 1 MS/s on both lines.

    bench.py CAPTURE.vcd [--seconds 10] [--load 1.0]

Every command frame of the tests goes out on TX and every reply frame on RX, over and
over; --load is the share of the line's time that carries bytes (1.0: back to back, the
line rate of 11520 characters per second and direction). Then, for instance:

    /usr/bin/time -v sigrok-cli -i CAPTURE.vcd -I vcd \\
        -P uart:rx=D0:tx=D1:baudrate=115200,mcu_link -A mcu_link >/dev/null
'''

import argparse

from sigrok import mkcapture
from sigrok.tests import test_commands, test_replies  # their frames, as data
from testkit.linkdecode import BYTE_MS


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('capture')
    parser.add_argument('--seconds', type=float, default=10.0)
    parser.add_argument('--load', type=float, default=1.0)
    args = parser.parse_args()
    frames = {
        'TX': [f for f in (test_commands.frame_bytes(c, t) for c, t, _ in test_commands.COMMANDS)
               if f[1] != 0xAA],  # not the soft test, whose length byte swallows what follows
        'RX': [test_replies.reply_bytes(s) for s, _ in test_replies.REPLIES],
    }
    streams = []
    count = {'TX': 0, 'RX': 0}
    for line, items in frames.items():
        t, i = 1.0, 0
        while True:
            data = items[i % len(items)]
            duration = len(data) * BYTE_MS
            if t + duration > args.seconds * 1000:
                break
            streams.append((t, line, data))
            count[line] += len(data)
            t += duration / args.load + 0.01
            i += 1
    samples = mkcapture.write_vcd(args.capture, streams, tail_ms=0)
    print('%s: %d samples, %d bytes TX, %d bytes RX' % (args.capture, samples, count['TX'],
                                                        count['RX']))


if __name__ == '__main__':
    main()
