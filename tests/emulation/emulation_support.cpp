#include "emulation_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

using namespace testing_support;

namespace emulation_tests {

void ScriptTaggedFile(const char* path, const char* artist, const char* album,
                      const char* title)
{
    Tags().SetPlainFile(path, 5, artist, album, title);
}

bool ParseTrace(const std::string& line, TraceLine* out)
{
    if (line.compare(0, 4, "msg=") != 0)
        return false;
    const char* p = line.c_str() + 4;
    while (*p == ' ')
        ++p;
    if (p[0] == '0' && (p[1] == 'X' || p[1] == 'x'))
        p += 2;
    while (*p == ' ')
        ++p;
    char* end = NULL;
    out->message = strtoul(p, &end, 16);
    if (end == p || strncmp(end, " wp=", 4) != 0)
        return false;
    p = end + 4;
    out->wparam = strtol(p, &end, 10);
    if (end == p || strncmp(end, " lp=", 4) != 0)
        return false;
    p = end + 4;
    out->lparam = strtol(p, &end, 10);
    return end != p && strcmp(end, "\n") == 0;
}

std::vector<TraceLine> TraceLines(const std::vector<std::string>& lines)
{
    std::vector<TraceLine> parsed;
    for (const std::string& line : lines) {
        TraceLine t;
        if (ParseTrace(line, &t))
            parsed.push_back(t);
    }
    return parsed;
}

int FindLine(const std::vector<std::string>& lines, const std::string& text,
             int from)
{
    for (int i = from; i < (int)lines.size(); ++i) {
        if (lines[i] == text)
            return i;
    }
    return -1;
}

std::string Dump(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines)
        all += "  " + line;
    return all;
}

// --- BoxWatcher ------------------------------------------------------------

namespace {

struct ChildText {
    std::string text;
};

BOOL CALLBACK FindStaticText(HWND child, LPARAM context)
{
    char name[32] = {0};
    GetClassNameA(child, name, sizeof(name));
    if (lstrcmpiA(name, "Static") != 0)
        return TRUE;
    char text[512] = {0};
    GetWindowTextA(child, text, sizeof(text));
    if (text[0] == '\0')
        return TRUE;   // the icon's control, or not set yet
    ((ChildText*)context)->text = text;
    return FALSE;
}

struct TopWindows {
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM context)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId())
        return TRUE;
    char name[32] = {0};
    GetClassNameA(window, name, sizeof(name));
    if (lstrcmpA(name, "#32770") == 0)
        ((TopWindows*)context)->boxes.push_back(window);
    return TRUE;
}

} // namespace

BoxWatcher::BoxWatcher()
{
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread_ = CreateThread(NULL, 0, Run, this, 0, NULL);
}

BoxWatcher::~BoxWatcher()
{
    SetEvent(stop_);
    if (!WaitFor(thread_, 10000))
        FailHang("the message-box watcher");
    CloseHandle(thread_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

std::vector<ShownBox> BoxWatcher::Boxes() const
{
    EnterCriticalSection(&lock_);
    std::vector<ShownBox> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

size_t BoxWatcher::Count() const
{
    EnterCriticalSection(&lock_);
    size_t n = boxes_.size();
    LeaveCriticalSection(&lock_);
    return n;
}

DWORD WINAPI BoxWatcher::Run(LPVOID self)
{
    BoxWatcher* watcher = (BoxWatcher*)self;
    // Polls: a box belongs to another thread and announces itself to nobody.
    while (WaitForSingleObject(watcher->stop_, 5) == WAIT_TIMEOUT)
        watcher->Pass();
    watcher->Pass();
    return 0;
}

void BoxWatcher::Pass()
{
    TopWindows found;
    EnumWindows(CollectBoxes, (LPARAM)&found);

    // Forget closed boxes, so that a reused handle counts as a new box.
    closing_.erase(std::remove_if(closing_.begin(), closing_.end(),
                                  [](HWND w) { return !IsWindow(w); }),
                   closing_.end());

    for (HWND box : found.boxes) {
        if (std::find(closing_.begin(), closing_.end(), box) != closing_.end())
            continue;
        char caption[256] = {0};
        GetWindowTextA(box, caption, sizeof(caption));
        ChildText text;
        EnumChildWindows(box, FindStaticText, (LPARAM)&text);

        // Give the dialog up to 10 s to set its texts (its thread may wait
        // that long for a busy machine), then take what it has.
        DWORD now = GetTickCount();
        auto seen = std::find_if(firstSeen_.begin(), firstSeen_.end(),
                                 [box](const std::pair<HWND, DWORD>& p) {
                                     return p.first == box;
                                 });
        if (seen == firstSeen_.end()) {
            firstSeen_.push_back(std::make_pair(box, now));
            seen = firstSeen_.end() - 1;
        }
        bool complete = caption[0] != '\0' && !text.text.empty();
        if (!complete && now - seen->second < 10000)
            continue;
        firstSeen_.erase(seen);

        ShownBox shown;
        shown.caption = caption;
        shown.text = text.text;
        shown.owner = GetWindow(box, GW_OWNER);
        shown.thread = GetWindowThreadProcessId(box, NULL);
        EnterCriticalSection(&lock_);
        boxes_.push_back(shown);
        LeaveCriticalSection(&lock_);
        closing_.push_back(box);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
}

// --- GuestFixture ----------------------------------------------------------

GuestFixture::GuestFixture() : guest_("", &control)
{
    ZeroMemory(&control, sizeof(control));
}

void GuestFixture::SetUp()
{
    ASSERT_TRUE(plugin.Loaded());
    ASSERT_EQ(nullptr, GuestLoaded())
        << "a guest DLL of an earlier test is still loaded";
    ASSERT_TRUE(Tags().Loaded());
    Tags().Reset();
}

void GuestFixture::TearDown()
{
    if (running)
        Stop();
    // The next test must load its own variant, not find this one.
    bool gone = WaitUntil([] { return GuestLoaded() == NULL; }, 5000);
    EXPECT_TRUE(gone) << "the guest DLL stays loaded after the stop";
    EXPECT_EQ(control.loads, control.unloads);
}

void GuestFixture::UseGuest(const std::string& variant)
{
    guest_.Use(variant);
}

void GuestFixture::Start()
{
    int result = -1;
    Bounded("PluginInit", [&] { result = plugin.Init(); });
    ASSERT_EQ(0, result);
    running = true;
}

HWND GuestFixture::WaitForWindow()
{
    HWND window = NULL;
    bool found = WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; },
                           5000);
    EXPECT_TRUE(found) << "no player window";
    if (found) {
        // Answered from the loop: creation, and with it the guest's start,
        // is over.
        Query(window, 0, QueryListPosition);
    }
    return window;
}

void GuestFixture::Stop()
{
    int result = -1;
    Bounded("PluginQuit", [&] { result = plugin.Quit(); });
    EXPECT_EQ(0, result);
    running = false;
}

int GuestFixture::ConfigureOnThread(HWND owner, DWORD* threadId)
{
    int result = -1;
    DWORD id = 0;
    Bounded("OnConfigure", [&] {
        id = GetCurrentThreadId();
        result = plugin.Configure(owner);
    });
    if (threadId != NULL)
        *threadId = id;
    return result;
}

HMODULE GuestFixture::GuestLoaded()
{
    return GetModuleHandleA("gen_tebo_for_winamp.dll");
}

} // namespace emulation_tests
