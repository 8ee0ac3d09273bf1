"""The Python frame codec against the host's golden frames and decoding rules."""

import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Tools"))
import zoranth_wire as wire  # noqa: E402

HELLO = wire.Hello(48000, 2, 16, 960, 1500)

GOLDENS = [
    ("hello", HELLO, "5a52544802010a0080bb00000210c003dc05"),
    ("timeReq", wire.TimeReq(0x0123456789ABCDEF), "5a52544802030800efcdab8967452301"),
    ("timeResp", wire.TimeResp(0x0123456789ABCDEF, 0x1122334455667788),
     "5a52544802041000efcdab89674523018877665544332211"),
    ("bye", wire.Bye(), "5a52544802060000"),
    ("audio", wire.Audio(wire.AudioChunkHeader(1, 0xFFEEDDCCBB, 960, 1500),
                         bytes.fromhex("deadbeef0102")),
     "5a5254480202180001000000bbccddeeff000000c0030000dc05deadbeef0102"),
    ("clientStat", wire.ClientStat(3200000, 1100000, -123456789, 4, 960, 0, 1490, "iPhone"),
     "5a5254480205210000d43000e0c81000eb32a4f8ffffffff04000000c0030000d205066950686f6e65"),
]


def frame(type_byte, payload, length=None):
    n = len(payload) if length is None else length
    return b"ZRTH" + bytes([2, type_byte]) + n.to_bytes(2, "little") + payload


def feed_bytewise(decoder, data):
    """Feeds one byte at a time; returns (index of the byte that completed a
    message, message) or raises the decoder's failure."""
    for i, b in enumerate(data):
        decoder.append(bytes([b]))
        message = decoder.next()
        if message is not None:
            return i, message
    return None, None


class GoldenFrames(unittest.TestCase):
    def test_encoding_matches_the_host_byte_for_byte(self):
        for name, message, hex_frame in GOLDENS:
            with self.subTest(name):
                self.assertEqual(wire.encode(message).hex(), hex_frame)

    def test_each_golden_frame_decodes_only_at_its_last_byte(self):
        for name, message, hex_frame in GOLDENS:
            with self.subTest(name):
                decoder = wire.FrameDecoder()
                decoder.append(wire.encode(HELLO))
                self.assertEqual(decoder.next(), HELLO)
                data = bytes.fromhex(hex_frame)
                index, decoded = feed_bytewise(decoder, data)
                self.assertEqual((index, decoded), (len(data) - 1, message))
                self.assertEqual(decoder.bufferedByteCount, 0)

    def test_audio_frame_builder_matches_general_encoder_for_empty_packet(self):
        header = wire.AudioChunkHeader(7, 123, 960, 1500)
        data = wire.encodeAudioFrame(header, b"")
        self.assertEqual(data, wire.encode(wire.Audio(header, b"")))
        self.assertEqual((len(data), data[6:8]), (26, b"\x12\x00"))


class Decoding(unittest.TestCase):
    def test_two_frames_in_one_append_come_out_one_per_call(self):
        decoder = wire.FrameDecoder()
        decoder.append(wire.encode(HELLO) + wire.encode(wire.Bye()))
        self.assertEqual([decoder.next(), decoder.next(), decoder.next()],
                         [HELLO, wire.Bye(), None])

    def test_unknown_type_is_skipped_whole(self):
        decoder = wire.FrameDecoder()
        decoder.append(frame(200, b"abc") + wire.encode(wire.TimeReq(5)))
        self.assertEqual(decoder.next(), wire.Unknown(200, 3))
        self.assertEqual(decoder.next(), wire.TimeReq(5))

    def test_long_stream_split_at_random_points_decodes_intact(self):
        # Over 32 KiB passes through, so the buffer is compacted with a partial
        # frame pending at the front.
        rng = random.Random(7)
        messages = [HELLO] + [
            wire.Audio(wire.AudioChunkHeader(i, i * 20_000_000, 960, 1500),
                       bytes(rng.randrange(256) for _ in range(rng.randrange(0, 1500))))
            for i in range(120)]
        stream = b"".join(wire.encode(m) for m in messages)
        decoder = wire.FrameDecoder()
        decoded = []
        pos = 0
        while pos < len(stream):
            step = rng.randrange(1, 3000)
            decoder.append(stream[pos:pos + step])
            pos += step
            while (m := decoder.next()) is not None:
                decoded.append(m)
        self.assertEqual(decoded, messages)
        self.assertEqual(decoder.bufferedByteCount, 0)

    def test_valid_hello_becomes_stream_format(self):
        decoder = wire.FrameDecoder()
        self.assertIsNone(decoder.streamFormat)
        decoder.append(wire.encode(HELLO))
        decoder.next()
        self.assertEqual(decoder.streamFormat, HELLO)
        self.assertEqual(HELLO.bytesPerFrame, 4)


def hello_payload(rate=48000, channels=2, bits=16):
    return rate.to_bytes(4, "little") + bytes([channels, bits]) + (960).to_bytes(2, "little") \
        + (1500).to_bytes(2, "little")


STAT_FIXED = bytes(26)
# (case, bytes sent before the faulty frame, faulty frame, text of the failure)
FAILURES = [
    ("bad magic", b"", b"ZRTX\x02\x06\x00\x00", "badMagic(0x5A525458)"),
    ("version 1", b"", b"ZRTH\x01\x06\x00\x00", "unsupportedVersion(1)"),
    ("version 3", b"", b"ZRTH\x03\x06\x00\x00", "unsupportedVersion(3)"),
    ("short timeReq", b"", frame(3, bytes(7)),
     "payloadLengthMismatch(timeReq, expected: 8, got: 7)"),
    ("long hello", b"", frame(1, hello_payload() + b"\x00"),
     "payloadLengthMismatch(hello, expected: 10, got: 11)"),
    ("bye with payload", b"", frame(6, b"\x00"),
     "payloadLengthMismatch(bye, expected: 0, got: 1)"),
    ("audio before hello, short", b"", frame(2, bytes(5)), "audioBeforeHello"),
    ("audio shorter than its header", wire.encode(HELLO), frame(2, bytes(17)),
     "payloadLengthMismatch(audio, expected: 18, got: 17)"),
    ("24-bit hello", b"", frame(1, hello_payload(bits=24)), "malformedPayload(hello)"),
    ("zero-rate hello", b"", frame(1, hello_payload(rate=0)), "malformedPayload(hello)"),
    ("zero-channel hello", b"", frame(1, hello_payload(channels=0)), "malformedPayload(hello)"),
    ("clientStat name longer than frame", b"", frame(5, STAT_FIXED + b"\x05abcd"),
     "payloadLengthMismatch(clientStat, expected: 32, got: 31)"),
    ("clientStat shorter than fixed part", b"", frame(5, bytes(26)),
     "payloadLengthMismatch(clientStat, expected: 27, got: 26)"),
    ("clientStat name not UTF-8", b"", frame(5, STAT_FIXED + b"\x02\xc3\x28"),
     "malformedPayload(clientStat)"),
]


class DecodingFailures(unittest.TestCase):
    def test_failures_appear_at_the_frames_last_byte_and_stick(self):
        for case, before, faulty, text in FAILURES:
            with self.subTest(case):
                decoder = wire.FrameDecoder()
                decoder.append(before)
                while decoder.next() is not None:
                    pass
                for b in faulty[:-1]:
                    decoder.append(bytes([b]))
                    self.assertIsNone(decoder.next())
                decoder.append(faulty[-1:])
                with self.assertRaises(wire.FrameDecoder.Failure) as first:
                    decoder.next()
                self.assertEqual(str(first.exception), text)
                # Never resynchronises, even when a good frame follows.
                decoder.append(wire.encode(wire.Bye()))
                with self.assertRaises(wire.FrameDecoder.Failure) as second:
                    decoder.next()
                self.assertEqual(second.exception, first.exception)

    def test_rejected_hello_leaves_stream_format_alone(self):
        decoder = wire.FrameDecoder()
        decoder.append(wire.encode(HELLO) + frame(1, hello_payload(bits=24)))
        decoder.next()
        with self.assertRaises(wire.FrameDecoder.Failure):
            decoder.next()
        self.assertEqual(decoder.streamFormat, HELLO)


class NameTruncation(unittest.TestCase):
    CASES = [
        ("63 ASCII bytes kept whole", "a" * 63, 63),
        ("64 ASCII bytes lose the last", "a" * 64, 63),
        ("cut inside a two-byte character", "é" * 32, 62),
        ("cut right after a two-byte character", "a" + "é" * 31 + "b", 61),
        ("three-byte characters", "€" * 22, 60),
        ("four-byte characters", "\U0001F600" * 16, 60),
        ("short multi-byte name kept", "Zoë's phone", len("Zoë's phone".encode())),
    ]

    def test_cut_at_a_character_boundary(self):
        for case, name, size in self.CASES:
            with self.subTest(case):
                cut = wire.truncatedNameBytes(name)
                self.assertEqual(len(cut), size)
                self.assertTrue(name.encode().startswith(cut))
                cut.decode("utf-8")  # always valid

    def test_long_name_travels_truncated_in_a_client_stat(self):
        stat = wire.ClientStat(1, 2, -3, -4, 5, 0x0003, 6, "é" * 40)
        data = wire.encode(stat)
        self.assertEqual(int.from_bytes(data[6:8], "little"), 27 + 62)
        decoder = wire.FrameDecoder()
        decoder.append(data)
        self.assertEqual(decoder.next().deviceName, "é" * 31)


if __name__ == "__main__":
    unittest.main()
