// Tag texts of MP3 and WAV files, read from a byte buffer. Pure byte parsing:
// no file or window code and no windows.h, so that the same source builds on
// Linux for fuzzing. Every read is bounded by the buffer: a size field that
// points past the end, a truncated tag or plain garbage gives fewer values or
// a refusal, never a read outside [data, data + size).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace media {

// Type codes as mp3infp reports them.
enum MediaType : uint32_t {
    MediaTypeUnknown = 0,
    MediaTypeMp3 = 1,
    MediaTypeWav = 2
};

// How the bytes of a value are to be read.
enum class TextEncoding {
    // ISO-8859-1 by the letter of ID3 and RIFF; in practice the writer's
    // ANSI code page (Japanese taggers store Shift-JIS here). Handed on as is.
    Legacy,
    Utf16Le,
    Utf16Be,
    Utf8
};

struct TagValue {
    std::string name;        // mp3infp value name: "INAM_v2", "IART", ...
    TextEncoding encoding;
    std::string bytes;       // the text without terminator; may be empty
};

struct MediaTags {
    uint32_t type = MediaTypeUnknown;
    std::vector<TagValue> values;
    // The value under name, or null.
    const TagValue* Find(const std::string& name) const;
};

// Parses a whole file image. Returns false (type unknown, no values) for
// anything that is neither an MP3 file (an ID3v2 tag, an ID3v1 tag or two
// chained MPEG audio frames) nor a RIFF WAVE file.
//   MP3: ID3v2.2/2.3/2.4 texts under IART_v2, IPRD_v2, INAM_v2, ICRD_v2,
//        IGNR_v2, TRACK_v2; ID3v1 texts under IART_v1, IPRD_v1, INAM_v1,
//        ICRD_v1, ICMT_v1.
//   WAV: the LIST/INFO texts under their own four-letter names (IART, IPRD,
//        INAM, ISBJ, ICMT, ICRD, IGNR, ...).
bool ParseMediaTags(const uint8_t* data, size_t size, MediaTags* out);

// Parts that can also be used alone (all bounded, all append to out).
// Returns the number of bytes the ID3v2 tag at data takes (header, body and
// footer), or 0 when data does not start with a usable ID3v2 header. With out
// null only the size is worked out.
size_t ParseId3v2(const uint8_t* data, size_t size,
                  std::vector<TagValue>* out);
// Reads an ID3v1 tag from the last 128 bytes; false when there is none.
bool ParseId3v1(const uint8_t* data, size_t size, std::vector<TagValue>* out);
// Reads the INFO texts of a RIFF WAVE image; false when it is not one.
bool ParseRiffInfo(const uint8_t* data, size_t size,
                   std::vector<TagValue>* out);

} // namespace media
