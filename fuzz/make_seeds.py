#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/corpus/*): small inputs that reach
every branch the fuzzers should start from. Run again after changing it; the
files are kept in the repository so that a fuzz run never depends on it."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- tag_logic: load result, type code, flags, then the answers -----------
def text(b):
    return b"\x01" + struct.pack("<H", len(b)) + b


NULL = b"\x00"


def tag_input(load, type_code, answers, leave=False):
    return bytes([load]) + struct.pack("<i", type_code) + bytes([1 if leave else 0]) + b"".join(answers)


write("tag_logic", "refused", tag_input(1, 1, []))
write("tag_logic", "type_unknown", tag_input(0, 3, [text(b"x")]))
write("tag_logic", "type1_v2", tag_input(0, 1, [text(b"Artist"), text(b"Album"), text(b"Title")]))
write("tag_logic", "type1_fallbacks",
      tag_input(0, 1, [text(b""), text(b"X"), NULL, text(b"Alb"), NULL, NULL]))
write("tag_logic", "type2_isbj", tag_input(0, 2, [text(b"A"), text(b"B"), NULL, text(b"Subject")]))
write("tag_logic", "type2_empty_inam", tag_input(0, 2, [text(b"A"), text(b"B"), text(b"")]))
write("tag_logic", "type5_null_leave", tag_input(0, 5, [text(b"A"), NULL, NULL], leave=True))
write("tag_logic", "type7", tag_input(0, 7, [text(b"a" * 255), text(b"b" * 255), text(b"c" * 255)]))
# 256 bytes whose last double-byte character straddles the 255-byte limit.
write("tag_logic", "type8_long_sjis",
      tag_input(0, 8, [text(b"a" + b"\x83\x7e" * 130), text(b"\x81" * 300), text(b"z" * 600)]))

# --- media: whole file images --------------------------------------------
def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3v23(frames):
    body = b""
    for fid, txt in frames:
        payload = b"\x00" + txt + b"\x00"
        body += fid + struct.pack(">I", len(payload)) + b"\x00\x00" + payload
    return b"ID3\x03\x00\x00" + synchsafe(len(body)) + body


def id3v22(frames):
    body = b""
    for fid, txt in frames:
        payload = b"\x00" + txt
        body += fid + struct.pack(">I", len(payload))[1:] + payload
    return b"ID3\x02\x00\x00" + synchsafe(len(body)) + body


def id3v24_utf8(frames):
    body = b""
    for fid, txt in frames:
        payload = b"\x03" + txt.encode("utf-8")
        body += fid + synchsafe(len(payload)) + b"\x00\x00" + payload
    return b"ID3\x04\x00\x00" + synchsafe(len(body)) + body


# MPEG-1 Layer III, 128 kbit/s, 44100 Hz, no padding: 417-byte frames.
FRAME = b"\xff\xfb\x90\x00" + b"\x00" * 413
AUDIO = FRAME * 3


def id3v1(title, artist, album):
    return (b"TAG" + title.ljust(30, b"\x00") + artist.ljust(30, b"\x00") +
            album.ljust(30, b"\x00") + b"2024" + b"comment".ljust(30, b"\x00") + b"\x0c")


write("media", "mp3_id3v23", id3v23([(b"TPE1", b"Artist"), (b"TALB", b"Album"), (b"TIT2", b"Title")]) + AUDIO)
write("media", "mp3_id3v22", id3v22([(b"TP1", b"A"), (b"TAL", b"B"), (b"TT2", b"C")]) + AUDIO)
write("media", "mp3_id3v24", id3v24_utf8([(b"TPE1", "ア"), (b"TIT2", "T")]) + AUDIO)
write("media", "mp3_id3v1", AUDIO + id3v1(b"Title", b"Artist", b"Album"))
write("media", "mp3_bare", AUDIO)


def chunk(cid, data):
    pad = b"\x00" if len(data) % 2 else b""
    return cid + struct.pack("<I", len(data)) + data + pad


def wav(info):
    fmt = struct.pack("<HHIIHH", 1, 2, 44100, 44100 * 4, 4, 16)
    items = b"".join(chunk(k, v + b"\x00") for k, v in info)
    body = b"WAVE" + chunk(b"fmt ", fmt) + chunk(b"LIST", b"INFO" + items) + chunk(b"data", b"\x00" * 64)
    return b"RIFF" + struct.pack("<I", len(body)) + body


write("media", "wav_info", wav([(b"IART", b"Artist"), (b"IPRD", b"Album"), (b"INAM", b"Title")]))
write("media", "wav_isbj", wav([(b"IART", b"A"), (b"ISBJ", b"Subject")]))
write("media", "wav_noinfo", wav([]))


# The first bytes of a 32-bit DLL: MZ header pointing at a PE signature and
# a COFF header (machine i386, characteristics with the DLL flag).
mz = bytearray(64)
mz[0:2] = b"MZ"
mz[60:64] = struct.pack("<I", 64)
coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x2102)
write("media", "pe_dll32", bytes(mz) + b"PE\x00\x00" + coff + b"\x00" * 224)
