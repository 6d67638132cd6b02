#!/usr/bin/env python3
"""Writes the demo's sample media into a folder: small MP3 files (valid MPEG
audio frame headers with silent frames) and WAV files (silent PCM), tagged
the ways the tag library has to read: ID3v2.3 in Latin-1 and in UTF-16,
ID3v2.4 in UTF-8 with Japanese texts, ID3v1 only, no tags at all, and RIFF
LIST/INFO texts. Everything is made here; nothing is downloaded.

usage: make_samples.py OUTPUT_FOLDER
"""
import os
import struct
import sys


def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def text_frame(frame_id, text, encoding, major):
    if encoding == 0:
        body = b"\x00" + text.encode("latin-1") + b"\x00"
    elif encoding == 1:
        body = b"\x01" + text.encode("utf-16") + b"\x00\x00"   # with BOM
    elif encoding == 3:
        body = b"\x03" + text.encode("utf-8") + b"\x00"
    else:
        raise ValueError(encoding)
    size = synchsafe(len(body)) if major == 4 else struct.pack(">I", len(body))
    return frame_id.encode("ascii") + size + b"\x00\x00" + body


def id3v2(major, encoding, artist, title, album, track, padding=64):
    frames = (text_frame("TPE1", artist, encoding, major) +
              text_frame("TIT2", title, encoding, major) +
              text_frame("TALB", album, encoding, major) +
              text_frame("TRCK", track, 0, major))
    body = frames + b"\x00" * padding
    return b"ID3" + bytes([major, 0, 0]) + synchsafe(len(body)) + body


def id3v1(title, artist, album, year="2026", comment="made by the demo"):
    def field(text, n):
        return text.encode("latin-1")[:n].ljust(n, b"\x00")
    return (b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30) +
            field(year, 4) + field(comment, 30) + b"\xff")


def mpeg_audio(seconds, mpeg1=True):
    """Silent Layer III frames at 32 kbit/s: MPEG-1 at 44100 Hz (1152
    samples a frame) or MPEG-2 at 22050 Hz (576 samples). All side
    information is zero, so a decoder plays silence."""
    if mpeg1:
        header = bytes([0xFF, 0xFB, 0x10, 0xC4])    # 32 kbit/s, 44100 Hz, mono
        frame_bytes = 144 * 32000 // 44100          # 104
        frame_ms = 1152 * 1000 / 44100
    else:
        header = bytes([0xFF, 0xF3, 0x40, 0xC4])    # 32 kbit/s, 22050 Hz, mono
        frame_bytes = 72 * 32000 // 22050           # 104
        frame_ms = 576 * 1000 / 22050
    frames = int(round(seconds * 1000 / frame_ms))
    return (header + b"\x00" * (frame_bytes - 4)) * frames


def wav(seconds, info):
    rate = 8000
    data = b"\x80" * int(rate * seconds)            # 8-bit PCM silence
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate, 1, 8)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
    if info:
        items = b""
        for name, text in info:
            raw = text.encode("latin-1") + b"\x00"
            items += name.encode("ascii") + struct.pack("<I", len(raw)) + raw
            if len(raw) % 2:
                items += b"\x00"
        lst = b"INFO" + items
        chunks += b"LIST" + struct.pack("<I", len(lst)) + lst
    chunks += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


def samples():
    yield "01-morning-light.mp3", (
        id3v2(3, 0, "The Sample Makers", "Morning Light", "Demo Tones", "1") +
        mpeg_audio(4.0) +
        id3v1("Morning Light", "The Sample Makers", "Demo Tones"))
    yield "02-sakura-japanese.mp3", (
        id3v2(4, 3, "さくらバンド", "桜の歌", "日本の春", "2") +
        mpeg_audio(3.0, mpeg1=False))
    yield "03-cafe-utf16.mp3", (
        id3v2(3, 1, "Zoë Ångström", "Café Crème", "Été à Paris", "3") +
        mpeg_audio(3.0))
    yield "04-id3v1-only.mp3", (
        mpeg_audio(3.0) + id3v1("Version One", "Old Timer", "Classic Tags"))
    yield "05-no-tags.mp3", mpeg_audio(2.0)
    yield "06-riff-info.wav", wav(3.0, [("IART", "Wave Artist"),
                                        ("IPRD", "Wave Album"),
                                        ("INAM", "Wave Title"),
                                        ("ICMT", "made by the demo")])
    yield "07-subject-only.wav", wav(2.0, [("IART", "Subject Artist"),
                                           ("ISBJ", "Title From Subject")])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in samples():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
