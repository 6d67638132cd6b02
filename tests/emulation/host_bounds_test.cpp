// Every host entry against guests that keep the window thread busy, stop
// late, keep their dialog open, break the window or eat its messages, and a
// host whose hook holds up the window's making: each entry returns within
// its bound (the plug-in's own wait, 0.4 s for a start or a track start and
// 2.5 s for a stop, plus a margin for a loaded machine), and the bound
// never decides the answer: afterwards the title, the answers and the
// guest's calls come out right. Faults anywhere fail the test (the
// support's vectored handler).
#include "emulation_support.h"

using namespace emulation_tests;
using namespace testing_support;

namespace {

enum Habit {
    Free,
    BusySpell,       // the window thread is busy across the track starts
    BusyForGood,     // ... and across the stop
    QuitStuck,       // quit does not return until the test lets it
    ConfigOpen,      // the guest's dialog stays open across the stop
    InitDestroys,    // init destroys the window it was handed
    CreationFails,   // the window goes after WM_CREATE, unseen by the player
    TitleEaten,      // a busy spell whose own loop takes the title request
    CreationHeld07,  // a host's hook holds the window's making up 0.7 s
    CreationHeld15   // ... 1.5 s, longer than the start waits
};
const char* const HabitNames[] = {"Free", "BusySpell", "BusyForGood",
                                  "QuitStuck", "ConfigOpen", "InitDestroys",
                                  "CreationFails", "TitleEaten",
                                  "CreationHeld07", "CreationHeld15"};

// Margins over the plug-in's own waits that hold on a loaded machine.
const DWORD StartBoundMs = 400 + 1000;
const DWORD StopBoundMs = 2500 + 1000;

class HostBounds : public GuestFixture,
                   public testing::WithParamInterface<Habit> {
protected:
    // Runs an entry; fails when it took its bound or longer.
    void Within(DWORD boundMs, const char* what, const std::function<void()>& fn)
    {
        EXPECT_LT(Bounded(what, fn, 20000), boundMs) << what;
    }
    std::string Title(HWND window)
    {
        char text[600] = {0};
        GetWindowTextA(window, text, sizeof(text));
        return text;
    }
};

TEST_P(HostBounds, EveryEntryReturnsInTimeAndNothingTheHostSaidIsLost)
{
    const Habit habit = GetParam();
    const bool busy = habit == BusySpell || habit == BusyForGood || habit == TitleEaten;
    const char* const title = "C:\\b.mp3 - 2000 - Winamp";
    UseGuest("guest_v10");
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    control.windowBusy = busy;
    control.quitRelease = habit == QuitStuck ? release : NULL;
    control.configRelease = habit == ConfigOpen ? release : NULL;
    control.initDestroysWindow = habit == InitDestroys ? 1 : habit == CreationFails ? 2 : 0;
    BoxWatcher boxes;

    // A host's hook on the window thread holds up the making of the window.
    Tags().HoldCreation(PlayerClassName,
                        habit == CreationHeld07 ? 700 : habit == CreationHeld15 ? 1500 : 0);

    int started = -1;
    // A window slow to be made is a start all the same.
    Within(StartBoundMs, "PluginInit", [&] { started = plugin.Init(); });
    if (habit == InitDestroys || habit == CreationFails) {
        // No window: the start says so, the guest is stopped once and
        // released, and a configure request gets the version box.
        EXPECT_EQ(1, started);
        EXPECT_TRUE(WaitUntil([&] { return control.unloads == 1; }));
        EXPECT_EQ(1, control.quitCalls);
        EXPECT_EQ(0, ConfigureOnThread(NULL));
        EXPECT_EQ(0, control.configCalls);
        EXPECT_TRUE(WaitUntil([&] { return boxes.Count() == 1; }));
    } else {
        EXPECT_EQ(0, started);
        running = true;
        HWND window = NULL;
        ASSERT_TRUE(WaitUntil([&] {
            return control.initCalls == 1 && (window = FindPlayerWindow()) != NULL &&
                   control.windowBusyNow == (busy ? 1 : 0);
        }));
        Within(StartBoundMs, "OnTrackStart", [&] { EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000)); });
        if (habit == TitleEaten) {
            // The guest's own loop takes the title request off the queue.
            InterlockedExchange(&control.windowBusy, 2);
            ASSERT_TRUE(WaitUntil([&] { return control.windowMessagesDropped > 0; }));
            InterlockedExchange(&control.windowBusy, 0);
            ASSERT_TRUE(WaitUntil([&] { return control.windowBusyNow == 0; }));
        }
        // In a busy spell, the second track start finds the title asked for
        // and returns without the wait of the first.
        Within(habit == BusySpell || habit == BusyForGood ? 400 : StartBoundMs, "OnTrackStart",
               [&] { EXPECT_EQ(0, plugin.TrackStart(2, "C:\\b.mp3", 2000)); });
        if (!busy) {
            EXPECT_EQ(title, Title(window)) << "set before the track start returned";
        }
        if (habit == BusySpell || habit == TitleEaten) {
            InterlockedExchange(&control.windowBusy, 0);
            EXPECT_TRUE(WaitUntil([&] { return Title(window) == title; }))
                << "once the thread is free: " << Title(window);
        }
        if (habit != BusyForGood) {
            EXPECT_EQ(1, Query(window, 0, 104));
            EXPECT_EQ(2, Query(window, 1, 105));
        }

        TestThread* configure = NULL;
        if (habit == ConfigOpen) {
            configure = new TestThread([&] { EXPECT_EQ(0, plugin.Configure(NULL)); });
            ASSERT_TRUE(WaitUntil([&] { return control.configCalls == 1; }));
        }
        TestThread quit([&] { Within(StopBoundMs, "PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }); });
        if (habit == QuitStuck) {
            // While the stop waits for the window thread, notifications
            // still return at once (refused: the plug-in is stopping), long
            // before the stop's 2.5 s; a start beside it is refused within
            // its own bound, changing nothing.
            ASSERT_TRUE(WaitUntil([&] { return control.quitCalls == 1; }));
            Within(1000, "OnProgress", [&] { EXPECT_EQ(-1, plugin.Progress(2, 5, 5)); });
            Within(1000, "OnTrackStart", [&] { EXPECT_EQ(-1, plugin.TrackStart(3, "C:\\c.mp3", 1)); });
            Within(StartBoundMs, "PluginInit beside the stop", [&] { EXPECT_EQ(1, plugin.Init()); });
        }
        EXPECT_TRUE(quit.Join());
        running = false;
        if (habit == BusyForGood || habit == QuitStuck || habit == ConfigOpen) {
            // The window thread finishes the stop by itself (quit only once
            // the dialog is closed); a start beside it is refused.
            EXPECT_EQ(habit == QuitStuck ? 1 : 0, control.quitCalls);
            EXPECT_EQ(0, control.unloads);
            Within(StartBoundMs, "PluginInit", [&] { EXPECT_EQ(1, plugin.Init()); });
            SetEvent(release);
            InterlockedExchange(&control.windowBusy, 0);
            if (configure != NULL) {
                EXPECT_TRUE(configure->Join());
                delete configure;
            }
        }
        EXPECT_TRUE(WaitUntil([&] { return control.unloads == 1; }));
        EXPECT_EQ(1, control.quitCalls);
        EXPECT_EQ(0, control.quitDuringConfig);
        EXPECT_EQ(0, control.callsAfterQuit);
    }

    // The next start works as the first.
    control.initDestroysWindow = 0;
    control.quitRelease = control.configRelease = NULL;
    EXPECT_TRUE(WaitUntil([&] { return plugin.Init() == 0; }));
    running = true;
    EXPECT_TRUE(WaitUntil([&] { return control.initCalls == 2; }));
    Stop();
    EXPECT_EQ(2, control.quitCalls);
    Tags().HoldCreation(PlayerClassName, 0);
    CloseHandle(release);
}

// A host handler that a wait of the stop runs (the guest's quit sends to a
// window of the host's stopping thread) and that starts and stops the
// plug-in again: both answer at once, and the outer stop goes on as usual.
testing_support::LoadedPlugin* ReenteredPlugin = NULL;
int ReenteredStart = -1;
DWORD ReenteredMs = 0;

LRESULT CALLBACK ReenteringHost(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message != WM_APP)
        return DefWindowProcA(window, message, wparam, lparam);
    DWORD start = GetTickCount();
    ReenteredStart = ReenteredPlugin->Init();
    EXPECT_EQ(0, ReenteredPlugin->Quit());
    ReenteredMs = GetTickCount() - start;
    return 0;
}

TEST_F(HostBounds, StartAndStopReenteredByAHostHandlerAnswerAtOnce)
{
    UseGuest("guest_v10");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    ReenteredPlugin = &plugin;
    Bounded("PluginQuit", [&] {
        WNDCLASSA host = {};
        host.lpfnWndProc = ReenteringHost;
        host.hInstance = GetModuleHandleA(NULL);
        host.lpszClassName = "reentering host";
        RegisterClassA(&host);
        control.quitSendsTo = CreateWindowExA(0, "reentering host", "", 0, 0, 0, 0, 0,
                                              HWND_MESSAGE, NULL, host.hInstance, NULL);
        EXPECT_EQ(0, plugin.Quit());
        DestroyWindow(control.quitSendsTo);
        UnregisterClassA("reentering host", host.hInstance);
    });
    running = false;
    EXPECT_EQ(1, ReenteredStart);
    EXPECT_LT(ReenteredMs, 1000u);
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(1, control.unloads) << "the outer stop finished in its bound";
}

INSTANTIATE_TEST_SUITE_P(Guests, HostBounds,
                         testing::Values(Free, BusySpell, BusyForGood, QuitStuck,
                                         ConfigOpen, InitDestroys, CreationFails,
                                         TitleEaten, CreationHeld07, CreationHeld15),
                         [](const testing::TestParamInfo<Habit>& info) {
                             return std::string(HabitNames[info.param]);
                         });

} // namespace
