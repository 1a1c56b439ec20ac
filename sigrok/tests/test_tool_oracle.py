'''The decoder's arithmetic and table against the tool's own code (tool_oracle, built from the
receiver's sources): the same float from the same bytes, the same printed temperature for
every reading, the same bytes for every Base64 text, a handler for the same codes.'''

import math
import os
import random
import struct
import subprocess

import pytest

from sigrok.mcu_link import arith, lists

ORACLE = os.environ.get('MCU_TOOL_ORACLE')

pytestmark = pytest.mark.skipif(not ORACLE, reason='MCU_TOOL_ORACLE: run through ctest')


def ask(lines, sep='\n'):
    '''The oracle's answer to each line (answers end with sep).'''
    result = subprocess.run([ORACLE], input='\n'.join(lines) + '\n', stdout=subprocess.PIPE,
                            universal_newlines=True, check=True, timeout=60)
    return result.stdout.split(sep)[:len(lines)]


def receiver_lines(bodies):
    '''The lines the tool's receiver prints for each reply frame body, after its event line
    (None: the checksum failed, no event line).'''
    answers = ask(['reply %s' % b.hex() for b in bodies], '--\n')
    out = []
    for answer in answers:
        lines = answer.splitlines()
        assert lines[0].startswith('checksum:'), answer
        out.append(lines[2:] if len(lines) > 1 and lines[1].startswith('event id:') else None)
    return out


def body(code, payload):
    '''A reply frame body: head byte 0, code, payload, checksum, end byte.'''
    data = bytes([0, code]) + bytes(payload)
    return data + bytes([sum(data) & 0xFF, lists.END])


def test_ntc_prints_as_the_tool():
    raws = list(range(0, 4200)) + [65536, 16777216, 2 ** 31, 2 ** 32 - 1]
    tool = ask(['ntc %d' % r for r in raws])
    mine = ['%.2f' % arith.temp_fitting(r) for r in raws]
    differ = [(r, t, m) for r, t, m in zip(raws, tool, mine) if t != m]
    assert not differ, differ[:10]
    assert tool[2048] == '25.02' and tool[305] == '0.00' and tool[306] != '0.00'


def test_base64_decodes_as_the_tool():
    rng = random.Random(4)
    alphabet = b'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'
    texts = [b'', b'\r\n', b'AQACAA==', b'AQACAA==AQAC', b'AQ\r\nAC', b'QUJD\r\nREVG', b'A=B=',
             b'AB=C', b'-_ \t', bytes([0x80, 0xFF, 0x41, 0x41])]
    for _ in range(3000):
        n = rng.randint(1, 24)
        texts.append(bytes(rng.choice(alphabet) if rng.random() < 0.8 else
                           rng.choice(b'=\r\n -_\x00\xff') for _ in range(n)))
    tool = ask(['b64 ' + t.hex() for t in texts])
    mine = [bytes(arith.base64_decode(t)).hex().upper() or '-' for t in texts]
    differ = [(t, a, b) for t, a, b in zip(texts, tool, mine) if a != b]
    assert not differ, differ[:10]


def test_floats_from_reply_bytes_as_the_tool_reads_them():
    # The current reply prints its float with %f, the voltage reply its float / 100 as well:
    # byte order, sign, exponent and the single-precision division all show.
    rng = random.Random(7)
    patterns = [0x43b7e000, 0x00000001, 0x80000000, 0x7F800000, 0xFF800000, 0x7F7FFFFF]
    patterns += [rng.getrandbits(32) for _ in range(2000)]
    patterns = [p for p in patterns if not math.isnan(struct.unpack('<f', p.to_bytes(4, 'little'))[0])]
    payloads = [p.to_bytes(4, 'little') for p in patterns]
    current = receiver_lines([body(lists.CURRENT, p) for p in payloads])
    voltage = receiver_lines([body(lists.VOLTAGE, p) for p in payloads])
    differ = []
    for p, cur, vol in zip(payloads, current, voltage):
        v = arith.float_le(p, 0)
        if cur != ['---A cur %f mA.' % v] or not vol[0].endswith(
                ' mv = %f V.' % arith.f32(v / 100.0)):
            differ.append((p.hex(), cur, vol))
    assert not differ, differ[:5]


def test_shortest_digits_give_the_float_back():
    rng = random.Random(9)
    for _ in range(3000):
        x = struct.unpack('<f', rng.getrandbits(32).to_bytes(4, 'little'))[0]
        if math.isnan(x) or math.isinf(x):
            continue
        text = arith.shortest(x)
        assert arith.f32(float(text)) == x, (x, text)
        digits = len(text.lstrip('-').replace('.', '').split('e')[0].strip('0'))
        if digits > 1:  # one digit fewer no longer gives it back
            assert arith.f32(float('%.*g' % (digits - 1, x))) != x, (x, text)
    assert [arith.shortest(arith.f32(x)) for x in (230.0, 0.005, -2.25, 1e6, 25.84)] == [
        '230.0', '0.005', '-2.25', '1000000.0', '25.84']


def test_the_decoder_knows_every_reply_the_tool_handles():
    # A code is handled when the receiver prints more than its check and event lines.
    codes = range(256)
    printed = receiver_lines([body(c, bytes(8)) for c in codes])
    handled = {c for c, lines in zip(codes, printed) if lines}
    assert handled == set(lists.REPLY_PAYLOAD)
