// The answers of EmulatedPlayerWindow to the guest's WM_USER queries, row by
// row and at every boundary of the table, with the state set through the
// host's entries. Run with a started guest and without any guest DLL: the
// window answers the same in both cases.
#include "emulation_support.h"

#include "state/playback_state.h"

#include <string.h>

using namespace emulation_tests;
using namespace testing_support;

namespace {

class QueryProtocol : public GuestFixture,
                      public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        GuestFixture::SetUp();
        UseGuest(GetParam());
        Start();
        window = WaitForWindow();
        ASSERT_NE(nullptr, window);
    }

    // Every lparam that selects no query, around each query number.
    void ExpectUnusedRowsAnswerZero()
    {
        const LPARAM unused[] = {0, 1, 103, 106, 124, 126, 210, 212, 1024, -1};
        for (LPARAM lp : unused) {
            EXPECT_EQ(0, Query(window, 0, lp)) << "lparam " << lp;
            EXPECT_EQ(0, Query(window, 1, lp)) << "lparam " << lp << " wparam 1";
        }
    }

    // QueryListPosition is 0 whatever the wparam.
    void ExpectListPositionZero()
    {
        const WPARAM wparams[] = {0, 1, 2, 77, (WPARAM)-1};
        for (WPARAM wp : wparams)
            EXPECT_EQ(0, Query(window, wp, QueryListPosition)) << "wparam " << wp;
    }

    // QueryOutputTime with any wparam but 0 and 1 is -1.
    void ExpectOtherTimeArgumentsMinusOne()
    {
        const WPARAM wparams[] = {2, 3, 1000, (WPARAM)-1};
        for (WPARAM wp : wparams)
            EXPECT_EQ(-1, Query(window, wp, QueryOutputTime)) << "wparam " << wp;
    }

    HWND window = NULL;
};

TEST_P(QueryProtocol, EveryRowAndBoundaryFollowsThePlaybackState)
{
    // Just started: everything is cleared.
    EXPECT_EQ(0, Query(window, 0, QueryPlayState));
    EXPECT_EQ(0, Query(window, 0, QueryOutputTime));
    EXPECT_EQ(0, Query(window, 1, QueryOutputTime));
    ExpectOtherTimeArgumentsMinusOne();
    ExpectListPositionZero();
    EXPECT_EQ(0, Query(window, 0, QueryPlaylistFile)) << "no track, no file";
    ExpectUnusedRowsAnswerZero();

    // Playing: 59999 ms is 59 whole seconds; the position is not touched by
    // the start.
    ASSERT_EQ(0, plugin.TrackStart(7, "C:\\music\\seven.mp3", 59999));
    EXPECT_EQ(1, Query(window, 0, QueryPlayState));
    EXPECT_EQ(1, Query(window, 5, QueryPlayState))
        << "wparam is not looked at";
    EXPECT_EQ(59, Query(window, 1, QueryOutputTime));
    EXPECT_EQ(0, Query(window, 0, QueryOutputTime));

    // Progress moves the position; a repeated report means paused.
    ASSERT_EQ(0, plugin.Progress(7, 12345, 100));
    EXPECT_EQ(12345, Query(window, 0, QueryOutputTime));
    EXPECT_EQ(1, Query(window, 0, QueryPlayState));
    ASSERT_EQ(0, plugin.Progress(7, 12345, 100));
    EXPECT_EQ(3, Query(window, 0, QueryPlayState));
    EXPECT_EQ(12345, Query(window, 0, QueryOutputTime));
    EXPECT_EQ(59, Query(window, 1, QueryOutputTime));

    // With every field non-zero, a query answered on a neighbouring row
    // would show.
    ExpectOtherTimeArgumentsMinusOne();
    ExpectListPositionZero();
    ExpectUnusedRowsAnswerZero();

    // Whole seconds truncate toward zero, also below zero.
    struct { LONG lengthMs; LRESULT seconds; } lengths[] = {
        {60000, 60}, {1000, 1}, {999, 0}, {0, 0}, {-999, 0}, {-1500, -1},
        {-1000, -1}, {0x7FFFFFFF, 2147483},
    };
    for (const auto& row : lengths) {
        ASSERT_EQ(0, plugin.TrackStart(8, "C:\\music\\eight.mp3", row.lengthMs));
        EXPECT_EQ(row.seconds, Query(window, 1, QueryOutputTime))
            << "length " << row.lengthMs << " ms";
    }
    // A negative position is passed on as it is.
    ASSERT_EQ(0, plugin.Progress(8, -20, 0));
    EXPECT_EQ(-20, Query(window, 0, QueryOutputTime));

    // Stopped: the track's fields are cleared.
    ASSERT_EQ(0, plugin.TrackStop(8));
    EXPECT_EQ(0, Query(window, 0, QueryPlayState));
    EXPECT_EQ(0, Query(window, 0, QueryOutputTime));
    EXPECT_EQ(0, Query(window, 1, QueryOutputTime));
    EXPECT_EQ(-1, Query(window, 2, QueryOutputTime));
    EXPECT_EQ(0, Query(window, 0, QueryPlaylistFile));
}

TEST_P(QueryProtocol, FileQueryNamesTheTagFileAndWritesItEveryTime)
{
    const char* path = "C:\\music\\tagged.mp3";
    ScriptTaggedFile(path, "A", "B", "T");
    ASSERT_EQ(0, plugin.TrackStart(3, path, 1000));

    for (int query = 1; query <= 2; ++query) {
        int callsBefore = Tags().CallCount();
        LRESULT answer = Query(window, 0, QueryPlaylistFile);
        ASSERT_NE(0, answer);
        // An address in this process that holds the tag file's path.
        EXPECT_STRCASEEQ(plugin.TagFile().c_str(), (const char*)answer);
        std::string bytes = ReadWholeFile(plugin.TagFile());
        ASSERT_EQ(61u, bytes.size());
        EXPECT_EQ(0, memcmp(bytes.data(), "ID3\x03\x00", 5));
        // Each query reads the file anew: load, option, type, three values.
        EXPECT_EQ(callsBefore + 6, Tags().CallCount()) << "query " << query;
        DeleteFileA(plugin.TagFile().c_str());
    }

    // wparam is not looked at.
    EXPECT_NE(0, Query(window, 9, QueryPlaylistFile));

    // A file the library refuses: null, and the file is not touched.
    ASSERT_TRUE(WriteWholeFile(plugin.TagFile(), "earlier"));
    ASSERT_EQ(0, plugin.TrackStart(4, "C:\\music\\unknown.mp3", 1000));
    EXPECT_EQ(0, Query(window, 0, QueryPlaylistFile));
    EXPECT_EQ("earlier", ReadWholeFile(plugin.TagFile()));
}

INSTANTIATE_TEST_SUITE_P(
    WithAndWithoutGuest, QueryProtocol, ::testing::Values("", "guest_v10"),
    [](const ::testing::TestParamInfo<const char*>& info) {
        return std::string(info.param[0] == '\0' ? "NoGuestDll" : "GuestV10");
    });

} // namespace
