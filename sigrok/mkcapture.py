#!/usr/bin/python3
'''Turns byte streams of the MCU link into a logic capture that sigrok reads.

    mkcapture.py STREAM CAPTURE.vcd [--rate HZ] [--baud BAUD] [--tail MS]

STREAM is a text file; each line is "<ms> <TX|RX> <hex bytes>" ('#' starts a
comment): the bytes go out back to back, 8N1, from that time on, on the
board's TX line (channel D1, the commands) or its RX line (channel D0, the
replies). The capture is a Value Change Dump with one sample per timescale
step (1 MS/s: 1 us), read with:

    sigrok-cli -i CAPTURE.vcd -I vcd \\
        -P uart:rx=D0:tx=D1:baudrate=115200,mcu_link -A mcu_link
'''

import argparse
import sys

CHANNELS = {'RX': 0, 'TX': 1}
TIMESCALES = {1000000000: '1 ns', 100000000: '10 ns', 10000000: '100 ns', 1000000: '1 us',
              100000: '10 us'}


def edges(start_s, data, baud, rate):
    '''(sample, level) of every bit of data sent from start_s; returns them and the end time.'''
    out = []
    t = start_s
    bit = 1.0 / baud
    for b in data:
        bits = [0] + [(b >> i) & 1 for i in range(8)] + [1]
        for k, v in enumerate(bits):
            out.append((round((t + k * bit) * rate), v))
        t += 10 * bit
    return out, t


def write_vcd(path, streams, rate=1000000, baud=115200, tail_ms=50.0):
    '''streams: (time in ms, 'TX' or 'RX', bytes). Writes the capture; returns its samples.'''
    if rate not in TIMESCALES:
        raise ValueError('rate must be one of %s' % sorted(TIMESCALES))
    levels = {0: [], 1: []}
    end_s = 0.0
    for ms, line, data in sorted(streams, key=lambda s: s[0]):
        ch = CHANNELS[line.upper()]
        e, t = edges(ms / 1000.0, data, baud, rate)
        if levels[ch] and e and e[0][0] < levels[ch][-1][0]:
            raise ValueError('bytes at %s ms on %s overlap the bytes before them' % (ms, line))
        levels[ch].extend(e)
        end_s = max(end_s, t)
    changes = {}
    for ch, seq in levels.items():
        last = 1
        for sample, v in seq:
            if v != last:
                changes.setdefault(sample, []).append((ch, v))
                last = v
    total = round((end_s + tail_ms / 1000.0) * rate)
    ids = {0: '!', 1: '"'}
    with open(path, 'w') as f:
        f.write('$timescale %s $end\n$scope module mcu_link $end\n' % TIMESCALES[rate])
        f.write('$var wire 1 ! D0 $end\n$var wire 1 " D1 $end\n')
        f.write('$upscope $end\n$enddefinitions $end\n#0\n1!\n1"\n')
        for sample in sorted(changes):
            f.write('#%d\n' % sample)
            for ch, v in changes[sample]:
                f.write('%d%s\n' % (v, ids[ch]))
        f.write('#%d\n' % total)
    return total


def read_streams(path):
    streams = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split('#', 1)[0].split()
            if not line:
                continue
            if len(line) < 2 or line[1].upper() not in CHANNELS:
                sys.exit('%s:%d: want "<ms> TX|RX <hex bytes>"' % (path, number))
            streams.append((float(line[0]), line[1], bytes(int(x, 16) for x in line[2:])))
    return streams


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('stream')
    parser.add_argument('capture')
    parser.add_argument('--rate', type=int, default=1000000, help='samples per second')
    parser.add_argument('--baud', type=int, default=115200)
    parser.add_argument('--tail', type=float, default=50.0, help='idle ms after the last byte')
    args = parser.parse_args()
    write_vcd(args.capture, read_streams(args.stream), args.rate, args.baud, args.tail)


if __name__ == '__main__':
    main()
