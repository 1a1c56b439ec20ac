##
## Protocol decoder for the link between the board and its MCU (mcu_test).
##
## This program is free software; you can redistribute it and/or modify
## it under the terms of the GNU General Public License as published by
## the Free Software Foundation; either version 3 of the License, or
## (at your option) any later version.
##

'''
This decoder stacks on top of the 'uart' PD and decodes the frames that the
board's mcu_test tool and its MCU exchange at 115200 bit/s, 8N1.

Command frames (board to MCU): AA, length L, code, payload, checksum, BB.
Reply frames (MCU to board): AA, length L, head byte, code, payload,
checksum, BB. L counts the bytes after the length byte; the checksum is the
8-bit sum of the bytes between the length byte and the checksum byte.

By default the board's TX line carries the commands and its RX line the
replies ('commands' option). Commands are cut as the simulator reads them:
the byte after a start byte is always the length byte. Replies are cut as the
tool's receiver cuts them: a second 0xAA restarts the frame, and a length byte
of 0 starts no frame. A frame that sees no byte for 'timeout' ms ends as
incomplete (20 ms, as the simulator); with 0 frames are counted by their
length byte alone, as the tool's receiver does, and a frame that lost its
tail takes in the bytes that come next.

Annotation rows: command and reply fields (start, length, head, code,
payload, checksum, end), commands by builder name and parameters (as
'mcu_sim --decode' names them), replies and reports by meaning and value,
checksums (good or bad, with the computed sum and the received byte), and
noise (bytes outside frames, such as the zero padding after a fixed-size
send).
'''

import importlib.util

# sigrok looks the class up in the package; elsewhere (the station reads the link's table,
# lists.py) there is no sigrokdecode to build it on.
if importlib.util.find_spec("sigrokdecode") is not None:
    from .pd import Decoder  # noqa: F401
