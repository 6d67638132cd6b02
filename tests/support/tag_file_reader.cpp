#include "support/tag_file_reader.h"

#include <ostream>

namespace testing_support {

namespace {

// Reads forward through the bytes; every read fails once one has failed.
class Cursor {
public:
    explicit Cursor(const std::string& bytes) : bytes_(bytes) {}
    bool Take(size_t n, std::string* out)
    {
        if (!ok_ || bytes_.size() - at_ < n)
            return ok_ = false;
        *out = bytes_.substr(at_, n);
        at_ += n;
        return true;
    }
    bool AtEnd() const { return at_ == bytes_.size(); }
private:
    const std::string& bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

unsigned long BigEndian(const std::string& four, unsigned bitsPerByte)
{
    unsigned long value = 0;
    for (char c : four)
        value = (value << bitsPerByte) | (unsigned char)c;
    return value;
}

TagFileTexts Broken(const std::string& why)
{
    TagFileTexts texts;
    texts.why = why;
    return texts;
}

} // namespace

TagFileTexts ReadTagFile(const std::string& bytes)
{
    Cursor in(bytes);
    std::string header;
    if (!in.Take(10, &header))
        return Broken("shorter than a tag header");
    if (header.compare(0, 6, std::string("ID3\x03\x00\x00", 6)) != 0)
        return Broken("not an ID3v2.3.0 header without flags");
    for (size_t i = 6; i < 10; ++i) {
        if ((unsigned char)header[i] & 0x80)
            return Broken("tag size not synchsafe");
    }
    if (BigEndian(header.substr(6), 7) != bytes.size() - 10)
        return Broken("tag size is not the rest of the file");

    const char* const ids[4] = {"TPE1", "TIT2", "TALB", "TRCK"};
    std::string texts[4];
    for (int f = 0; f < 4; ++f) {
        std::string frameHeader, payload;
        if (!in.Take(10, &frameHeader))
            return Broken(std::string("no frame ") + ids[f]);
        if (frameHeader.compare(0, 4, ids[f]) != 0)
            return Broken(std::string("frame ") + ids[f] + " expected, " +
                          frameHeader.substr(0, 4) + " found");
        if (frameHeader[8] != 0 || frameHeader[9] != 0)
            return Broken(std::string("flags in frame ") + ids[f]);
        // ID3v2.3: frame sizes are plain 32-bit big-endian numbers.
        unsigned long size = BigEndian(frameHeader.substr(4, 4), 8);
        if (size < 2 || !in.Take(size, &payload))
            return Broken(std::string("bad size of frame ") + ids[f]);
        if (payload[0] != 0)
            return Broken(std::string("encoding not 0 in frame ") + ids[f]);
        if (payload[size - 1] != 0 ||
            payload.find('\0', 1) != size - 1)
            return Broken(std::string("text of frame ") + ids[f] +
                          " not ended by exactly one NUL");
        texts[f] = payload.substr(1, size - 2);
    }
    if (!in.AtEnd())
        return Broken("bytes after the last frame");
    if (!texts[3].empty())
        return Broken("TRCK not empty");

    TagFileTexts result;
    result.valid = true;
    result.artist = texts[0];
    result.title = texts[1];
    result.album = texts[2];
    return result;
}

bool operator==(const TagFileTexts& a, const TagFileTexts& b)
{
    if (!a.valid || !b.valid)
        return a.valid == b.valid;
    return a.artist == b.artist && a.title == b.title && a.album == b.album;
}

std::ostream& operator<<(std::ostream& out, const TagFileTexts& texts)
{
    if (!texts.valid)
        return out << "(not a valid tag file: " << texts.why << ")";
    return out << "{artist \"" << texts.artist << "\", title \"" << texts.title
               << "\", album \"" << texts.album << "\"}";
}

TagFileTexts Texts(const std::string& artist, const std::string& title,
                   const std::string& album)
{
    TagFileTexts texts;
    texts.valid = true;
    texts.artist = artist;
    texts.title = title;
    texts.album = album;
    return texts;
}

} // namespace testing_support
