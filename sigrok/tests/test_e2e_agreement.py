'''The decoder against every end-to-end case at once.

One capture holds, case after case, the frames that the case expects the simulator
to receive (TX) and then the bytes that the tool echoed as received (RX). The
decoder must find:
- on TX, what the simulator's log found: a frame, a bad checksum, an incomplete
  frame or noise, for every "frame" line, in order;
- on RX, the checksums that the tool printed ("checksum:%x == %x"), in order, and
  a reply for every "event id" line the tool printed.
'''

import re

from testkit.linkdecode import BYTE_MS, LinkCase, case_names, run

GAP_MS = 8.0      # silence between two frames of a case, and around each case
TIMEOUT_MS = 5    # decoder timeout: shorter than the gaps, so each piece ends on its own

# Cases whose printed checksum lines cannot match a plain reading of the bytes, and why.
TOOL_DIFFERS = {
    # The tool's receive ring is full: it drops bytes that it echoed, so it frames the
    # stream differently from the wire.
    'fault_ring_full': 'ring full',
}


def layout(cases):
    '''Streams for all cases and, per case, the time windows of its TX and RX parts.'''
    streams, windows = [], []
    t = 1.0
    for case in cases:
        tx_start = t
        previous = ''
        for data, flag in case.frames:
            if flag == 'noise' and previous in ('', 'bad checksum'):
                t -= GAP_MS  # the zero padding follows its frame in the same write
            streams.append((t, 'TX', data))
            t += len(data) * BYTE_MS + GAP_MS
            previous = flag
        rx_start = t
        if case.received:
            streams.append((t, 'RX', case.received))
            t += len(case.received) * BYTE_MS + GAP_MS
        windows.append((case, tx_start * 1000, rx_start * 1000, t * 1000))
        t += GAP_MS
    return streams, windows


def kind(text):
    if text.startswith('noise '):
        return 'noise %s' % text.split(' ')[1]
    if 'incomplete frame' in text:
        return 'incomplete'
    if 'bad checksum' in text or text.startswith('short frame'):
        return 'bad checksum'
    return ''


def test_decoder_agrees_with_every_case(tmp_path):
    cases = [c for c in [LinkCase(n) for n in case_names()] if c.frames or c.received]
    assert len(cases) > 80
    streams, windows = layout(cases)
    anns = run(tmp_path, streams, ['commands', 'replies', 'checksums', 'noise'],
               {'timeout': TIMEOUT_MS})
    failures = []
    compared = {'frames': 0, 'checksums': 0}
    for case, tx_start, rx_start, end in windows:
        tx = [a.text for a in anns if tx_start <= a.ss < rx_start]
        rx = [a.text for a in anns if rx_start <= a.ss < end]
        want = [('noise %d' % len(d)) if f == 'noise' else f for d, f in case.frames]
        got = [kind(t) for t in tx if not t.startswith('checksum ')]
        if got != want:
            failures.append('%s TX: decoder %s, simulator %s' % (case.name, got, want))
        compared['frames'] += len(want)
        if case.name in TOOL_DIFFERS or case.stdout is None:
            continue
        sums = [(int(total, 16), int(received, 16)) for total, received in
                re.findall(r'^checksum \w+ \(sum (\w+), byte (\w+)\)$', '\n'.join(rx), re.M)]
        if sums != case.checksum_lines:
            failures.append('%s RX: decoder %s, tool %s' % (case.name, sums, case.checksum_lines))
        good = sum(1 for t in rx if t.startswith('checksum good'))
        if good != len(case.event_lines):
            failures.append('%s RX: %d good frames, %d event lines'
                            % (case.name, good, len(case.event_lines)))
        compared['checksums'] += len(sums)
    assert not failures, '\n'.join(failures)
    assert compared['frames'] > 100 and compared['checksums'] > 80, compared
