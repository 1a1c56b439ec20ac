#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Run it again after changing a seed here; the files it writes are committed. Existing files of
the four corpus directories that it does not write are left alone (inputs kept from a fuzz run).
"""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def write(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(bytes(data))


# ---- receive: [n][n control bytes][stream]; control 2-bit fields give piece sizes 1..4.

def reply(code, payload=b"", head=0x00, checksum=None, length=None):
    body = bytes([head, code]) + bytes(payload)
    s = sum(body) & 0xFF if checksum is None else checksum
    L = len(body) + 2 if length is None else length
    return bytes([0xAA, L]) + body + bytes([s, 0xBB])


def pieces(stream, sizes=None):
    """sizes: a list of piece sizes 1..4 used cyclically; None = pieces of four."""
    if sizes is None:
        return bytes([0]) + stream
    ctl = []
    for i in range(0, len(sizes), 4):
        b = 0
        for k, s in enumerate(sizes[i:i + 4]):
            b |= (s - 1) << (2 * k)
        ctl.append(b)
    return bytes([len(ctl)] + ctl) + stream


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def receive_seeds():
    version = reply(0x32, [0x07])
    assert version == bytes.fromhex("AA 05 00 32 07 39 BB")
    # AA 05 00 32 | 07 39 BB, as a read of four would cut it; and byte by byte.
    write("receive", "version-reply", pieces(version))
    write("receive", "version-reply-bytewise", pieces(version, [1]))
    write("receive", "version-reply-bad-checksum", pieces(reply(0x32, [0x07], checksum=0x38)))
    write("receive", "rs485-report-receive", pieces(reply(0x91, b"Receive\0")))
    write("receive", "rs485-report-other", pieces(reply(0x91, b"Receiver")))
    write("receive", "ir-learning-report", pieces(reply(0x9E, b"\x02\x01AQACAA==")))
    write("receive", "ir-learning-short", pieces(reply(0x9E, b"", length=4) + reply(0x9E, b"\x02", length=5)))
    write("receive", "sn-reply", pieces(reply(0x44, bytes.fromhex("0C 22 05 43 59 00"))))
    for raw in (2048, 306, 3757, 0, 0xFFFFFFFF):
        write("receive", f"ntc-reply-{raw}", pieces(reply(0x96, le32(raw)), [3, 2]))
    # Length 0: bytes are stored until the next 0xAA restarts the frame in the same slot.
    write("receive", "length-0-then-version", pieces(b"\xAA\x00" + bytes(range(1, 40)) + version))
    write("receive", "length-0-long", pieces(b"\xAA\x00" + bytes((i * 7 + 1) % 0xAA for i in range(1100))))
    # Length 1: three bytes on the line; four of them in one read fill the ring.
    write("receive", "length-1-ring-full", pieces(b"\xAA\x01\x00" * 6 + version, [4, 4, 4, 3, 1]))
    write("receive", "length-1-then-stream", pieces(b"\xAA\x01\x00" * 4 + b"\x05\x00\x32\x07\x39\xBB" + version))
    # Length 255, the largest frame, once with a Base64 text that fills it.
    write("receive", "length-255-rs485", pieces(reply(0x91, bytes(i & 0x7F for i in range(251)))))
    ir = reply(0x9E, b"\x10\x20" + (b"QUJD" * 62)[:247] + b"==")
    assert ir[1] == 255
    write("receive", "length-255-ir", pieces(ir))
    # Noise: more than a slot before the first frame, with and without 0xAA in it.
    noise = bytes((i * 131 + 17) % 256 for i in range(3000))
    write("receive", "noise-long", pieces(noise, [1, 2, 3, 4]))
    write("receive", "noise-no-start", pieces(bytes(b if b != 0xAA else 0x55 for b in noise) + version))
    write("receive", "start-runs", pieces(b"\xAA" * 50 + b"\x05\x00\x32\x07\x39\xBB" + b"\xAA" * 3 + version))
    write("receive", "start-run-before-length-4", pieces(b"\xAA\xAA\xAA\x04\x00\x55\x55\xBB"))
    write("receive", "start-in-body", pieces(reply(0x93, [0xAA], head=0xAA)))
    write("receive", "lost-tail", pieces(version[:4] + version + version))
    # Every handled event id with a payload of its own, and each with none (L = 4).
    events = [0x20, 0x30, 0x31, 0x32, 0x33, 0x35, 0x44, 0x45, 0x46, 0x51, 0x52, 0x53, 0x54,
              0x55, 0x56, 0x57, 0x58, 0x69, 0x6A, 0x71, 0x72, 0x74, 0x75, 0x81, 0x82, 0x91,
              0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9E, 0xA1, 0xBB, 0xDD, 0xFE, 0xFF]
    payload = bytes([1, 0x17, 0xBB, 0x40, 0x49, 0x0F, 0xDB, 0x41])
    stream = b"".join(reply(e, payload, head=e) for e in events)
    write("receive", "all-events", pieces(stream, [4, 4, 3, 2, 1]))
    write("receive", "all-events-empty", pieces(b"".join(reply(e) for e in events), [1, 3]))
    write("receive", "floats-nan-inf", pieces(reply(0x51, le32(0x7FC00000)) + reply(0x52, le32(0x7F800000)) +
                                              reply(0x56, le32(0xFF800000)) + reply(0x54, le32(1))))
    write("receive", "bt-name-long", pieces(reply(0x72, b"MCU-BT-NAME-TOO-LONG")))
    write("receive", "empty", b"")


# ---- base64: the text itself.

def base64_seeds():
    texts = {
        "ir-learning": b"AQACAA==",
        "empty": b"",
        "line-breaks-only": b"\r\n\r\n",
        "lines-between-groups": b"QUJD\r\nREVG\nR0hJ",
        "line-break-in-group": b"QU\nJD",
        "pad-then-letter": b"QU=D",
        "pad-then-more-groups": b"QQ==QUJD",
        "twenty-chars": b"AAAAAAAAAAAAAAAAAA==",
        "short-1": b"Q",
        "short-2": b"QU",
        "short-3": b"QUJ",
        "high-bytes": bytes([0x80, 0xFF, 0xC3, 0xA9, 0x20, 0x09, 0x2D, 0x5F]),
        "all-pads": b"====",
        "url-safe": b"-_-_",
        "long": b"QUJD" * 300 + b"QQ",
    }
    for name, t in texts.items():
        write("base64", name, t)


# ---- ntc: the reading, least significant byte first.

def ntc_seeds():
    for raw in (0, 305, 306, 1170, 1171, 2048, 2275, 2276, 3276, 3277, 3757, 3758, 4095, 4096,
                4097, 0x10000 + 2048, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF):
        write("ntc", f"raw-{raw}", le32(raw))
    write("ntc", "short-2-bytes", b"\x00\x08")


# ---- cmdline: the words after the program name, each ended by a zero byte.

def cmdline_seeds():
    lines = {
        "no-op-word": [],
        "op0-missing": ["0"],
        "op0-mode": ["0", "0"],
        "op0-version": ["0", "1"],
        "op0-type": ["0", "7"],
        "op0-abc": ["0", "abc"],
        "abc-1": ["abc", "1"],
        "op1": ["1"],
        "op2-query": ["2"],
        "op2-duty": ["2", "50"],
        "op2-two-params": ["2", "50", "60"],
        "op2-huge": ["2", "99999999999999999999"],
        "op3": ["3"],
        "op4": ["4", "extra"],
        "op5": ["5"],
        "op5x": ["5x"],
        "op6": ["6"],
        "op7-missing": ["7"],
        "op7-0": ["7", "0"],
        "op7-1": ["7", "-1"],
        "op8": ["8"],
        "op9": ["9"],
        "op10": ["10"],
        "op11": ["11"],
        "op12-missing": ["12"],
        "op12-carrier": ["12", "0", "38000", "33"],
        "op12-carrier-no-param": ["12", "0", "38000"],
        "op12-raw": ["12", "1"],
        "op12-new": ["12", "2"],
        "op12-receiver": ["12", "3", "1"],
        "op12-receiver-missing": ["12", "3"],
        "op12-unknown": ["12", "9"],
        "op13": ["13", "3"],
        "op13-missing": ["13"],
        "op14": ["14"],
        "op15": ["15"],
        "op16": ["16", "115200", "1", "0", "0"],
        "op16-extra": ["16", "-9600", "257", "-1", " +2", "x"],
        "op16-too-few": ["16", "115200", "1", "0"],
        "op17": ["17"],
        "op18": ["18"],
        "op19-missing": ["19"],
        "op19-get": ["19", "257"],
        "op19-control": ["19", "1", "1"],
        "op19-argc5": ["19", "1", "1", "1"],
        "op20-missing": ["20"],
        "op20": ["20", "-1"],
        "op20-argc4": ["20", "1", "2"],
        "op21": ["21"],
        "op21-refused": ["21", "1"],
        "op22": ["22"],
        "op22-refused": ["22", ""],
        "op23": ["23"],
        "op23-refused": ["23", "x", "y"],
        "op24-missing": ["24"],
        "op24-load": ["24", "0"],
        "op24-short": ["24", "1"],
        "op25": ["25"],
        "op26-argc3": ["26", "1"],
        "op26-argc4": ["26", "1", "1"],
        "op26-argc5": ["26", "1", "1", "2"],
        "op26-argc22": ["26"] + [str(i) for i in range(20)],
        "op26-argc23": ["26"] + [str(i) for i in range(21)],
        "op26-argc24": ["26"] + ["-1"] * 22,
        "op27": ["27"],
        "op-minus-1": ["-1"],
        "op-huge": ["4294967296"],
        "op-blank-sign": ["  +3"],
        "op-empty-word": ["", "1"],
    }
    for name, words in lines.items():
        write("cmdline", name, b"".join(w.encode() + b"\0" for w in words))
    # Without the last terminator, as the input format allows.
    write("cmdline", "op19-control-unterminated", b"19\x001\x001")


receive_seeds()
base64_seeds()
ntc_seeds()
cmdline_seeds()
