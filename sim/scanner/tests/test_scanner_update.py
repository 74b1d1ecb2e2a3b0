"""Update-mode binary frames of the scanner twin."""

import threading
import unittest

from sim.scanner import frames
from scanner_host import Host

CMD, DATA = frames.CMD_START, frames.DATA_START


def be(*nums):
    return b"".join(n.to_bytes(4, "big") for n in nums)


class FrameCodecTest(unittest.TestCase):
    def test_known_frames(self):
        self.assertEqual(frames.build(CMD, 0x3D, b"\x01").hex(), "0100023d01c003")
        self.assertEqual(frames.build(CMD, 0x70).hex(), "010001708f03")
        self.assertEqual(frames.build(CMD, 0x48).hex(), "01000148b703")
        f, used = frames.parse(bytes.fromhex("81000212" "00ec03") + b"\x01")
        self.assertEqual((f.command, f.payload, used), (0x12, b"\x00", 7))

    def test_parse_partial_and_malformed(self):
        whole = frames.build(CMD, 0x12, be(0x40000, 0xE6FFF))
        for n in range(len(whole)):
            self.assertEqual(frames.parse(whole[:n]), (None, 0))
        bad_sum = whole[:-2] + bytes([whole[-2] ^ 1]) + whole[-1:]
        bad_end = whole[:-1] + b"\x04"
        for name, raw, consumed in (("checksum", bad_sum, len(whole)), ("end byte", bad_end, len(whole)),
                                    ("start byte", b"\x55" + whole, 1)):
            with self.subTest(name):
                with self.assertRaises(frames.FrameError) as cm:
                    frames.parse(raw)
                self.assertEqual(cm.exception.consumed, consumed)


class UpdateModeTest(unittest.TestCase):
    def setUp(self):
        self.modes = []
        self.mode_changed = threading.Event()

        def on_change(twin, mode):
            self.modes.append(mode)
            self.mode_changed.set()

        self.h = Host(mode="update", serial="VT5", chip_number=0x12345678, firmware_version="2.03",
                      on_mode_change=on_change)

    def tearDown(self):
        self.h.close()

    def test_queries(self):
        h = self.h
        chip = h.exchange(CMD, frames.CHIP_NUMBER)
        self.assertEqual((chip.start, chip.command, chip.payload), (0x81, 0x48, bytes.fromhex("78563412")))
        self.assertEqual(h.exchange(CMD, frames.SERIAL_NUMBER).payload, b"VT5")
        self.assertEqual(len(h.exchange(CMD, frames.KEY_STRING).payload), 64)
        ver = h.exchange(CMD, frames.VERSION).payload
        n = ver[0]
        recs = [ver[4 + 8 * i:12 + 8 * i] for i in range(n)]
        self.assertEqual([(r[0], int.from_bytes(r[4:8], "little")) for r in recs], [(1, 203), (130, 7)])
        self.assertIn("OEMRXMODE", h.command("VELM_ReadMI "))

    def write_blob(self, blob, address=0x00050000):
        h = self.h
        last = address + ((len(blob) + 127) // 128) * 128 - 1
        self.assertEqual(h.exchange(CMD, frames.WRITE, be(address, last)).command, 0x13)
        for i in range(0, len(blob), 1024):
            chunk = blob[i:i + 1024]
            chunk += b"\xff" * (-len(chunk) % 128)
            ack = h.exchange(DATA, frames.WRITE, chunk)
            self.assertEqual(ack.command, 0x13, "data packet at %d refused" % i)

    def test_erase_write_apply(self):
        h = self.h
        secret, image = bytes(range(200)), bytes((i * 7) & 0xFF for i in range(3000))
        blob = len(secret).to_bytes(4, "big") + secret + len(image).to_bytes(4, "big") + image
        # Writing before an erase is refused when the flash holds data.
        h.twin.flash[0x50000] = 0
        self.assertEqual(h.exchange(CMD, frames.WRITE, be(0x50000, 0x500FF)).command, 0x13)
        self.assertEqual(h.exchange(DATA, frames.WRITE, b"\0" * 256).command, 0x93)
        self.assertEqual(h.exchange(CMD, frames.ERASE, be(0x40000, 0xE6FFF)).command, 0x12)
        self.write_blob(blob)
        self.assertEqual(h.twin.flash_blob(), (secret, image))
        self.assertEqual(h.exchange(CMD, frames.APPLY, b"\x01").command, 0x3D)
        # The acknowledgement goes out before the device restarts into its normal firmware.
        self.assertTrue(self.mode_changed.wait(10))
        self.assertEqual((h.twin.applied, h.twin.mode, self.modes), (1, "normal", ["normal"]))

    def test_refused_frames(self):
        h = self.h
        cases = {
            "erase outside flash": (CMD, frames.ERASE, be(0x40000, 0x200000)),
            "write across regions": (CMD, frames.WRITE, be(0xFF80, 0x1007F)),
            "write unaligned": (CMD, frames.WRITE, be(0x50001, 0x500FF)),
            "data without write": (DATA, frames.WRITE, b"\xff" * 128),
            "apply with empty flash": (CMD, frames.APPLY, b"\x01"),
            "unknown command": (CMD, 0x55, b""),
        }
        for name, (start, cmd, payload) in cases.items():
            with self.subTest(name):
                ack = h.exchange(start, cmd, payload)
                self.assertEqual(ack.command, cmd | 0x80)
        # A frame with a bad checksum is refused too.
        raw = bytearray(frames.build(CMD, frames.SERIAL_NUMBER)); raw[-2] ^= 1
        h.send(bytes(raw))
        self.assertEqual(h.read_frame().command, 0xF0)
        self.assertEqual(h.twin.applied, 0)

    def test_data_packet_past_range_refused(self):
        h = self.h
        h.exchange(CMD, frames.ERASE, be(0x40000, 0xE6FFF))
        h.exchange(CMD, frames.WRITE, be(0x50000, 0x5007F))
        self.assertEqual(h.exchange(DATA, frames.WRITE, b"\1" * 256).command, 0x93)
        self.assertEqual(h.twin.flash_read(0x50000, 128), b"\xff" * 128)

    def test_injected_faults(self):
        h = self.h
        h.twin.set_frame_fault(frames.ERASE, "refuse", count=1)
        self.assertEqual(h.exchange(CMD, frames.ERASE, be(0x40000, 0xE6FFF)).command, 0x92)
        self.assertEqual(h.exchange(CMD, frames.ERASE, be(0x40000, 0xE6FFF)).command, 0x12)
        h.twin.set_frame_fault(frames.ERASE, "wrong_command", count=1)
        self.assertEqual(h.exchange(CMD, frames.ERASE, be(0x40000, 0xE6FFF)).command, 0x13)
        h.twin.set_frame_fault(frames.CHIP_NUMBER, "bad_start", count=1)
        h.send(frames.build(CMD, frames.CHIP_NUMBER))
        self.assertEqual(h.read_until(b"\x03")[:4], bytes.fromhex("01000548"))
        h.twin.set_frame_fault(frames.SERIAL_NUMBER, "short", count=1)
        h.send(frames.build(CMD, frames.SERIAL_NUMBER))
        self.assertEqual(h.read_until(b"V"), bytes.fromhex("81000470") + b"V")
        h.twin.set_frame_fault(frames.APPLY, "silent", count=1)
        h.send(frames.build(CMD, frames.APPLY, b"\x01"))
        # Nothing came back for the apply: the next answer is the chip number's.
        h.buf.clear()
        self.assertEqual(h.exchange(CMD, frames.CHIP_NUMBER).command, 0x48)


if __name__ == "__main__":
    unittest.main()
