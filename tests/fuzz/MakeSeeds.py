#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the byte vectors the unit
tests use. Run from anywhere; it rewrites tests/fuzz/corpus/<target>/."""
import hashlib
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def remain(n):
    out = bytearray()
    while True:
        digit = n % 128
        n //= 128
        if n:
            digit |= 0x80
        out.append(digit)
        if not n:
            return bytes(out)


def frame(first, body):
    return bytes([first]) + remain(len(body)) + body


def suback(ident, n):
    return frame(0x90, bytes([ident >> 8, ident & 0xFF]) + bytes(i % 3 for i in range(n)))


def utf8str(text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return bytes([len(data) >> 8, len(data) & 0xFF]) + data


PACKET_FRAMES = [
    "20 02 00 00", "20 02 00 05", "D0 00", "C0 00", "E0 00", "40 02 00 0A", "50 02 FF FF", "60 02 00 07",
    "6A 02 00 07", "70 02 00 0A", "B0 02 00 03", "90 03 00 05 01", "90 04 00 05 00 02", "90 03 00 05 80",
    "90 02 00 05", "30 08 00 03 61 2F 62 68 69 6A", "32 0A 00 03 61 2F 62 00 0A 68 69 6A",
    "3B 0A 00 03 61 2F 62 00 0A 68 69 6A", "34 07 00 03 61 2F 62 00 0B", "30 05 00 03 61 2F 62",
    "82 08 00 01 00 03 61 2F 62 01", "82 0E 00 01 00 03 61 20 62 00 00 03 61 2C 62 02",
    "A2 0A 00 02 00 03 61 2F 62 00 01 78", "A2 04 00 02 00 00",
    "10 1D 00 06 4D 51 49 73 64 70 03 8E 00 3C 00 04 64 65 76 31 00 01 77 00 03 62 79 65 00 01 75",
    "10 1B 00 06 4D 51 49 73 64 70 03 F4 00 01 00 01 63 00 01 77 00 01 6D 00 01 70 00 01 70",
    "10 1C 00 06 4D 51 49 73 64 70 03 8E 00 3C 00 04 64 65 76 31 00 01 77 00 03 62 79 65 00 01",
    "30 03 00 05 61", "82 0D 00 01 00 01 61 01 00 01 62 02 00 01 63", "20 01 00",
    # refused frames
    "20 02 00", "20 02 00 00 00", "20", "", "30 80", "30 FF FF FF", "30 FF FF FF FF", "00 00", "F0 00",
    "80 02 00 01", "84 02 00 01", "A0 02 00 01", "40 00", "40 01 00", "82 00", "90 01 05", "32 00",
    "32 01 00", "32 05 00 03 61 2F 62", "32 06 00 03 61 2F 62 00", "32 04 FF FF 00 01",
]


FRAMES_311 = [
    "10 10 00 04 4D 51 54 54 04 02 00 3C 00 04 64 65 76 31", "10 0C 00 04 4D 51 54 54 04 02 00 3C 00 00",
    "20 02 01 00", "20 02 02 00", "90 04 00 05 01 80", "90 03 00 01 03", "82 08 00 01 00 03 61 2F 62 01",
    "8A 06 00 01 00 01 61 01", "62 02 00 0A", "60 02 00 07", "36 07 00 01 61 00 01 68 69", "D0 01 00", "F0 00",
    # broker faults in strings and numbers
    "30 06 00 03 61 00 62 68", "30 06 00 03 ED A0 80 68", "30 05 00 02 C3 28 68", "30 06 00 03 61 2F 23 68",
    "30 06 00 03 2B 2F 61 68", "30 03 00 00 68", "30 84 00 00 01 61 68", "D0 80 00",
    "82 07 00 01 00 02 61 00 01", "10 14 00 04 4D 51 54 54 04 C2 00 3C 00 01 63 00 01 FF 00 02 00 FF",
]

FRAMES_50 = [
    "10 19 00 04 4D 51 54 54 05 02 00 3C 08 11 00 00 0E 10 21 00 14 00 04 64 65 76 31",
    "10 1D 00 04 4D 51 54 54 05 8E 00 3C 00 00 01 63 05 18 00 00 00 05 00 01 77 00 01 6D 00 01 75",
    "10 12 00 04 4D 51 54 54 05 06 00 3C 00 00 01 63 05 18 00 00",
    "20 09 00 00 06 22 00 0A 21 00 14", "20 03 01 87 00", "20 02 00 01",
    "30 08 00 00 03 23 00 01 68 69", "32 0D 00 03 61 2F 62 00 0A 03 23 00 01 68 69",
    "32 13 00 01 61 00 07 0B 0B 01 0B 80 01 26 00 01 6B 00 00 68 69", "30 05 00 00 00 68 69",
    "30 09 00 01 61 04 1F 00 01 78 68", "30 06 00 01 61 05 01 00", "30 07 00 01 61 03 0B FF FF",
    "40 02 00 0A", "40 03 00 01 10", "40 08 00 0A 10 04 1F 00 01 78", "40 03 00 0A 92", "62 03 00 0A 92",
    "82 0B 00 01 02 0B 05 00 03 61 2F 62 2E", "82 0B 00 01 00 00 01 61 01 00 01 62 C1",
    "82 12 00 01 09 0B 05 26 00 01 6B 00 01 76 00 03 61 2F 62 02",
    "90 08 00 01 04 1F 00 01 78 80", "90 04 00 01 00 10", "B0 05 00 02 00 00 11",
    "A2 08 00 02 00 00 03 61 2F 62", "E0 00", "E0 01 04", "E0 07 00 05 11 00 00 00 00", "E0 01 10",
    "F0 00", "F0 0F 18 0D 15 00 05 53 43 52 41 4D 16 00 02 01 02",
    "E0 06 00 04 05 FF FF FF FF", "20 07 00 00 04 24 01 24 00",
    # broker faults in strings, numbers and properties
    "30 07 00 01 61 02 05 00 68", "30 06 00 01 61 80 00 68", "32 0A 00 01 61 00 07 03 0B 85 00 68",
    "30 0B 00 01 61 06 03 00 03 61 00 62 68", "30 07 00 03 2B 2F 61 00 68", "30 06 00 02 C3 28 00 68",
    "30 0A 00 01 61 05 21 00 05 01 01 68", "30 85 00 00 01 61 00 68",
]


def packet_seeds():
    frames = [hexbytes(f) for f in PACKET_FRAMES]
    frames.append(hexbytes("30 C8 01 00 03 61 2F 62") + b"A" * 195)
    # Japanese topic and payload, a topic with a zero byte, malformed UTF-8.
    frames.append(frame(0x32, utf8str("試験/データ") + b"\x00\x07" + "さようなら".encode()))
    frames.append(frame(0x82, b"\x00\x09" + utf8str("ソ表/x") + b"\x01" + utf8str(b"a\x00b") + b"\x02"))
    frames.append(frame(0xA2, b"\x00\x03" + utf8str(b"\xC3\x28") + utf8str("a b,c")))
    frames.append(frame(0x10, hexbytes("00 06 4D 51 49 73 64 70 03 CE 00 3C") + utf8str("ｱｲ") + utf8str("w/t")
                        + utf8str("m") + utf8str("user") + utf8str("pw")))
    seeds = [bytes([cp]) + f for f in frames for cp in (0, 1)]
    # Selector bits 2-1 pick the version: 1 MQTT 3.1.1, 2 MQTT 5.0.
    seeds += [bytes([0x02 | cp]) + hexbytes(f) for f in FRAMES_311 for cp in (0, 1)]
    seeds += [bytes([0x04 | cp]) + hexbytes(f) for f in FRAMES_50 for cp in (0, 1)]
    seeds.append(bytes([0x04]) + frame(0x30, utf8str("試験") + b"\x0a" + b"\x03" + utf8str("テキスト/plain")
                                       + b"\x09" + utf8str(b"\x00\xff") + "データ".encode()))
    return seeds


def reader_input(reservation, sizes, stream):
    return bytes([reservation, len(sizes) - 1]) + bytes(sizes) + stream


def reader_seeds():
    connack, pingresp, pubcomp9 = hexbytes("20 02 00 00"), hexbytes("D0 00"), hexbytes("70 02 00 09")
    seeds = [
        reader_input(16, [0], connack + suback(5, 1)),
        reader_input(16, [1], pingresp),
        reader_input(16, [1, 1, 5, 3], pingresp + connack + b"\x70" + b"\x02\x00\x09"),
        reader_input(10, [0], suback(1, 297) + connack),
        reader_input(0, [1], connack + suback(300, 198) + pingresp + suback(7, 3000) + pubcomp9),
        reader_input(63, [1, 200, 7], connack + suback(300, 198) + pingresp + pubcomp9),
        reader_input(16, [0], hexbytes("30 FF FF FF FF 01")),
        reader_input(16, [0], hexbytes("00 00")),
        reader_input(16, [0], hexbytes("F0 00")),
        reader_input(16, [0], hexbytes("80 02 00 01")),
        reader_input(16, [2, 3], connack + hexbytes("32 0A 00 03 61 2F 62 00 0A 68 69 6A") + pingresp),
        # The top bits of the first byte: frames from 2, 16 or 300 bytes are read into buffers of their own.
        reader_input(64 + 16, [1, 0], connack + suback(300, 198) + pingresp + pubcomp9),
        reader_input(128 + 0, [3, 250, 0], suback(300, 198) + b"\x90" + suback(7, 3000) + connack),
        reader_input(192 + 10, [0, 7], suback(7, 3000) + suback(1, 297) + b"\x70\x02\x00"),
    ]
    return seeds


TEXTS = [
    b" a/b , x/y ", b'"x y",z', b"", b"   ", b"p q,r", b"p,,q", b"p,", b",", b'"a""b",c', b'"open, to the end',
    b'""', b"a\tb\nc", b"0,1", b"a,b\x00,c", b'"a,b",', b"\x83\x5C/\x95\x5C,\x82\xA0\x81\x40\x82\xA0",
    b'"\x83\x5C \x95\x5C"', b"a,\x83", "さようなら".encode(), "a€b".encode(), b"\xF0\x9F\x98\x80",
    b"\xED\xA0\x80", b"\xF4\x8F\xBF\xBF", b"\xF4\x90\x80\x80", b"\xF7\xBF\xBF\xBF", b"\xC1\x81", b"\xE0\x82\xA9",
    b"C3 28", b"\xC3\x28", b"\xC3", b"\xE3\x81", b"\x61\xE3\x81\x41", b"\x80", b"\x61\xBF\x62",
    b"\xF8\x88\x80\x80\x80", b"\xFC\x84\x80\x80\x80\x80", b"\xF0\x9F\x98", b"\xFE", b"\xFF", b"a\xFF" + b"b",
    b"\x82\xB3\x82\xE6\x82\xA4\x82\xC8\x82\xE7", b"\xB1\xB2",
    b"\x82\xB1\x82\xEA\x82\xCD\x8E\x8E\x8C\xB1\x83\x66\x81\x5B\x83\x5E\x82\xC5\x82\xB7 from Windows7",
    "これは試験データです from Windows7".encode(), b"\x00\x03abc", b"\x00\x03a\x00b", b"\x00\x02\xC3\x28",
    b"\x00\x00", b"\xFF\xFF",
]


def text_seeds():
    return [bytes([cp]) + t for t in TEXTS for cp in (0, 1)]


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for data in seeds:
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("packet", packet_seeds())
    write("reader", reader_seeds())
    write("text", text_seeds())
