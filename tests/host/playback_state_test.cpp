// The playback-state rules: track start and stop, pause detection with its
// two latches, the refusals, and the title text.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>

#include "base/plugin_module.h"
#include "state/playback_state.h"
#include "support/test_support.h"
#include "tags/tag_bridge.h"

namespace {

using testing_support::TestThread;
using testing_support::WaitFor;
using testing_support::WaitUntil;

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
    EXPECT_EQ(0, Playback.playState);

    // A refused progress report keeps its pair (the pause rule will compare
    // with it) but not its position.
    EXPECT_EQ(-1, OnProgress(0, 700, 9));
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(700, Playback.lastProgressPosition);
    EXPECT_EQ(9, Playback.lastProgressValue);
    EXPECT_EQ(0, Playback.playState);

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
    ASSERT_EQ(3, Playback.playState);
    memset(Playback.currentPath + 20, 'Z', 30);   // bytes past the NUL too

    Start();
    EXPECT_EQ(0u, Playback.currentTrack);
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(0, Playback.length);
    EXPECT_EQ(0, Playback.playState);
    for (char c : Playback.currentPath)
        ASSERT_EQ(0, c);
    EXPECT_EQ(1, Playback.pausedReported);
    EXPECT_EQ(0, Playback.playingReported);
    EXPECT_EQ(100, Playback.lastProgressPosition);
    EXPECT_EQ(1, Playback.lastProgressValue);
}

// The rules of a track start and of progress reports, step by step on a
// record of their own: which path a track keeps, what a start leaves alone,
// track 0 while none is current, and the pause rule with its two latches.
struct Step {
    bool start;           // else a progress report
    TrackId track;
    const char* path;     // start
    LONG a, b;            // start: length; progress: position, value
    // After the step:
    int result;           // progress only
    PlayState state;      // 0 stopped, 1 playing, 3 paused
    LONG position, length;
    const char* currentPath;
};

struct StateCase {
    const char* what;
    std::vector<Step> steps;
};

const StateCase StateCases[] = {
    {"the same track keeps its first path and takes the new length",
     {{true, 9, "C:\\first.mp3", 1000, 0, 0, 1, 0, 1000, "C:\\first.mp3"},
      {false, 9, NULL, 500, 500, 0, 1, 500, 1000, "C:\\first.mp3"},
      // A start does not touch the position.
      {true, 9, "C:\\second.mp3", 2500, 0, 0, 1, 500, 2500, "C:\\first.mp3"},
      {true, 10, "C:\\second.mp3", 3000, 0, 0, 1, 500, 3000,
       "C:\\second.mp3"}}},
    {"track 0 is the current track while none is",
     {{true, 0, "C:\\ignored.mp3", 1234, 0, 0, 1, 0, 1234, ""},
      {false, 0, NULL, 1, 2, 0, 1, 1, 1234, ""}}},
    {"equal reports mean paused; each latch writes once",
     // The first report after load equals the initial pair (-1, -1).
     {{true, 1, "C:\\a.mp3", 60000, 0, 0, 1, 0, 60000, "C:\\a.mp3"},
      {false, 1, NULL, -1, -1, 0, 3, -1, 60000, "C:\\a.mp3"},
      {false, 1, NULL, 1000, 1000, 0, 1, 1000, 60000, "C:\\a.mp3"},
      {false, 1, NULL, 1000, 1000, 0, 3, 1000, 60000, "C:\\a.mp3"},
      // One of the pair changing is movement.
      {false, 1, NULL, 1000, 1001, 0, 1, 1000, 60000, "C:\\a.mp3"},
      {false, 1, NULL, 1000, 1001, 0, 3, 1000, 60000, "C:\\a.mp3"},
      // A start writes playing without the latches: an equal report is no
      // new pause until a changed one came in between.
      {true, 2, "C:\\b.mp3", 1000, 0, 0, 1, 1000, 1000, "C:\\b.mp3"},
      {false, 2, NULL, 1000, 1001, 0, 1, 1000, 1000, "C:\\b.mp3"},
      {false, 2, NULL, 1500, 1500, 0, 1, 1500, 1000, "C:\\b.mp3"},
      {false, 2, NULL, 1500, 1500, 0, 3, 1500, 1000, "C:\\b.mp3"}}},
    {"a report for another track moves the position and the pair only",
     {{true, 1, "C:\\a.mp3", 60000, 0, 0, 1, 0, 60000, "C:\\a.mp3"},
      {false, 1, NULL, 10, 10, 0, 1, 10, 60000, "C:\\a.mp3"},
      {false, 2, NULL, 20, 20, -1, 1, 20, 60000, "C:\\a.mp3"},
      // Equal to the other track's report: paused.
      {false, 1, NULL, 20, 20, 0, 3, 20, 60000, "C:\\a.mp3"}}},
};

TEST(StateRules, TrackStartsAndProgressStepByStep)
{
    for (const StateCase& c : StateCases) {
        PlaybackState state;
        ZeroMemory(&state, sizeof(state));
        state.lastProgressPosition = -1;
        state.lastProgressValue = -1;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(std::string(c.what) + ", step " + std::to_string(i + 1));
            const Step& step = c.steps[i];
            if (step.start) {
                ApplyTrackStart(&state, step.track, step.path, step.a);
            } else {
                EXPECT_EQ(step.result,
                          ApplyProgress(&state, step.track, step.a, step.b));
            }
            EXPECT_EQ(step.state, state.playState);
            EXPECT_EQ(step.position, state.position);
            EXPECT_EQ(step.length, state.length);
            EXPECT_STREQ(step.currentPath, state.currentPath);
        }
    }
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
    EXPECT_EQ(1, Playback.playState);

    EXPECT_EQ(0, OnTrackStop(4));
    EXPECT_EQ(0u, Playback.currentTrack);
    EXPECT_EQ("", Path());
    EXPECT_EQ(0, Playback.position);
    EXPECT_EQ(0, Playback.length);
    EXPECT_EQ(0, Playback.playState);
    // The playing latch is still set from track 4's moving report, so a
    // moving report for track 0 (current while none is) leaves the stop.
    EXPECT_EQ(0, OnProgress(0, 400, 401));
    EXPECT_EQ(0, Playback.playState);
    EXPECT_EQ(400, Playback.position);

    // It works while the plug-in is not started, too.
    ASSERT_EQ(0, TrackStart(8, "C:\\b.mp3", 1));
    DeactivateState();
    EXPECT_EQ(0, OnTrackStop(8));
    EXPECT_EQ(0u, Playback.currentTrack);

    // Track 0, while none is current, is the current track.
    Start();
    ASSERT_EQ(0, TrackStart(0, "C:\\ignored.mp3", 1234));
    EXPECT_EQ(0, OnTrackStop(0));
    EXPECT_EQ(0, Playback.playState);
    EXPECT_EQ(0, Playback.length);
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
    EXPECT_EQ(1, Playback.playState);
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
    const LONG ownerOnly = StateLock.LockCount;
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    TestThread stopper([&] {
        OnTrackStop(1);
        SetEvent(done);
    });
    // The stop is seen at the lock by its count moving (as below), however
    // late its thread runs; while the lock is held, it cannot complete.
    EXPECT_TRUE(WaitUntil([&] {
        return StateLock.LockCount != ownerOnly || WaitFor(done, 0);
    }));
    EXPECT_FALSE(WaitFor(done, 0)) << "done while StateLock was held";
    EXPECT_EQ(1u, Playback.currentTrack);
    LeaveCriticalSection(&StateLock);
    EXPECT_TRUE(WaitFor(done));
    EXPECT_EQ(0u, Playback.currentTrack);
    CloseHandle(done);
}

// PathLock keeps the host threads' writers and the window thread's readers
// of the current path apart: none of them gets past it while another thread
// holds it, and what each leaves is whole. The test sees the other thread
// arrive at the lock by the lock's count moving (Wine counts waiters up from
// 0, Windows down in steps of 4), so it needs no sleep to be sure.
TEST_F(PlaybackStateTest, PathLockHoldsOffEveryWriterAndReaderOfThePath)
{
    const std::string pathA = "C:\\" + std::string(250, 'a') + ".mp3";
    const std::string pathB = "C:\\" + std::string(250, 'b') + ".mp3";
    char copy[PathCapacity];
    struct Row {
        const char* what;
        std::function<void()> run;
        bool reader;          // the holder rewrites the path meanwhile
        std::string pathAfter;
        const char* copyAfter;
    } rows[] = {
        {"OnTrackStart", [&] { TrackStart(2, pathB.c_str(), 1); }, false,
         pathB, NULL},
        {"OnTrackStop", [&] { OnTrackStop(1); }, false, "", NULL},
        {"CopyCurrentPath", [&] { CopyCurrentPath(copy); }, true, pathB,
         pathB.c_str()},
        // The window thread's file query, with no tag library bound.
        {"WriteTagFile", [&] { EXPECT_EQ(nullptr, WriteTagFile("x.mp3")); },
         true, pathB, NULL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Start();
        ASSERT_EQ(0, TrackStart(1, pathA.c_str(), 1));
        HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
        EnterCriticalSection(&PathLock);
        const LONG ownerOnly = PathLock.LockCount;
        {
            TestThread other([&] { row.run(); SetEvent(done); });
            EXPECT_TRUE(WaitUntil([&] {
                return PathLock.LockCount != ownerOnly || WaitFor(done, 0);
            }));
            EXPECT_FALSE(WaitFor(done, 0)) << "done while PathLock was held";
            EXPECT_EQ(pathA, Path());
            if (row.reader)
                CopyMemory(Playback.currentPath, pathB.c_str(),
                           pathB.size() + 1);
            LeaveCriticalSection(&PathLock);
            EXPECT_TRUE(other.Join());
        }
        EXPECT_EQ(row.pathAfter, Path());
        if (row.copyAfter != NULL) {
            EXPECT_STREQ(row.copyAfter, copy);
        }
        CloseHandle(done);
    }
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
