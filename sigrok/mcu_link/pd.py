##
## Protocol decoder for the link between the board and its MCU (mcu_test).
##
## This program is free software; you can redistribute it and/or modify
## it under the terms of the GNU General Public License as published by
## the Free Software Foundation; either version 3 of the License, or
## (at your option) any later version.
##

import math
import struct

import sigrokdecode as srd

START = 0xAA
END = 0xBB

# The builders that send each command code.
COMMANDS = {
    0x10: 'mcu_jump_to_ldrom_upgrader',
    0x20: 'mcu_systick_get',
    0x30: 'mcu_fct_test',
    0x31: 'mcu_get_work_mode',
    0x32: 'mcu_get_version',
    0x35: 'mcu_presstest_exit_temporary',
    0x43: 'mcu_sn_no_write',
    0x44: 'mcu_sn_no_read',
    0x45: 'mcu_presstest_exit',
    0x46: 'mcu_presstest_relust_get',
    0x51: 'mcu_voltage_get',
    0x52: 'mcu_rly1_current_get',
    0x53: 'mcu_rly1_power_factor_get',
    0x54: 'mcu_rly1_electric_consume_get',
    0x55: 'mcu_hlw8112_get',
    0x56: 'mcu_hlw8112_get_angle',
    0x57: 'mcu_hlw8112_get_load_type',
    0x68: 'mcu_PWM_ctrl',
    0x69: 'mcu_PWM_duty_get',
    0x6A: 'mcu_PWM_target_duty_get',
    0x71: 'fct_bt_preapear',
    0x72: 'fct_bt_get_name',
    0x74: 'mcu_temp_humidity_get',
    0x81: 'mcu_pwr_to_load_test',
    0x82: 'mcu_pwr_load_short_test',
    0x90: 'mcu_rs485_send',
    0x92: 'mcu_rs485_usart_set',
    0x93: 'mcu_relay_control',
    0x94: 'mcu_relay_get',
    0x95: 'mcu_relay_read_time',
    0x96: 'mcu_relay_read_ntc',
    0x97: 'mcu_relay_read_frequency',
    0x98: 'mcu_relay_read_zero_cross_status',
    0x99: 'mcu_relay_multi_control',
    0x9A: 'mcu_ir_carrier_set',
    0x9B: 'mcu_ir_send',
    0x9C: 'mcu_ir_new_send',
    0x9D: 'mcu_ir_receiver_set',
    0xA1: 'mcu_key_test',
    0xAA: 'mcu_upgrader_end',
    0xBB: 'mcu_erase_aprom',
    0xDD: 'mcu_send_aprom_packet',
    0xFE: 'mcu_get_mcu_model',
}

# Payload sizes of the fixed-size commands (absent: none; None: variable).
PAYLOAD_SIZE = {
    0x43: 6, 0x68: 1, 0x94: 1, 0x95: 1, 0x9D: 1, 0xA1: 1, 0x92: 7, 0x93: 2, 0x9A: 3,
    0x90: None, 0x99: None, 0x9B: None, 0x9C: None, 0xDD: None,
}


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
    if code == 0x43:
        return 'sn=' + hexs(p[:6]) if n >= 6 else ''
    if code == 0x68:
        return 'duty=%d' % p[0] if n >= 1 else ''
    if code == 0x90:
        return 'len=%d data=%s' % (n, quoted(p))
    if code == 0x92:
        if n < 7:
            return ''
        return ('baudrate=%d data_width=%d(%s) stop_bits=%d(%s) parity=%d(%s)' % (
            p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3],
            p[4], choice(p[4], ('7', '8', '9')),
            p[5], choice(p[5], ('1', '1.5', '2')),
            p[6], choice(p[6], ('NO', 'EVEN', 'ODD'))))
    if code == 0x93:
        return 'relay=%d value=%d' % (p[0], p[1]) if n >= 2 else ''
    if code in (0x94, 0x95):
        return 'relay=%d' % p[0] if n >= 1 else ''
    if code == 0x99:
        s = 'pairs=%d' % (n // 2)
        for i in range(0, n - 1, 2):
            s += ' relay%d=%d' % (p[i], p[i + 1])
        return s
    if code == 0x9A:
        return 'carrier=%d param=%d' % (p[0] << 8 | p[1], p[2]) if n >= 3 else ''
    if code in (0x9B, 0x9C):
        s = 'len=%d' % n
        if n:
            s += ' data=' + hexs(p[:8]) + (' ...' if n > 8 else '')
        return s
    if code == 0x9D:
        return 'setting=%d' % p[0] if n >= 1 else ''
    if code == 0xA1:
        return 'key=%d' % p[0] if n >= 1 else ''
    if code == 0xDD:
        return 'header=%d len=%d' % (p[0], n - 1) if n >= 1 else ''
    if code == 0x55:
        return 'code=0x%02X' % code
    return ''


def command_text(code, payload):
    name = COMMANDS.get(code)
    if name is None:
        s = 'unknown command 0x%02X' % code
        return s + (' payload=' + hexs(payload) if payload else '')
    fields = command_fields(code, payload)
    s = name + (' ' + fields if fields else '')
    want = PAYLOAD_SIZE.get(code, 0)
    if want is not None and len(payload) != want:
        s += ' (payload %d bytes, expected %d)' % (len(payload), want)
    return s


# Single-precision arithmetic, as the tool computes: every result rounded to a float.
def f32(x):
    try:
        return struct.unpack('<f', struct.pack('<f', x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_at(d, i):
    return struct.unpack('<f', bytes(d[i:i + 4]))[0]


def num(x):
    """A single-precision value in the fewest digits that give it back exactly."""
    if math.isnan(x) or math.isinf(x):
        return str(x)
    for digits in range(1, 10):
        shortest = float('%.*g' % (digits, x))
        if f32(shortest) == x:
            return repr(shortest)
    return repr(x)


NTC_BANDS = (
    (25000.0, 124000.0, True, -18.32, 190.47),
    (8000.0, 25000.0, False, -21.71, 224.98),
    (2500.0, 8000.0, False, -26.84, 270.23),
    (900.0, 2500.0, False, -26.84, 270.23),
)


def temp_fitting(raw):
    '''The relay NTC reading in degrees Celsius, 0.0 outside the fits.'''
    v = f32(raw / 4096.0 * 5.0)
    if v == 0.0:
        r = math.inf
    else:
        r = f32(f32(f32(5.0 - v) * 10000.0) / v)
    for low, high, high_inclusive, a, b in NTC_BANDS:
        if low <= r and (r <= high if high_inclusive else r < high):
            return f32(a * math.log(r) + b)
    return 0.0


B64 = {c: i for i, c in enumerate(
    b'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/')}


def base64_decode(src):
    '''Lenient Base64 as the tool decodes it: characters outside the alphabet
    count as 'A', line breaks are skipped between groups only, decoding stops
    after the first group that holds '='.'''
    out = []
    pos = 0
    n = len(src)
    while pos < n:
        if src[pos] in (0x0D, 0x0A):
            pos += 1
            continue
        pads = 0
        group = [0, 0, 0, 0]  # a short last group decodes its missing places as 0
        for k in range(4):
            if pos >= n:
                break
            c = src[pos]
            pos += 1
            if c == 0x3D:
                pads += 1
                group[k] = 0
            else:
                group[k] = B64.get(c, 0)
        out.append((group[0] << 2 | group[1] >> 4) & 0xFF)
        if not (pos < 2 or src[pos - 2] == 0x3D):
            out.append((group[1] << 4 | group[2] >> 2) & 0xFF)
        if src[pos - 1] != 0x3D:
            out.append((group[2] << 6 | group[3]) & 0xFF)
        if pads:
            break
    return out


def text_to_zero(d, start, limit=None):
    end = len(d) if limit is None else min(len(d), start + limit)
    s = d[start:end]
    return s[:s.index(0)] if 0 in s else s


def reply_text(d, length):
    '''The meaning of a reply, from d: the frame body (head byte first) as the
    tool's receive slot holds it, zero beyond the body.'''
    code = d[1]
    v8 = d[2]
    if code == 0x20:
        return 'systick %d ms' % (d[2] | d[3] << 8 | d[4] << 16 | d[5] << 24)
    if code == 0x30:
        return 'FCT result %d' % v8
    if code == 0x31:
        return 'work mode %d (%s)' % (v8, 'aprom' if v8 else 'bootloader')
    if code == 0x32:
        return 'version %d' % v8
    if code == 0x33:
        return 'sw1 state %d' % v8
    if code == 0x35:
        return 'press test exit temporary'
    if code == 0x45:
        return 'press test exit set'
    if code == 0x44:
        return 'serial number ' + hexs(d[2:8])
    if code == 0x46:
        return 'press test result %d' % v8
    if 0x51 <= code <= 0x58 and code not in (0x55, 0x57):
        v = f32_at(d, 2)
        if code == 0x51:
            return 'voltage %s V' % num(f32(v / 100.0))
        if code == 0x52:
            return 'current %s mA' % num(v)
        if code in (0x53, 0x58):
            return 'power %s W' % num(v)
        if code == 0x54:
            return 'energy %s kWh' % num(v)
        return 'phase angle %s' % num(v)
    if code == 0x57:
        return 'load type %d (%s)' % (v8, 'inductive' if v8 else 'capacitive')
    if code == 0x69:
        return 'PWM duty %d' % v8
    if code == 0x6A:
        return 'PWM target duty %d' % v8
    if code == 0x71:
        return 'Bluetooth init %d' % d[0]
    if code == 0x72:
        return 'Bluetooth name ' + quoted(text_to_zero(d, 2, 8))
    if code == 0x74:
        return 'humidity %d, temperature %d' % (d[2] << 8 | d[3], d[4] << 8 | d[5])
    if code == 0x75:
        v = d[2] << 16 | d[3] << 8 | d[4]
        return 'IR test success' if v == 0x17BB else 'IR test fail (0x%06X)' % v
    if code in (0x81, 0x82):
        what = 'power-to-load test' if code == 0x81 else 'short-circuit test'
        return '%s %s, ADC 0x%02d%02d' % (what, 'pass' if v8 else 'fail', d[3], d[4])
    if code == 0x91:
        payload = d[2:length - 2] if length > 4 else []
        ok = bytes(text_to_zero(d, 2)) == b'Receive'
        return 'RS485 receive %d bytes %s: %s' % (
            len(payload), quoted(payload), 'match' if ok else 'no match (s1 != s2)')
    if code == 0x93:
        return 'relay control %d' % v8
    if code == 0x94:
        state = {0: 'off', 1: 'on'}.get(d[3], 'state %d' % d[3])
        return 'relay %d %s' % (v8, state)
    if code == 0x95:
        t = struct.unpack('<i', bytes(d[3:7]))[0]
        return 'relay %d time %d' % (v8, t)
    if code == 0x96:
        raw = d[2] | d[3] << 8 | d[4] << 16 | d[5] << 24
        return 'NTC %.2f \u00b0C (raw %d)' % (temp_fitting(raw), raw)
    if code == 0x97:
        return 'mains frequency %d Hz' % v8
    if code == 0x98:
        return 'zero-cross normal' if v8 == 0 else 'zero-cross err (%d)' % v8
    if code == 0x99:
        return 'relay multi-control set=%d success=%d' % (d[2], d[3])
    if code == 0x9E:
        text = d[4:length - 2] if length >= 6 else []
        out = base64_decode(text)
        values = [out[2 * i] | out[2 * i + 1] << 8 for i in range(len(out) // 2)]
        s = 'IR learning %d/%d: Base64 %d chars, %d bytes' % (d[3], d[2], len(text), len(out))
        if values:
            s += ': ' + ' '.join(str(v) for v in values[:8]) + (' ...' if len(values) > 8 else '')
        return s
    if code == 0xA1:
        return 'key set 0x%x' % d[0]
    if code == 0xBB:
        return 'APROM erase state %d' % v8
    if code == 0xDD:
        return 'APROM program state %d' % v8
    if code == 0xFE:
        return 'MCU model 0x%02X' % v8
    payload = d[2:length - 2] if length > 4 else []
    return 'unknown reply 0x%02X' % code + (' payload=' + hexs(payload) if payload else '')


# What each reply reads: the payload size that the tool's handler expects (None: any).
REPLY_PAYLOAD = {
    0x20: 4, 0x30: 1, 0x31: 1, 0x32: 1, 0x33: 1, 0x35: 0, 0x45: 0, 0x44: 6, 0x46: 1,
    0x51: 4, 0x52: 4, 0x53: 4, 0x54: 4, 0x56: 4, 0x57: 1, 0x58: 4, 0x69: 1, 0x6A: 1,
    0x71: None, 0x72: 8, 0x74: 4, 0x75: 3, 0x81: 3, 0x82: 3, 0x91: None, 0x93: 1, 0x94: 2,
    0x95: 5, 0x96: 4, 0x97: 1, 0x98: 1, 0x99: 2, 0x9E: None, 0xA1: None, 0xBB: 1, 0xDD: 1,
    0xFE: 1,
}

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
        self.put(ss, es, ANN_COMMAND, [text, COMMANDS.get(code, 'unknown 0x%02X' % code)])

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
        rate = self.samplerate or 1000000
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
