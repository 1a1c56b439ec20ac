##
## Protocol decoder for the link between the board and its MCU (mcu_test).
##
## This program is free software; you can redistribute it and/or modify
## it under the terms of the GNU General Public License as published by
## the Free Software Foundation; either version 3 of the License, or
## (at your option) any later version.
##

import struct

import sigrokdecode as srd

from .arith import base64_decode, float_le, f32, shortest, temp_fitting, u32_le
from .lists import *  # noqa: F401,F403 (the link's codes and tables)


class SamplerateError(Exception):
    pass


def hexs(data):
    return ' '.join('%02X' % b for b in data)


def quoted(data):
    s = '"'
    for b in data:
        if b in (0x22, 0x5C):
            s += '\\' + chr(b)
        elif 0x20 <= b < 0x7F:
            s += chr(b)
        else:
            s += '\\x%02X' % b
    return s + '"'


def choice(v, names):
    return names[v] if v < len(names) else '?'


def command_fields(code, p):
    '''The parameters of a command, from its payload; '' for none.'''
    n = len(p)
    if code == SN_WRITE:
        return 'sn=' + hexs(p[:6]) if n >= 6 else ''
    if code == PWM_SET:
        return 'duty=%d' % p[0] if n >= 1 else ''
    if code == RS485_SEND:
        return 'len=%d data=%s' % (n, quoted(p))
    if code == RS485_SETTINGS:
        if n < 7:
            return ''
        return ('baudrate=%d data_width=%d(%s) stop_bits=%d(%s) parity=%d(%s)' % (
            p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3],
            p[4], choice(p[4], ('7', '8', '9')),
            p[5], choice(p[5], ('1', '1.5', '2')),
            p[6], choice(p[6], ('NO', 'EVEN', 'ODD'))))
    if code == RELAY_CONTROL:
        return 'relay=%d value=%d' % (p[0], p[1]) if n >= 2 else ''
    if code in (RELAY_GET, RELAY_TIME):
        return 'relay=%d' % p[0] if n >= 1 else ''
    if code == RELAY_MULTI:
        s = 'pairs=%d' % (n // 2)
        for i in range(0, n - 1, 2):
            s += ' relay%d=%d' % (p[i], p[i + 1])
        return s
    if code == IR_CARRIER:
        return 'carrier=%d param=%d' % (p[0] << 8 | p[1], p[2]) if n >= 3 else ''
    if code in (IR_SEND, IR_NEW_SEND):
        s = 'len=%d' % n
        if n:
            s += ' data=' + hexs(p[:8]) + (' ...' if n > 8 else '')
        return s
    if code == IR_RECEIVER:
        return 'setting=%d' % p[0] if n >= 1 else ''
    if code == KEY_TEST:
        return 'key=%d' % p[0] if n >= 1 else ''
    if code == APROM_PACKET:
        return 'header=%d len=%d' % (p[0], n - 1) if n >= 1 else ''
    if code == HLW8112_QUERY:
        return 'code=0x%02X' % code
    return ''


def command_text(code, payload):
    name = BUILDERS.get(code)
    if name is None:
        s = 'unknown command 0x%02X' % code
        return s + (' payload=' + hexs(payload) if payload else '')
    fields = command_fields(code, payload)
    s = name + (' ' + fields if fields else '')
    want = COMMAND_PAYLOAD.get(code, 0)
    if want is not None and len(payload) != want:
        s += ' (payload %d bytes, expected %d)' % (len(payload), want)
    return s


def text_to_zero(d, start, limit=None):
    end = len(d) if limit is None else min(len(d), start + limit)
    s = d[start:end]
    return s[:s.index(0)] if 0 in s else s


# What each reply means. Every function takes d, the frame body (head byte first) as the
# tool's receive slot holds it (zero beyond the body), and n, the length byte.

def ir_test_text(d, n):
    v = d[2] << 16 | d[3] << 8 | d[4]
    return 'IR test success' if v == 0x17BB else 'IR test fail (0x%06X)' % v


def load_test_text(d, n):
    what = 'power-to-load test' if d[1] == PWR_TO_LOAD else 'short-circuit test'
    return '%s %s, ADC 0x%02d%02d' % (what, 'pass' if d[2] else 'fail', d[3], d[4])


def rs485_text(d, n):
    payload = d[2:n - 2] if n > 4 else []
    ok = bytes(text_to_zero(d, 2)) == b'Receive'
    return 'RS485 receive %d bytes %s: %s' % (
        len(payload), quoted(payload), 'match' if ok else 'no match (s1 != s2)')


def relay_state_text(d, n):
    state = {0: 'off', 1: 'on'}.get(d[3], 'state %d' % d[3])
    return 'relay %d %s' % (d[2], state)


def ir_learning_text(d, n):
    text = d[4:n - 2] if n >= 6 else []
    out = base64_decode(text)
    values = [out[2 * i] | out[2 * i + 1] << 8 for i in range(len(out) // 2)]
    s = 'IR learning %d/%d: Base64 %d chars, %d bytes' % (d[3], d[2], len(text), len(out))
    if values:
        s += ': ' + ' '.join(str(v) for v in values[:8]) + (' ...' if len(values) > 8 else '')
    return s


def ntc_text(d, n):
    raw = u32_le(d, 2)
    return 'NTC %.2f \u00b0C (raw %d)' % (temp_fitting(raw), raw)


REPLY_TEXTS = {
    SYSTICK: lambda d, n: 'systick %d ms' % u32_le(d, 2),
    FCT_TEST: lambda d, n: 'FCT result %d' % d[2],
    WORK_MODE: lambda d, n: 'work mode %d (%s)' % (d[2], 'aprom' if d[2] else 'bootloader'),
    VERSION: lambda d, n: 'version %d' % d[2],
    SW1_STATE: lambda d, n: 'sw1 state %d' % d[2],
    PRESSTEST_EXIT_TEMP: lambda d, n: 'press test exit temporary',
    PRESSTEST_EXIT: lambda d, n: 'press test exit set',
    SN_READ: lambda d, n: 'serial number ' + hexs(d[2:8]),
    PRESSTEST_RESULT: lambda d, n: 'press test result %d' % d[2],
    VOLTAGE: lambda d, n: 'voltage %s V' % shortest(f32(float_le(d, 2) / 100.0)),
    CURRENT: lambda d, n: 'current %s mA' % shortest(float_le(d, 2)),
    POWER: lambda d, n: 'power %s W' % shortest(float_le(d, 2)),
    POWER_REPORT: lambda d, n: 'power %s W' % shortest(float_le(d, 2)),
    ENERGY: lambda d, n: 'energy %s kWh' % shortest(float_le(d, 2)),
    ANGLE: lambda d, n: 'phase angle %s' % shortest(float_le(d, 2)),
    LOAD_TYPE: lambda d, n: 'load type %d (%s)' % (d[2], 'inductive' if d[2] else 'capacitive'),
    PWM_DUTY: lambda d, n: 'PWM duty %d' % d[2],
    PWM_TARGET_DUTY: lambda d, n: 'PWM target duty %d' % d[2],
    BT_PREPARE: lambda d, n: 'Bluetooth init %d' % d[0],
    BT_NAME: lambda d, n: 'Bluetooth name ' + quoted(text_to_zero(d, 2, 8)),
    TEMP_HUMIDITY: lambda d, n: 'humidity %d, temperature %d' % (d[2] << 8 | d[3],
                                                                d[4] << 8 | d[5]),
    IR_TEST: ir_test_text,
    PWR_TO_LOAD: load_test_text,
    PWR_LOAD_SHORT: load_test_text,
    RS485_RECEIVE: rs485_text,
    RELAY_CONTROL: lambda d, n: 'relay control %d' % d[2],
    RELAY_GET: relay_state_text,
    RELAY_TIME: lambda d, n: 'relay %d time %d' % (d[2], struct.unpack('<i', bytes(d[3:7]))[0]),
    RELAY_NTC: ntc_text,
    MAINS_FREQUENCY: lambda d, n: 'mains frequency %d Hz' % d[2],
    ZERO_CROSS: lambda d, n: 'zero-cross normal' if d[2] == 0 else 'zero-cross err (%d)' % d[2],
    RELAY_MULTI: lambda d, n: 'relay multi-control set=%d success=%d' % (d[2], d[3]),
    IR_LEARNING: ir_learning_text,
    KEY_TEST: lambda d, n: 'key set 0x%x' % d[0],
    ERASE_APROM: lambda d, n: 'APROM erase state %d' % d[2],
    APROM_PACKET: lambda d, n: 'APROM program state %d' % d[2],
    MCU_MODEL: lambda d, n: 'MCU model 0x%02X' % d[2],
}


def reply_text(d, n):
    text = REPLY_TEXTS.get(d[1])
    if text is not None:
        return text(d, n)
    payload = d[2:n - 2] if n > 4 else []
    return 'unknown reply 0x%02X' % d[1] + (' payload=' + hexs(payload) if payload else '')


ANN_CMD_FIELD, ANN_REPLY_FIELD, ANN_COMMAND, ANN_REPLY, ANN_GOOD, ANN_BAD, ANN_NOISE = range(7)

IDLE, LENGTH, BODY = range(3)

SLOT_SIZE = 1024   # the tool's receive slot
NOISE_MAX = 1024   # bytes in one noise annotation at most (a line at a wrong baud rate)


class Link:
    '''One direction of the link: cuts its bytes into frames and noise.'''

    def __init__(self, decoder, replies):
        self.d = decoder
        self.replies = replies
        self.field = ANN_REPLY_FIELD if replies else ANN_CMD_FIELD
        self.text_ann = ANN_REPLY if replies else ANN_COMMAND
        self.state = IDLE
        self.frame = []    # (ss, es, byte) from the start byte on
        self.want = 0      # bytes in the whole frame, once the length byte is known
        self.noise = []    # (ss, es, byte) outside frames
        self.last_es = None
        # Replies: bytes that the tool's receiver stored under a length byte of 0; the
        # next frame overwrites them only as far as its body reaches.
        self.stale = []
        self.after_empty = False

    # --- time

    def silence(self, now):
        '''Ends what a silence up to sample now ends: an incomplete frame, a noise burst.'''
        if self.last_es is None:
            return
        gap = now - self.last_es
        if self.state != IDLE and self.d.timeout and gap > self.d.timeout:
            self.incomplete()
        if self.noise and gap > self.d.noise_gap:
            self.flush_noise()

    # --- bytes

    def byte(self, ss, es, b):
        self.silence(ss)
        self.last_es = es
        if self.state == IDLE:
            if b == START:
                if self.after_empty:
                    self.stale.append(b)
                self.frame = [(ss, es, b)]
                self.state = LENGTH
            else:
                self.noise.append((ss, es, b))
                if self.after_empty and len(self.stale) < SLOT_SIZE:
                    self.stale.append(b)
                if len(self.noise) >= NOISE_MAX:
                    self.flush_noise()
        elif self.state == LENGTH:
            if self.replies and b == START:
                # The tool's receiver starts the frame again at the second start byte.
                self.noise.extend(self.frame)
                if self.after_empty:
                    self.stale.append(b)
                self.frame = [(ss, es, b)]
            elif self.replies and b == 0:
                self.frame.append((ss, es, b))
                self.empty()
            else:
                self.flush_noise()  # start bytes that a later one replaced
                self.frame.append((ss, es, b))
                self.want = b + 2
                self.state = BODY
                if len(self.frame) == self.want:
                    self.complete()
        else:
            self.frame.append((ss, es, b))
            if len(self.frame) == self.want:
                self.complete()

    # --- output

    def put(self, ss, es, cls, texts):
        self.d.put(ss, es, self.d.out_ann, [cls, texts])

    def put_field(self, items, texts):
        self.put(items[0][0], items[-1][1], self.field, texts)

    def flush_noise(self):
        if not self.noise:
            return
        data = [b for _, _, b in self.noise]
        n = len(data)
        text = 'noise %d byte%s%s' % (n, '' if n == 1 else 's',
                                      ' (zero padding)' if not any(data) else '')
        self.put(self.noise[0][0], self.noise[-1][1], ANN_NOISE, [text, 'noise', 'N'])
        self.noise = []

    def start_and_length(self, f):
        self.put_field(f[:1], ['Start 0xAA', 'Start', 'S'])
        if len(f) > 1:
            self.put_field(f[1:2], ['Length %d' % f[1][2], 'Len %d' % f[1][2], 'L'])

    def empty(self):
        '''A reply frame with length byte 0: the receiver collects until the next start byte.'''
        self.flush_noise()
        f = self.frame
        self.start_and_length(f)
        self.put(f[0][0], f[-1][1], self.text_ann,
                 ['empty frame: length byte 0, no frame until the next start byte', 'empty frame'])
        self.frame = []
        self.state = IDLE
        self.stale = []
        self.after_empty = True

    def incomplete(self):
        self.flush_noise()
        f = self.frame
        self.start_and_length(f)
        if len(f) > 2:
            body = [b for _, _, b in f[2:]]
            self.put_field(f[2:], ['Body %s (incomplete)' % hexs(body), 'Body', 'B'])
        if len(f) < 2:
            text = 'incomplete frame: no length byte'
        else:
            length = f[1][2]
            text = 'incomplete frame: length byte 0x%02X announces %d bytes, %d came' % (
                length, length, len(f) - 2)
            if not self.replies and length == START and len(f) > 2 and f[2][2] == START:
                text = 'mcu_soft_test (%s)' % text
        self.put(f[0][0], f[-1][1], self.text_ann, [text, 'incomplete'])
        self.frame = []
        self.state = IDLE
        self.stale = []
        self.after_empty = False

    def complete(self):
        f = self.frame
        self.frame = []
        self.state = IDLE
        data = [b for _, _, b in f]
        length = data[1]
        body = data[2:]
        ss, es = f[0][0], f[-1][1]
        self.start_and_length(f)
        head = 1 if self.replies else 0
        if length < 3 + head:
            if body:
                self.put_field(f[2:], ['Body ' + hexs(body), 'Body', 'B'])
        else:
            if self.replies:
                self.put_field(f[2:3], ['Head 0x%02X' % body[0], 'Head', 'H'])
            code = body[head]
            self.put_field(f[2 + head:3 + head], ['Code 0x%02X' % code, '0x%02X' % code, 'C'])
            payload = body[head + 1:length - 2]
            if payload:
                shown = hexs(payload[:16]) + (' ...' if len(payload) > 16 else '')
                self.put_field(f[3 + head:length], [
                    'Payload %d byte%s: %s' % (len(payload), '' if len(payload) == 1 else 's',
                                               shown),
                    'Payload', 'P'])
            self.put_field(f[length:length + 1], ['Checksum 0x%02X' % body[length - 2],
                                                  'Sum', 'K'])
            end = body[length - 1]
            self.put_field(f[length + 1:], ['End 0x%02X' % end if end == END else
                                            'End 0x%02X (not 0xBB)' % end, 'End', 'E'])
        if self.replies:
            self.complete_reply(ss, es, body, length)
        else:
            self.complete_command(ss, es, body, length)
        self.stale = []
        self.after_empty = False

    def checksum(self, ss, es, body, count):
        '''Puts the checksum verdict; True when it is good.'''
        total = sum(body[:count]) & 0xFF
        received = body[count]
        good = total == received
        verdict = 'good' if good else 'bad'
        self.put(ss, es, ANN_GOOD if good else ANN_BAD, [
            'checksum %s (sum %02X, byte %02X)' % (verdict, total, received),
            'checksum ' + verdict, 'OK' if good else 'BAD'])
        return good

    def complete_command(self, ss, es, body, length):
        if length < 3:
            text = 'short frame: length byte %d, no code and checksum' % length
            self.put(ss, es, ANN_BAD, ['checksum bad (no checksum byte)', 'checksum bad', 'BAD'])
            self.put(ss, es, ANN_COMMAND, [text, 'short frame'])
            return
        good = self.checksum(ss, es, body, length - 2)
        code = body[0]
        text = command_text(code, body[1:length - 2])
        if body[-1] != END:
            text += ' end byte 0x%02X' % body[-1]
        if not good:
            text += ' bad checksum (sum %02X, byte %02X)' % (sum(body[:length - 2]) & 0xFF,
                                                             body[length - 2])
        self.put(ss, es, ANN_COMMAND, [text, BUILDERS.get(code, 'unknown 0x%02X' % code)])

    def complete_reply(self, ss, es, body, length):
        if length < 2:
            self.put(ss, es, ANN_REPLY, ['short frame: length byte %d, no code and checksum'
                                         % length, 'short frame'])
            return
        # The receiver reads past the body: the bytes that a length byte of 0 left in
        # its slot, then zeros.
        slot = body + self.stale[len(body):]
        slot += [0] * max(0, 16 + length - len(slot))
        good = self.checksum(ss, es, body, length - 2)
        code = slot[1]
        text = reply_text(slot, length)
        want = REPLY_PAYLOAD.get(code)
        if want is not None and length - 4 != want:
            text += ' (payload %d bytes, expected %d)' % (max(0, length - 4), want)
        if body[-1] != END:
            text += ' end byte 0x%02X' % body[-1]
        if not good:
            text += ' bad checksum (sum %02X, byte %02X)' % (sum(body[:length - 2]) & 0xFF,
                                                             body[length - 2])
        self.put(ss, es, ANN_REPLY, [text, '0x%02X' % code])


class Decoder(srd.Decoder):
    api_version = 3
    id = 'mcu_link'
    name = 'MCU link'
    longname = 'mcu_test board-to-MCU link'
    desc = 'Commands and replies between the board and its MCU (mcu_test).'
    license = 'gplv3+'
    inputs = ['uart']
    outputs = []
    tags = ['Embedded/industrial']
    annotations = (
        ('cmd-field', 'Command frame field'),
        ('reply-field', 'Reply frame field'),
        ('command', 'Command'),
        ('reply', 'Reply or report'),
        ('checksum-good', 'Checksum good'),
        ('checksum-bad', 'Checksum bad'),
        ('noise-bytes', 'Bytes outside frames'),
    )
    annotation_rows = (
        ('cmd-fields', 'Command fields', (ANN_CMD_FIELD,)),
        ('commands', 'Commands', (ANN_COMMAND,)),
        ('reply-fields', 'Reply fields', (ANN_REPLY_FIELD,)),
        ('replies', 'Replies', (ANN_REPLY,)),
        ('checksums', 'Checksums', (ANN_GOOD, ANN_BAD)),
        ('noise', 'Noise', (ANN_NOISE,)),
    )
    options = (
        {'id': 'commands', 'desc': 'UART line that carries the commands (board to MCU)',
         'default': 'TX', 'values': ('TX', 'RX')},
        {'id': 'timeout', 'desc': 'Silence that ends an incomplete frame (ms, 0: never)',
         'default': 20},
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.samplerate = None
        self.links = None

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def metadata(self, key, value):
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    def setup(self):
        # The timeout counts samples; the uart decoder below needs the rate as well.
        if not self.samplerate:
            raise SamplerateError('Cannot decode without samplerate.')
        rate = self.samplerate
        ms = self.options['timeout']
        try:
            ms = max(0.0, float(ms))
        except (TypeError, ValueError):
            ms = 20.0
        self.timeout = ms * rate / 1000.0
        # Noise bursts end at a start byte or after this much silence.
        self.noise_gap = self.timeout if self.timeout else 20 * rate / 1000.0
        command_line = 1 if self.options['commands'] == 'TX' else 0
        self.links = {command_line: Link(self, False), 1 - command_line: Link(self, True)}

    def decode(self, ss, es, data):
        ptype, rxtx, pdata = data
        if self.links is None:
            self.setup()
        link = self.links.get(rxtx)
        if link is None:
            return
        if ptype == 'DATA':
            link.byte(ss, es, pdata[0] & 0xFF)
        elif ptype == 'IDLE':
            link.silence(es)
