// Builders of small media file images for the tests of the demo's parsers
// and stand-ins: ID3v2 tags, ID3v1 tags, silent MPEG audio frames and RIFF
// WAVE files, byte for byte as the formats lay them out.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace media_images {

typedef std::string Bytes;

inline Bytes BigEndian32(uint32_t v)
{
    return Bytes{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}

inline Bytes LittleEndian32(uint32_t v)
{
    return Bytes{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)};
}

inline Bytes Synchsafe(uint32_t v)
{
    return Bytes{(char)((v >> 21) & 0x7F), (char)((v >> 14) & 0x7F),
                 (char)((v >> 7) & 0x7F), (char)(v & 0x7F)};
}

// One frame of an ID3v2.3 (plain size) or ID3v2.4 (synchsafe size) tag.
inline Bytes Id3Frame(int major, const char* id, const Bytes& body,
                      uint8_t flags2 = 0)
{
    Bytes size = major == 4 ? Synchsafe((uint32_t)body.size())
                            : BigEndian32((uint32_t)body.size());
    return Bytes(id, 4) + size + Bytes{0, (char)flags2} + body;
}

// A text frame body: encoding byte, text, terminator of the encoding's width.
inline Bytes TextBody(int encoding, const Bytes& text)
{
    Bytes nul = (encoding == 1 || encoding == 2) ? Bytes(2, '\0') : Bytes(1, '\0');
    return Bytes(1, (char)encoding) + text + nul;
}

inline Bytes Id3Tag(int major, uint8_t flags, const Bytes& body)
{
    return Bytes("ID3") + Bytes{(char)major, 0, (char)flags} +
           Synchsafe((uint32_t)body.size()) + body;
}

inline Bytes Id3v1(const Bytes& title, const Bytes& artist, const Bytes& album)
{
    auto field = [](Bytes t, size_t n) { t.resize(n, '\0'); return t; };
    return "TAG" + field(title, 30) + field(artist, 30) + field(album, 30) +
           field("2026", 4) + field("", 30) + Bytes(1, (char)0xFF);
}

// Silent MPEG-1 Layer III frames, 32 kbit/s, 44100 Hz: 104 bytes and 1152
// samples each.
inline Bytes Mpeg1Frames(int count)
{
    Bytes frame = Bytes{(char)0xFF, (char)0xFB, 0x10, (char)0xC4} + Bytes(100, '\0');
    Bytes out;
    for (int i = 0; i < count; ++i)
        out += frame;
    return out;
}

// Silent MPEG-2 Layer III frames, 32 kbit/s, 22050 Hz: 104 bytes, 576 samples.
inline Bytes Mpeg2Frames(int count)
{
    Bytes frame = Bytes{(char)0xFF, (char)0xF3, 0x40, (char)0xC4} + Bytes(100, '\0');
    Bytes out;
    for (int i = 0; i < count; ++i)
        out += frame;
    return out;
}

inline Bytes RiffChunk(const char* id, const Bytes& body)
{
    Bytes chunk = Bytes(id, 4) + LittleEndian32((uint32_t)body.size()) + body;
    if (body.size() % 2)
        chunk += '\0';
    return chunk;
}

// 8-bit mono PCM at 8000 Hz (8000 bytes a second) with an optional INFO list.
inline Bytes Wav(uint32_t dataBytes,
                 const std::vector<std::pair<const char*, Bytes>>& info)
{
    Bytes fmt = Bytes{1, 0, 1, 0} + LittleEndian32(8000) + LittleEndian32(8000) +
                Bytes{1, 0, 8, 0};
    Bytes chunks = RiffChunk("fmt ", fmt);
    if (!info.empty()) {
        Bytes list = "INFO";
        for (const auto& item : info)
            list += RiffChunk(item.first, item.second + Bytes(1, '\0'));
        chunks += RiffChunk("LIST", list);
    }
    chunks += RiffChunk("data", Bytes(dataBytes, (char)0x80));
    return "RIFF" + LittleEndian32((uint32_t)(4 + chunks.size())) + "WAVE" + chunks;
}

} // namespace media_images
