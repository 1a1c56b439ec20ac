##
## Protocol decoder for the link between the board and its MCU (mcu_test).
##
## This program is free software; you can redistribute it and/or modify
## it under the terms of the GNU General Public License as published by
## the Free Software Foundation; either version 3 of the License, or
## (at your option) any later version.
##

# The arithmetic of the replies, as the tool's receiver does it: single-precision floats,
# the relay NTC fit and its lenient Base64. No sigrok import: tests load this file by path.

import math
import struct


def f32(x):
    '''x rounded to single precision, as the tool keeps every intermediate result.'''
    try:
        return struct.unpack('<f', struct.pack('<f', x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def float_le(d, i):
    '''The IEEE single-precision float in d[i:i + 4], least significant byte first.'''
    return struct.unpack('<f', bytes(d[i:i + 4]))[0]


def u32_le(d, i):
    return d[i] | d[i + 1] << 8 | d[i + 2] << 16 | d[i + 3] << 24


def shortest(x):
    '''A single-precision value in the fewest digits that give it back exactly.'''
    if math.isnan(x) or math.isinf(x):
        return str(x)
    for digits in range(1, 10):
        text = float('%.*g' % (digits, x))
        if f32(text) == x:
            return repr(text)
    return repr(x)


# Bands of the fit: resistance from, to (the upper bound included or not), a, b of
# a * ln(r) + b.
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
