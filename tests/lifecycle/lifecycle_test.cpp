// The whole plug-in driven as the host drives it, with the guest stand-in
// polling from its own thread and the tag stand-in answering: start, tracks,
// pause, stop; stops that race the start; restarts; and resource use over
// many cycles.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "emulation/player_window.h"
#include "support/guest_setup.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

// What the guest's poller saw, round by round.
struct Observation {
    LRESULT playState, positionMs, lengthSeconds;
    bool hadFile;
    TagFileTexts texts;
};

class Observer {
public:
    Observer() { InitializeCriticalSection(&lock_); }
    ~Observer() { DeleteCriticalSection(&lock_); }

    static void OnPoll(void* context, LRESULT playState, LRESULT positionMs,
                       LRESULT lengthSeconds, const char* tagFilePath)
    {
        Observer* self = static_cast<Observer*>(context);
        Observation o = {playState, positionMs, lengthSeconds,
                         tagFilePath != NULL, TagFileTexts()};
        // The poller is the only one asking for the file, so it stays as
        // written until its next query.
        if (tagFilePath != NULL) {
            o.texts = ReadTagFile(ReadWholeFile(tagFilePath));
            if (!o.texts.valid)
                InterlockedIncrement(&self->brokenFiles_);
            if (!(o.texts.artist.size() > 7 &&
                  o.texts.artist.substr(7) == o.texts.title.substr(6) &&
                  o.texts.title.substr(6) == o.texts.album.substr(6)))
                InterlockedIncrement(&self->mixedFiles_);
            if (self->expectedPath_ != tagFilePath)
                InterlockedIncrement(&self->wrongPaths_);
        }
        EnterCriticalSection(&self->lock_);
        self->seen_.push_back(o);
        LeaveCriticalSection(&self->lock_);
    }

    // Waits until the poller has seen a round that satisfies pred.
    bool WaitFor(const std::function<bool(const Observation&)>& pred,
                 DWORD timeoutMs = 10000)
    {
        return WaitUntil([&] {
            EnterCriticalSection(&lock_);
            bool found = false;
            for (size_t i = checked_; i < seen_.size() && !found; ++i)
                found = pred(seen_[i]);
            checked_ = found ? seen_.size() : checked_;
            LeaveCriticalSection(&lock_);
            return found;
        }, timeoutMs);
    }

    void Attach(GuestDoubleControl* control, const std::string& tagFile)
    {
        control->pollerEnabled = 1;
        control->onPoll = OnPoll;
        control->context = this;
        expectedPath_ = tagFile;
    }

    size_t Rounds()
    {
        EnterCriticalSection(&lock_);
        size_t n = seen_.size();
        LeaveCriticalSection(&lock_);
        return n;
    }

    LONG brokenFiles_ = 0, mixedFiles_ = 0, wrongPaths_ = 0;

private:
    CRITICAL_SECTION lock_;
    std::vector<Observation> seen_;
    size_t checked_ = 0;
    std::string expectedPath_;
};

class Lifecycle : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Tags().Loaded());
        Tags().Reset();
    }
};

std::string WindowTitle(HWND window)
{
    char title[600] = {0};
    GetWindowTextA(window, title, sizeof(title));
    return title;
}

TEST_F(Lifecycle, TracksPlayThroughToTheGuestEndToEnd)
{
    Tags().SetMp3File("C:\\Music\\one.mp3", "artist-1", "album-1", "title-1");
    Tags().SetMp3File("C:\\Music\\two.mp3", "artist-2", "album-2", "title-2");

    GuestDoubleControl control = {};
    control.queryFromInit = 1;
    LoadedPlugin plugin;
    Observer observer;
    observer.Attach(&control, plugin.TagFile());
    GuestSetup guest("guest_v10", &control);

    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    HWND window = FindPlayerWindow();
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(window, control.parentAtInit);
    EXPECT_EQ(0, control.initQueryAnswer);   // stopped at the start

    // The guest sees nothing playing and no file before the first track.
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 0 && !o.hadFile && o.lengthSeconds == 0;
    }));

    // The title follows the track; a window thread slower than the track
    // start's wait (a busy machine) shows it a little later.
    ASSERT_EQ(0, plugin.TrackStart(1, "C:\\Music\\one.mp3", 183500));
    EXPECT_TRUE(WaitUntil([&] {
        return WindowTitle(window) == "C:\\Music\\one.mp3 - 183500 - Winamp";
    })) << WindowTitle(window);
    ASSERT_EQ(0, plugin.Progress(1, 1000, 1000));
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 1 && o.positionMs == 1000 &&
               o.lengthSeconds == 183 && o.hadFile &&
               o.texts.artist == "artist-1" && o.texts.album == "album-1" &&
               o.texts.title == "title-1";
    }));

    // Two equal reports: paused; a moving one: playing again.
    ASSERT_EQ(0, plugin.Progress(1, 2000, 2000));
    ASSERT_EQ(0, plugin.Progress(1, 2000, 2000));
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 3 && o.positionMs == 2000;
    }));
    ASSERT_EQ(0, plugin.Progress(1, 3000, 3000));
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 1 && o.positionMs == 3000;
    }));

    // The next track: its own tags and title.
    ASSERT_EQ(0, plugin.TrackStop(1));
    ASSERT_EQ(0, plugin.TrackStart(2, "C:\\Music\\two.mp3", 59999));
    EXPECT_TRUE(WaitUntil([&] {
        return WindowTitle(window) == "C:\\Music\\two.mp3 - 59999 - Winamp";
    })) << WindowTitle(window);
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 1 && o.lengthSeconds == 59 &&
               o.texts.artist == "artist-2" && o.texts.title == "title-2";
    }));

    // A stop: nothing playing, no file; the last tag file stays.
    ASSERT_EQ(0, plugin.TrackStop(2));
    EXPECT_TRUE(observer.WaitFor([](const Observation& o) {
        return o.playState == 0 && o.positionMs == 0 &&
               o.lengthSeconds == 0 && !o.hadFile;
    }));
    EXPECT_EQ("artist-2", ReadTagFile(ReadWholeFile(plugin.TagFile())).artist);

    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(1, control.pollerStoppedInQuit);
    EXPECT_EQ(1, control.unloads);
    EXPECT_EQ(0, control.callsAfterQuit);
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(0, observer.brokenFiles_);
    EXPECT_EQ(0, observer.wrongPaths_);

    // After the stop the notifications are refused again, and a refused
    // track start asks no window for its title: no stray title request
    // (WM_APP + 1) lands in the host thread's own queue.
    EXPECT_EQ(-1, plugin.TrackStart(3, "C:\\Music\\one.mp3", 1));
    EXPECT_EQ(-1, plugin.Progress(3, 1, 2));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0x8001, 0x8001, PM_REMOVE));
}

TEST_F(Lifecycle, StopRightAfterStartEndsEveryTime)
{
    GuestDoubleControl control = {};
    control.queryFromInit = 1;
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    for (int i = 0; i < 40; ++i) {
        Bounded("PluginInit and PluginQuit", [&] {
            EXPECT_EQ(0, plugin.Init());
            EXPECT_EQ(0, plugin.Quit());
        });
        ASSERT_EQ(i + 1, control.initCalls);
        ASSERT_EQ(i + 1, control.quitCalls);
        ASSERT_EQ(i + 1, control.unloads);
        ASSERT_EQ(nullptr, FindPlayerWindow());
    }
}

TEST_F(Lifecycle, SecondStartWorksAsTheFirst)
{
    Tags().SetMp3File("C:\\a.mp3", "artist-7", "album-7", "title-7");
    GuestDoubleControl control = {};
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    for (int round = 1; round <= 3; ++round) {
        ASSERT_EQ(0, plugin.Init());
        ASSERT_TRUE(WaitUntil([&] { return control.initCalls == round; }));
        HWND window = FindPlayerWindow();
        ASSERT_NE(nullptr, window) << "round " << round;
        ASSERT_EQ(0, plugin.TrackStart(round, "C:\\a.mp3", 2000));
        EXPECT_EQ(1, Query(window, 0, QueryPlayState));
        EXPECT_EQ(2, Query(window, 1, QueryOutputTime));
        LRESULT file = Query(window, 0, QueryPlaylistFile);
        ASSERT_NE(0, file);
        EXPECT_EQ(plugin.TagFile(), (const char*)file);
        // The title, even when the start came while the window was still
        // being made.
        EXPECT_TRUE(WaitUntil([&] {
            return WindowTitle(window) == "C:\\a.mp3 - 2000 - Winamp";
        })) << WindowTitle(window);
        Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
        EXPECT_EQ(round, control.quitCalls);
    }
}

// Notifications that come while the guest is still starting, before the
// window is stored: the window gets the title of an accepted track start,
// and only of one. A second start meanwhile is the running plug-in: 0, no
// second thread or init, and the title kept.
TEST_F(Lifecycle, TitleAtCreationComesOnlyFromAnAcceptedTrackStart)
{
    struct Row {
        bool trackStart, secondStart;
        const char* title;
    } rows[] = {
        {false, false, PlayerClassName},   // OnProgress with track 0 alone
        {true, false, "C:\\early.mp3 - 3000 - Winamp"},
        {true, true, "C:\\early.mp3 - 3000 - Winamp"},
    };
    GuestDoubleControl control = {};
    control.initRelease = CreateEventA(NULL, TRUE, FALSE, NULL);
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    LONG starts = 0;
    for (const Row& row : rows) {
        ResetEvent(control.initRelease);
        ASSERT_EQ(0, plugin.Init());
        ++starts;
        // Track 0 is the current track while none is: playing is reported.
        ASSERT_EQ(0, plugin.Progress(0, 10, 20));
        if (row.trackStart) {
            ASSERT_EQ(0, plugin.TrackStart(7, "C:\\early.mp3", 3000));
        }
        if (row.secondStart) {
            ASSERT_TRUE(WaitUntil([&] { return control.initCalls == starts; }));
            int threads = CountThreads();
            Bounded("PluginInit", [&] { EXPECT_EQ(0, plugin.Init()); });
            EXPECT_EQ(threads, CountThreads());
        }
        SetEvent(control.initRelease);
        HWND window = NULL;
        ASSERT_TRUE(WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; }));
        // Answered from the loop: the window is stored and titled.
        Query(window, 0, QueryListPosition);
        EXPECT_EQ(row.title, WindowTitle(window));
        EXPECT_EQ(starts, control.initCalls);
        Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
    }
    CloseHandle(control.initRelease);
}

TEST_F(Lifecycle, StartWhileRunningKeepsTheOneWindowThread)
{
    GuestDoubleControl control = {};
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    int threads = CountThreads();
    HWND window = FindPlayerWindow();
    ASSERT_EQ(0, plugin.TrackStart(5, "C:\\kept.mp3", 4000));

    EXPECT_EQ(0, plugin.Init());
    EXPECT_EQ(threads, CountThreads());
    EXPECT_EQ(window, FindPlayerWindow());
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(1, Query(window, 0, QueryPlayState));   // state kept

    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads - 1; }));
    // A second stop has nothing left to wait on or close.
    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
}

TEST_F(Lifecycle, WindowClosedByOthersIsForgottenAndTheNextStartIsFresh)
{
    GuestDoubleControl control = {};
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    HWND window = FindPlayerWindow();
    ASSERT_NE(nullptr, window);

    // Someone closes the window: it is destroyed, the guest stops and the
    // window thread ends by itself.
    SendMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(window); }));
    EXPECT_EQ(1, control.quitCalls);

    // Still started: tracks are accepted; the handle was forgotten with the
    // window, so the title goes nowhere.
    EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));

    // A start right away waits for the ending thread and starts a new
    // window thread with a new guest.
    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 2; }));
    EXPECT_NE(nullptr, FindPlayerWindow());
    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
    EXPECT_EQ(2, control.quitCalls);
}

// The guest hammers its queries while host threads start, report and stop
// tracks with different tags: no deadlock, no fault, and every tag file the
// guest reads holds one track's tags whole.
TEST_F(Lifecycle, QueriesUnderConcurrentTrackChangesStayWhole)
{
    const int tracks = 6;
    char path[32];
    for (int i = 1; i <= tracks; ++i) {
        wsprintfA(path, "C:\\t%d.mp3", i);
        std::string n = std::to_string(i * 1111);
        // Texts of different lengths, so a mix would also break sizes.
        Tags().SetMp3File(path, "artist-" + n + std::string(i * 7, 'a'),
                        "album-" + n + std::string(i * 7, 'a'),
                        "title-" + n + std::string(i * 7, 'a'));
    }
    GuestDoubleControl control = {};
    LoadedPlugin plugin;
    Observer observer;
    observer.Attach(&control, plugin.TagFile());
    GuestSetup guest("guest_v10", &control);
    ASSERT_EQ(0, plugin.Init());

    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    auto host = [&](int first) {
        char trackPath[32];
        for (int i = 0; WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++i) {
            int t = 1 + (first + i) % tracks;
            wsprintfA(trackPath, "C:\\t%d.mp3", t);
            plugin.TrackStart((DWORD)t, trackPath, t * 1000);
            plugin.Progress((DWORD)t, i, i);
            if (i % 5 == 0)
                plugin.TrackStop((DWORD)t);
        }
    };
    {
        TestThread a([&] { host(0); });
        TestThread b([&] { host(3); });
        // Bounded by rounds observed, not by time alone: a busy machine
        // takes longer to reach them.
        DWORD start = GetTickCount();
        while (observer.Rounds() < 300 && GetTickCount() - start < 60000)
            WaitUntil([] { return false; }, 20);
        SetEvent(stop);
        ASSERT_TRUE(a.Join());
        ASSERT_TRUE(b.Join());
    }
    CloseHandle(stop);
    EXPECT_GE(observer.Rounds(), 300u);
    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); });
    EXPECT_EQ(0, observer.brokenFiles_);
    EXPECT_EQ(0, observer.mixedFiles_);
    EXPECT_EQ(0, observer.wrongPaths_);
    EXPECT_EQ(1, control.quitCalls);
}

TEST_F(Lifecycle, ResourceMeasuresSeeDeliberateLeaks)
{
    // The measures below must be able to fail: leak on purpose and look.
    int handles = CountOpenHandles();
    HANDLE leaked[8];
    for (HANDLE& h : leaked)
        h = CreateEventA(NULL, FALSE, FALSE, NULL);
    EXPECT_EQ(handles + 8, CountOpenHandles());
    for (HANDLE h : leaked)
        CloseHandle(h);
    EXPECT_EQ(handles, CountOpenHandles());

    SIZE_T bytes = CommittedPrivateBytes();
    void* block = VirtualAlloc(NULL, 1 << 20, MEM_COMMIT | MEM_RESERVE,
                               PAGE_READWRITE);
    EXPECT_GE(CommittedPrivateBytes(), bytes + (1 << 20));
    VirtualFree(block, 0, MEM_RELEASE);

    int threads = CountThreads();
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    {
        TestThread extra([&] { WaitForSingleObject(release, 10000); });
        EXPECT_EQ(threads + 1, CountThreads());
        SetEvent(release);
    }
    CloseHandle(release);
}

TEST_F(Lifecycle, ManyCyclesLeaveHandlesThreadsAndMemoryFlat)
{
    GuestDoubleControl control = {};
    control.queryFromInit = 1;
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    auto cycle = [&] {
        EXPECT_EQ(0, plugin.Init());
        EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));
        EXPECT_EQ(0, plugin.Progress(1, 10, 10));
        EXPECT_EQ(0, plugin.Quit());
    };
    // Warm up: first-use allocations of the system libraries.
    for (int i = 0; i < 10; ++i)
        cycle();
    ASSERT_TRUE(WaitUntil([&] { return control.unloads == 10; }));
    int handles = CountOpenHandles();
    int threads = CountThreads();
    SIZE_T bytes = CommittedPrivateBytes();

    const int cycles = 200;
    Bounded("200 start/stop cycles", [&] {
        for (int i = 0; i < cycles; ++i)
            cycle();
    }, 120000);

    EXPECT_EQ(10 + cycles, control.initCalls);
    EXPECT_EQ(10 + cycles, control.quitCalls);
    EXPECT_EQ(10 + cycles, control.loads);
    EXPECT_EQ(10 + cycles, control.unloads);
    EXPECT_EQ(threads, CountThreads());
    EXPECT_LE(CountOpenHandles(), handles + 2);
    // Heaps may keep a page or two; a leak per cycle would be 200 of them.
    EXPECT_LE(CommittedPrivateBytes(), bytes + 256 * 1024);
}

} // namespace
