'''The link traffic of the end-to-end cases (tests/e2e/cases/*.case).

For each case: the frames that the simulator received from the tool (its
"frame" lines, with their flags) and the bytes that the tool received from the
simulator (the "0x..," echo in the expected standard output, in order), and
the checksum and event lines that the tool printed for them.
'''

import os
import re

CASES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tests', 'e2e',
                         'cases')

FLAGS = ('bad checksum', 'incomplete', 'noise')


class Case:
    def __init__(self, name):
        self.name = name
        self.frames = []     # (bytes, flag or '')
        self.stdout = None   # the expected standard output, or None for cases without one
        self.script = ''     # the simulator's script file, if the case writes one

    @property
    def received(self):
        '''The bytes that the tool echoed, in order.'''
        if self.stdout is None:
            return b''
        return bytes(int(x, 16) for x in re.findall(r'0x([0-9a-f]{1,2}),', self.stdout))

    @property
    def checksum_lines(self):
        '''(computed, received) of every "checksum:%x == %x" line the tool printed.'''
        if self.stdout is None:
            return []
        return [(int(a, 16), int(b, 16))
                for a, b in re.findall(r'checksum:([0-9a-f]+) == ([0-9a-f]+) ', self.stdout)]

    @property
    def event_lines(self):
        if self.stdout is None:
            return []
        return [int(x, 16) for x in re.findall(r'event id:([0-9a-f]+)\n', self.stdout)]


def parse_block(lines, i):
    '''Reads a text block ("|text$" / "|text\\" lines, then "end"); returns it and the next
    index.'''
    text = ''
    while lines[i] != 'end':
        line = lines[i]
        if not line.startswith('|'):
            raise ValueError('block line without "|": %r' % line)
        text += line[1:-1] + ('\n' if line.endswith('$') else '')
        i += 1
    return text, i + 1


def load(name):
    case = Case(name)
    with open(os.path.join(CASES_DIR, name + '.case')) as f:
        lines = f.read().split('\n')
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith('frame '):
            words = line[len('frame '):]
            flag = ''
            for candidate in FLAGS:
                if words.endswith(' ' + candidate):
                    flag = candidate
                    words = words[:-len(candidate) - 1]
            case.frames.append((bytes(int(x, 16) for x in words.split()), flag))
        elif line == 'stdout:':
            case.stdout, i = parse_block(lines, i)
        elif line.startswith('file ') and line.endswith(':') or ': repeat ' in line:
            text, i = parse_block(lines, i)
            if line.startswith('file script.txt:'):
                case.script = text
    return case


def names():
    return sorted(f[:-len('.case')] for f in os.listdir(CASES_DIR) if f.endswith('.case'))


def all_cases():
    return [load(n) for n in names()]


def reply_frames(name):
    '''The whole reply frames with a correct checksum in the bytes the tool echoed in a case.'''
    data = load(name).received
    out = []
    for i, b in enumerate(data):
        if b != 0xAA or i + 1 >= len(data):
            continue
        length = data[i + 1]
        frame = data[i:i + length + 2]
        if length < 4 or len(frame) != length + 2:
            continue
        if sum(frame[2:length]) & 0xFF == frame[length]:
            out.append(frame)
    return out


def reply_frame(name, code, nth=0):
    '''The nth reply frame with this code in a case.'''
    return [f for f in reply_frames(name) if f[3] == code][nth]
