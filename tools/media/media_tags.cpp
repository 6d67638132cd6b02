#include "media_tags.h"

#include <string.h>

#include "media_length.h"

namespace media {

namespace {

uint32_t BigEndian32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
           ((uint32_t)p[2] << 8) | p[3];
}

uint32_t LittleEndian32(const uint8_t* p)
{
    return ((uint32_t)p[3] << 24) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[1] << 8) | p[0];
}

// Synchsafe: four bytes of seven bits each; a set top bit makes it invalid.
bool Synchsafe32(const uint8_t* p, uint32_t* value)
{
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80)
        return false;
    *value = ((uint32_t)p[0] << 21) | ((uint32_t)p[1] << 14) |
             ((uint32_t)p[2] << 7) | p[3];
    return true;
}

// Undoes ID3 unsynchronisation: every FF 00 becomes FF.
std::vector<uint8_t> RemoveUnsync(const uint8_t* p, size_t n)
{
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0x00)
            ++i;
    }
    return out;
}

bool HasName(const std::vector<TagValue>& values, const std::string& name)
{
    for (const TagValue& v : values)
        if (v.name == name)
            return true;
    return false;
}

// The first value under a name wins; later duplicates are dropped.
void AddValue(std::vector<TagValue>* out, const std::string& name,
              TextEncoding encoding, std::string bytes)
{
    if (HasName(*out, name))
        return;
    out->push_back(TagValue{name, encoding, std::move(bytes)});
}

// Text up to the first NUL of its unit size (1 or 2 bytes, aligned).
std::string CutAtTerminator(const uint8_t* p, size_t n, size_t unit)
{
    size_t length = 0;
    if (unit == 1) {
        while (length < n && p[length] != 0)
            ++length;
    } else {
        n -= n % 2;
        while (length + 1 < n && (p[length] | p[length + 1]) != 0)
            length += 2;
    }
    return std::string((const char*)p, length);
}

// An ID3v2 text frame's body: encoding byte, then the text. The first of
// several NUL-separated strings (ID3v2.4) is taken. False for an unknown
// encoding byte.
bool DecodeTextFrame(const uint8_t* p, size_t n, TextEncoding* encoding,
                     std::string* text)
{
    if (n == 0)
        return false;
    const uint8_t kind = p[0];
    ++p;
    --n;
    switch (kind) {
    case 0:
        *encoding = TextEncoding::Legacy;
        *text = CutAtTerminator(p, n, 1);
        return true;
    case 1:
        // UTF-16 with a byte-order mark; without one, little-endian, as
        // Windows taggers write it.
        *encoding = TextEncoding::Utf16Le;
        if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
            *encoding = TextEncoding::Utf16Be;
            p += 2;
            n -= 2;
        } else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
            p += 2;
            n -= 2;
        }
        *text = CutAtTerminator(p, n, 2);
        return true;
    case 2:
        *encoding = TextEncoding::Utf16Be;
        *text = CutAtTerminator(p, n, 2);
        return true;
    case 3:
        *encoding = TextEncoding::Utf8;
        if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            p += 3;
            n -= 3;
        }
        *text = CutAtTerminator(p, n, 1);
        return true;
    default:
        return false;
    }
}

struct FrameName {
    const char* id;
    const char* name;
};

// ID3v2.3/2.4 frames and their mp3infp names. TDRC is ID3v2.4's TYER.
const FrameName FrameNames[] = {
    {"TPE1", "IART_v2"}, {"TALB", "IPRD_v2"}, {"TIT2", "INAM_v2"},
    {"TYER", "ICRD_v2"}, {"TDRC", "ICRD_v2"}, {"TCON", "IGNR_v2"},
    {"TRCK", "TRACK_v2"},
};
// ID3v2.2 uses three-letter frame identifiers.
const FrameName FrameNamesV22[] = {
    {"TP1", "IART_v2"}, {"TAL", "IPRD_v2"}, {"TT2", "INAM_v2"},
    {"TYE", "ICRD_v2"}, {"TCO", "IGNR_v2"}, {"TRK", "TRACK_v2"},
};

const char* NameOfFrame(const char* id, int major)
{
    if (major == 2) {
        for (const FrameName& f : FrameNamesV22)
            if (memcmp(id, f.id, 3) == 0)
                return f.name;
        return nullptr;
    }
    for (const FrameName& f : FrameNames)
        if (memcmp(id, f.id, 4) == 0)
            return f.name;
    return nullptr;
}

// Walks the frames of an ID3v2 tag body (unsynchronisation of the whole tag
// already undone for 2.2/2.3).
void ParseFrames(const std::vector<uint8_t>& body, size_t pos, int major,
                 bool unsyncFrames, std::vector<TagValue>* out)
{
    const size_t headerBytes = major == 2 ? 6 : 10;
    const size_t idBytes = major == 2 ? 3 : 4;
    while (pos < body.size() && body.size() - pos >= headerBytes) {
        const uint8_t* h = body.data() + pos;
        if (h[0] == 0)
            break;   // padding
        uint32_t frameSize;
        if (major == 2) {
            frameSize = ((uint32_t)h[3] << 16) | ((uint32_t)h[4] << 8) | h[5];
        } else if (major == 3) {
            frameSize = BigEndian32(h + 4);
        } else if (!Synchsafe32(h + 4, &frameSize)) {
            break;
        }
        const size_t left = body.size() - pos - headerBytes;
        if (frameSize > left)
            break;   // points past the tag: the rest cannot be trusted
        char id[5] = {0, 0, 0, 0, 0};
        memcpy(id, h, idBytes);
        const uint8_t* p = h + headerBytes;
        size_t n = frameSize;
        pos += headerBytes + frameSize;

        const char* name = NameOfFrame(id, major);
        if (name == nullptr)
            continue;
        bool unsync = unsyncFrames;
        if (major == 3) {
            const uint8_t flags = h[9];
            if (flags & 0xC0)
                continue;   // compressed or encrypted
            if (flags & 0x20) {
                if (n < 1)
                    continue;
                ++p;        // group identifier
                --n;
            }
        } else if (major == 4) {
            const uint8_t flags = h[9];
            if (flags & 0x0C)
                continue;   // compressed or encrypted
            if (flags & 0x40) {
                if (n < 1)
                    continue;
                ++p;        // group identifier
                --n;
            }
            if (flags & 0x01) {
                if (n < 4)
                    continue;
                p += 4;     // data length indicator
                n -= 4;
            }
            if (flags & 0x02)
                unsync = true;
        }
        std::vector<uint8_t> plain;
        if (unsync) {
            plain = RemoveUnsync(p, n);
            p = plain.data();
            n = plain.size();
        }
        TextEncoding encoding;
        std::string text;
        if (DecodeTextFrame(p, n, &encoding, &text))
            AddValue(out, name, encoding, std::move(text));
    }
}

std::string TrimField(const uint8_t* p, size_t n)
{
    std::string text = CutAtTerminator(p, n, 1);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

bool IsInfoId(const uint8_t* id)
{
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = id[i];
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == ' ';
        if (!ok)
            return false;
    }
    return true;
}

void ParseInfoList(const uint8_t* p, size_t n, std::vector<TagValue>* out)
{
    size_t pos = 0;
    while (n - pos >= 8) {
        const uint8_t* h = p + pos;
        const uint32_t chunkSize = LittleEndian32(h + 4);
        const size_t left = n - pos - 8;
        const size_t textBytes = chunkSize < left ? chunkSize : left;
        if (IsInfoId(h))
            AddValue(out, std::string((const char*)h, 4), TextEncoding::Legacy,
                     CutAtTerminator(h + 8, textBytes, 1));
        if (chunkSize >= left)
            break;
        pos += 8 + chunkSize;
        if ((chunkSize & 1) && pos < n)
            ++pos;   // chunks are padded to an even size
    }
}

} // namespace

const TagValue* MediaTags::Find(const std::string& name) const
{
    for (const TagValue& v : values)
        if (v.name == name)
            return &v;
    return nullptr;
}

size_t ParseId3v2(const uint8_t* data, size_t size, std::vector<TagValue>* out)
{
    if (size < 10 || memcmp(data, "ID3", 3) != 0)
        return 0;
    const int major = data[3];
    if (major < 2 || major > 4 || data[4] == 0xFF)
        return 0;
    const uint8_t flags = data[5];
    uint32_t tagSize;
    if (!Synchsafe32(data + 6, &tagSize))
        return 0;
    size_t total = 10 + (size_t)tagSize;
    if (major == 4 && (flags & 0x10))
        total += 10;   // footer
    if (out == nullptr)
        return total;

    // A truncated tag is read as far as it goes.
    const size_t bodyBytes = tagSize < size - 10 ? tagSize : size - 10;
    std::vector<uint8_t> body;
    if (major < 4 && (flags & 0x80))
        body = RemoveUnsync(data + 10, bodyBytes);
    else
        body.assign(data + 10, data + 10 + bodyBytes);

    size_t pos = 0;
    if (flags & 0x40) {
        if (major == 2)
            return total;   // ID3v2.2: compressed tag, nothing readable
        if (body.size() < 4)
            return total;
        uint32_t extended;
        if (major == 3) {
            extended = BigEndian32(body.data());
            if (extended > body.size() - 4)
                return total;
            pos = 4 + extended;           // size excludes its own field
        } else {
            if (!Synchsafe32(body.data(), &extended) || extended < 6 ||
                extended > body.size())
                return total;
            pos = extended;               // size includes its own field
        }
    }
    ParseFrames(body, pos, major, major == 4 && (flags & 0x80), out);
    return total;
}

bool ParseId3v1(const uint8_t* data, size_t size, std::vector<TagValue>* out)
{
    if (size < 128)
        return false;
    const uint8_t* tag = data + size - 128;
    if (memcmp(tag, "TAG", 3) != 0)
        return false;
    AddValue(out, "INAM_v1", TextEncoding::Legacy, TrimField(tag + 3, 30));
    AddValue(out, "IART_v1", TextEncoding::Legacy, TrimField(tag + 33, 30));
    AddValue(out, "IPRD_v1", TextEncoding::Legacy, TrimField(tag + 63, 30));
    AddValue(out, "ICRD_v1", TextEncoding::Legacy, TrimField(tag + 93, 4));
    AddValue(out, "ICMT_v1", TextEncoding::Legacy, TrimField(tag + 97, 30));
    return true;
}

bool ParseRiffInfo(const uint8_t* data, size_t size, std::vector<TagValue>* out)
{
    if (size < 12 || memcmp(data, "RIFF", 4) != 0 ||
        memcmp(data + 8, "WAVE", 4) != 0)
        return false;
    // The RIFF size may claim more than the file holds (a cut download) or
    // less (junk appended); read only what both allow.
    const uint32_t riffSize = LittleEndian32(data + 4);
    size_t end = size;
    if (riffSize >= 4 && (size_t)riffSize < size - 8)
        end = 8 + (size_t)riffSize;
    size_t pos = 12;
    while (pos < end && end - pos >= 8) {
        const uint8_t* h = data + pos;
        const uint32_t chunkSize = LittleEndian32(h + 4);
        const size_t left = end - pos - 8;
        const size_t bodyBytes = chunkSize < left ? chunkSize : left;
        if (memcmp(h, "LIST", 4) == 0 && bodyBytes >= 4 &&
            memcmp(h + 8, "INFO", 4) == 0)
            ParseInfoList(h + 12, bodyBytes - 4, out);
        if (chunkSize >= left)
            break;
        pos += 8 + (size_t)chunkSize + (chunkSize & 1);
    }
    return true;
}

bool ParseMediaTags(const uint8_t* data, size_t size, MediaTags* out)
{
    out->type = MediaTypeUnknown;
    out->values.clear();
    if (data == nullptr)
        return false;
    if (ParseRiffInfo(data, size, &out->values)) {
        out->type = MediaTypeWav;
        return true;
    }
    const size_t tagBytes = ParseId3v2(data, size, &out->values);
    const bool hasV1 = ParseId3v1(data, size, &out->values);
    size_t audioAt = 0;
    const bool hasAudio =
        FindMpegAudio(data, size, tagBytes < size ? tagBytes : size, &audioAt);
    if (tagBytes == 0 && !hasV1 && !hasAudio) {
        out->values.clear();
        return false;
    }
    out->type = MediaTypeMp3;
    return true;
}

} // namespace media
