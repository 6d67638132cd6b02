// Guests as careless as real ones: threads, timers, pool work and hooks that
// quit leaves behind, a quit that waits for its poller while the poller waits
// for the window, a quit that never returns; and a host that frees the DLL
// without a stop.
// The host must never fault and never wait more than the stop's bound, and a
// guest is freed once, and only once, nothing of it is left.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "emulation/player_window.h"
#include "support/guest_setup.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

// The stop's bound as the host sees it.
const DWORD QuitBoundMs = 3000;

HANDLE NewEvent()
{
    return CreateEventA(NULL, TRUE, FALSE, NULL);
}

bool GuestLoaded()
{
    return GetModuleHandleA("gen_tebo_for_winamp.dll") != NULL;
}

// --- Guests whose code outlives the stop ----------------------------------

// One guest stand-in (v10) with its control record, the plug-in, and an
// event the test sets to let the guest go on.
class Outlives : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Tags().Loaded());
        Tags().Reset();
    }
    void TearDown() override { CloseHandle(release); }
    // Starts the plug-in and waits until the guest has been started (for
    // the starts-th time).
    void StartGuest(LONG starts = 1)
    {
        ASSERT_EQ(0, plugin.Init());
        ASSERT_TRUE(WaitUntil([&] { return control.initCalls == starts; }));
    }
    // The stop, which must return within its bound; its time.
    DWORD Stop()
    {
        DWORD took = Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); },
                             20000);
        EXPECT_LT(took, QuitBoundMs);
        return took;
    }

    GuestDoubleControl control = {};
    GuestSetup guest{"guest_v10", &control};
    LoadedPlugin plugin;
    HANDLE release = NewEvent();
};

// --- Code the guest leaves behind -----------------------------------------

// What quit leaves behind, by which route, and how it goes on; or a quit
// that waits for its querying poller.
struct Habit {
    const char* name;
    LONG route;       // GuestLeftoverRoute
    LONG stays;       // GuestLeftoverStays
    int timings;      // moments of quit's return tried in turn: at once, a run
                      // about to query, a run ended (the first 1, 2 or 3)
    LONG timerPoller;
    LONG quitWaitsDeaf;
    const char* lookUpIn = NULL;   // as in GuestDoubleControl
    LONG lookUpByOrdinal = 0;
    LONG closeThreadHandle = 0;
};

class Leftovers : public Outlives, public testing::WithParamInterface<Habit> {
};

// Until the window has been made and the guest (if any) started: a query is
// answered only once the window's creation is over.
void WaitUntilStarted()
{
    HWND window = NULL;
    ASSERT_TRUE(WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; }));
    Query(window, 0, 104);
}

TEST_P(Leftovers, FreeTheGuestExactlyWhenNothingOfItIsLeft)
{
    const Habit& habit = GetParam();
    control.leftoverRoute = habit.route;
    control.leftoverStays = habit.stays;
    control.leftoverRelease = release;
    control.hookThread = GetCurrentThreadId();
    control.timerPoller = habit.timerPoller;
    control.pollerEnabled = control.quitWaitsDeaf = habit.quitWaitsDeaf;
    control.pollIntervalMs = 1;
    control.lookUpIn = habit.lookUpIn;
    control.lookUpByOrdinal = habit.lookUpByOrdinal;
    control.closeThreadHandle = habit.closeThreadHandle;
    bool stuck = habit.stays == GuestLeftoverStuck;
    bool waitsForPoller = habit.timerPoller || habit.quitWaitsDeaf;
    int cycles = stuck ? 1 : waitsForPoller ? 16 : 2 * habit.timings;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        control.leftoverTiming = stuck ? 1 : (cycle - 1) % habit.timings;
        LONG rounds = control.pollRounds;
        StartGuest(cycle);
        // quit stops while its poller is inside a query: in milliseconds.
        if (waitsForPoller) {
            ASSERT_TRUE(WaitUntil([&] { return control.pollRounds > rounds; }));
        }
        // quit stops while its poller is inside a query, or leaves
        // leftovers that end at once: in milliseconds.
        DWORD took = Stop();
        if (!stuck) {
            EXPECT_LT(took, 1000u) << "cycle " << cycle;
        }
        // A message through this thread's hooks (the guest may have left one).
        MSG msg;
        PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
        PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE);
        ASSERT_EQ(stuck ? 0 : cycle, control.unloads) << "cycle " << cycle;
        EXPECT_EQ(stuck, GuestLoaded());
    }
    EXPECT_EQ(0, control.unloadedUnderLeftover);
    EXPECT_EQ(0, control.objectMisuses);
    if (!stuck)
        return;

    // A start while it is stuck runs the window without the guest rather
    // than start the copy whose first life has not ended; its stop frees
    // nothing.
    ASSERT_EQ(0, plugin.Init());
    WaitUntilStarted();
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(1, control.loads);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(0, control.unloads);

    // Once it has ended, the window of the next start frees the old copy and
    // starts the guest afresh, without another start.
    ASSERT_EQ(0, plugin.Init());
    WaitUntilStarted();
    control.leftoverRoute = GuestLeftoverNone;
    SetEvent(release);
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 2; }));
    EXPECT_EQ(1, control.unloads);
    EXPECT_EQ(2, control.loads);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(2, control.unloads);
    EXPECT_EQ(0, control.unloadedUnderLeftover);
    EXPECT_EQ(0, control.objectMisuses);
}

INSTANTIATE_TEST_SUITE_P(
    Habits, Leftovers,
    testing::Values(
        Habit{"CreateThreadEnds", GuestLeftoverCreateThread, GuestLeftoverEnds, 3, 0, 0},
        Habit{"CreateThreadStuck", GuestLeftoverCreateThread, GuestLeftoverStuck, 1, 0, 0},
        Habit{"BeginThreadEnds", GuestLeftoverBeginThread, GuestLeftoverEnds, 3, 0, 0},
        Habit{"BeginThreadStuck", GuestLeftoverBeginThread, GuestLeftoverStuck, 1, 0, 0},
        Habit{"BeginThreadExEnds", GuestLeftoverBeginThreadEx, GuestLeftoverEnds, 3, 0, 0},
        Habit{"LookedUpThreadEnds", GuestLeftoverLookedUpThread, GuestLeftoverEnds, 3, 0, 0},
        Habit{"TimerEnds", GuestLeftoverQueueTimer, GuestLeftoverEnds, 3, 0, 0},
        Habit{"TimerRepeats", GuestLeftoverQueueTimer, GuestLeftoverRepeats, 3, 0, 0},
        Habit{"TimerStuck", GuestLeftoverQueueTimer, GuestLeftoverStuck, 1, 0, 0},
        Habit{"WorkItemRepeats", GuestLeftoverWorkItem, GuestLeftoverRepeats, 3, 0, 0},
        Habit{"WorkItemStuck", GuestLeftoverWorkItem, GuestLeftoverStuck, 1, 0, 0},
        Habit{"PoolWorkEnds", GuestLeftoverPoolWork, GuestLeftoverEnds, 3, 0, 0},
        Habit{"PoolWorkRepeats", GuestLeftoverPoolWork, GuestLeftoverRepeats, 3, 0, 0},
        Habit{"RegisteredWaitRepeats", GuestLeftoverRegisteredWait, GuestLeftoverRepeats, 3, 0, 0},
        Habit{"PoolTimerRepeats", GuestLeftoverPoolTimer, GuestLeftoverRepeats, 3, 0, 0},
        Habit{"ApcToTheWindowThread", GuestLeftoverApc, GuestLeftoverEnds, 1, 0, 0},
        Habit{"HookLeftInPlace", GuestLeftoverHook, GuestLeftoverRepeats, 1, 0, 0},
        Habit{"WindowTimerLeftRunning", GuestLeftoverWindowTimer, GuestLeftoverRepeats, 1, 0, 0},
        Habit{"QuitWaitsForItsTimerPoller", GuestLeftoverNone, GuestLeftoverEnds, 1, 1, 0},
        Habit{"QuitDeletesItsPollersQueue", GuestLeftoverNone, GuestLeftoverEnds, 1, 2, 0},
        Habit{"QuitWaitsDeafForItsPoller", GuestLeftoverNone, GuestLeftoverEnds, 1, 0, 1},
        // A thread left by quit re-arms, submits and changes quit's objects
        // after the stop: they stay open (and gated) until it has ended.
        Habit{"ObjectsTouchedByALeftThread", GuestLeftoverTouchesObjects, GuestLeftoverStuck, 1, 0, 0},
        // Found through another module's handle, or by ordinal (Wine maps
        // the threadpool-legacy API set onto kernelbase).
        Habit{"LookedUpInKernelbase", GuestLeftoverLookedUpThread, GuestLeftoverEnds, 3, 0, 0, "kernelbase.dll"},
        Habit{"LookedUpByOrdinal", GuestLeftoverLookedUpThread, GuestLeftoverEnds, 3, 0, 0, "kernelbase.dll", 1},
        Habit{"TimerLookedUpInApiSet", GuestLeftoverLookedUpTimer, GuestLeftoverEnds, 3, 0, 0, "api-ms-win-core-threadpool-legacy-l1-1-0.dll"},
        Habit{"TimerLookedUpByOrdinal", GuestLeftoverLookedUpTimer, GuestLeftoverEnds, 3, 0, 0, "kernelbase.dll", 1},
        // The runtime closes the handle again when the thread ends.
        Habit{"BeginThreadHandleClosedAtOnce", GuestLeftoverBeginThread, GuestLeftoverEnds, 3, 0, 0, NULL, 0, 1},
        Habit{"TimerDeletedInItsCallback", GuestLeftoverSelfDeletingTimer, GuestLeftoverEnds, 3, 0, 0},
        Habit{"TimerDeletedTwice", GuestLeftoverDeletedTwice, GuestLeftoverEnds, 3, 0, 0}),
    [](const testing::TestParamInfo<Habit>& info) {
        return std::string(info.param.name);
    });

// A guest's call on the window thread that waits, one way or another, while
// a stop arrives; the stop's message is answered inside that wait.
struct GuestWait {
    const char* name;
    LONG how;        // GuestDoubleControl::timerProcWaits
    bool byClose;    // a WM_CLOSE from another thread instead of the host's stop
};

class WaitsOnTheWindowThread : public Outlives,
                               public testing::WithParamInterface<GuestWait> {
};

BOOL CALLBACK CloseGuestBox(HWND window, LPARAM closed)
{
    char caption[32] = {0};
    GetWindowTextA(window, caption, sizeof(caption));
    if (strcmp(caption, "guest wait") == 0)
        *(bool*)closed = PostMessageA(window, WM_COMMAND, IDOK, 0) != 0;
    return TRUE;
}

TEST_P(WaitsOnTheWindowThread, QuitRunsOnlyOnceTheGuestsCallHasReturned)
{
    const GuestWait& wait = GetParam();
    control.leftoverRelease = release;
    control.timerProcWaits = wait.how;
    // A window of another thread that answers only once released.
    HWND foreign = NULL;
    TestThread owner([&] {
        foreign = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, NULL, NULL,
                                  NULL, NULL);
        WaitForSingleObject(release, 60000);
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        DestroyWindow(foreign);
    });
    ASSERT_TRUE(WaitUntil([&] { return foreign != NULL; }));
    control.foreignWindow = foreign;
    DebugCapture capture;
    StartGuest();
    ASSERT_TRUE(WaitUntil([&] { return control.timerProcWaiting != 0; }));

    // The stop's message reaches the window while the guest's timer
    // procedure waits on its thread, but quit comes only once the procedure
    // has returned: never nested inside the guest's own call.
    HWND window = FindPlayerWindow();
    TestThread stop([&] {
        if (wait.byClose)
            SendMessageA(window, WM_CLOSE, 0, 0);
        else
            Stop();
    });
    const unsigned long stopMessage = wait.byClose ? 0x10 : 0x2;
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& line : capture.Lines()) {
            if (line.rfind("msg=", 0) == 0 &&
                strtoul(line.c_str() + 4, NULL, 16) == stopMessage)
                return true;
        }
        return false;
    }));
    EXPECT_EQ(0, control.quitCalls);
    // A start meanwhile finds the plug-in stopping, not running: it waits
    // for the window thread, which is still in the guest's call, and is
    // refused, changing nothing.
    if (wait.byClose) {
        EXPECT_EQ(1, plugin.Init());
    }
    SetEvent(release);
    ASSERT_TRUE(WaitUntil([&] {
        bool closed = false;
        EnumThreadWindows(control.initThread, CloseGuestBox, (LPARAM)&closed);
        return closed || wait.how != 3;
    }));
    ASSERT_TRUE(stop.Join());
    EXPECT_TRUE(WaitUntil([&] { return control.unloads == 1; }));
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(0, control.callsAfterQuit);
    EXPECT_TRUE(owner.Join());
    EXPECT_EQ(0, plugin.Quit());
}

INSTANTIATE_TEST_SUITE_P(
    Habits, WaitsOnTheWindowThread,
    testing::Values(GuestWait{"RoutedWait", 1, false},
                    GuestWait{"RoutedWaitClosed", 1, true},
                    GuestWait{"SendMessageToAnotherThread", 2, false},
                    GuestWait{"ModalMessageBox", 3, false},
                    GuestWait{"ModalMessageBoxClosed", 3, true}),
    [](const testing::TestParamInfo<GuestWait>& info) {
        return std::string(info.param.name);
    });

TEST_F(Outlives, HostFreeingTheDllWithoutAStopLeavesTheWindowThreadServing)
{
    control.pollerEnabled = 1;
    control.pollIntervalMs = 1;
    StartGuest();
    ASSERT_TRUE(WaitUntil([&] { return control.pollRounds > 3; }));
    HMODULE module = plugin.Module();
    std::string path = plugin.DllPath();

    plugin.Unload();
    // The window thread holds the DLL: it stays, and goes on answering.
    EXPECT_EQ(module, GetModuleHandleA(path.c_str()));
    LONG rounds = control.pollRounds;
    EXPECT_TRUE(WaitUntil([&] { return control.pollRounds > rounds + 20; }));

    // A host that loads it again finds the running plug-in and can stop it;
    // then the DLL goes with the host's last reference.
    HMODULE again = LoadLibraryA(path.c_str());
    ASSERT_EQ(module, again);
    EXPECT_EQ(0, plugin.Init());   // already running: nothing changes
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(1, control.unloads);
    FreeLibrary(again);
    EXPECT_TRUE(WaitUntil([&] { return GetModuleHandleA(path.c_str()) == NULL; }));
}

// --- Stops that cannot finish (each in a process of its own) --------------

TEST_F(Outlives, QuitThatNeverReturnsLeavesTheHostFree)
{
    control.quitRelease = release;
    StartGuest();
    ASSERT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));

    // quit never comes back. The host does.
    Stop();
    EXPECT_EQ(1, control.quitCalls);

    // Beside the stuck thread a start is refused at once and changes
    // nothing; a second stop returns at once; notifications stay refused.
    EXPECT_LT(Bounded("PluginInit", [&] { EXPECT_EQ(1, plugin.Init()); }), 1000u);
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(-1, plugin.TrackStart(2, "C:\\b.mp3", 1000));
    EXPECT_LT(Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }, 20000), 1000u);
    EXPECT_EQ(1, plugin.Init());

    // The host unloads the DLL: the stuck thread keeps it, and nothing
    // faults.
    HMODULE module = plugin.Module();
    std::string path = plugin.DllPath();
    plugin.Unload();
    EXPECT_EQ(module, GetModuleHandleA(path.c_str()));
    EXPECT_TRUE(GuestLoaded());
}

} // namespace
