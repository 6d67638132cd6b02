// The guest's start, configure and stop sequence for every kind of guest DLL,
// and the version box that OnConfigure shows when no guest has been started.
#include "emulation_support.h"

#include "common/winamp_guest.h"

using namespace emulation_tests;
using namespace testing_support;

namespace {

// What winampGetGeneralPurposePlugin hands out, read by the test itself.
typedef winamp::GeneralPurposePlugin HeaderView;

const HeaderView* GuestHeaderOf(HMODULE guest)
{
    winamp::GeneralPurposeEntry entry = (winamp::GeneralPurposeEntry)(void*)
        GetProcAddress(guest, "winampGetGeneralPurposePlugin");
    return entry != NULL ? entry() : NULL;
}

class GuestBinding : public GuestFixture {
protected:
    // OnConfigure on a thread of its own that owns a window of its own,
    // handed over as the box's owner. Expects exactly one box with the
    // version text, owned by that window and shown on that thread.
    void ExpectVersionBox()
    {
        BoxWatcher watcher;
        int result = -1;
        DWORD thread = 0;
        HWND owner = NULL;
        Bounded("OnConfigure with its box", [&] {
            thread = GetCurrentThreadId();
            owner = CreateWindowExA(0, "Static", "host", WS_POPUP, 0, 0, 10, 10,
                                    NULL, NULL, NULL, NULL);
            result = plugin.Configure(owner);
            DestroyWindow(owner);
        });
        EXPECT_EQ(0, result);
        std::vector<ShownBox> boxes = watcher.Boxes();
        ASSERT_EQ(1u, boxes.size()) << "exactly one box per request";
        // Byte for byte as read back through the ANSI functions; the texts
        // are Shift-JIS and survive the round trip in code page 932 (and in
        // 1252, whose unassigned bytes map to themselves).
        EXPECT_EQ(std::string(VersionBoxText), boxes[0].text);
        EXPECT_EQ(std::string(PlayerClassName), boxes[0].caption);
        EXPECT_EQ(owner, boxes[0].owner);
        EXPECT_EQ(thread, boxes[0].thread);
    }
};

TEST_F(GuestBinding, StartedGuestIsInitedConfiguredAndQuitOnTheRightThreads)
{
    UseGuest("guest_v10");
    control.queryFromInit = 1;
    Start();
    HWND window = WaitForWindow();
    ASSERT_NE(nullptr, window);
    DWORD windowThread = GetWindowThreadProcessId(window, NULL);

    EXPECT_EQ(1, control.loads);
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(windowThread, control.initThread);
    // Both handles were in place when init ran.
    EXPECT_EQ(window, control.parentAtInit);
    EXPECT_EQ((HINSTANCE)control.guestModule, control.moduleAtInit);
    // init's own query was answered at once, inside the window's creation.
    EXPECT_EQ(0, control.initQueryAnswer);
    EXPECT_FALSE(IsWindowVisible(window));

    const HeaderView* header = GuestHeaderOf(GuestLoaded());
    ASSERT_NE(nullptr, header);
    EXPECT_EQ(window, header->parent);
    EXPECT_EQ((HINSTANCE)control.guestModule, header->instance);

    {
        // The config function runs on the very thread that calls, every
        // time, and no box appears.
        BoxWatcher watcher;
        for (int call = 1; call <= 3; ++call) {
            DWORD caller = 0;
            EXPECT_EQ(0, ConfigureOnThread(NULL, &caller));
            EXPECT_EQ(call, control.configCalls);
            EXPECT_EQ(caller, control.configThread);
        }
        EXPECT_EQ(0u, watcher.Count()) << "a started guest shows no box";
    }
    EXPECT_EQ(0, control.quitCalls);

    HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE,
                               windowThread);
    ASSERT_NE(nullptr, thread);
    Stop();
    // The stop returned after the window thread had ended, with code 0.
    EXPECT_TRUE(WaitFor(thread, 0));
    DWORD exitCode = 0xDEADBEEF;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(0u, exitCode);
    CloseHandle(thread);
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(windowThread, control.quitThread);
    EXPECT_EQ(1, control.unloads);
    EXPECT_EQ(nullptr, GuestLoaded());
    EXPECT_EQ(nullptr, FindPlayerWindow());

    // Stopped: the box again, and nothing called in the freed guest.
    ExpectVersionBox();
    EXPECT_EQ(3, control.configCalls);
    EXPECT_EQ(1, control.initCalls);
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(0, control.callsAfterQuit);
}

TEST_F(GuestBinding, BeforeTheFirstStartConfigureShowsTheVersionBox)
{
    UseGuest("guest_v10");
    ExpectVersionBox();
    EXPECT_EQ(0, control.loads);
    EXPECT_EQ(0, control.configCalls);
}

// Every guest DLL that is not started as a whole: none at all, a header of
// another version, a null header, no entry, and headers of the right version
// with a null init or null config and quit. The window runs the same with
// each; configure shows the version box; quit is called where a header was
// obtained and never through a null pointer (a call would fault, and the
// fault counter fails the test); the DLL is freed at the stop. A guest not
// started says why in one debugger line.
struct VariantCase {
    const char* name;
    const char* variant;    // "" for no guest DLL
    bool loaded;
    bool started;           // init called
    bool quit;              // quit called at the stop
    bool headerUntouched;   // the header's handles keep the guest's sentinels
    const char* why;        // the line after "tebo_wrapper: gen_tebo_for_winamp.dll "
};

class GuestVariant : public GuestBinding,
                     public testing::WithParamInterface<VariantCase> {};

TEST_P(GuestVariant, WindowRunsTheBoxShowsAndTheDllGoesAtTheStop)
{
    const VariantCase& c = GetParam();
    UseGuest(c.variant);
    DebugCapture capture;
    Start();
    HWND window = WaitForWindow();
    ASSERT_NE(nullptr, window);
    DWORD windowThread = GetWindowThreadProcessId(window, NULL);
    std::string own;   // the plug-in's lines, not the window's or the guest's
    for (const std::string& line : capture.Lines())
        own += line.compare(0, 13, "tebo_wrapper:") == 0 ? line : "";
    EXPECT_EQ(c.why[0] ? "tebo_wrapper: gen_tebo_for_winamp.dll " +
                         std::string(c.why) + "\n" : "", own);

    // The window, whatever the guest.
    EXPECT_FALSE(IsWindowVisible(window));
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(0, style & WS_VISIBLE);
    EXPECT_EQ((LONG)WS_OVERLAPPEDWINDOW, style & WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(nullptr, GetParent(window));
    char title[64] = {0};
    GetWindowTextA(window, title, sizeof(title));
    EXPECT_STREQ(PlayerClassName, title) << "the title before any track";
    EXPECT_EQ((DWORD)(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS),
              GetClassLongA(window, GCL_STYLE));
    EXPECT_EQ(plugin.Module(), (HMODULE)GetWindowLongPtrA(window,
                                                          GWLP_HINSTANCE));

    EXPECT_EQ(c.loaded ? 1 : 0, control.loads);
    EXPECT_EQ(c.loaded, GuestLoaded() != NULL);
    EXPECT_EQ(c.started ? 1 : 0, control.initCalls);
    if (c.started) {
        EXPECT_EQ(window, control.parentAtInit);
    }
    if (c.headerUntouched) {
        const HeaderView* header = GuestHeaderOf(GuestLoaded());
        ASSERT_NE(nullptr, header);
        EXPECT_EQ((HWND)(ULONG_PTR)0xDEAD0001, header->parent);
        EXPECT_EQ((HINSTANCE)(ULONG_PTR)0xDEAD0002, header->instance);
    }

    ExpectVersionBox();
    EXPECT_EQ(0, control.configCalls);

    Stop();
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(c.quit ? 1 : 0, control.quitCalls);
    if (c.quit) {
        EXPECT_EQ(windowThread, control.quitThread);
    }
    EXPECT_EQ(c.loaded ? 1 : 0, control.unloads);
}

INSTANTIATE_TEST_SUITE_P(
    Guests, GuestVariant,
    testing::Values(
        VariantCase{"NoGuestDll", "", false, false, false, false,
                    "not loaded (error 126)"},
        VariantCase{"HeaderOfAnotherVersion", "guest_v11", true, false, true, true,
                    "not started (header version 0x11, not 0x10)"},
        VariantCase{"NullHeader", "guest_null", true, false, false, false,
                    "not started (null header)"},
        VariantCase{"NoEntry", "guest_noentry", true, false, false, false,
                    "not started (no winampGetGeneralPurposePlugin, error 127)"},
        VariantCase{"NullInit", "guest_noinit", true, false, true, true,
                    "not started (header without init)"},
        VariantCase{"NullConfigAndQuit", "guest_noconfigquit", true, true, false,
                    false, ""}),
    [](const testing::TestParamInfo<VariantCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(GuestBinding, EveryStartLoadsAndStartsTheGuestAnew)
{
    UseGuest("guest_v10");
    for (int round = 1; round <= 3; ++round) {
        Start();
        HWND window = WaitForWindow();
        ASSERT_NE(nullptr, window);
        EXPECT_EQ(round, control.initCalls);
        EXPECT_EQ(window, control.parentAtInit);
        EXPECT_EQ(GetWindowThreadProcessId(window, NULL), control.initThread);
        Stop();
        EXPECT_EQ(round, control.quitCalls);
        EXPECT_EQ(round, control.loads);
        EXPECT_EQ(round, control.unloads);
    }
    EXPECT_EQ(0, control.callsAfterQuit);
}

TEST_F(GuestBinding, StopRightAfterTheStartReachesTheGuest)
{
    UseGuest("guest_v10");
    control.queryFromInit = 1;
    control.pollerEnabled = 1;
    for (int round = 1; round <= 3; ++round) {
        Start();
        Stop();   // no wait for the window in between
        EXPECT_EQ(round, control.initCalls);
        EXPECT_EQ(round, control.quitCalls);
        EXPECT_EQ(1, control.pollerStoppedInQuit);
        control.pollerStoppedInQuit = 0;
    }
    EXPECT_EQ(0, control.callsAfterQuit);
    EXPECT_EQ(nullptr, FindPlayerWindow());
}

} // namespace
