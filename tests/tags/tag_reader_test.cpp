// ReadTagsFrom against the tag-library stand-in's own entry points: the exact
// calls made for every type code, the fallbacks, the refusals, and the text
// pointer that must never carry one field's text into the next.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "support/tag_library.h"
#include "tags/tag_bridge.h"

namespace {

using Calls = std::vector<std::string>;

const char* const File = "C:\\music\\song.x";

Calls Join(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ReadTagsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tags_.Loaded()) << "tag-library stand-in not found";
        tags_.Reset();
        memset(&record_, 0xAB, sizeof(record_));
    }
    int Read(const char* path = File)
    {
        return ReadTagsFrom(&tags_.Entries(), &record_, path);
    }
    bool RecordUntouched() const
    {
        const unsigned char* bytes = (const unsigned char*)&record_;
        for (size_t i = 0; i < sizeof(record_); ++i)
            if (bytes[i] != 0xAB)
                return false;
        return true;
    }
    bool TrackUntouched() const
    {
        for (char c : record_.track)
            if ((unsigned char)c != 0xAB)
                return false;
        return true;
    }
    FakeTagsLibrary& tags_ = Tags();
    TagRecord record_;
};

// Which value names are asked, in which order, and what lands in the
// record, for every handled type: the fallbacks on null and on empty, and a
// library that leaves the text pointer alone for a name it lacks (the last
// lookup's text must never carry into the next field).
struct NamesCase {
    const char* what;
    DWORD type;
    bool leaveUntouched;
    // Scripted values: name, text (null: the library answers null).
    std::vector<std::pair<const char*, const char*>> values;
    std::vector<const char*> lookups;
    const char* artist;
    const char* album;
    const char* title;
};

const NamesCase NamesCases[] = {
    {"type 1, all v2 texts", 1, false,
     {{"IART_v2", "Artist2"}, {"IPRD_v2", "Album2"}, {"INAM_v2", "Title2"},
      {"IART_v1", "wrong"}},
     {"IART_v2", "IPRD_v2", "INAM_v2"}, "Artist2", "Album2", "Title2"},
    {"type 1, v1 on null or empty v2", 1, false,
     {{"IART_v2", NULL}, {"IART_v1", "Artist1"}, {"IPRD_v2", ""},
      {"IPRD_v1", "Album1"}, {"INAM_v2", ""}, {"INAM_v1", NULL}},
     {"IART_v2", "IART_v1", "IPRD_v2", "IPRD_v1", "INAM_v2", "INAM_v1"},
     "Artist1", "Album1", ""},
    {"type 1, v1 on an empty v2 artist", 1, false,
     {{"IART_v2", ""}, {"IART_v1", "X"}, {"IPRD_v2", "Album2"},
      {"INAM_v2", "Title2"}},
     {"IART_v2", "IART_v1", "IPRD_v2", "INAM_v2"}, "X", "Album2", "Title2"},
    {"type 2, ISBJ when INAM is null", 2, false,
     {{"IART", "Art"}, {"IPRD", "Alb"}, {"ISBJ", "Subject"}},
     {"IART", "IPRD", "INAM", "ISBJ"}, "Art", "Alb", "Subject"},
    {"type 2, an empty INAM stays", 2, false,
     {{"INAM", ""}, {"ISBJ", "Subject"}},
     {"IART", "IPRD", "INAM"}, "", "", ""},
    {"type 2, a present INAM", 2, false,
     {{"INAM", "Name"}, {"ISBJ", "Subject"}},
     {"IART", "IPRD", "INAM"}, "", "", "Name"},
    {"type 5, plain names only", 5, false,
     {{"IART", "Art"}, {"IPRD", "Alb"}, {"ISBJ", "Subject"},
      {"IART_v2", "wrong"}},
     {"IART", "IPRD", "INAM"}, "Art", "Alb", ""},
    {"type 7, plain names only", 7, false,
     {{"IART", "Art"}, {"IPRD", "Alb"}, {"ISBJ", "Subject"}},
     {"IART", "IPRD", "INAM"}, "Art", "Alb", ""},
    {"type 8, plain names only", 8, false,
     {{"IART", "Art"}, {"IPRD", "Alb"}, {"ISBJ", "Subject"}},
     {"IART", "IPRD", "INAM"}, "Art", "Alb", ""},
    {"type 5, pointer left alone", 5, true,
     {{"IART", "OnlyArtist"}},
     {"IART", "IPRD", "INAM"}, "OnlyArtist", "", ""},
    {"type 1, pointer left alone: the fallback starts from null", 1, true,
     {{"IART_v2", "ArtistV2"}, {"IPRD_v2", ""}},
     {"IART_v2", "IPRD_v2", "IPRD_v1", "INAM_v2", "INAM_v1"},
     "ArtistV2", "", ""},
    {"type 2, pointer left alone: a missing INAM still leads to ISBJ", 2,
     true,
     {{"IPRD", "AlbumOnly"}},
     {"IART", "IPRD", "INAM", "ISBJ"}, "", "AlbumOnly", ""},
};

TEST_F(ReadTagsTest, ValueNamesAndFallbacksOfEveryHandledType)
{
    for (const NamesCase& c : NamesCases) {
        SCOPED_TRACE(c.what);
        tags_.Reset();
        tags_.LeaveUntouched(c.leaveUntouched);
        tags_.SetFile(File, 0, c.type);
        for (const auto& value : c.values)
            tags_.SetValue(File, value.first, value.second);
        memset(&record_, 0xAB, sizeof(record_));
        ASSERT_EQ(0, Read());
        Calls lookups;
        for (const char* name : c.lookups)
            lookups.push_back(std::string("GetValue(") + name + ")");
        EXPECT_EQ(Join(ReadPrologue(File), lookups), tags_.Calls());
        EXPECT_STREQ(c.artist, record_.artist);
        EXPECT_STREQ(c.album, record_.album);
        EXPECT_STREQ(c.title, record_.title);
        EXPECT_TRUE(TrackUntouched());
    }
}

TEST_F(ReadTagsTest, UnhandledTypesFailAndLeaveTheRecordAlone)
{
    for (DWORD type : {0u, 3u, 4u, 6u, 9u, 10u, 0x80000000u, 0xFFFFFFFFu}) {
        tags_.Reset();
        tags_.SetPlainFile(File, type, "Art", "Alb", "Tit");
        EXPECT_EQ(-1, Read()) << type;
        EXPECT_EQ(ReadPrologue(File), tags_.Calls()) << type;
        EXPECT_TRUE(RecordUntouched()) << type;
    }
}

TEST_F(ReadTagsTest, FailedLoadCallsNothingElse)
{
    tags_.SetPlainFile(File, 5, "Art", "Alb", "Tit");
    tags_.SetFile(File, 1, 5);
    EXPECT_EQ(-1, Read());
    tags_.SetFile(File, 0x80000000u, 5);
    EXPECT_EQ(-1, Read());
    EXPECT_EQ(-1, Read("C:\\unscripted.x"));
    EXPECT_EQ(-1, Read(""));   // passed on unchanged, empty included
    EXPECT_EQ(Calls({std::string("Load(") + File + ")",
                     std::string("Load(") + File + ")",
                     "Load(C:\\unscripted.x)", "Load()"}),
              tags_.Calls());
    EXPECT_TRUE(RecordUntouched());
}

TEST_F(ReadTagsTest, HighBytesAndExact255ByteTextsAreCopiedUnchanged)
{
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c)
        high += (char)c;
    std::string full(255, 'F');
    tags_.SetPlainFile(File, 5, high.c_str(), full.c_str(), "\x82\xA0");
    ASSERT_EQ(0, Read());
    EXPECT_EQ(high, std::string(record_.artist));
    EXPECT_EQ(full, std::string(record_.album, 255));
    EXPECT_EQ('\0', record_.album[255]);
    EXPECT_EQ("\x82\xA0", std::string(record_.title));
    EXPECT_TRUE(TrackUntouched());
}

TEST_F(ReadTagsTest, LongTextsAreCutWithoutTouchingTheNeighbours)
{
    std::string longText = std::string(254, 'x') + "\x82\xA0" + "tail";
    tags_.SetPlainFile(File, 7, "a", longText.c_str(), "t");
    ASSERT_EQ(0, Read());
    EXPECT_STREQ("a", record_.artist);
    EXPECT_EQ(std::string(254, 'x'), std::string(record_.album));
    EXPECT_STREQ("t", record_.title);
    EXPECT_TRUE(TrackUntouched());
}

// ReadTags without a bound library refuses without calling anything.
TEST(ReadTags, UnboundLibraryRefuses)
{
    TagRecord record;
    memset(&record, 0xAB, sizeof(record));
    ASSERT_EQ(nullptr, TagLibrary.module);
    EXPECT_EQ(-1, ReadTags(&record, File));
    EXPECT_EQ(0xAB, (unsigned char)record.artist[0]);
}

} // namespace
