"""Binary frames of the scanner's update firmware.

Frame: start byte (0x01 command, 0x81 data packet and every scanner answer),
2-byte big-endian length L = payload length + 1, command code, payload,
checksum (the negated 8-bit sum of the bytes from the length through the
last payload byte), end byte 0x03.
"""

CMD_START = 0x01
DATA_START = 0x81
END = 0x03

CHIP_NUMBER = 0x48
SERIAL_NUMBER = 0x70
KEY_STRING = 0x71
VERSION = 0x3E
ERASE = 0x12
WRITE = 0x13
APPLY = 0x3D

NAMES = {CHIP_NUMBER: "chip_number", SERIAL_NUMBER: "serial_number", KEY_STRING: "key_string",
         VERSION: "version", ERASE: "erase", WRITE: "write", APPLY: "apply"}


def checksum(body):
    return (-sum(body)) & 0xFF


def build(start, command, payload=b""):
    payload = bytes(payload)
    length = len(payload) + 1
    if length > 0xFFFF:
        raise ValueError("payload too long for one frame")
    body = length.to_bytes(2, "big") + bytes([command & 0xFF]) + payload
    return bytes([start]) + body + bytes([checksum(body), END])


class Frame:
    __slots__ = ("start", "command", "payload", "raw")

    def __init__(self, start, command, payload, raw):
        self.start, self.command, self.payload, self.raw = start, command, payload, raw

    def __repr__(self):
        return "Frame(start=%#04x, command=%#04x, payload=%d bytes)" % (self.start, self.command, len(self.payload))


class FrameError(ValueError):
    """A complete but malformed frame; `consumed` bytes belong to it."""

    def __init__(self, reason, consumed, command=None):
        super().__init__(reason)
        self.consumed = consumed
        self.command = command


def parse(buf):
    """Parse one frame from the front of buf.

    Returns (Frame, consumed) or (None, 0) when more bytes are needed.
    Raises FrameError for a complete frame with a bad checksum or end byte,
    or for a start byte that begins no frame (consumed = 1).
    """
    if not buf:
        return None, 0
    if buf[0] not in (CMD_START, DATA_START):
        raise FrameError("byte %#04x starts no frame" % buf[0], 1)
    if len(buf) < 4:
        return None, 0
    length = int.from_bytes(buf[1:3], "big")
    if length < 1:
        raise FrameError("frame length 0", 3)
    total = length + 5
    if len(buf) < total:
        return None, 0
    raw = bytes(buf[:total])
    command = raw[3]
    if raw[-1] != END:
        raise FrameError("end byte %#04x is not 0x03" % raw[-1], total, command)
    if checksum(raw[1:3 + length]) != raw[3 + length]:
        raise FrameError("checksum mismatch", total, command)
    return Frame(raw[0], command, raw[4:3 + length], raw), total
