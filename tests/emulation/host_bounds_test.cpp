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

struct HabitRow {
    const char* name;
    Habit habit;
};

const DWORD StartBoundMs = 500;
const DWORD TrackStartBoundMs = 500;
const DWORD QuitBoundMs = 3000;
// "At once": a track start that found the title already asked for.
const DWORD AtOnceMs = 200;

class HostBounds : public GuestFixture,
                   public testing::WithParamInterface<HabitRow> {
protected:
    DWORD Timed(const char* what, const std::function<void()>& fn)
    {
        return Bounded(what, fn, 20000);
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
    const Habit habit = GetParam().habit;
    const bool busy = habit == BusySpell || habit == BusyForGood;
    const bool outlivesStop = habit == BusyForGood || habit == QuitStuck ||
                              habit == ConfigOpen;
    UseGuest("guest_v10");
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    control.windowBusy = busy;
    if (habit == QuitStuck)
        control.quitRelease = release;
    if (habit == ConfigOpen)
        control.configRelease = release;
    control.initDestroysWindow = habit == InitDestroys    ? 1
                                 : habit == CreationFails ? 2
                                                          : 0;
    BoxWatcher boxes;

    int started = -1;
    EXPECT_LT(Timed("PluginInit", [&] { started = plugin.Init(); }),
              StartBoundMs);
    if (habit == InitDestroys || habit == CreationFails) {
        // No window: the start says so, the guest is stopped once and
        // released, and a configure request gets the version box.
        EXPECT_EQ(1, started);
        EXPECT_TRUE(WaitUntil([&] { return control.unloads == 1; }));
        EXPECT_EQ(1, control.initCalls);
        EXPECT_EQ(1, control.quitCalls);
        EXPECT_EQ(0, ConfigureOnThread(NULL));
        EXPECT_EQ(0, control.configCalls);
        EXPECT_TRUE(WaitUntil([&] { return boxes.Count() == 1; }));
    } else {
        EXPECT_EQ(0, started);
        running = true;
        ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
        HWND window = NULL;
        ASSERT_TRUE(WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; }));
        if (busy) {
            ASSERT_TRUE(WaitUntil([&] { return control.windowBusyNow == 1; }));
        }

        EXPECT_LT(Timed("OnTrackStart", [&] {
                      EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));
                  }),
                  TrackStartBoundMs);
        EXPECT_LT(Timed("OnTrackStart", [&] {
                      EXPECT_EQ(0, plugin.TrackStart(2, "C:\\b.mp3", 2000));
                  }),
                  busy ? AtOnceMs : TrackStartBoundMs);
        if (!busy) {
            EXPECT_EQ("C:\\b.mp3 - 2000 - Winamp", Title(window))
                << "set before the track start returned";
        }
        if (habit == BusySpell) {
            InterlockedExchange(&control.windowBusy, 0);
            bool followed = WaitUntil([&] {
                return Title(window) == "C:\\b.mp3 - 2000 - Winamp";
            });
            EXPECT_TRUE(followed)
                << "the title follows the latest track once the thread is free: " << Title(window);
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
        EXPECT_LT(Timed("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }),
                  QuitBoundMs);
        running = false;
        if (outlivesStop) {
            // The window thread finishes the stop by itself; a start beside
            // it is refused at once.
            EXPECT_EQ(habit == QuitStuck ? 1 : 0, control.quitCalls);
            EXPECT_EQ(0, control.unloads);
            int beside = -1;
            EXPECT_LT(Timed("PluginInit", [&] { beside = plugin.Init(); }),
                      StartBoundMs);
            EXPECT_EQ(1, beside);
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
    control.windowBusy = 0;
    control.quitRelease = NULL;
    control.configRelease = NULL;
    EXPECT_TRUE(WaitUntil([&] { return plugin.Init() == 0; }));
    running = true;
    EXPECT_TRUE(WaitUntil([&] { return control.initCalls == 2; }));
    Stop();
    EXPECT_EQ(2, control.quitCalls);
    CloseHandle(release);
}

INSTANTIATE_TEST_SUITE_P(
    Guests, HostBounds,
    testing::Values(HabitRow{"Free", Free}, HabitRow{"BusySpell", BusySpell},
                    HabitRow{"BusyForGood", BusyForGood},
                    HabitRow{"QuitStuck", QuitStuck},
                    HabitRow{"ConfigOpen", ConfigOpen},
                    HabitRow{"InitDestroysTheWindow", InitDestroys},
                    HabitRow{"CreationFailsAfterCreate", CreationFails}),
    [](const testing::TestParamInfo<HabitRow>& info) {
        return std::string(info.param.name);
    });

} // namespace
