'''Runs the real sigrok-cli with the mcu_link decoder over a generated capture.'''

import collections
import os
import re
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGROK_DIR = os.path.join(REPO, 'sigrok')
CASES_DIR = os.path.join(REPO, 'tests', 'e2e', 'cases')

from testkit import casefile
from station import mcu_output
from sigrok import mkcapture

SIGROK_CLI = os.environ.get('SIGROK_CLI', 'sigrok-cli')
BYTE_MS = 10 * 1000.0 / 115200  # one 8N1 character at 115200 bit/s

Ann = collections.namedtuple('Ann', 'ss es text')


h = bytes.fromhex  # "AA 03 32 32 BB"


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
    pd = 'mcu_link' + ''.join(':%s=%s' % kv for kv in sorted((options or {}).items()))
    cmd = [SIGROK_CLI, '-i', capture, '-I', 'vcd',
           '-P', 'uart:rx=D0:tx=D1:baudrate=115200,' + pd,
           '-A', 'mcu_link=' + ':'.join(rows), '--protocol-decoder-samplenum']
    env = dict(os.environ, SIGROKDECODE_DIR=SIGROK_DIR)
    result = subprocess.run(cmd, capture_output=True, env=env, timeout=600)
    stderr = result.stderr.decode('utf-8', 'replace')
    # Anything on stderr (a Python traceback from a decoder, a bad option) is a failure.
    assert result.returncode == 0 and stderr == '', stderr
    lines = result.stdout.decode('utf-8').splitlines()
    anns = [re.fullmatch(r'(\d+)-(\d+) mcu_link-1: (.*)', line) for line in lines]
    assert all(anns), lines
    return [Ann(int(m[1]), int(m[2]), m[3]) for m in anns]


def texts(anns):
    return [a.text for a in anns]


class LinkCase:
    '''The link traffic of an end-to-end case: the frames that the simulator received from the
    tool (with the simulator's flags) and, from the tool's expected output, the bytes that the
    tool received and the checksum and event lines that it printed for them.'''

    def __init__(self, name):
        case = casefile.parse(os.path.join(CASES_DIR, name + '.case'))
        self.name = name
        self.stdout = case.stdout  # None: the case gives counts only
        self.frames = [casefile.frame_of(e) for e in case.log if e not in casefile.EVENTS]
        output = mcu_output.parse_output(case.stdout or b'')
        self.received = output.echo
        self.checksum_lines = [(c.computed, c.received) for c in output.checks]
        self.event_lines = [r.fields[0] for r in output.all('event')]


def case_names():
    return sorted(f[:-len('.case')] for f in os.listdir(CASES_DIR) if f.endswith('.case'))


def reply_frames(name):
    '''The whole reply frames with a correct checksum among the bytes a case's tool received.'''
    data = LinkCase(name).received
    # From each start byte, as many bytes as its length byte says.
    frames = [data[i:i + data[i + 1] + 2] for i in range(len(data) - 1)
              if data[i] == mcu_output.code.START]
    return [f for f in frames if f[1] >= 4 and len(f) == f[1] + 2
            and sum(f[2:f[1]]) & 0xFF == f[f[1]]]


def reply_frame(name, code, nth=0):
    '''The nth reply frame with this code in a case.'''
    return [f for f in reply_frames(name) if f[3] == code][nth]
