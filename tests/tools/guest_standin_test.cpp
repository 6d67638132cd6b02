// The demo's guest (gen_tebo_for_winamp.dll stand-in) against a player
// window of the test's own: its header, the queries its polling thread
// sends, what it prints, and a stop that never deadlocks.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <functional>
#include <set>

#include "common/winamp_guest.h"
#include "media_images.h"
#include "support/test_support.h"
#include "tools_test_support.h"

using namespace tools_testing;
using namespace media_images;

namespace {

typedef winamp::GeneralPurposePlugin GuestHeader;

const UINT RunOnThread = WM_APP + 1;
const char PlayerClass[] = "ToolsTestPlayerWindow";

// A stand-in for the player window on a thread of its own. It answers the
// guest's queries from fields the test sets and counts them; RunHere runs a
// function on the window's thread, as the plug-in runs init and quit.
class TestPlayer {
public:
    volatile LONG state = 0;
    volatile LONG positionMs = 0;
    volatile LONG lengthMs = 0;
    const char* volatile tagFile = nullptr;   // answer to 211
    volatile LONG queries[4] = {};  // 104, 105/0, 105/1, 211
    volatile LONG crossThread = 0;  // queries sent from another thread

    TestPlayer() : ready_(CreateEventA(NULL, TRUE, FALSE, NULL))
    {
        thread_ = CreateThread(NULL, 0, Main, this, 0, &threadId_);
        HANDLE both[2] = {ready_, thread_};
        EXPECT_EQ(WAIT_OBJECT_0,
                  WaitForMultipleObjects(2, both, FALSE, 10000));
    }
    ~TestPlayer()
    {
        if (window_ != NULL)
            PostMessageA(window_, WM_CLOSE, 0, 0);
        EXPECT_TRUE(testing_support::WaitFor(thread_));
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    HWND Window() const { return window_; }
    DWORD ThreadId() const { return threadId_; }
    // False when fn did not come back within the time.
    bool RunHere(std::function<void()> fn, DWORD timeoutMs = 10000)
    {
        DWORD_PTR result = 0;
        return SendMessageTimeoutA(window_, RunOnThread, 0, (LPARAM)&fn,
                                   SMTO_NORMAL, timeoutMs, &result) != 0;
    }

private:
    static DWORD WINAPI Main(LPVOID self)
    {
        TestPlayer* p = (TestPlayer*)self;
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = PlayerClass;
        RegisterClassA(&windowClass);
        p->window_ = CreateWindowA(PlayerClass, "Test Player", WS_OVERLAPPEDWINDOW,
                                   0, 0, 100, 100, NULL, NULL,
                                   GetModuleHandleA(NULL), NULL);
        SetWindowLongPtrA(p->window_, GWLP_USERDATA, (LONG_PTR)p);
        SetEvent(p->ready_);
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        UnregisterClassA(PlayerClass, GetModuleHandleA(NULL));
        return 0;
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam,
                                 LPARAM lparam)
    {
        TestPlayer* p = (TestPlayer*)GetWindowLongPtrA(window, GWLP_USERDATA);
        if (message == RunOnThread) {
            (*(std::function<void()>*)lparam)();
            return 1;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        if (message != WM_USER || p == NULL)
            return DefWindowProcA(window, message, wparam, lparam);
        if (InSendMessage())
            InterlockedIncrement(&p->crossThread);
        switch (lparam) {
        case winamp::QueryPlayState:
            InterlockedIncrement(&p->queries[0]);
            return p->state;
        case winamp::QueryOutputTime:
            InterlockedIncrement(&p->queries[wparam == 0 ? 1 : 2]);
            return wparam == 0 ? p->positionMs : p->lengthMs / 1000;
        case winamp::QueryPlaylistFile:
            InterlockedIncrement(&p->queries[3]);
            return (LRESULT)p->tagFile;
        default:
            return 0;
        }
    }

    HANDLE ready_;
    HANDLE thread_ = NULL;
    DWORD threadId_ = 0;
    HWND window_ = NULL;
};

std::set<DWORD> ThreadsOfThisProcess()
{
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more;
         more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

class LoadedGuest {
public:
    LoadedGuest()
    {
        module_ = LoadLibraryA(DemoFile("gen_tebo_for_winamp.dll").c_str());
        EXPECT_NE(nullptr, module_);
        typedef GuestHeader* (*Entry)(void);
        Entry entry = module_ ? (Entry)(void*)GetProcAddress(
                                    module_, "winampGetGeneralPurposePlugin")
                              : nullptr;
        EXPECT_NE(nullptr, (void*)entry);
        header = entry ? entry() : nullptr;
    }
    ~LoadedGuest()
    {
        if (module_ != NULL)
            FreeLibrary(module_);
    }
    HMODULE Module() const { return module_; }
    GuestHeader* header;
private:
    HMODULE module_;
};

} // namespace

TEST(GuestStandIn, PollsFromItsOwnThreadAndPrintsWhatItSees)
{
    testing_support::TempDir dir;
    std::string tagFile = dir.File("tag.mp3");
    ASSERT_TRUE(testing_support::WriteWholeFile(
        tagFile, Id3Tag(3, 0, Id3Frame(3, "TPE1", TextBody(0, "Guest Artist")) +
                                  Id3Frame(3, "TIT2", TextBody(0, "Guest Title")) +
                                  Id3Frame(3, "TALB", TextBody(0, "Guest Album")))));
    TestPlayer player;
    StdoutCapture output;
    LoadedGuest guest;
    ASSERT_NE(nullptr, guest.header);
    EXPECT_EQ(0x10, guest.header->version);
    ASSERT_NE(nullptr, guest.header->description);

    std::set<DWORD> before = ThreadsOfThisProcess();
    guest.header->parent = player.Window();
    guest.header->instance = guest.Module();
    player.state = 1;
    player.positionMs = 2500;
    player.lengthMs = 4000;
    player.tagFile = tagFile.c_str();
    ASSERT_TRUE(player.RunHere([&] { guest.header->init(); }));
    // init asked once on the window's own thread, before its poller ran.
    EXPECT_TRUE(output.WaitFor("[guest] started in player window"));

    EXPECT_TRUE(output.WaitFor("file query: " + tagFile +
                               " -> artist \"Guest Artist\", title \"Guest "
                               "Title\", album \"Guest Album\""))
        << output.Text();
    EXPECT_TRUE(output.WaitFor("playing   3 s of 4 s")) << output.Text();
    player.state = 3;
    EXPECT_TRUE(output.WaitFor("paused    3 s of 4 s")) << output.Text();
    player.tagFile = nullptr;
    EXPECT_TRUE(output.WaitFor("file query: no file")) << output.Text();
    EXPECT_GT(player.queries[3], 0);
    EXPECT_GT(player.crossThread, 0);
    for (LONG count : player.queries)
        EXPECT_GT(count, 0);

    guest.header->config();
    EXPECT_NE(std::string::npos, output.Text().find("configure requested"));

    ASSERT_TRUE(player.RunHere([&] { guest.header->quit(); }));
    EXPECT_NE(std::string::npos, output.Text().find("[guest] stopped after"));
    // The polling thread is gone once quit has returned.
    std::set<DWORD> after = ThreadsOfThisProcess();
    for (DWORD id : after)
        EXPECT_TRUE(before.count(id)) << "thread " << id << " outlived quit";
}

TEST(GuestStandIn, QuitWhileThePollerWaitsForTheWindowThreadEnds)
{
    TestPlayer player;
    StdoutCapture output;
    LoadedGuest guest;
    ASSERT_NE(nullptr, guest.header);
    guest.header->parent = player.Window();
    guest.header->instance = guest.Module();
    ASSERT_TRUE(player.RunHere([&] { guest.header->init(); }));

    // On the window thread: wait, without handling anything, until the
    // poller's query is pending there, then quit. A quit that waited for its
    // thread without handling sent messages would hang here for good.
    bool pending = false;
    ASSERT_TRUE(player.RunHere([&] {
        DWORD r = MsgWaitForMultipleObjects(0, NULL, FALSE, 10000, QS_SENDMESSAGE);
        pending = r == WAIT_OBJECT_0 && (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) &
                                         QS_SENDMESSAGE) != 0;
        guest.header->quit();
    }, 15000)) << "quit deadlocked";
    EXPECT_TRUE(pending);
    EXPECT_NE(std::string::npos, output.Text().find("[guest] stopped after"))
        << output.Text();
}
