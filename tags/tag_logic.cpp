#include "tag_logic.h"

#include <string.h>

namespace {

const TagTypeNames Type1Names = {
    {"IART_v2", "IART_v1", true},
    {"IPRD_v2", "IPRD_v1", true},
    {"INAM_v2", "INAM_v1", true},
};

const TagTypeNames Type2Names = {
    {"IART", NULL, false},
    {"IPRD", NULL, false},
    {"INAM", "ISBJ", false},   // an empty INAM stays; only a missing one falls back
};

const TagTypeNames PlainNames = {
    {"IART", NULL, false},
    {"IPRD", NULL, false},
    {"INAM", NULL, false},
};

// Code page 932 lead bytes.
bool IsLeadByte932(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Looks a field's value up (with its fallback) and copies it before any
// further lookup can replace the library's text.
void ReadField(const TagLibraryEntries* library, const TagFieldNames* names,
               char* field)
{
    // Cleared before every lookup: a library that leaves the pointer alone
    // for a missing name must not hand us the previous field's text.
    char* text = NULL;
    library->getValue(names->first, &text);
    if (names->second != NULL &&
        (text == NULL || (names->secondOnEmpty && text[0] == '\0'))) {
        text = NULL;
        library->getValue(names->second, &text);
    }
    CopyTagText(field, text);
}

void PutBigEndian32(unsigned char* at, uint32_t value)
{
    at[0] = (unsigned char)(value >> 24);
    at[1] = (unsigned char)(value >> 16);
    at[2] = (unsigned char)(value >> 8);
    at[3] = (unsigned char)value;
}

} // namespace

const TagTypeNames* TagNamesForType(int32_t typeCode)
{
    switch (typeCode) {
    case 1:
        return &Type1Names;
    case 2:
        return &Type2Names;
    case 5:
    case 7:
    case 8:
        return &PlainNames;
    default:
        return NULL;
    }
}

void CopyTagText(char* field, const char* text)
{
    size_t keep = 0;
    if (text != NULL) {
        const size_t limit = TagTextCapacity - 1;
        size_t n = 0;
        while (n <= limit && text[n] != '\0')
            ++n;
        if (n <= limit) {
            keep = n;      // fits: copied unchanged, whatever its bytes
        } else {
            // Too long: walk whole characters so the cut never separates a
            // lead byte from its trail byte.
            size_t i = 0;
            while (i < limit) {
                size_t step = IsLeadByte932((unsigned char)text[i]) ? 2 : 1;
                if (i + step > limit)
                    break;
                i += step;
            }
            keep = i;
        }
        memcpy(field, text, keep);
    }
    field[keep] = '\0';
}

int ReadTagsFrom(const TagLibraryEntries* library, TagRecord* record,
                 const char* path)
{
    if (library->load(NULL, path) != 0)
        return -1;
    library->setConf("wave_CodecFind", "0");
    const TagTypeNames* names = TagNamesForType((int32_t)library->getType());
    if (names == NULL)
        return -1;
    ReadField(library, &names->artist, record->artist);
    ReadField(library, &names->album, record->album);
    ReadField(library, &names->title, record->title);
    return 0;
}

void EncodeSynchsafe(unsigned char* at, uint32_t value)
{
    for (int i = 3; i >= 0; --i) {
        at[i] = (unsigned char)(value & 0x7F);
        value >>= 7;
    }
}

size_t AppendTextFrame(unsigned char* frame, const char* id, const char* text)
{
    size_t n = strlen(text);
    memcpy(frame, id, 4);
    // ID3v2.3: only the tag size is synchsafe; frame sizes are plain 32-bit
    // big-endian. The size counts the encoding byte, the text and its NUL.
    PutBigEndian32(frame + 4, (uint32_t)(n + 2));
    // Bytes 8 and 9 (flags) and 10 (encoding: ISO-8859-1) stay 0.
    memcpy(frame + 11, text, n + 1);
    return n + 12;
}

size_t BuildTagImage(unsigned char* image, const TagRecord* record)
{
    memcpy(image, "ID3\x03\x00\x00", 6);   // version 2.3.0, no flags
    size_t length = 10;
    length += AppendTextFrame(image + length, "TPE1", record->artist);
    length += AppendTextFrame(image + length, "TIT2", record->title);
    length += AppendTextFrame(image + length, "TALB", record->album);
    length += AppendTextFrame(image + length, "TRCK", record->track);
    EncodeSynchsafe(image + 6, (uint32_t)(length - 10));
    return length;
}
