// The demo's byte parsers: tag texts of MP3 and WAV files, playing time, and
// the PE check of the host program, on images built here, valid and broken.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/console_text.h"
#include "media/media_length.h"
#include "media/media_tags.h"
#include "media/pe_image.h"
#include "media_images.h"

using namespace media_images;

namespace {

media::MediaTags Parse(const Bytes& image, bool expectOk = true)
{
    media::MediaTags tags;
    EXPECT_EQ(expectOk, media::ParseMediaTags((const uint8_t*)image.data(),
                                              image.size(), &tags));
    return tags;
}

// The value's bytes, or "<none>".
std::string Text(const media::MediaTags& tags, const char* name)
{
    const media::TagValue* v = tags.Find(name);
    return v ? v->bytes : "<none>";
}

media::TextEncoding Encoding(const media::MediaTags& tags, const char* name)
{
    const media::TagValue* v = tags.Find(name);
    return v ? v->encoding : media::TextEncoding::Legacy;
}

} // namespace

TEST(Id3v2, Version3And4TextFramesInEveryEncoding)
{
    // 2.3: Latin-1, UTF-16 with either byte-order mark, UTF-16BE.
    Bytes v23 = Id3Frame(3, "TPE1", TextBody(0, "Artist")) +
                Id3Frame(3, "TIT2", TextBody(1, Bytes("\xFF\xFEH\0i\0", 6))) +
                Id3Frame(3, "TALB", TextBody(1, Bytes("\xFE\xFF\0O\0k", 6))) +
                Id3Frame(3, "TCON", TextBody(2, Bytes("\0R\0o", 4))) +
                Id3Frame(3, "TRCK", TextBody(0, "7"));
    media::MediaTags tags = Parse(Id3Tag(3, 0, v23 + Bytes(20, '\0')));
    EXPECT_EQ(media::MediaTypeMp3, tags.type);
    EXPECT_EQ("Artist", Text(tags, "IART_v2"));
    EXPECT_EQ(Bytes("H\0i\0", 4), Text(tags, "INAM_v2"));
    EXPECT_EQ(media::TextEncoding::Utf16Le, Encoding(tags, "INAM_v2"));
    EXPECT_EQ(Bytes("\0O\0k", 4), Text(tags, "IPRD_v2"));
    EXPECT_EQ(media::TextEncoding::Utf16Be, Encoding(tags, "IPRD_v2"));
    EXPECT_EQ(Bytes("\0R\0o", 4), Text(tags, "IGNR_v2"));
    EXPECT_EQ("7", Text(tags, "TRACK_v2"));

    // 2.4: synchsafe frame sizes (a 200-byte text needs two size digits),
    // UTF-8 with several NUL-separated strings: the first is taken.
    Bytes longText(200, 'x');
    Bytes v24 = Id3Frame(4, "TIT2", TextBody(3, longText)) +
                Id3Frame(4, "TPE1", Bytes("\x03" "One\0Two\0", 9)) +
                Id3Frame(4, "TDRC", TextBody(3, "2026"));
    tags = Parse(Id3Tag(4, 0, v24));
    EXPECT_EQ(longText, Text(tags, "INAM_v2"));
    EXPECT_EQ("One", Text(tags, "IART_v2"));
    EXPECT_EQ(media::TextEncoding::Utf8, Encoding(tags, "IART_v2"));
    EXPECT_EQ("2026", Text(tags, "ICRD_v2"));
}

TEST(Id3v2, HeaderVariants)
{
    // 2.2: three-letter frames with 24-bit sizes.
    Bytes v22 = Bytes("TT2") + Bytes{0, 0, 5} + TextBody(0, "Old") +
                Bytes("TP1") + Bytes{0, 0, 4} + TextBody(0, "Me");
    media::MediaTags tags = Parse(Id3Tag(2, 0, v22));
    EXPECT_EQ("Old", Text(tags, "INAM_v2"));
    EXPECT_EQ("Me", Text(tags, "IART_v2"));

    // 2.3 extended header (its size excludes its own four bytes), whole-tag
    // unsynchronisation: FF 00 in the tag stands for FF.
    // The frame's size counts the bytes after the FF 00 has become FF.
    Bytes body = Bytes{0, 0, 0, 6} + Bytes(6, '\0') + Bytes("TIT2") +
           BigEndian32(4) + Bytes(2, '\0') + Bytes("\0A\xFF\0" "B", 5);
    tags = Parse(Id3Tag(3, 0xC0, body));
    EXPECT_EQ("A\xFF" "B", Text(tags, "INAM_v2"));

    // 2.4 extended header (size includes itself), frame flags: group byte,
    // data length indicator and frame unsynchronisation.
    Bytes flagged = Bytes(1, 'g') + Bytes{0, 0, 0, 4} +
                    Bytes("\0X\xFF\0" "Y", 5);
    body = Synchsafe(6) + Bytes{1, 0} + Id3Frame(4, "TALB", flagged, 0x43) +
           Id3Frame(4, "TPE1", TextBody(0, "Skipped"), 0x08);   // compressed
    tags = Parse(Id3Tag(4, 0x40, body));
    EXPECT_EQ("X\xFF" "Y", Text(tags, "IPRD_v2"));
    EXPECT_EQ("<none>", Text(tags, "IART_v2"));

    // Duplicates: the first frame wins.
    tags = Parse(Id3Tag(3, 0, Id3Frame(3, "TIT2", TextBody(0, "First")) +
                                  Id3Frame(3, "TIT2", TextBody(0, "Second"))));
    EXPECT_EQ("First", Text(tags, "INAM_v2"));
}

TEST(Id3v2, SizesThatPointPastTheEndKeepWhatCameBefore)
{
    Bytes good = Id3Frame(3, "TPE1", TextBody(0, "Kept"));
    Bytes bad = Bytes("TIT2") + BigEndian32(0x7FFFFFF0) + Bytes(2, '\0') + "\0Lost";
    media::MediaTags tags = Parse(Id3Tag(3, 0, good + bad));
    EXPECT_EQ("Kept", Text(tags, "IART_v2"));
    EXPECT_EQ("<none>", Text(tags, "INAM_v2"));

    // A tag size larger than the file: read as far as the file goes.
    Bytes tag = Id3Tag(3, 0, good);
    tag[8] = 0x7F;
    tag[9] = 0x7F;
    tags = Parse(tag);
    EXPECT_EQ("Kept", Text(tags, "IART_v2"));
    std::vector<media::TagValue> values;
    EXPECT_EQ(10u + 0x3FFF, media::ParseId3v2((const uint8_t*)tag.data(),
                                              tag.size(), &values));

    // A size byte with its top bit set is no synchsafe size: no ID3v2 tag.
    tag[6] = (char)0x80;
    EXPECT_EQ(0u, media::ParseId3v2((const uint8_t*)tag.data(), tag.size(),
                                    &values));
}

TEST(Id3v1, FieldsAreCutAtNulAndTrailingBlanks)
{
    Bytes image = Mpeg1Frames(3) + Id3v1("Title   ", "Artist\0junk", "Album");
    media::MediaTags tags = Parse(image);
    EXPECT_EQ(media::MediaTypeMp3, tags.type);
    EXPECT_EQ("Title", Text(tags, "INAM_v1"));
    EXPECT_EQ("Artist", Text(tags, "IART_v1"));
    EXPECT_EQ("Album", Text(tags, "IPRD_v1"));
    EXPECT_EQ("<none>", Text(tags, "INAM_v2"));

    // Both tags: both sets of names.
    tags = Parse(Id3Tag(3, 0, Id3Frame(3, "TIT2", TextBody(0, "Two"))) + image);
    EXPECT_EQ("Two", Text(tags, "INAM_v2"));
    EXPECT_EQ("Title", Text(tags, "INAM_v1"));
}

TEST(RiffInfo, TextsUnderTheirOwnNames)
{
    Bytes image = Wav(8000, {{"IART", "Odd"}, {"INAM", "Even!"}, {"ISBJ", "S"}});
    media::MediaTags tags = Parse(image);
    EXPECT_EQ(media::MediaTypeWav, tags.type);
    EXPECT_EQ("Odd", Text(tags, "IART"));    // "Odd\0": 4 bytes, no padding
    EXPECT_EQ("Even!", Text(tags, "INAM"));  // 6 bytes
    EXPECT_EQ("S", Text(tags, "ISBJ"));      // 2 bytes
    EXPECT_EQ("<none>", Text(tags, "IPRD"));

    // No INFO list: a WAV file without texts. A RIFF size beyond the file
    // and a list size beyond it are read as far as the file goes.
    tags = Parse(Wav(100, {}));
    EXPECT_EQ(media::MediaTypeWav, tags.type);
    EXPECT_TRUE(tags.values.empty());
    Bytes cut = Wav(0, {{"INAM", "Cut here"}});
    cut.resize(cut.size() - 8 - 4);   // no data chunk, text cut short
    cut.replace(4, 4, LittleEndian32(0xFFFFFFF0));
    tags = Parse(cut);
    EXPECT_EQ("Cut he", Text(tags, "INAM"));
}

TEST(MediaTags, OtherFilesAreRefused)
{
    Parse("", false);
    Parse("just some text that is no media file at all", false);
    // One lone frame header in garbage is not audio.
    Parse(Bytes(50, 'x') + Mpeg1Frames(1) + Bytes(50, 'y'), false);
    Parse(Bytes("RIFF\x04\0\0\0AVI ", 12), false);
    media::MediaTags tags;
    EXPECT_FALSE(media::ParseMediaTags(nullptr, 10, &tags));
    EXPECT_EQ(media::MediaTypeUnknown, tags.type);
}

TEST(MediaLength, FramesAndDataChunks)
{
    media::MediaInfo info;
    Bytes mp3 = Id3Tag(3, 0, Id3Frame(3, "TIT2", TextBody(0, "T"))) +
                Mpeg1Frames(100) + Id3v1("", "", "");
    ASSERT_TRUE(media::ReadMediaInfo((const uint8_t*)mp3.data(), mp3.size(), &info));
    EXPECT_EQ(1u, info.type);
    EXPECT_EQ(2612u, info.lengthMs);   // 100 * 1152 / 44100 s
    EXPECT_NE(std::string::npos, info.format.find("MPEG-1 Layer III, 44100 Hz"));

    Bytes mpeg2 = Mpeg2Frames(100);
    ASSERT_TRUE(media::ReadMediaInfo((const uint8_t*)mpeg2.data(), mpeg2.size(), &info));
    // Half the samples a frame at half the rate: the same 26.12 ms a frame.
    EXPECT_EQ(2612u, info.lengthMs);   // 100 * 576 / 22050 s
    EXPECT_NE(std::string::npos, info.format.find("MPEG-2 Layer III, 22050 Hz"));

    // Junk between frames is skipped; the frames on both sides count.
    Bytes junk = Mpeg1Frames(50) + Bytes(37, 'j') + Mpeg1Frames(50);
    ASSERT_TRUE(media::ReadMediaInfo((const uint8_t*)junk.data(), junk.size(), &info));
    EXPECT_EQ(2612u, info.lengthMs);

    Bytes wav = Wav(12000, {{"INAM", "x"}});
    ASSERT_TRUE(media::ReadMediaInfo((const uint8_t*)wav.data(), wav.size(), &info));
    EXPECT_EQ(2u, info.type);
    EXPECT_EQ(1500u, info.lengthMs);
    // A data size beyond the file counts the bytes that are there.
    wav.resize(wav.size() - 4000);
    ASSERT_TRUE(media::ReadMediaInfo((const uint8_t*)wav.data(), wav.size(), &info));
    EXPECT_EQ(1000u, info.lengthMs);
    // A byte rate of 0 gives no length.
    Bytes silent = Wav(100, {});
    silent.replace(28, 4, LittleEndian32(0));
    EXPECT_FALSE(media::ReadMediaInfo((const uint8_t*)silent.data(), silent.size(), &info));

    Bytes text = "plain text";
    EXPECT_FALSE(media::ReadMediaInfo((const uint8_t*)text.data(), text.size(), &info));
}

TEST(MediaParsers, BrokenImagesAreReadSafely)
{
    // Every cut and a set of byte corruptions of each seed image. The
    // buffer is a heap block of exactly the image's size, so a read past its
    // end faults (the test main fails any test with a fault) instead of
    // reading a neighbour's bytes.
    Bytes tag = Id3Tag(4, 0, Id3Frame(4, "TPE1", TextBody(1, Bytes("\xFF\xFEH\0", 4))) +
                                 Id3Frame(4, "TIT2", TextBody(3, "t"), 0x03));
    std::vector<Bytes> seeds = {
        tag + Mpeg1Frames(3) + Id3v1("a", "b", "c"),
        Id3Tag(3, 0x40, Bytes{0, 0, 0, 2, 0, 0} + Id3Frame(3, "TALB", TextBody(0, "al"))),
        Wav(16, {{"IART", "a"}, {"ISBJ", "bc"}}),
    };
    const uint8_t corruptions[] = {0x00, 0x7F, 0x80, 0xFF};
    long images = 0;
    for (const Bytes& seed : seeds) {
        std::vector<Bytes> variants;
        for (size_t n = 0; n <= seed.size(); ++n)
            variants.push_back(seed.substr(0, n));
        for (size_t at = 0; at < seed.size() && at < 160; ++at) {
            for (uint8_t c : corruptions) {
                Bytes v = seed;
                v[at] = (char)c;
                variants.push_back(v);
            }
        }
        for (const Bytes& v : variants) {
            uint8_t* block = (uint8_t*)HeapAlloc(GetProcessHeap(), 0, v.size() + 1);
            memcpy(block, v.data(), v.size());
            media::MediaTags tags;
            media::MediaInfo info;
            bool ok = media::ParseMediaTags(block, v.size(), &tags);
            media::ReadMediaInfo(block, v.size(), &info);
            HeapFree(GetProcessHeap(), 0, block);
            if (!ok) {
                EXPECT_TRUE(tags.values.empty());
            }
            for (const media::TagValue& value : tags.values)
                EXPECT_LE(value.bytes.size(), v.size());
            ++images;
        }
    }
    EXPECT_GT(images, 1000);
}

TEST(PeImage, KindsOfModule)
{
    auto image = [](uint16_t machine, uint16_t characteristics) {
        Bytes b(512, '\0');
        b[0] = 'M';
        b[1] = 'Z';
        b[60] = (char)0x80;
        b.replace(0x80, 4, Bytes("PE\0\0", 4));
        b[0x84] = (char)(machine & 0xFF);
        b[0x85] = (char)(machine >> 8);
        b[0x84 + 18] = (char)(characteristics & 0xFF);
        b[0x84 + 19] = (char)(characteristics >> 8);
        return b;
    };
    auto classify = [](const Bytes& b, uint16_t* machine) {
        return media::ClassifyPeImage((const uint8_t*)b.data(), b.size(), machine);
    };
    uint16_t machine = 0;
    EXPECT_EQ(media::PeKind::Dll32, classify(image(0x14C, 0x2102), &machine));
    EXPECT_EQ(0x14C, machine);
    EXPECT_EQ(media::PeKind::Dll64, classify(image(0x8664, 0x2022), &machine));
    EXPECT_EQ(media::PeKind::Exe, classify(image(0x14C, 0x0102), &machine));
    EXPECT_EQ(media::PeKind::OtherMachine, classify(image(0x1C4, 0x2000), &machine));
    EXPECT_EQ(media::PeKind::OtherMachine, classify(image(0xAA64, 0x2022), &machine));
    EXPECT_EQ(media::PeKind::NotPe, classify("MZ", &machine));
    Bytes farOff = image(0x14C, 0x2000);
    farOff[61] = 0x7F;   // PE header offset past the end
    EXPECT_EQ(media::PeKind::NotPe, classify(farOff, &machine));
    EXPECT_EQ(media::PeKind::NotPe, classify(farOff.substr(0, 0x90), &machine));
}

TEST(TagText, ConvertedToTheAnsiCodePage)
{
    // Whatever the code page, the result is what the system's own
    // conversion gives, and it ends at the first NUL.
    const wchar_t wide[] = L"Caf\x00E9 \x685C";
    char expected[32] = "";
    WideCharToMultiByte(CP_ACP, 0, wide, -1, expected, sizeof(expected), NULL, NULL);

    media::TagValue le{"X", media::TextEncoding::Utf16Le,
                       Bytes("C\0a\0f\0\xE9\0 \0\x5C\x68\0\0z\0", 16)};
    EXPECT_EQ(expected, tools::TagTextToAnsi(le));
    media::TagValue be{"X", media::TextEncoding::Utf16Be,
                       Bytes("\0C\0a\0f\0\xE9\0 \x68\x5C", 12)};
    EXPECT_EQ(expected, tools::TagTextToAnsi(be));
    media::TagValue utf8{"X", media::TextEncoding::Utf8, "Caf\xC3\xA9 \xE6\xA1\x9C"};
    EXPECT_EQ(expected, tools::TagTextToAnsi(utf8));
    // Legacy bytes are already in the writer's code page: unchanged.
    media::TagValue legacy{"X", media::TextEncoding::Legacy, "\x8D\xF7\x82\xA0"};
    EXPECT_EQ("\x8D\xF7\x82\xA0", tools::TagTextToAnsi(legacy));
}
