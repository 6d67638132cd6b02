// Playing time and format of MP3 and WAV files, read from a byte buffer: the
// MPEG audio frame headers, or the RIFF WAVE "fmt " and "data" chunks. Pure
// byte parsing without windows.h (it also builds natively for fuzzing); every
// read stays inside the buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace media {

struct MpegFrameHeader {
    int version;          // 10 = MPEG-1, 20 = MPEG-2, 25 = MPEG-2.5
    int layer;            // 1, 2 or 3
    int bitrateKbps;
    int sampleRate;
    int samplesPerFrame;
    size_t frameBytes;    // header included
};

// Decodes the 4-byte frame header at p (avail bytes readable from p). False
// for anything that is not a usable header: no sync, reserved version, layer,
// bitrate or sample rate, free-format bitrate.
bool DecodeMpegFrameHeader(const uint8_t* p, size_t avail,
                           MpegFrameHeader* header);

// The offset of the first MPEG audio frame at or after start that is followed
// by a second frame of the same version, layer and sample rate (or ends
// exactly at the end of the buffer or at an ID3v1 tag). False when there is
// none: a lone sync pattern in garbage does not count as audio.
bool FindMpegAudio(const uint8_t* data, size_t size, size_t start,
                   size_t* offset);

struct MediaInfo {
    uint32_t type = 0;        // 1 MP3, 2 WAV, 0 neither
    uint32_t lengthMs = 0;
    std::string format;       // e.g. "MPEG-1 Layer III, 44100 Hz, 32 kbit/s"
};

// Works out type, playing time and a short format text of a whole file
// image. False when it is neither MPEG audio (after an optional ID3v2 tag)
// nor a RIFF WAVE file with a "fmt " and a "data" chunk.
bool ReadMediaInfo(const uint8_t* data, size_t size, MediaInfo* info);

} // namespace media
