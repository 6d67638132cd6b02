// Fuzzes the demo tag library's file parsers: MP3 (ID3v2, ID3v1, MPEG frame
// headers) and RIFF WAVE (INFO texts, "fmt " and "data"); and the demo host's
// check of a plug-in file's PE headers. The input is a whole
// file image in a heap block of exactly its size, so AddressSanitizer catches
// any read past its end; the checks below hold for every image.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/media/media_length.h"
#include "tools/media/media_tags.h"
#include "tools/media/pe_image.h"

namespace {

void Fail(const char* what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

bool IsKnownMp3Name(const std::string& name)
{
    static const char* known[] = {"IART_v2", "IPRD_v2", "INAM_v2", "ICRD_v2",
                                  "IGNR_v2", "TRACK_v2", "IART_v1", "IPRD_v1",
                                  "INAM_v1", "ICRD_v1", "ICMT_v1"};
    for (const char* k : known)
        if (name == k)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    media::MediaTags tags;
    bool parsed = media::ParseMediaTags(data, size, &tags);
    if (!parsed) {
        if (tags.type != media::MediaTypeUnknown || !tags.values.empty())
            Fail("a refused image left a type or values behind");
    } else {
        if (tags.type != media::MediaTypeMp3 && tags.type != media::MediaTypeWav)
            Fail("parsed image with a type other than MP3 or WAV");
        for (const media::TagValue& v : tags.values) {
            if (tags.type == media::MediaTypeMp3 && !IsKnownMp3Name(v.name))
                Fail("MP3 value under an unknown name");
            if (tags.type == media::MediaTypeWav && v.name.size() != 4)
                Fail("WAV value name not four letters");
            if (tags.Find(v.name) == NULL)
                Fail("Find misses a value that is there");
        }
    }
    // The same bytes parse the same way every time (no state carried over).
    media::MediaTags again;
    if (media::ParseMediaTags(data, size, &again) != parsed ||
        again.type != tags.type || again.values.size() != tags.values.size())
        Fail("second parse differs");

    // The parts alone. A tag's size is what its header declares, so a cut
    // file may declare more bytes than the image holds; it is never below
    // the header's own 10 bytes.
    std::vector<media::TagValue> values;
    size_t id3Size = media::ParseId3v2(data, size, &values);
    if (id3Size != 0 && id3Size < 10)
        Fail("ID3v2 tag shorter than its header");
    if (media::ParseId3v2(data, size, NULL) != id3Size)
        Fail("ID3v2 size differs without an output");
    values.clear();
    media::ParseId3v1(data, size, &values);
    values.clear();
    media::ParseRiffInfo(data, size, &values);

    media::MediaInfo info;
    if (media::ReadMediaInfo(data, size, &info)) {
        if (info.type != 1 && info.type != 2)
            Fail("media info with a type other than MP3 or WAV");
        if (info.format.empty())
            Fail("media info without a format text");
    }
    size_t offset = 0;
    if (media::FindMpegAudio(data, size, 0, &offset)) {
        media::MpegFrameHeader header;
        if (offset + 4 > size || !media::DecodeMpegFrameHeader(data + offset, size - offset, &header))
            Fail("found MPEG audio where no frame header decodes");
        if (header.frameBytes < 4)
            Fail("MPEG frame shorter than its header");
    }

    uint16_t machine = 0xFFFF;
    media::PeKind kind = media::ClassifyPeImage(data, size, &machine);
    if (kind == media::PeKind::Dll32 && machine != 0x014C)
        Fail("32-bit DLL with another machine field");
    if (kind == media::PeKind::NotPe && machine != 0)
        Fail("no PE image, but a machine field");
    return 0;
}
