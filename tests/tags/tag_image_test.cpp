// Byte-level tests of the tag bridge: the copy rule of a library text into a
// 256-byte field, the ID3v2.3 image and its synchsafe size, and the tag-file
// path made from the module path.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "tags/tag_bridge.h"
#include "support/tag_file_reader.h"

namespace {

using testing_support::ReadTagFile;
using testing_support::Texts;

std::string Bytes(const unsigned char* at, size_t n)
{
    return std::string((const char*)at, n);
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A field of 256 bytes with sentinels on both sides, to see that a copy
// stays inside it.
struct GuardedField {
    unsigned char before[16];
    char field[TagTextCapacity];
    unsigned char after[16];
    GuardedField()
    {
        memset(before, 0xEE, sizeof(before));
        memset(field, 0xCC, sizeof(field));
        memset(after, 0xEE, sizeof(after));
    }
    bool GuardsIntact() const
    {
        for (int i = 0; i < 16; ++i)
            if (before[i] != 0xEE || after[i] != 0xEE)
                return false;
        return true;
    }
};

std::string Repeat(const std::string& unit, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

// ---------------------------------------------------------------------------
// CopyTagText

TEST(CopyTagText, TextsThatFitAreCopiedWholeAndUnchanged)
{
    std::string all;
    for (int c = 1; c < 256; ++c)   // every byte but NUL, 0x80-0xFF included
        all += (char)c;
    ASSERT_EQ(255u, all.size());
    const std::string cases[] = {"", "A", std::string(254, 'x'), all,
                                 "\x82",                 // lone lead byte
                                 "\x82\xA0\x82\xA2\xFF"};
    for (const std::string& text : cases) {
        GuardedField f;
        CopyTagText(f.field, text.c_str());
        EXPECT_EQ(text, std::string(f.field)) << Hex(text);
        EXPECT_EQ('\0', f.field[text.size()]);
        EXPECT_TRUE(f.GuardsIntact());
    }
}

TEST(CopyTagText, NullGivesAnEmptyField)
{
    GuardedField f;
    CopyTagText(f.field, NULL);
    EXPECT_EQ('\0', f.field[0]);
    EXPECT_EQ((char)0xCC, f.field[1]);   // nothing else touched
    EXPECT_TRUE(f.GuardsIntact());
}

TEST(CopyTagText, LongTextsAreCutTo255BytesInsideTheField)
{
    for (size_t length : {256u, 257u, 300u, 4000u}) {
        std::string text(length, 'q');
        GuardedField f;
        CopyTagText(f.field, text.c_str());
        EXPECT_EQ(std::string(255, 'q'), std::string(f.field)) << length;
        EXPECT_EQ('\0', f.field[255]);
        EXPECT_TRUE(f.GuardsIntact()) << length;
    }
}

TEST(CopyTagText, CutNeverSplitsADoubleByteCharacter)
{
    struct Case {
        std::string text;
        size_t kept;
        const char* what;
    } cases[] = {
        // Lead byte at offset 254: its trail byte would be byte 255.
        {std::string(254, 'a') + Repeat("\x82\xA0", 10), 254,
         "lead byte at the last text position"},
        {Repeat("\x82\xA0", 150), 254, "all double-byte"},
        {"a" + Repeat("\x82\xA0", 150), 255, "odd start, pairs end at 255"},
        // Trail bytes that are themselves in the lead-byte range: only a walk
        // from the start tells that offset 254 (0x9F) ends a character.
        {"a" + Repeat("\x88\x9F", 150), 255, "trail byte in lead range"},
        {Repeat("\xE0\x40", 150), 254, "upper lead range"},
        {Repeat("\xFC\x40", 150), 254, "last lead byte 0xFC"},
        // Single-byte characters that merely look high.
        {std::string(300, '\xB1'), 255, "half-width katakana"},
        {std::string(300, '\x80'), 255, "0x80 is single-byte"},
        {std::string(300, '\xA0'), 255, "0xA0 is single-byte"},
        {std::string(300, '\xFD'), 255, "0xFD is single-byte"},
        {std::string(253, 'a') + "\x82\xA0" + "zzz", 255,
         "pair ending exactly at 255"},
    };
    for (const Case& c : cases) {
        GuardedField f;
        CopyTagText(f.field, c.text.c_str());
        EXPECT_EQ(c.text.substr(0, c.kept), std::string(f.field)) << c.what;
        EXPECT_TRUE(f.GuardsIntact()) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Synchsafe integers and frames

TEST(EncodeSynchsafe, SevenBitsPerByteAtEveryBoundary)
{
    struct Case {
        uint32_t value;
        unsigned char bytes[4];
    } cases[] = {
        {0, {0, 0, 0, 0}},
        {48, {0, 0, 0, 0x30}},
        {127, {0, 0, 0, 0x7F}},
        {128, {0, 0, 1, 0}},
        {129, {0, 0, 1, 1}},
        {255, {0, 0, 1, 0x7F}},
        {768, {0, 0, 6, 0}},
        {813, {0, 0, 6, 0x2D}},
        {16383, {0, 0, 0x7F, 0x7F}},
        {16384, {0, 1, 0, 0}},
        {2097151, {0, 0x7F, 0x7F, 0x7F}},
        {2097152, {1, 0, 0, 0}},
        {268435455, {0x7F, 0x7F, 0x7F, 0x7F}},
    };
    for (const Case& c : cases) {
        unsigned char out[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        EncodeSynchsafe(out + 1, c.value);
        EXPECT_EQ(Hex(Bytes(c.bytes, 4)), Hex(Bytes(out + 1, 4))) << c.value;
        EXPECT_EQ(0xAA, out[0]);
        EXPECT_EQ(0xAA, out[5]);
    }
}

TEST(AppendTextFrame, FrameSizeIsPlainBigEndianAndCountsEncodingAndNul)
{
    struct Case {
        size_t n;
        const char* sizeBytes;   // n + 2, all 32 bits significant
    } cases[] = {{0, "00 00 00 02"},   {1, "00 00 00 03"},
                 {125, "00 00 00 7F"}, {126, "00 00 00 80"},
                 {200, "00 00 00 CA"}, {255, "00 00 01 01"},
                 {300, "00 00 01 2E"}};
    for (const Case& c : cases) {
        std::string text(c.n, 'k');
        unsigned char frame[400];
        memset(frame, 0, sizeof(frame));
        frame[c.n + 12] = 0x5A;   // first byte after the frame
        EXPECT_EQ(c.n + 12, AppendTextFrame(frame, "TIT2", text.c_str()));
        EXPECT_EQ("TIT2", Bytes(frame, 4));
        EXPECT_EQ(c.sizeBytes, Hex(Bytes(frame + 4, 4))) << c.n;
        EXPECT_EQ("00 00 00", Hex(Bytes(frame + 8, 3)));
        EXPECT_EQ(text, Bytes(frame + 11, c.n));
        EXPECT_EQ(0, frame[11 + c.n]);
        EXPECT_EQ(0x5A, frame[c.n + 12]);
    }
}

// ---------------------------------------------------------------------------
// The whole image

struct ImageBuffer {
    unsigned char bytes[TagImageCapacity + 64];
    ImageBuffer()
    {
        memset(bytes, 0, TagImageCapacity);
        memset(bytes + TagImageCapacity, 0xEE, 64);
    }
    bool TailIntact() const
    {
        for (int i = 0; i < 64; ++i)
            if (bytes[TagImageCapacity + i] != 0xEE)
                return false;
        return true;
    }
};

TagRecord MakeRecord(const std::string& artist, const std::string& album,
                     const std::string& title)
{
    TagRecord record;
    memset(&record, 0, sizeof(record));
    memcpy(record.artist, artist.data(), artist.size());
    memcpy(record.album, album.data(), album.size());
    memcpy(record.title, title.data(), title.size());
    return record;
}

std::string Render(const TagRecord& record, ImageBuffer* buffer = NULL)
{
    ImageBuffer local;
    ImageBuffer* b = buffer != NULL ? buffer : &local;
    size_t n = BuildTagImage(b->bytes, &record);
    EXPECT_TRUE(b->TailIntact());
    return Bytes(b->bytes, n);
}

TEST(TagImage, OneLetterTextsGiveThe61ByteFile)
{
    const unsigned char expected[61] = {
        0x49, 0x44, 0x33, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x33,
        0x54, 0x50, 0x45, 0x31, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x41, 0x00,
        0x54, 0x49, 0x54, 0x32, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x54, 0x00,
        0x54, 0x41, 0x4C, 0x42, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x42, 0x00,
        0x54, 0x52, 0x43, 0x4B, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
    // Field order artist, album, title; frame order artist, title, album.
    EXPECT_EQ(Hex(Bytes(expected, 61)), Hex(Render(MakeRecord("A", "B", "T"))));
}

TEST(TagImage, EmptyTextsGiveThe58ByteFile)
{
    std::string image = Render(MakeRecord("", "", ""));
    ASSERT_EQ(58u, image.size());
    EXPECT_EQ("49 44 33 03 00 00 00 00 00 30", Hex(image.substr(0, 10)));
    const char* ids[4] = {"TPE1", "TIT2", "TALB", "TRCK"};
    for (int i = 0; i < 4; ++i) {
        std::string frame = image.substr(10 + 12 * i, 12);
        EXPECT_EQ(ids[i], frame.substr(0, 4));
        EXPECT_EQ("00 00 00 02 00 00 00 00", Hex(frame.substr(4)));
    }
}

TEST(TagImage, TitleOf200BytesHasFrameSize202)
{
    std::string title(200, 't');
    std::string image = Render(MakeRecord("ar", "alb", title));
    ASSERT_EQ(58u + 2 + 3 + 200, image.size());
    size_t tit2 = 10 + 12 + 2;   // after the header and TPE1 "ar"
    EXPECT_EQ("TIT2", image.substr(tit2, 4));
    EXPECT_EQ("00 00 00 CA", Hex(image.substr(tit2 + 4, 4)));
    EXPECT_EQ(title, image.substr(tit2 + 11, 200));
    EXPECT_EQ(Texts("ar", title, "alb"), ReadTagFile(image));
}

TEST(TagImage, ThreeTextsOf240BytesGive778Bytes)
{
    std::string a(240, 'a'), b(240, 'b'), t(240, 't');
    std::string image = Render(MakeRecord(a, b, t));
    ASSERT_EQ(778u, image.size());
    EXPECT_EQ("00 00 06 00", Hex(image.substr(6, 4)));
    EXPECT_EQ(Texts(a, t, b), ReadTagFile(image));
}

TEST(TagImage, ThreeFullTextsAreWrittenWholeIn823Bytes)
{
    static_assert(TagImageCapacity == 823, "room for three 255-byte texts");
    std::string a(255, 'a'), b(255, 'b'), t(255, 't');
    ImageBuffer buffer;
    std::string image = Render(MakeRecord(a, b, t), &buffer);
    ASSERT_EQ(823u, image.size());
    EXPECT_EQ("00 00 06 2D", Hex(image.substr(6, 4)));   // 813
    EXPECT_EQ(Texts(a, t, b), ReadTagFile(image));
    EXPECT_TRUE(buffer.TailIntact());
}

TEST(TagImage, HighBytesAreStoredUnchangedWithEncodingZero)
{
    std::string artist = "\x83\x65\x83\x8B\x83\x7B";   // Shift-JIS
    std::string title = "\x80\x81\xA0\xDF\xFE\xFF";
    std::string album = "\xE9t\xE9";
    std::string image = Render(MakeRecord(artist, album, title));
    EXPECT_EQ(Texts(artist, title, album), ReadTagFile(image));
    EXPECT_EQ(0, image[10 + 10]);   // TPE1 encoding byte
}

TEST(TagImage, TrackFieldIsWrittenAsTRCK)
{
    TagRecord record = MakeRecord("a", "b", "c");
    memcpy(record.track, "7/12", 5);
    std::string image = Render(record);
    EXPECT_EQ(std::string("TRCK\0\0\0\x06\0\0\0" "7/12\0", 16),
              image.substr(image.size() - 16));
}

// ---------------------------------------------------------------------------
// Tag-file path from the module path

TEST(MakeTagFilePath, ReplacesTheLastThreeCharacters)
{
    char out[MAX_PATH];
    const char* module = "C:\\Player\\Plugins\\plugin.dll";
    MakeTagFilePath(out, module, (DWORD)strlen(module));
    EXPECT_STREQ("C:\\Player\\Plugins\\plugin.mp3", out);
    const char* upper = "C:\\P\\PLUGIN.DLL";
    MakeTagFilePath(out, upper, (DWORD)strlen(upper));
    EXPECT_STREQ("C:\\P\\PLUGIN.mp3", out);
}

TEST(MakeTagFilePath, LengthsAtAndAroundTheLimits)
{
    // The module path as GetModuleFileNameA leaves it: n bytes, then a NUL
    // when it fits (n < 260).
    for (DWORD n : {0u, 1u, 2u, 3u, 4u, 258u, 259u, 260u, 300u}) {
        char module[MAX_PATH];
        memset(module, 'x', sizeof(module));
        if (n < MAX_PATH)
            module[n] = '\0';
        struct {
            char out[MAX_PATH];
            unsigned char after[8];
        } guarded;
        memset(&guarded, 0xEE, sizeof(guarded));
        MakeTagFilePath(guarded.out, module, n);
        std::string got(guarded.out);
        if (n >= 3 && n < MAX_PATH) {
            EXPECT_EQ(std::string(n - 3, 'x') + "mp3", got) << n;
        } else {
            EXPECT_EQ("", got) << n;   // no sound path: queries fail cleanly
        }
        for (unsigned char c : guarded.after)
            EXPECT_EQ(0xEE, c) << n;
    }
}

} // namespace
