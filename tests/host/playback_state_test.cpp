// The playback-state rules: track start and stop, pause detection with its
// two latches, the refusals, and the title text.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "plugin/plugin_module.h"
#include "state/playback_state.h"
#include "support/test_support.h"

namespace {

using testing_support::TestThread;

class PlaybackStateTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CreateModuleObjects(NULL);
        CreatePlaybackObjects();
    }

    void SetUp() override
    {
        // Fresh as at load: inactive, no track, latches clear.
        ZeroMemory(&Playback, sizeof(Playback));
        Playback.lastProgressPosition = -1;
        Playback.lastProgressValue = -1;
    }

    void Start()
    {
        EnterCriticalSection(&StateLock);
        ActivateState();
        LeaveCriticalSection(&StateLock);
    }

    static int TrackStart(TrackId track, const char* path, LONG length)
    {
        return OnTrackStart(track, path, 1, 2, 3, 4, length, 5);
    }

    static std::string Path() { return Playback.currentPath; }
};

TEST_F(PlaybackStateTest, RefusedWhileNotStartedAndNothingChanges)
{
    EXPECT_EQ(-1, TrackStart(5, "C:\\a.mp3", 1000));
    EXPECT_EQ(0u, Playback.currentTrack);
    EXPECT_EQ("", Path());
    EXPECT_EQ(PlayStateStopped, Playback.playState);

    // A refused progress report keeps its pair (the pause rule will compare
    // with it) but not its position.
    EXPECT_EQ(-1, OnProgress(0, 700, 9));
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(700, Playback.lastProgressPosition);
    EXPECT_EQ(9, Playback.lastProgressValue);
    EXPECT_EQ(PlayStateStopped, Playback.playState);

    // After a stop the entries are refused again.
    Start();
    EXPECT_EQ(0, TrackStart(5, "C:\\a.mp3", 1000));
    EXPECT_EQ(0, OnProgress(5, 10, 10));
    EXPECT_EQ(10, Playback.position);
    DeactivateState();
    EXPECT_EQ(-1, TrackStart(6, "C:\\b.mp3", 2000));
    EXPECT_EQ(-1, OnProgress(5, 20, 20));
    EXPECT_EQ(5u, Playback.currentTrack);
    EXPECT_EQ("C:\\a.mp3", Path());
    EXPECT_EQ(1000, Playback.length);
    EXPECT_EQ(10, Playback.position);
}

TEST_F(PlaybackStateTest, ActivateClearsTheTrackButKeepsTheLatches)
{
    Start();
    ASSERT_EQ(0, TrackStart(3, "C:\\x.mp3", 4000));
    ASSERT_EQ(0, OnProgress(3, 100, 1));
    ASSERT_EQ(0, OnProgress(3, 100, 1));   // paused
    ASSERT_EQ(PlayStatePaused, Playback.playState);
    memset(Playback.currentPath + 20, 'Z', 30);   // bytes past the NUL too

    Start();
    EXPECT_EQ(0u, Playback.currentTrack);
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(0, Playback.length);
    EXPECT_EQ(PlayStateStopped, Playback.playState);
    for (char c : Playback.currentPath)
        ASSERT_EQ(0, c);
    EXPECT_EQ(1, Playback.pausedReported);
    EXPECT_EQ(0, Playback.playingReported);
    EXPECT_EQ(100, Playback.lastProgressPosition);
    EXPECT_EQ(1, Playback.lastProgressValue);
}

TEST_F(PlaybackStateTest, SameTrackKeepsItsFirstPathAndTakesTheNewLength)
{
    Start();
    EXPECT_EQ(0, TrackStart(9, "C:\\first.mp3", 1000));
    EXPECT_EQ(0, OnProgress(9, 500, 500));
    EXPECT_EQ(0, TrackStart(9, "C:\\second.mp3", 2500));
    EXPECT_EQ("C:\\first.mp3", Path());
    EXPECT_EQ(2500, Playback.length);
    EXPECT_EQ(500, Playback.position);   // a start does not touch the position
    EXPECT_EQ(PlayStatePlaying, Playback.playState);

    // Another track takes its own path.
    EXPECT_EQ(0, TrackStart(10, "C:\\second.mp3", 3000));
    EXPECT_EQ("C:\\second.mp3", Path());
    EXPECT_EQ(10u, Playback.currentTrack);
}

TEST_F(PlaybackStateTest, TrackZeroCountsAsTheCurrentTrackWhileNoneIs)
{
    Start();
    EXPECT_EQ(0, TrackStart(0, "C:\\ignored.mp3", 1234));
    EXPECT_EQ("", Path());
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(1234, Playback.length);
    EXPECT_EQ(0, OnProgress(0, 1, 1));
    EXPECT_EQ(0, OnTrackStop(0));
    EXPECT_EQ(PlayStateStopped, Playback.playState);
    EXPECT_EQ(0, Playback.length);
    EXPECT_EQ(0, Playback.position);
}

TEST_F(PlaybackStateTest, TrackStopForgetsOnlyTheCurrentTrack)
{
    Start();
    ASSERT_EQ(0, TrackStart(4, "C:\\a.mp3", 9000));
    ASSERT_EQ(0, OnProgress(4, 300, 300));

    EXPECT_EQ(0, OnTrackStop(5));
    EXPECT_EQ(4u, Playback.currentTrack);
    EXPECT_EQ("C:\\a.mp3", Path());
    EXPECT_EQ(300, Playback.position);
    EXPECT_EQ(9000, Playback.length);
    EXPECT_EQ(PlayStatePlaying, Playback.playState);

    EXPECT_EQ(0, OnTrackStop(4));
    EXPECT_EQ(0u, Playback.currentTrack);
    EXPECT_EQ("", Path());
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(0, Playback.length);
    EXPECT_EQ(PlayStateStopped, Playback.playState);

    // It works while the plug-in is not started, too.
    ASSERT_EQ(0, TrackStart(8, "C:\\b.mp3", 1));
    DeactivateState();
    EXPECT_EQ(0, OnTrackStop(8));
    EXPECT_EQ(0u, Playback.currentTrack);
}

TEST_F(PlaybackStateTest, EqualReportsMeanPausedAndEachLatchWritesOnce)
{
    Start();
    ASSERT_EQ(0, TrackStart(1, "C:\\a.mp3", 60000));
    // The first report after load equals the initial pair (-1, -1): paused.
    EXPECT_EQ(0, OnProgress(1, -1, -1));
    EXPECT_EQ(PlayStatePaused, Playback.playState);

    EXPECT_EQ(0, OnProgress(1, 1000, 1000));
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(0, OnProgress(1, 1000, 1000));
    EXPECT_EQ(PlayStatePaused, Playback.playState);
    EXPECT_EQ(1000, Playback.position);

    // Only one of the pair may change for it to count as movement.
    EXPECT_EQ(0, OnProgress(1, 1000, 1001));
    EXPECT_EQ(PlayStatePlaying, Playback.playState);

    // Pause again, then a track start writes playing without the latches:
    // an equal report does not report paused again until a changed report
    // came in between.
    EXPECT_EQ(0, OnProgress(1, 1000, 1001));
    ASSERT_EQ(PlayStatePaused, Playback.playState);
    EXPECT_EQ(0, TrackStart(2, "C:\\b.mp3", 1000));
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(0, OnProgress(2, 1000, 1001));
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(0, OnProgress(2, 1500, 1500));   // movement: latch already set
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(0, OnProgress(2, 1500, 1500));
    EXPECT_EQ(PlayStatePaused, Playback.playState);
}

TEST_F(PlaybackStateTest, ProgressForAnotherTrackStoresItsPositionOnly)
{
    Start();
    ASSERT_EQ(0, TrackStart(1, "C:\\a.mp3", 60000));
    ASSERT_EQ(0, OnProgress(1, 10, 10));
    EXPECT_EQ(-1, OnProgress(2, 20, 20));
    EXPECT_EQ(20, Playback.position);
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    // The pair moved on too: an equal report for the current track is a
    // pause compared with the other track's report.
    EXPECT_EQ(0, OnProgress(1, 20, 20));
    EXPECT_EQ(PlayStatePaused, Playback.playState);
}

TEST_F(PlaybackStateTest, UnusablePathsAreStoredEmptyAndNeverOverflow)
{
    Start();
    // Null: an empty path, no fault.
    EXPECT_EQ(0, TrackStart(1, NULL, 100));
    EXPECT_EQ(1u, Playback.currentTrack);
    EXPECT_EQ("", Path());

    // 259 characters fit exactly.
    std::string fits(259, 'a');
    EXPECT_EQ(0, TrackStart(2, fits.c_str(), 100));
    EXPECT_EQ(fits, Path());

    // 260 characters would be cut into another file's name: the track is
    // current, its path empty, and the fields behind the buffer unchanged.
    std::string tooLong(260, 'b');
    EXPECT_EQ(0, TrackStart(3, tooLong.c_str(), 777));
    EXPECT_EQ(3u, Playback.currentTrack);
    EXPECT_EQ("", Path());
    EXPECT_EQ(PlayStatePlaying, Playback.playState);
    EXPECT_EQ(777, Playback.length);

    // A path running up to the end of readable memory is never read past
    // its 260th byte.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    char* pages = (char*)VirtualAlloc(NULL, 2 * info.dwPageSize,
                                      MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, pages);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + info.dwPageSize, info.dwPageSize,
                               PAGE_NOACCESS, &old));
    char* edge = pages + info.dwPageSize - 260;
    memset(edge, 'c', 260);   // no NUL before the inaccessible page
    EXPECT_EQ(0, TrackStart(4, edge, 1));
    EXPECT_EQ("", Path());
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(PlaybackStateTest, TitleIsPathLengthAndWinamp)
{
    char title[TitleCapacity];
    EXPECT_EQ(32, FormatTrackTitle(title, "C:\\Music\\a.mp3", 183000));
    EXPECT_STREQ("C:\\Music\\a.mp3 - 183000 - Winamp", title);
    FormatTrackTitle(title, "", -1500);
    EXPECT_STREQ(" - -1500 - Winamp", title);
    std::string longest(259, 'p');
    int n = FormatTrackTitle(title, longest.c_str(), -2147483647 - 1);
    EXPECT_EQ(259 + 3 + 11 + 9, n);
    EXPECT_EQ(longest + " - -2147483648 - Winamp", std::string(title));
}

// OnTrackStop takes the state lock: a stop cannot slip in between a track
// start's path and its play state.
TEST_F(PlaybackStateTest, TrackStopWaitsForTheStateLock)
{
    Start();
    ASSERT_EQ(0, TrackStart(1, "C:\\a.mp3", 1000));
    EnterCriticalSection(&StateLock);
    HANDLE entered = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    TestThread stopper([&] {
        SetEvent(entered);
        OnTrackStop(1);
        SetEvent(done);
    });
    ASSERT_TRUE(testing_support::WaitFor(entered));
    // While the lock is held, the stop cannot complete.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(done, 200));
    EXPECT_EQ(1u, Playback.currentTrack);
    LeaveCriticalSection(&StateLock);
    EXPECT_TRUE(testing_support::WaitFor(done));
    EXPECT_EQ(0u, Playback.currentTrack);
    CloseHandle(entered);
    CloseHandle(done);
}

// Host threads starting, stopping and reporting progress at the same time
// never leave a track whose fields belong to two tracks.
TEST_F(PlaybackStateTest, ConcurrentNotificationsKeepTrackAndPathTogether)
{
    Start();
    const int rounds = 3000;
    auto starter = [&](TrackId base) {
        char path[32];
        for (int i = 0; i < rounds; ++i) {
            TrackId id = base + (i % 3);
            wsprintfA(path, "C:\\track%lu.mp3", id);
            OnTrackStart(id, path, 0, 0, 0, 0, (LONG)id * 1000, 0);
            OnProgress(id, i, i);
            if (i % 7 == 0)
                OnTrackStop(id);
        }
    };
    bool mixed = false;
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    TestThread checker([&] {
        char copy[PathCapacity];
        char expected[32];
        while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
            EnterCriticalSection(&StateLock);
            TrackId id = Playback.currentTrack;
            CopyCurrentPath(copy);
            LeaveCriticalSection(&StateLock);
            if (id == 0)
                continue;
            wsprintfA(expected, "C:\\track%lu.mp3", id);
            if (strcmp(copy, expected) != 0)
                mixed = true;
        }
    });
    {
        TestThread a([&] { starter(100); });
        TestThread b([&] { starter(200); });
        ASSERT_TRUE(a.Join(60000));
        ASSERT_TRUE(b.Join(60000));
    }
    SetEvent(stop);
    ASSERT_TRUE(checker.Join());
    CloseHandle(stop);
    EXPECT_FALSE(mixed);
}

} // namespace
