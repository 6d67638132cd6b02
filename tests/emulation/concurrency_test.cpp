// Threads against the player window: configure requests racing the guest's
// start and stop, a guest that leaves its subclass in place, a guest thread
// that queries until quit stops it, and host threads that hold StateLock
// while they wait for the window thread. Every wait is bounded; a hang ends
// the run as a failure.
#include "emulation_support.h"

#include "common/sent_message_wait.h"

using namespace emulation_tests;
using namespace testing_support;

namespace {

class Concurrency : public GuestFixture {};

TEST_F(Concurrency, ConfigureRacingStartAndStopNeverReachesAHalfBoundOrFreedGuest)
{
    UseGuest("guest_v10");
    control.configSendsQuery = 1;   // the window thread must answer it, also
    control.configBusyMs = 5;       // while the stop waits for the call
    control.initBusyMs = 10;        // requests meet a guest still starting
    control.pollerEnabled = 1;
    control.pollIntervalMs = 1;

    BoxWatcher watcher;
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    volatile LONG requests = 0;
    volatile LONG wrongResults = 0;
    TestThread* hammer = new TestThread([&] {
        while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
            if (plugin.Configure(NULL) != 0)
                InterlockedIncrement(&wrongResults);
            InterlockedIncrement(&requests);
        }
    });

    const int cycles = 8;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Start();
        if (cycle % 2 == 0) {
            // Let a request reach the running guest; the odd cycles stop at
            // once, while the window may still be being made.
            LONG before = control.configCalls;
            EXPECT_TRUE(WaitUntil([&] { return control.configCalls > before; },
                                  5000))
                << "cycle " << cycle;
        }
        Stop();
    }
    SetEvent(stop);
    if (!hammer->Join(10000))
        FailHang("the OnConfigure thread");
    delete hammer;
    CloseHandle(stop);

    EXPECT_EQ(0, wrongResults);
    EXPECT_EQ(cycles, control.initCalls);
    EXPECT_EQ(cycles, control.quitCalls);
    EXPECT_EQ(0, control.callsAfterQuit);
    EXPECT_EQ(0, control.configOutsideStart) << "config reached a guest that "
                                                "was starting or stopping";
    EXPECT_EQ(0, control.quitDuringConfig) << "quit ran beside config";
    // Every request went either to a started guest or to the box.
    EXPECT_EQ(requests, control.configCalls + (LONG)watcher.Count());
    EXPECT_GT(control.configCalls, 0);
    EXPECT_GT(watcher.Count(), 0u);
    for (const ShownBox& box : watcher.Boxes())
        EXPECT_EQ(std::string(VersionBoxText), box.text);
}

// The stop meets a configure call that is inside the guest and whose query to
// the window is already pending, and already seen by guest code on the window
// thread, when the stop begins to wait for the call. The wait must still
// answer it; otherwise the call cannot end, and the stop runs out its bound
// without the guest's quit.
TEST_F(Concurrency, StopWaitingForConfigAnswersAQueryAlreadySeenInTheQueue)
{
    UseGuest("guest_v10");
    control.subclassWindow = 1;
    control.subclassAwaitsSentOnDestroy = 1;
    control.configSendsQuery = 1;
    // The call's second query waits for the stop's WM_DESTROY in the
    // subclass, which releases it: no timing decides the order.
    control.configRelease = CreateEventA(NULL, TRUE, FALSE, NULL);
    Start();
    ASSERT_NE(nullptr, WaitForWindow());

    int result = -1;
    TestThread configure([&] { result = plugin.Configure(NULL); });
    ASSERT_TRUE(WaitUntil([&] { return control.configCalls == 1; }));
    Stop();
    // The stop returned once the guest had quit, not at its bound.
    EXPECT_EQ(1, control.quitCalls) << "the stop slept through the pending query";
    if (!configure.Join(10000))
        FailHang("OnConfigure across the stop");

    EXPECT_EQ(0, result);
    EXPECT_EQ(0, control.quitDuringConfig);
    CloseHandle(control.configRelease);
}

TEST_F(Concurrency, SubclassLeftByTheGuestGetsNoMessageAfterQuit)
{
    UseGuest("guest_v10");
    control.subclassWindow = 1;
    control.pollerEnabled = 1;   // queries through the subclass up to the stop
    control.pollIntervalMs = 1;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        Start();
        HWND window = WaitForWindow();
        ASSERT_NE(nullptr, window);
        LONG rounds = control.pollRounds;
        ASSERT_TRUE(WaitUntil([&] { return control.pollRounds >= rounds + 3; },
                              5000));
        ASSERT_EQ(0, plugin.TrackStart(cycle, "C:\\music\\x.mp3", 1000));
        LONG seen = control.subclassMessages;
        EXPECT_GT(seen, 0);
        Stop();
        // The window's destruction after the stop went to the player's own
        // procedure, and the freed guest's code was never entered.
        EXPECT_EQ(0, control.callsAfterQuit) << "cycle " << cycle;
        EXPECT_EQ(cycle, control.quitCalls);
        EXPECT_EQ(cycle, control.unloads);
        EXPECT_EQ(nullptr, GuestLoaded());
        EXPECT_EQ(nullptr, FindPlayerWindow());
    }
}

TEST_F(Concurrency, GuestThreadSendingQueriesIsStoppedFromQuitWithoutDeadlock)
{
    UseGuest("guest_v10");
    control.pollerEnabled = 1;
    control.pollIntervalMs = 0;   // nearly always inside a query
    const char* path = "C:\\music\\polled.mp3";
    ScriptTaggedFile(path, "A", "B", "T");

    for (int cycle = 1; cycle <= 3; ++cycle) {
        Start();
        HWND window = WaitForWindow();
        ASSERT_NE(nullptr, window);
        DWORD windowThread = GetWindowThreadProcessId(window, NULL);
        ASSERT_EQ(0, plugin.TrackStart(cycle, path, 5000));
        LONG rounds = control.pollRounds;
        ASSERT_TRUE(WaitUntil([&] { return control.pollRounds >= rounds + 10; },
                              5000));
        control.pollerStoppedInQuit = 0;
        // PluginQuit holds StateLock while quit waits for the poller, whose
        // queries (the file query included) the window thread still answers.
        Stop();
        EXPECT_EQ(1, control.pollerStoppedInQuit) << "cycle " << cycle;
        EXPECT_EQ(windowThread, control.quitThread);
        EXPECT_EQ(cycle, control.quitCalls);
        EXPECT_EQ(0, control.callsAfterQuit);
    }
}

// --- A host thread holds StateLock while the guest queries ---------------

// Shared between the test, its hook on the window thread and the guest's
// poll callback.
struct TitleHold {
    volatile LONG armed;
    volatile LONG rounds;          // poll rounds seen by the callback
    volatile LONG target;          // round count that ends the hold
    HANDLE held;                   // the hook holds a WM_SETTEXT
    HANDLE roundsDone;             // target reached
    volatile LONG completed;       // the hold saw the rounds through
    volatile LRESULT lengthSeen;   // last length answer, in seconds
    volatile LONG filesSeen;       // non-null file answers
};
TitleHold Hold;

void CountPoll(void*, LRESULT, LRESULT, LRESULT lengthSeconds,
               const char* tagFilePath)
{
    Hold.lengthSeen = lengthSeconds;
    if (tagFilePath != NULL)
        InterlockedIncrement(&Hold.filesSeen);
    LONG n = InterlockedIncrement(&Hold.rounds);
    LONG target = Hold.target;
    if (target != 0 && n >= target)
        SetEvent(Hold.roundsDone);
}

// Runs on the window thread before the window gets each sent message. The
// WM_SETTEXT comes from OnTrackStart, which holds StateLock until it has been
// handled; answer the guest's queries meanwhile, nested here.
LRESULT CALLBACK HoldTitleUpdate(int code, WPARAM wparam, LPARAM lparam)
{
    const CWPSTRUCT* sent = (const CWPSTRUCT*)lparam;
    if (code == HC_ACTION && sent->message == WM_SETTEXT &&
        InterlockedExchange(&Hold.armed, 0) != 0) {
        // The round under way may have started before the hold: wait for the
        // one after it as well.
        InterlockedExchange(&Hold.target, Hold.rounds + 2);
        SetEvent(Hold.held);
        if (tools::WaitAnsweringSentMessages(Hold.roundsDone, 5000))
            Hold.completed = 1;
    }
    return CallNextHookEx(NULL, code, wparam, lparam);
}

TEST_F(Concurrency, QueriesAreAnsweredWhileATrackStartHoldsStateLock)
{
    ZeroMemory(&Hold, sizeof(Hold));
    Hold.held = CreateEventA(NULL, TRUE, FALSE, NULL);
    Hold.roundsDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    UseGuest("guest_v10");
    control.pollerEnabled = 1;
    control.pollIntervalMs = 1;
    control.onPoll = CountPoll;
    const char* path = "C:\\music\\held.mp3";
    ScriptTaggedFile(path, "A", "B", "T");

    Start();
    HWND window = WaitForWindow();
    ASSERT_NE(nullptr, window);
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, HoldTitleUpdate, NULL,
                                   GetWindowThreadProcessId(window, NULL));
    ASSERT_NE(nullptr, hook);

    Hold.armed = 1;
    int result = -1;
    Bounded("OnTrackStart while the guest queries", [&] {
        result = plugin.TrackStart(9, path, 42000);
    });
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(WaitFor(Hold.held, 0)) << "the title update was not held";
    EXPECT_EQ(1, Hold.completed) << "the guest's queries were not answered "
                                    "while the track start held StateLock";
    // Answered from the state the track start had already stored.
    EXPECT_EQ(42, Hold.lengthSeen);
    EXPECT_GT(Hold.filesSeen, 0);

    Stop();
    EXPECT_EQ(0, control.callsAfterQuit);
    CloseHandle(Hold.held);
    CloseHandle(Hold.roundsDone);
}

TEST_F(Concurrency, HostNotificationsAndGuestQueriesRunTogether)
{
    UseGuest("guest_v10");
    control.pollerEnabled = 1;
    control.pollIntervalMs = 0;
    const char* paths[2] = {"C:\\music\\first.mp3", "C:\\music\\second.mp3"};
    ScriptTaggedFile(paths[0], "A1", "B1", "T1");
    ScriptTaggedFile(paths[1], "A2", "B2", "T2");
    Start();
    ASSERT_NE(nullptr, WaitForWindow());

    volatile LONG refused = 0;
    Bounded("track starts, stops and progress against the guest's queries", [&] {
        TestThread progress([&] {
            for (int i = 0; i < 400; ++i)
                plugin.Progress(1 + i % 2, i / 3, 0);
        });
        for (int i = 0; i < 300; ++i) {
            if (plugin.TrackStart(1 + i % 2, paths[i % 2], 1000 + i) != 0)
                InterlockedIncrement(&refused);
            if (i % 7 == 0)
                plugin.TrackStop(1 + i % 2);
        }
        if (!progress.Join(20000))
            FailHang("OnProgress thread");
    }, 30000);
    EXPECT_EQ(0, refused);
    Stop();
    EXPECT_EQ(1, control.pollerStoppedInQuit);
    EXPECT_EQ(0, control.callsAfterQuit);
}

} // namespace
