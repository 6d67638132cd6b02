// Byte-level logic of the tag bridge: which value names to ask the tag
// library for, how a value is copied into a TagRecord field, and the ID3v2.3
// tag image. Free of window code and of windows.h, so that it also builds
// natively (for fuzzing) with a stand-in library behind the function pointers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TAGLIB_CALL __stdcall
#else
#define TAGLIB_CALL
#endif

enum {
    TagTextCapacity = 256,       // 255 text bytes and the NUL
    TagTrackCapacity = 10,
    // Header (10) + four frames of 12 bytes + three full 255-byte texts.
    TagImageCapacity = 10 + 4 * 12 + 3 * (TagTextCapacity - 1)
};

// The texts of one file, as the tag library delivered them (unconverted).
struct TagRecord {
    char artist[TagTextCapacity];
    char album[TagTextCapacity];
    char title[TagTextCapacity];
    char track[TagTrackCapacity];   // never filled by the reader
};

// The four entry points of mp3infp.dll that the system calls.
typedef uint32_t (TAGLIB_CALL* TagLoadFunction)(void* window, const char* path);
typedef uint32_t (TAGLIB_CALL* TagGetTypeFunction)(void);
typedef int (TAGLIB_CALL* TagGetValueFunction)(const char* name, char** text);
typedef int (TAGLIB_CALL* TagSetConfFunction)(const char* name,
                                              const char* value);

struct TagLibraryEntries {
    TagLoadFunction load;
    TagGetTypeFunction getType;
    TagGetValueFunction getValue;
    TagSetConfFunction setConf;
};

// Value names for one field: the first, and the fallback (or null).
struct TagFieldNames {
    const char* first;
    const char* second;
    // Ask the second name when the first yields null (false) or null/empty
    // (true).
    bool secondOnEmpty;
};

struct TagTypeNames {
    TagFieldNames artist;
    TagFieldNames album;
    TagFieldNames title;
};

// The value names for a type code, or null for a type the system does not
// handle (anything but 1, 2, 5, 7 and 8).
const TagTypeNames* TagNamesForType(int32_t typeCode);

// Copies a library text into a 256-byte field. A text of 256 bytes or more is
// cut to at most 255 bytes, never in the middle of a double-byte character of
// code page 932. A null text gives an empty field.
void CopyTagText(char* field, const char* text);

// Reads artist, album and title of one file through the library. Returns 0
// when the file was loaded, has a handled type and all three fields have been
// written; -1 otherwise, with the record untouched.
int ReadTagsFrom(const TagLibraryEntries* library, TagRecord* record,
                 const char* path);

// --- ID3v2.3 image ---------------------------------------------------------

// Writes value (< 2^28) as a synchsafe integer: 4 bytes, 7 bits each.
void EncodeSynchsafe(unsigned char* at, uint32_t value);

// Appends one text frame (encoding 0, text and its NUL) at frame, which must
// be zero-filled; returns its length, the text length plus 12.
size_t AppendTextFrame(unsigned char* frame, const char* id, const char* text);

// Renders the whole tag file for a record into a zero-filled image of
// TagImageCapacity bytes; returns its length, 58 plus the three text lengths.
size_t BuildTagImage(unsigned char* image, const TagRecord* record);
