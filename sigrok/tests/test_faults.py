'''Faults on the link: bad checksums, noise between and inside frames, zero padding,
lost tails, odd length bytes, unknown codes, and bytes that are no frame at all.'''

import random
import re

import pytest

from testkit.linkdecode import BYTE_MS, LinkCase, h, run, sequence, texts


# The faults as the end-to-end cases met them. fault_checksum_fct: the MCU answers the FCT
# query with checksum byte 0x32 for a sum of 0x31. fault_drop_tail_absorbs: a reply loses its
# tail; later a start and a length byte come, later the rest of that report, then a whole report
# (1 s apart in the case; 100 ms of silence is as long as that for the decoder).
# fault_no_start_byte: hundreds of bytes without a start byte, then a serial-number reply.
FCT_REPLY = h('AA 05 00 30 01 32 BB')
LOST_TAIL = [(1.0, 'RX', h('AA 05 00 30 01')), (101.0, 'RX', h('AA 05')),
             (201.0, 'RX', h('00 33 01 34 BB')), (301.0, 'RX', h('AA 05 00 33 02 35 BB'))]
NO_START = LinkCase('fault_no_start_byte').received
FIRST = NO_START.index(0xAA)


def test_the_captures_are_the_cases_traffic():
    # The bytes above are what the cases sent; the tool printed these checksum lines for them.
    assert LinkCase('fault_checksum_fct').received == FCT_REPLY
    assert LinkCase('fault_checksum_fct').checksum_lines == [(0x31, 0x32)]
    assert b''.join(d for _, _, d in LOST_TAIL) == LinkCase('fault_drop_tail_absorbs').received
    assert LinkCase('fault_drop_tail_absorbs').checksum_lines == [(0x31, 0xAA), (0x35, 0x35)]
    assert 1024 < FIRST < 2048


# (streams, rows, decoder options, what the rows show)
CAPTURES = {
    # A bad checksum each way; the tool prints checksum:31 == 32 and nothing else for its reply.
    'bad checksums both ways': (
        sequence([('TX', h('AA 03 30 31 BB')), ('RX', FCT_REPLY), ('TX', h('AA 04 68 32 00 BB'))],
                 gap_ms=2.0)[0],
        ['commands', 'replies', 'checksums'], None,
        ['checksum bad (sum 30, byte 31)', 'mcu_fct_test bad checksum (sum 30, byte 31)',
         'checksum bad (sum 31, byte 32)', 'FCT result 1 bad checksum (sum 31, byte 32)',
         'checksum bad (sum 9A, byte 00)', 'mcu_PWM_ctrl duty=50 bad checksum (sum 9A, byte 00)']),
    # Noise right before, between and after frames, with no silence around it: framing
    # follows the start bytes; a start byte that another one follows starts nothing.
    'noise between frames': (
        [(1.0, 'RX', h('00 13 AA 05 00 32 07 39 BB 11 22 33 AA AA AA 05 00 33 01 34 BB 5A')),
         (40.0, 'TX', h('7F AA 03 32 32 BB 00 00 00 AA 03 31 31 BB'))],
        ['commands', 'replies', 'noise'], None,
        ['noise 2 bytes', 'version 7', 'noise 5 bytes', 'sw1 state 1', 'noise 1 byte',
         'noise 1 byte', 'mcu_get_version', 'noise 3 bytes (zero padding)', 'mcu_get_work_mode']),
    # A glitch byte (FF) inside a reply: the length byte still rules, so the frame ends one
    # byte early with a wrong checksum, its last byte is left over as noise, and framing
    # recovers at the next start byte.
    'noise inside a frame': (
        [(1.0, 'RX', h('AA 05 00 32 FF 07 39 BB AA 05 00 33 01 34 BB'))],
        ['replies', 'checksums', 'noise'], None,
        ['checksum bad (sum 31, byte 07)',
         'version 255 end byte 0x39 bad checksum (sum 31, byte 07)',
         'noise 1 byte', 'checksum good (sum 34, byte 34)', 'sw1 state 1']),
    # fault_drop_tail_end_byte: the end byte is 0xAA; it ends the frame and starts nothing,
    # so the report behind it has no start byte and is noise.
    'end byte that is a start byte': (
        [(1.0, 'RX', LinkCase('fault_drop_tail_end_byte').received)], ['replies', 'noise'], None,
        ['FCT result 1 end byte 0xAA', 'noise 6 bytes', 'sw1 state 2']),
    'short and odd commands': (
        sequence([('TX', h(x)) for x in ('AA 00', 'AA 02 01 02', 'AA 03 68 68 BB',
                                          'AA 03 32 32 00', 'AA 03 AA AA BB',
                                          'AA 04 94 01 95 BB 00')])[0],
        ['commands', 'noise'], None,
        ['short frame: length byte 0, no code and checksum',
         'short frame: length byte 2, no code and checksum',
         'mcu_PWM_ctrl (payload 0 bytes, expected 1)', 'mcu_get_version end byte 0x00',
         'mcu_upgrader_end', 'mcu_relay_get relay=1', 'noise 1 byte (zero padding)']),
    'unknown codes': (
        sequence([('TX', h('AA 03 12 12 BB')), ('TX', h('AA 05 E0 01 02 E3 BB')),
                  ('RX', h('AA 05 00 55 01 56 BB')), ('RX', h('AA 04 00 10 10 BB')),
                  ('RX', h('AA 04 07 FF 06 BB'))], gap_ms=2.0)[0],
        ['commands', 'replies'], None,
        ['unknown command 0x12', 'unknown command 0xE0 payload=01 02',
         'unknown reply 0x55 payload=01', 'unknown reply 0x10', 'unknown reply 0xFF']),
    'incomplete command and reply at the timeout': (
        [(1.0, 'TX', h('AA 09 43 01 02')), (1.0, 'RX', h('AA')),
         (40.0, 'TX', h('AA 03 32 32 BB'))],
        ['commands', 'replies'], {'timeout': 5},
        ['incomplete frame: no length byte',
         'incomplete frame: length byte 0x09 announces 9 bytes, 3 came', 'mcu_get_version']),
    # Noise shows in pieces of at most 1024 bytes. The handler reads past the 4-byte body:
    # checksum byte, end byte, then zeros (the tool itself can show bytes there that it
    # stored before its first frame).
    'noise before the first frame': (
        [(1.0, 'RX', NO_START[:FIRST + 6])], ['replies', 'noise', 'checksums'], None,
        ['noise 1024 bytes', 'noise %d bytes' % (FIRST - 1024), 'checksum good (sum 44, byte 44)',
         'serial number 44 BB 00 00 00 00 (payload 0 bytes, expected 6)']),
    # By default 20 ms of silence ends a frame: each piece of the lost tail shows for what it is.
    'lost tail with the timeout': (
        LOST_TAIL, ['replies', 'checksums', 'noise'], None,
        ['incomplete frame: length byte 0x05 announces 5 bytes, 3 came',
         'incomplete frame: length byte 0x05 announces 5 bytes, 0 came',
         'noise 5 bytes', 'checksum good (sum 35, byte 35)', 'sw1 state 2']),
    # Without a timeout the decoder counts as the tool's receiver does, and its checksums are
    # the ones the tool printed.
    'lost tail without a timeout': (
        LOST_TAIL, ['replies', 'checksums', 'noise'], {'timeout': 0},
        ['checksum bad (sum 31, byte AA)',
         'FCT result 1 end byte 0x05 bad checksum (sum 31, byte AA)',
         'noise 5 bytes', 'checksum good (sum 35, byte 35)', 'sw1 state 2']),
}


@pytest.mark.parametrize('name', CAPTURES)
def test_capture_shows(tmp_path, name):
    streams, rows, options, shown = CAPTURES[name]
    assert texts(run(tmp_path, streams, rows, options)) == shown


def test_noise_burst_ends_after_silence(tmp_path):
    # Two bursts of zeros 30 ms apart are two pieces of noise; the last one is shown too.
    streams = [(1.0, 'TX', bytes(4)), (31.0, 'TX', bytes(2))]
    anns = run(tmp_path, streams, ['noise'])
    assert texts(anns) == ['noise 4 bytes (zero padding)', 'noise 2 bytes (zero padding)']
    assert anns[0].ss < anns[0].es < anns[1].ss


def test_odd_length_bytes_as_the_tool_reads_them(tmp_path):
    # fault_lengths: length bytes 1, 0, 255 and replies too short for their payload. The
    # receiver reads past a short body: the serial number shows the bytes that the frame
    # with length byte 0 left in the slot, as the tool printed (sn: 44 bb 55 66 77 88).
    case = LinkCase('fault_lengths')
    anns = run(tmp_path, [(1.0, 'RX', case.received)], ['replies', 'checksums'])
    sums = [a.text for a in anns if a.text.startswith('checksum')]
    assert sums == ['checksum good (sum %02X, byte %02X)' % c for c in case.checksum_lines]
    assert [a.text for a in anns if not a.text.startswith('checksum')] == [
        'short frame: length byte 1, no code and checksum',
        'sw1 state 1',
        'empty frame: length byte 0, no frame until the next start byte',
        'serial number 44 BB 55 66 77 88 (payload 0 bytes, expected 6)',
        'humidity 500, temperature 250 (payload 251 bytes, expected 4)',
        'IR learning 1/2: Base64 8 chars, 4 bytes: 1 2',
        'IR learning 1/2: Base64 0 chars, 0 bytes',
        'IR learning 160/2: Base64 0 chars, 0 bytes',
        'IR learning 187/158: Base64 0 chars, 0 bytes',
        'IR learning 0/187: Base64 0 chars, 0 bytes',
        'IR learning 0/0: Base64 0 chars, 0 bytes end byte 0x9E',
        'sw1 state 2']


def covered_bytes(text):
    """What an annotation of the field and noise rows says it covers: (count, known values,
    all zero or not, None: not said)."""
    m = re.fullmatch(r'(?:Start|Head|Code|Checksum|End) 0x([0-9A-F]{2})(?: \(not 0xBB\))?', text)
    if m:
        return 1, [int(m.group(1), 16)], None
    m = re.fullmatch(r'Length (\d+)', text)
    if m:
        return 1, [int(m.group(1))], None
    m = re.fullmatch(r'Payload (\d+) bytes?: ([0-9A-F ]+?)( \.\.\.)?', text)
    if m:
        return int(m.group(1)), h(m.group(2)), None
    m = re.fullmatch(r'Body ([0-9A-F ]+?)(?: \(incomplete\))?', text)
    if m:
        return len(h(m.group(1))), h(m.group(1)), None
    m = re.fullmatch(r'noise (\d+) bytes?( \(zero padding\))?', text)
    assert m, text
    return int(m.group(1)), [], bool(m.group(2))


def test_random_bytes_every_byte_comes_out_once_in_order(tmp_path):
    # Random traffic, rich in start bytes, short lengths and every code: the decoder must
    # neither raise (run() fails on anything sigrok prints to stderr) nor lose a byte. The
    # two lines take turns, so that their annotations never overlap in time.
    rng = random.Random(13)
    streams = []
    t = 1.0
    for line in ('TX', 'RX'):
        for _ in range(400):
            n = rng.randint(1, 12)
            data = bytes(rng.choice((0xAA, 0xAA, 0x00, 0xBB, rng.randint(0, 5),
                                     rng.randint(0, 255))) for _ in range(n))
            streams.append((t, line, data))
            t += n * BYTE_MS + rng.choice((0.01, 0.5, 8.0))
        t += 50.0
    anns = run(tmp_path, streams, ['cmd-fields', 'reply-fields', 'noise'], {'timeout': 5})
    bit = 1e6 / 115200
    # Every byte at the middle of its data bits, in samples (1 MS/s), in order.
    sent = [(start * 1000 + (10 * k + 5) * bit, b)
            for start, _, data in streams for k, b in enumerate(data)]
    at = 0
    for ann in anns:
        count, values, zeros = covered_bytes(ann.text)
        taken = sent[at:at + count]
        assert len(taken) == count and all(ann.ss <= pos <= ann.es for pos, _ in taken), ann
        got = [b for _, b in taken]
        assert got[:len(values)] == list(values), ann
        assert zeros is None or zeros == (not any(got)), ann
        at += count
    assert at == len(sent)
