// Guests as careless as real ones: workers that quit tells to stop but does
// not wait for, a timer-queue poller whose quit waits for a callback that is
// waiting for the window; and a host that frees the DLL without a stop.
// The host must never fault and never wait more than the stop's bound, and a
// guest is freed once, and only once, none of its code can run.
#include <gtest/gtest.h>

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

// Host threads of the kinds a player runs during playback, started after
// the plug-in and alive across its stop: one idle, one busy, one reporting
// progress. None of them may slow the stop or keep the guest loaded.
class HostThreads {
public:
    explicit HostThreads(LoadedPlugin& plugin) : done_(NewEvent())
    {
        idle_ = new TestThread([this] { WaitForSingleObject(done_, 60000); });
        busy_ = new TestThread([this] {
            while (WaitForSingleObject(done_, 0) == WAIT_TIMEOUT)
                SwitchToThread();
        });
        progress_ = new TestThread([this, &plugin] {
            for (LONG at = 0; WaitForSingleObject(done_, 1) == WAIT_TIMEOUT;
                 ++at)
                plugin.Progress(1, at, at);
        });
    }
    ~HostThreads()
    {
        SetEvent(done_);
        delete idle_;
        delete busy_;
        delete progress_;
        CloseHandle(done_);
    }
private:
    HANDLE done_;
    TestThread* idle_;
    TestThread* busy_;
    TestThread* progress_;
};

// --- Freed at every stop, whatever threads live ---------------------------

struct GuestKind {
    const char* name;
    LONG workerKind;       // 0: none (a well-behaved guest)
    LONG timerPoller;      // 2: a timer callback quit does not wait for
    DWORD windDownMs;      // the time in guest code after the stop
};

VOID CALLBACK Nothing(PVOID done, BOOLEAN)
{
    SetEvent((HANDLE)done);
}

class EveryStop : public testing::TestWithParam<GuestKind> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Tags().Loaded());
        Tags().Reset();
        // The system's pool threads exist before the guest is loaded, as in
        // a host that uses them itself: they run the guest's callbacks all
        // the same.
        HANDLE done = NewEvent();
        HANDLE timer = NULL;
        ASSERT_TRUE(CreateTimerQueueTimer(&timer, NULL, Nothing, done, 0, 0,
                                          WT_EXECUTEONLYONCE));
        ASSERT_TRUE(WaitFor(done));
        DeleteTimerQueueTimer(NULL, timer, INVALID_HANDLE_VALUE);
        CloseHandle(done);
    }
};

TEST_P(EveryStop, StopsAtAnyMomentReturnInTimeAndFreeTheGuestOnlyOnceItsCodeIsIdle)
{
    GuestDoubleControl control = {};
    control.workerKind = GetParam().workerKind;
    control.timerPoller = GetParam().timerPoller;
    control.workerWindDownMs = GetParam().windDownMs;
    control.pollerEnabled = 1;
    control.pollIntervalMs = 1;
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    HANDLE never = NewEvent();

    const int cycles = 16;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_EQ(0, plugin.Init());
        HostThreads host(plugin);
        // Stops from right at the start to 50 ms into it: while the window is
        // made, while the guest starts, while it polls.
        WaitForSingleObject(never, (DWORD)(cycle * 17 % 51));
        DWORD took = Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }, 20000);
        ASSERT_LT(took, QuitBoundMs) << "cycle " << cycle;
        ASSERT_EQ(cycle, control.unloads) << "not freed at the stop of cycle "
                                          << cycle;
        ASSERT_EQ(0, control.workersRunning);
    }
    EXPECT_EQ(0, control.unloadedUnderWorker);
    EXPECT_EQ(control.initCalls, control.quitCalls);
    EXPECT_EQ(cycles, control.loads);
    CloseHandle(never);
}

INSTANTIATE_TEST_SUITE_P(
    Guests, EveryStop,
    testing::Values(GuestKind{"WellBehaved", 0, 0, 0},
                    GuestKind{"WorkerByCreateThread", 1, 0, 20},
                    GuestKind{"WorkerByBeginThreadEx", 2, 0, 20},
                    GuestKind{"TimerCallbackOnAPoolThread", 0, 2, 20}),
    [](const testing::TestParamInfo<GuestKind>& info) {
        return std::string(info.param.name);
    });

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
    // Starts the plug-in and waits until the guest has been started.
    void StartGuest()
    {
        ASSERT_EQ(0, plugin.Init());
        ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
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

// A worker still in the guest's code at the end of the bound: one blocked
// there, and one that has not even begun to run (a runtime's thread start
// names the guest's routine only in its parameter block).
struct LateWorker {
    const char* name;
    LONG workerKind;
    bool createdSuspended;   // else blocked on its release event
};

class OutlivingWorker : public Outlives,
                        public testing::WithParamInterface<LateWorker> {};

TEST_P(OutlivingWorker, KeepsTheGuestLoadedUntilALaterStartFindsItGone)
{
    control.workerKind = GetParam().workerKind;
    if (GetParam().createdSuspended)
        control.workerCreatedSuspended = 1;
    else
        control.workerRelease = release;
    StartGuest();
    Stop();
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(0, control.unloads) << "freed under a worker";
    EXPECT_TRUE(GuestLoaded());

    // A start while that worker lives: the window runs without the guest
    // rather than start the copy that has not finished its first life.
    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([] { return FindPlayerWindow() != NULL; }));
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(1, control.loads);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(0, control.unloads);

    // Once the worker has gone, the next start frees the old copy and loads
    // the guest afresh, and its stop frees that one.
    if (GetParam().createdSuspended) {
        ResumeThread(control.workerThread);
        CloseHandle(control.workerThread);
    } else {
        SetEvent(release);
    }
    ASSERT_TRUE(WaitUntil([&] { return control.workersRunning == 0; }));
    control.workerKind = 0;
    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 2; }));
    EXPECT_EQ(1, control.unloads);
    EXPECT_EQ(2, control.loads);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(2, control.unloads);
    EXPECT_EQ(0, control.unloadedUnderWorker);
}

INSTANTIATE_TEST_SUITE_P(
    Workers, OutlivingWorker,
    testing::Values(LateWorker{"BlockedInTheGuest", 1, false},
                    LateWorker{"NotYetRunByTheRuntime", 2, true}),
    [](const testing::TestParamInfo<LateWorker>& info) {
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

TEST_F(Outlives, QuitDeadlockedWithItsTimerCallbackLeavesTheHostFree)
{
    control.timerPoller = 1;
    StartGuest();
    ASSERT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));

    // quit waits for a callback that waits for the window thread, which is
    // inside quit: the guest never comes back. The host does.
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
