// Every host entry against guests that keep the window thread busy, stop
// late, keep their dialog open or break the window: each entry returns within
// its bound (start and track start 0.5 s, stop 3 s), and afterwards the
// title, the answers and the guest's calls come out right. Faults anywhere
// fail the test (the support's vectored handler).
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
    CreationFails    // the window goes after WM_CREATE, unseen by the player
};
const char* const HabitNames[] = {"Free", "BusySpell", "BusyForGood",
                                  "QuitStuck", "ConfigOpen", "InitDestroys",
                                  "CreationFails"};

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
    const bool busy = habit == BusySpell || habit == BusyForGood;
    const char* const title = "C:\\b.mp3 - 2000 - Winamp";
    UseGuest("guest_v10");
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    control.windowBusy = busy;
    control.quitRelease = habit == QuitStuck ? release : NULL;
    control.configRelease = habit == ConfigOpen ? release : NULL;
    control.initDestroysWindow = habit == InitDestroys ? 1 : habit == CreationFails ? 2 : 0;
    BoxWatcher boxes;

    int started = -1;
    Within(500, "PluginInit", [&] { started = plugin.Init(); });
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
        Within(500, "OnTrackStart", [&] { EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000)); });
        // In a busy spell, the second track start finds the title asked for.
        Within(busy ? 200 : 500, "OnTrackStart",
               [&] { EXPECT_EQ(0, plugin.TrackStart(2, "C:\\b.mp3", 2000)); });
        if (!busy) {
            EXPECT_EQ(title, Title(window)) << "set before the track start returned";
        }
        if (habit == BusySpell) {
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
        TestThread quit([&] { Within(3000, "PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }); });
        if (habit == QuitStuck) {
            // While the stop waits for the window thread, notifications
            // still return at once (refused: the plug-in is stopping).
            ASSERT_TRUE(WaitUntil([&] { return control.quitCalls == 1; }));
            Within(200, "OnProgress", [&] { EXPECT_EQ(-1, plugin.Progress(2, 5, 5)); });
            Within(200, "OnTrackStart", [&] { EXPECT_EQ(-1, plugin.TrackStart(3, "C:\\c.mp3", 1)); });
        }
        EXPECT_TRUE(quit.Join());
        running = false;
        if (habit == BusyForGood || habit == QuitStuck || habit == ConfigOpen) {
            // The window thread finishes the stop by itself (quit only once
            // the dialog is closed); a start beside it is refused.
            EXPECT_EQ(habit == QuitStuck ? 1 : 0, control.quitCalls);
            EXPECT_EQ(0, control.unloads);
            Within(500, "PluginInit", [&] { EXPECT_EQ(1, plugin.Init()); });
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
    CloseHandle(release);
}

INSTANTIATE_TEST_SUITE_P(Guests, HostBounds,
                         testing::Values(Free, BusySpell, BusyForGood, QuitStuck,
                                         ConfigOpen, InitDestroys, CreationFails),
                         [](const testing::TestParamInfo<Habit>& info) {
                             return std::string(HabitNames[info.param]);
                         });

} // namespace
