// ReadTagsFrom against the tag-library stand-in's own entry points: the exact
// calls made for every type code, the fallbacks, the refusals, and the text
// pointer that must never carry one field's text into the next.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "tags/fake_tags_client.h"
#include "tags/tag_bridge.h"

namespace {

using Calls = std::vector<std::string>;

const char* const File = "C:\\music\\song.x";

Calls Join(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Calls Lookups(std::initializer_list<const char*> names)
{
    Calls calls;
    for (const char* name : names)
        calls.push_back(std::string("GetValue(") + name + ")");
    return calls;
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
    FakeTagsLibrary tags_;
    TagRecord record_;
};

TEST_F(ReadTagsTest, Type1WithAllV2TextsMakesSixCalls)
{
    tags_.SetFile(File, 0, 1);
    tags_.SetValue(File, "IART_v2", "Artist2");
    tags_.SetValue(File, "IPRD_v2", "Album2");
    tags_.SetValue(File, "INAM_v2", "Title2");
    tags_.SetValue(File, "IART_v1", "wrong");
    ASSERT_EQ(0, Read());
    EXPECT_EQ(Join(ReadPrologue(File), Lookups({"IART_v2", "IPRD_v2", "INAM_v2"})),
              tags_.Calls());
    EXPECT_STREQ("Artist2", record_.artist);
    EXPECT_STREQ("Album2", record_.album);
    EXPECT_STREQ("Title2", record_.title);
    EXPECT_TRUE(TrackUntouched());
}

TEST_F(ReadTagsTest, Type1FallsBackToV1OnNullOrEmpty)
{
    tags_.SetFile(File, 0, 1);
    tags_.SetValue(File, "IART_v2", NULL);   // null: fall back
    tags_.SetValue(File, "IART_v1", "Artist1");
    tags_.SetValue(File, "IPRD_v2", "");     // empty: fall back too
    tags_.SetValue(File, "IPRD_v1", "Album1");
    tags_.SetValue(File, "INAM_v2", "");     // empty, and v1 has nothing
    tags_.SetValue(File, "INAM_v1", NULL);
    ASSERT_EQ(0, Read());
    EXPECT_EQ(Join(ReadPrologue(File),
                   Lookups({"IART_v2", "IART_v1", "IPRD_v2", "IPRD_v1",
                            "INAM_v2", "INAM_v1"})),
              tags_.Calls());
    EXPECT_STREQ("Artist1", record_.artist);
    EXPECT_STREQ("Album1", record_.album);
    EXPECT_STREQ("", record_.title);
    EXPECT_TRUE(TrackUntouched());
}

TEST_F(ReadTagsTest, Type2AsksIsbjOnlyWhenInamIsNull)
{
    tags_.SetFile(File, 0, 2);
    tags_.SetValue(File, "IART", "Art");
    tags_.SetValue(File, "IPRD", "Alb");
    tags_.SetValue(File, "ISBJ", "Subject");
    ASSERT_EQ(0, Read());   // INAM unscripted: null
    EXPECT_EQ(Join(ReadPrologue(File),
                   Lookups({"IART", "IPRD", "INAM", "ISBJ"})),
              tags_.Calls());
    EXPECT_STREQ("Subject", record_.title);

    // An empty INAM stays: no ISBJ.
    tags_.Reset();
    tags_.SetFile(File, 0, 2);
    tags_.SetValue(File, "INAM", "");
    tags_.SetValue(File, "ISBJ", "Subject");
    ASSERT_EQ(0, Read());
    EXPECT_EQ(Join(ReadPrologue(File), Lookups({"IART", "IPRD", "INAM"})),
              tags_.Calls());
    EXPECT_STREQ("", record_.title);
    EXPECT_STREQ("", record_.artist);

    // A present INAM: no ISBJ either.
    tags_.Reset();
    tags_.SetFile(File, 0, 2);
    tags_.SetValue(File, "INAM", "Name");
    tags_.SetValue(File, "ISBJ", "Subject");
    ASSERT_EQ(0, Read());
    EXPECT_EQ(Join(ReadPrologue(File), Lookups({"IART", "IPRD", "INAM"})),
              tags_.Calls());
    EXPECT_STREQ("Name", record_.title);
    EXPECT_TRUE(TrackUntouched());
}

TEST_F(ReadTagsTest, Types5And7And8AskThePlainNamesOnly)
{
    for (DWORD type : {5u, 7u, 8u}) {
        tags_.Reset();
        tags_.SetFile(File, 0, type);
        tags_.SetValue(File, "IART", "Art");
        tags_.SetValue(File, "IPRD", "Alb");
        tags_.SetValue(File, "ISBJ", "Subject");   // INAM null: stays empty
        tags_.SetValue(File, "IART_v2", "wrong");
        memset(&record_, 0xAB, sizeof(record_));
        ASSERT_EQ(0, Read()) << type;
        EXPECT_EQ(Join(ReadPrologue(File), Lookups({"IART", "IPRD", "INAM"})),
                  tags_.Calls()) << type;
        EXPECT_STREQ("Art", record_.artist);
        EXPECT_STREQ("Alb", record_.album);
        EXPECT_STREQ("", record_.title);
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

// A library that leaves the pointer alone for a name it lacks.
TEST_F(ReadTagsTest, UntouchedPointerNeverCarriesTextIntoTheNextField)
{
    tags_.LeaveUntouched(true);
    tags_.SetFile(File, 0, 5);
    tags_.SetValue(File, "IART", "OnlyArtist");   // IPRD, INAM unscripted
    ASSERT_EQ(0, Read());
    EXPECT_STREQ("OnlyArtist", record_.artist);
    EXPECT_STREQ("", record_.album);
    EXPECT_STREQ("", record_.title);

    // Type 1: the fallback lookup must start from null as well, and a
    // missing INAM of type 2 must still lead to ISBJ.
    tags_.Reset();
    tags_.LeaveUntouched(true);
    tags_.SetFile(File, 0, 1);
    tags_.SetValue(File, "IART_v2", "ArtistV2");
    tags_.SetValue(File, "IPRD_v2", "");   // empty, v1 unscripted
    ASSERT_EQ(0, Read());
    EXPECT_STREQ("ArtistV2", record_.artist);
    EXPECT_STREQ("", record_.album);
    EXPECT_STREQ("", record_.title);
    EXPECT_EQ(Join(ReadPrologue(File),
                   Lookups({"IART_v2", "IPRD_v2", "IPRD_v1", "INAM_v2",
                            "INAM_v1"})),
              tags_.Calls());

    tags_.Reset();
    tags_.LeaveUntouched(true);
    tags_.SetFile(File, 0, 2);
    tags_.SetValue(File, "IPRD", "AlbumOnly");
    ASSERT_EQ(0, Read());
    EXPECT_STREQ("", record_.artist);
    EXPECT_STREQ("AlbumOnly", record_.album);
    EXPECT_STREQ("", record_.title);
    EXPECT_EQ(Join(ReadPrologue(File),
                   Lookups({"IART", "IPRD", "INAM", "ISBJ"})),
              tags_.Calls());
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
