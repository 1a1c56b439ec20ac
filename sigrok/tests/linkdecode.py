'''Runs the real sigrok-cli with the mcu_link decoder over a generated capture.'''

import collections
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SIGROK_DIR = os.path.normpath(os.path.join(HERE, '..'))
sys.path.insert(0, SIGROK_DIR)

import mkcapture  # noqa: E402

SIGROK_CLI = os.environ.get('SIGROK_CLI', 'sigrok-cli')
BYTE_MS = 10 * 1000.0 / 115200  # one 8N1 character at 115200 bit/s

Ann = collections.namedtuple('Ann', 'ss es text')


def h(text):
    '''Bytes from hex text: "AA 03 32 32 BB".'''
    return bytes(int(x, 16) for x in text.split())


def sequence(items, start_ms=1.0, gap_ms=30.0):
    '''Lays out (line, bytes) items one after the other with gap_ms of silence between them.
    Returns the streams and the start time of each item.'''
    streams, starts = [], []
    t = start_ms
    for line, data in items:
        streams.append((t, line, data))
        starts.append(t)
        t += len(data) * BYTE_MS + gap_ms
    return streams, starts


def run(tmp_path, streams, rows, options=None, name='capture'):
    '''Decodes the streams; returns the annotations of the rows, in sigrok-cli's order.'''
    capture = os.path.join(str(tmp_path), name + '.vcd')
    mkcapture.write_vcd(capture, streams)
    return run_capture(capture, rows, options)


def run_capture(capture, rows, options=None):
    pd = 'mcu_link' + ''.join(':%s=%s' % kv for kv in sorted((options or {}).items()))
    cmd = [SIGROK_CLI, '-i', capture, '-I', 'vcd',
           '-P', 'uart:rx=D0:tx=D1:baudrate=115200,' + pd,
           '-A', 'mcu_link=' + ':'.join(rows), '--protocol-decoder-samplenum']
    env = dict(os.environ, SIGROKDECODE_DIR=SIGROK_DIR)
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            timeout=600)
    stderr = result.stderr.decode('utf-8', 'replace')
    # Anything on stderr (a Python traceback from a decoder, a bad option) is a failure.
    assert result.returncode == 0 and stderr == '', stderr
    out = []
    for line in result.stdout.decode('utf-8').splitlines():
        span, rest = line.split(' ', 1)
        ss, es = span.split('-')
        prefix = 'mcu_link-1: '
        assert rest.startswith(prefix), line
        out.append(Ann(int(ss), int(es), rest[len(prefix):]))
    return out


def texts(anns):
    return [a.text for a in anns]
