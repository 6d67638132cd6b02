// Fuzzes the tag bridge's byte-level code: ReadTagsFrom against a tag library
// whose every answer (load result, type code, the text or null for each value
// lookup, in call order) comes from the input, then BuildTagImage on the
// record it filled.
//
// Input layout (missing bytes read as 0, so every input is usable):
//   byte 0      load result: 0 loads, anything else refuses
//   bytes 1-4   type code, little-endian
//   byte 5      bit 0: for a null answer, leave the caller's pointer alone
//               (a library that does not clear it) instead of nulling it
//   then, per mp3infp_GetValue call: one kind byte (even: null, odd: text),
//   for text a 16-bit little-endian length and that many bytes (a NUL among
//   them ends the text early, as it would in the library).
//
// The fake library hands out every text in a heap block of exactly its size
// and frees it at the next call, as a library that keeps one buffer for the
// last answer may; AddressSanitizer then catches any copy made too late or
// read too far.
#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tags/tag_logic.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
};

struct Call {
    std::string what;       // "Load", "SetConf", "GetType" or the value name
    bool isNull;            // GetValue: the answer was null
    std::string text;       // GetValue: the answer's text
};

struct FakeLibrary {
    Input in;
    uint32_t loadResult;
    uint32_t typeCode;
    bool leaveUntouched;
    std::vector<Call> calls;
    char* lastText;         // freed at the next call
};

FakeLibrary* Library;

void ForgetLastText()
{
    free(Library->lastText);
    Library->lastText = NULL;
}

uint32_t TAGLIB_CALL FakeLoad(void* window, const char* path)
{
    ForgetLastText();
    if (window != NULL || path == NULL)
        abort();
    Library->calls.push_back({"Load", false, std::string()});
    return Library->loadResult;
}

uint32_t TAGLIB_CALL FakeGetType(void)
{
    ForgetLastText();
    Library->calls.push_back({"GetType", false, std::string()});
    return Library->typeCode;
}

int TAGLIB_CALL FakeSetConf(const char* name, const char* value)
{
    ForgetLastText();
    if (strcmp(name, "wave_CodecFind") != 0 || strcmp(value, "0") != 0)
        abort();
    Library->calls.push_back({"SetConf", false, std::string()});
    return 0;
}

int TAGLIB_CALL FakeGetValue(const char* name, char** text)
{
    ForgetLastText();
    Call call = {name, true, std::string()};
    if (Library->in.Byte() & 1) {
        size_t n = Library->in.Byte();
        n |= (size_t)Library->in.Byte() << 8;
        std::string bytes;
        for (size_t i = 0; i < n && Library->in.at < Library->in.size; ++i)
            bytes.push_back((char)Library->in.Byte());
        bytes = bytes.c_str();   // the library's text ends at its first NUL
        Library->lastText = (char*)malloc(bytes.size() + 1);
        memcpy(Library->lastText, bytes.c_str(), bytes.size() + 1);
        *text = Library->lastText;
        call.isNull = false;
        call.text = bytes;
    } else if (!Library->leaveUntouched) {
        *text = NULL;
    } else {
        // Left alone: the caller sees whatever it put there, which must not
        // be an earlier answer (that block is freed by now).
    }
    Library->calls.push_back(call);
    return 0;
}

bool IsLeadByte932(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// A field filled from text: the whole text when it fits in 255 bytes, else a
// prefix of at least 254 bytes that ends on a character boundary.
void CheckCopy(const char* field, size_t capacity, const Call* source)
{
    size_t n = strnlen(field, capacity);
    if (n == capacity) {
        fprintf(stderr, "field without NUL inside its %zu bytes\n", capacity);
        abort();
    }
    if (source == NULL || source->isNull) {
        if (n != 0) {
            fprintf(stderr, "null answer gave a non-empty field\n");
            abort();
        }
        return;
    }
    const std::string& text = source->text;
    if (text.size() <= capacity - 1) {
        if (text != std::string(field, n)) {
            fprintf(stderr, "text of %zu bytes not copied unchanged\n",
                    text.size());
            abort();
        }
        return;
    }
    if (n + 1 < capacity - 1 || text.compare(0, n, field, n) != 0) {
        fprintf(stderr, "long text cut to %zu bytes or not a prefix\n", n);
        abort();
    }
    size_t i = 0;
    while (i < n)
        i += IsLeadByte932((unsigned char)text[i]) ? 2 : 1;
    if (i != n) {
        fprintf(stderr, "cut splits a double-byte character at %zu\n", n);
        abort();
    }
}

// The last GetValue call whose name starts with prefix ("IART"), or null.
const Call* LastLookup(const std::vector<Call>& calls, const char* prefix,
                       const char* alsoPrefix)
{
    const Call* found = NULL;
    for (const Call& c : calls) {
        if (c.what.compare(0, 4, prefix) == 0 ||
            (alsoPrefix != NULL && c.what == alsoPrefix))
            found = &c;
    }
    return found;
}

bool Asked(const std::vector<Call>& calls, const char* name)
{
    for (const Call& c : calls)
        if (c.what == name)
            return true;
    return false;
}

const Call* Answer(const std::vector<Call>& calls, const char* name)
{
    for (const Call& c : calls)
        if (c.what == name)
            return &c;
    return NULL;
}

bool NullOrEmpty(const Call* c)
{
    return c == NULL || c->isNull || c->text.empty();
}

uint32_t ReadBig32(const unsigned char* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
           ((uint32_t)p[2] << 8) | p[3];
}

// Parses the image back: header, synchsafe size, four frames in order with
// the record's texts, nothing after them.
void CheckImage(const unsigned char* image, size_t length,
                const TagRecord* record)
{
    const char* texts[4] = {record->artist, record->title, record->album,
                            record->track};
    const char* ids[4] = {"TPE1", "TIT2", "TALB", "TRCK"};
    size_t expected = 10;
    for (const char* t : texts)
        expected += 12 + strlen(t);
    if (length != expected || length > TagImageCapacity) {
        fprintf(stderr, "image length %zu, expected %zu\n", length, expected);
        abort();
    }
    if (memcmp(image, "ID3\x03\x00\x00", 6) != 0)
        abort();
    uint32_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (image[i] & 0x80)
            abort();
        size = (size << 7) | image[i];
    }
    if (size != length - 10)
        abort();
    size_t at = 10;
    for (int f = 0; f < 4; ++f) {
        size_t n = strlen(texts[f]);
        if (memcmp(image + at, ids[f], 4) != 0 ||
            ReadBig32(image + at + 4) != n + 2 || image[at + 8] != 0 ||
            image[at + 9] != 0 || image[at + 10] != 0 ||
            memcmp(image + at + 11, texts[f], n) != 0 ||
            image[at + 11 + n] != 0) {
            fprintf(stderr, "frame %s malformed\n", ids[f]);
            abort();
        }
        at += 12 + n;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeLibrary library;
    library.in = {data, size, 0};
    library.loadResult = library.in.Byte();
    library.typeCode = 0;
    for (int i = 0; i < 4; ++i)
        library.typeCode |= (uint32_t)library.in.Byte() << (8 * i);
    library.leaveUntouched = (library.in.Byte() & 1) != 0;
    library.lastText = NULL;
    Library = &library;

    const TagLibraryEntries entries = {FakeLoad, FakeGetType, FakeGetValue,
                                       FakeSetConf};
    // A heap record of its exact size, filled with a sentinel: what the reader
    // must leave alone shows, and a write past the end is caught.
    TagRecord* record = (TagRecord*)malloc(sizeof(TagRecord));
    memset(record, 0xA5, sizeof(TagRecord));
    record->track[0] = '\0';
    TagRecord before;
    memcpy(&before, record, sizeof(TagRecord));

    int result = ReadTagsFrom(&entries, record, "C:\\music\\track.mp3");
    ForgetLastText();

    const std::vector<Call>& calls = library.calls;
    if (calls.empty() || calls[0].what != "Load")
        abort();
    const TagTypeNames* names = TagNamesForType((int32_t)library.typeCode);
    bool handled = library.typeCode == 1 || library.typeCode == 2 ||
                   library.typeCode == 5 || library.typeCode == 7 ||
                   library.typeCode == 8;
    if ((names != NULL) != handled)
        abort();
    if (library.loadResult != 0) {
        // A refused file: nothing after the load.
        if (result != -1 || calls.size() != 1)
            abort();
    } else if (calls.size() < 3 || calls[1].what != "SetConf" ||
               calls[2].what != "GetType") {
        abort();
    } else if (!handled) {
        if (result != -1 || calls.size() != 3)
            abort();
    } else {
        if (result != 0 || calls.size() < 6 || calls.size() > 9)
            abort();
        // Order of the fields: artist, then album, then title.
        const char* order = "IART IPRD INAM";
        std::string seen;
        for (size_t i = 3; i < calls.size(); ++i) {
            std::string field = calls[i].what == "ISBJ" ? "INAM"
                                                        : calls[i].what.substr(0, 4);
            if (seen.empty() || seen.compare(seen.size() - 4, 4, field) != 0)
                seen += (seen.empty() ? "" : " ") + field;
        }
        if (seen != order) {
            fprintf(stderr, "fields asked in the order %s\n", seen.c_str());
            abort();
        }
        // The fallback names are asked exactly when the first answer calls
        // for them (type 1: null or empty; type 2 title: null only).
        if (library.typeCode == 1) {
            static const char* pairs[3][2] = {{"IART_v2", "IART_v1"},
                                              {"IPRD_v2", "IPRD_v1"},
                                              {"INAM_v2", "INAM_v1"}};
            for (auto& pair : pairs) {
                if (!Asked(calls, pair[0]) ||
                    Asked(calls, pair[1]) != NullOrEmpty(Answer(calls, pair[0])))
                    abort();
            }
        } else {
            const Call* inam = Answer(calls, "INAM");
            bool isbj = library.typeCode == 2 && (inam == NULL || inam->isNull);
            if (Asked(calls, "ISBJ") != isbj)
                abort();
        }
        CheckCopy(record->artist, TagTextCapacity, LastLookup(calls, "IART", NULL));
        CheckCopy(record->album, TagTextCapacity, LastLookup(calls, "IPRD", NULL));
        CheckCopy(record->title, TagTextCapacity, LastLookup(calls, "INAM", "ISBJ"));
    }
    if (result != 0) {
        if (memcmp(&before, record, sizeof(TagRecord)) != 0) {
            fprintf(stderr, "a failed read changed the record\n");
            abort();
        }
    } else {
        if (memcmp(before.track, record->track, sizeof(before.track)) != 0)
            abort();
        // The image, in a heap block of exactly its capacity.
        unsigned char* image = (unsigned char*)calloc(TagImageCapacity, 1);
        size_t length = BuildTagImage(image, record);
        CheckImage(image, length, record);
        free(image);
    }
    free(record);
    Library = NULL;
    return 0;
}
