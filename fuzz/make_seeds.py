"""Writes the seed corpora of the fuzz harnesses (fuzz/corpus/NAME/).

The seeds are checked in; run this again only to change them. Each seed is
a well-formed or typically broken input, so the fuzzer starts from the
shapes the client really sees."""

import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
from peer import f64, reply_bytes, u32, wstr  # noqa: E402

SIZES = [4, 28, 60, 252, 260, 300, 320, 340, 851, 2929, 2993, 3162]
CMD = 121


def shape_byte(shape, size):
    return bytes([shape + 6 * SIZES.index(size)])


def replies():
    yield shape_byte(0, 4) + reply_bytes(CMD, 1)
    yield shape_byte(0, 4) + reply_bytes(CMD, -4)
    yield shape_byte(1, 4) + reply_bytes(CMD, 1, u32(3))
    yield shape_byte(1, 4) + reply_bytes(CMD + 1, 1, u32(3))  # wrong echo
    yield shape_byte(1, 4) + reply_bytes(CMD, 1, u32(3))[:-2]  # cut short
    yield shape_byte(1, 4) + reply_bytes(CMD, 1, u32(3) + u32(9))  # extra bytes
    yield shape_byte(1, 4) + u32(8) + u32(CMD) + u32(1) + u32(3)  # length too short
    yield shape_byte(2, 4) + reply_bytes(CMD, 0, f64(1.5))
    yield shape_byte(3, 4) + reply_bytes(CMD, 1, u32(5) + u32(2364) + wstr("5.0 build"))
    for size in SIZES:
        yield shape_byte(4, size) + reply_bytes(
            CMD, 1, bytes(range(256)) * (size // 256) + bytes(size % 256)
        )
        records = bytes((i * 7) & 0xFF for i in range(2 * size))
        yield shape_byte(5, size) + reply_bytes(CMD, 1, u32(2) + records)
        yield shape_byte(5, size) + reply_bytes(CMD, -1, u32(2))
    yield shape_byte(5, 60) + reply_bytes(CMD, 1, u32(0xFFFFFFFF) + bytes(60))


def records():
    text = "EURUSD".encode("utf-16-le")
    for k in range(12):
        body = (text + bytes(58)) * 60
        yield bytes([k]) + body[:3200]
        yield bytes([k | 0x10]) + ("Zürich €".encode("utf-16-le") + bytes(2)) * 200


def group():
    alphabet = "AB*!, \u00e9\ud83d"

    def narrow(text):
        return bytes(alphabet.index(c) if c != "|" else 0xFF for c in text)

    yield b"\0" + narrow("A*,!AB|AB|BA|A")
    yield b"\0" + narrow(" A* , !B* |AAB|BBA")
    yield b"\0" + narrow("*B*A*|ABBA|BAAB|")
    yield b"\0" + narrow("!|A")
    yield b"\0" + narrow("A" * 300 + ",B|B|A")

    def wide(parts):
        return b"\x01" + b"\xff\xff".join(p.encode("utf-16-le", "surrogatepass") for p in parts)

    yield wide(["EUR*,!EURUSD", "EURUSD", "EURGBP", "USDJPY"])
    yield wide(["*USD*", "EURUSD", "XAUUSD.m", "GBPJPY"])
    yield wide(["\u00e9*,\ud83d\ude00", "\u00e9t\u00e9", "\ud83d\ude00"])


def text():
    yield b"EURUSD"
    yield "Zürich € \U0001f600".encode("utf-8")
    yield b"/opt/inst\xff/terminal64.exe"
    yield b"\xed\xa0\x80\xc0\xaf\xe2\x82\xf4\x90\x80\x80"
    yield "ÄÖÜ İ Σ".encode("utf-16-le")
    yield "\ud83d\ude00\ud800x\udcff".encode("utf-16-le", "surrogatepass")


def main():
    for name, gen in (("replies", replies), ("records", records), ("group", group), ("text", text)):
        folder = os.path.join(HERE, "corpus", name)
        os.makedirs(folder, exist_ok=True)
        for seed in gen():
            path = os.path.join(folder, hashlib.sha1(seed).hexdigest())
            with open(path, "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
