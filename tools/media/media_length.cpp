#include "media_length.h"

#include <stdio.h>
#include <string.h>

#include "media_tags.h"

namespace media {

namespace {

// Bit rates in kbit/s by [MPEG-1 or not][layer - 1][index]; 0 = free format.
const int BitRates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
const int SampleRates[3] = {44100, 48000, 32000};

// A scan for the first audio frame gives up after this many bytes: junk
// before the audio is short in real files, and a long scan of a file that is
// no MP3 at all would only waste time.
const size_t MaxScanBytes = 256 * 1024;

uint32_t LittleEndian32(const uint8_t* p)
{
    return ((uint32_t)p[3] << 24) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[1] << 8) | p[0];
}

uint16_t LittleEndian16(const uint8_t* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

bool SameStream(const MpegFrameHeader& a, const MpegFrameHeader& b)
{
    return a.version == b.version && a.layer == b.layer &&
           a.sampleRate == b.sampleRate;
}

bool IsId3v1At(const uint8_t* data, size_t size, size_t at)
{
    return size >= 128 && at == size - 128 && memcmp(data + at, "TAG", 3) == 0;
}

bool ReadMpegInfo(const uint8_t* data, size_t size, MediaInfo* info)
{
    const size_t tagBytes = ParseId3v2(data, size, nullptr);
    size_t pos = 0;
    if (!FindMpegAudio(data, size, tagBytes < size ? tagBytes : size, &pos))
        return false;
    MpegFrameHeader first;
    DecodeMpegFrameHeader(data + pos, size - pos, &first);

    // Walk the frames; after a damaged stretch look for the next chained pair.
    double totalMs = 0;
    unsigned long frames = 0;
    while (pos < size) {
        MpegFrameHeader h;
        if (IsId3v1At(data, size, pos))
            break;
        if (DecodeMpegFrameHeader(data + pos, size - pos, &h) &&
            SameStream(h, first) && h.frameBytes <= size - pos) {
            totalMs += h.samplesPerFrame * 1000.0 / h.sampleRate;
            ++frames;
            pos += h.frameBytes;
            continue;
        }
        size_t next;
        if (!FindMpegAudio(data, size, pos + 1, &next))
            break;
        pos = next;
    }
    static const char* const Layers[4] = {"", "I", "II", "III"};
    char text[96];
    snprintf(text, sizeof(text), "MPEG-%s Layer %s, %d Hz, %d kbit/s, %lu frames",
             first.version == 10 ? "1" : first.version == 20 ? "2" : "2.5",
             Layers[first.layer], first.sampleRate, first.bitrateKbps, frames);
    info->type = MediaTypeMp3;
    info->lengthMs = (uint32_t)(totalMs + 0.5);
    info->format = text;
    return true;
}

bool ReadWavInfo(const uint8_t* data, size_t size, MediaInfo* info)
{
    if (size < 12 || memcmp(data, "RIFF", 4) != 0 ||
        memcmp(data + 8, "WAVE", 4) != 0)
        return false;
    bool haveFormat = false;
    uint16_t formatTag = 0, channels = 0, bits = 0;
    uint32_t sampleRate = 0, byteRate = 0;
    size_t pos = 12;
    while (size - pos >= 8) {
        const uint8_t* h = data + pos;
        const uint32_t chunkSize = LittleEndian32(h + 4);
        const size_t left = size - pos - 8;
        if (memcmp(h, "fmt ", 4) == 0 && chunkSize >= 16 && left >= 16) {
            formatTag = LittleEndian16(h + 8);
            channels = LittleEndian16(h + 10);
            sampleRate = LittleEndian32(h + 12);
            byteRate = LittleEndian32(h + 16);
            bits = LittleEndian16(h + 22);
            haveFormat = true;
        } else if (memcmp(h, "data", 4) == 0) {
            if (!haveFormat || byteRate == 0)
                return false;
            // A data size beyond the file (cut file, or a streaming writer's
            // 0xFFFFFFFF) counts only the bytes that are there.
            const uint64_t bytes = chunkSize < left ? chunkSize : left;
            char text[96];
            snprintf(text, sizeof(text), "WAVE format %u, %u Hz, %u bit, %u ch",
                     (unsigned)formatTag, (unsigned)sampleRate, (unsigned)bits,
                     (unsigned)channels);
            info->type = MediaTypeWav;
            info->lengthMs = (uint32_t)(bytes * 1000 / byteRate);
            info->format = text;
            return true;
        }
        if (chunkSize >= left)
            break;
        pos += 8 + (size_t)chunkSize;
        if ((chunkSize & 1) && pos < size)
            ++pos;
    }
    return false;
}

} // namespace

bool DecodeMpegFrameHeader(const uint8_t* p, size_t avail,
                           MpegFrameHeader* header)
{
    if (avail < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const int versionBits = (p[1] >> 3) & 3;   // 0 2.5, 1 reserved, 2 2, 3 1
    const int layerBits = (p[1] >> 1) & 3;     // 0 reserved, 1 III, 2 II, 3 I
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 ||
        bitrateIndex == 15 || rateIndex == 3)
        return false;
    MpegFrameHeader h;
    h.version = versionBits == 3 ? 10 : versionBits == 2 ? 20 : 25;
    h.layer = 4 - layerBits;
    h.bitrateKbps = BitRates[h.version == 10 ? 0 : 1][h.layer - 1][bitrateIndex];
    h.sampleRate = SampleRates[rateIndex] / (h.version == 10 ? 1
                                             : h.version == 20 ? 2 : 4);
    const long bitrate = h.bitrateKbps * 1000L;
    if (h.layer == 1) {
        h.samplesPerFrame = 384;
        h.frameBytes = (size_t)((12 * bitrate / h.sampleRate + padding) * 4);
    } else if (h.layer == 2 || h.version == 10) {
        h.samplesPerFrame = 1152;
        h.frameBytes = (size_t)(144 * bitrate / h.sampleRate + padding);
    } else {
        h.samplesPerFrame = 576;
        h.frameBytes = (size_t)(72 * bitrate / h.sampleRate + padding);
    }
    if (h.frameBytes < 4)
        return false;
    *header = h;
    return true;
}

bool FindMpegAudio(const uint8_t* data, size_t size, size_t start,
                   size_t* offset)
{
    if (start >= size)
        return false;
    const size_t stop = size - start > MaxScanBytes ? start + MaxScanBytes : size;
    for (size_t pos = start; pos < stop; ++pos) {
        MpegFrameHeader first, second;
        if (!DecodeMpegFrameHeader(data + pos, size - pos, &first))
            continue;
        if (first.frameBytes > size - pos)
            continue;
        const size_t next = pos + first.frameBytes;
        const bool chained =
            next == size || IsId3v1At(data, size, next) ||
            (DecodeMpegFrameHeader(data + next, size - next, &second) &&
             SameStream(first, second));
        if (chained) {
            *offset = pos;
            return true;
        }
    }
    return false;
}

bool ReadMediaInfo(const uint8_t* data, size_t size, MediaInfo* info)
{
    *info = MediaInfo();
    if (data == nullptr)
        return false;
    return ReadWavInfo(data, size, info) || ReadMpegInfo(data, size, info);
}

} // namespace media
