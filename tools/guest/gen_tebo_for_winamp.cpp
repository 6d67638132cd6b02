// A well-behaved Winamp general-purpose plug-in for the demo: it stands in
// for the real gen_tebo_for_winamp.dll and prints what such a guest sees of
// the player window it is given: the window title, the play state, position
// and length, and the artist, title and album of the file that the file query
// names (an ID3v2 tag file, read here with the demo's own tag parser).
//
// Threads. init, quit and the player's file query run on the player window's
// thread; config runs on whichever thread the host uses. The guest polls from
// a thread of its own: it sends its queries to the player window and prints
// whenever an answer changes. quit stops that thread and waits for it while
// it keeps answering messages sent to the window thread, because the poller
// may be waiting inside a SendMessage to that very thread.
#include <windows.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "common/console_text.h"
#include "common/sent_message_wait.h"
#include "common/winamp_guest.h"
#include "media/media_tags.h"

namespace {

using winamp::HeaderVersion;
using winamp::QueryOutputTime;
using winamp::QueryPlayState;
using winamp::QueryPlaylistFile;

// Poll interval; TEBO_GUEST_POLL_MS (1 to 1000) overrides it.
const DWORD DefaultPollMs = 40;
// How long quit waits for the poller before it gives up (a hang in the
// player would otherwise hang the host's stop for ever).
const DWORD QuitTimeoutMs = 10000;
// The tag file holds nothing but a small ID3 tag.
const DWORD MaxTagFileBytes = 64 * 1024;

int Init(void);
void Config(void);
void Quit(void);

winamp::GeneralPurposePlugin Header = {
    HeaderVersion, "tebo demo guest (stand-in for gen_tebo_for_winamp)",
    Init, Config, Quit, NULL, NULL,
};

// Written by init before the poller starts, read by the poller and quit.
HWND Player = NULL;
HANDLE StopEvent = NULL;
HANDLE Poller = NULL;
DWORD PollMs = DefaultPollMs;
volatile LONG PollRounds = 0;

// What the poller printed last; only the poller touches it.
struct Seen {
    bool valid = false;
    std::string title;
    LRESULT state = 0;
    LRESULT second = 0;
    LRESULT lengthSeconds = 0;
    std::string file;
    std::string tags;
};

void Say(const std::string& line)
{
    std::string text;
    if (tools::StdoutIsConsole())
        text = "\r" + std::string(78, ' ') + "\r";   // over the progress bar
    tools::WriteAnsi(text + "  [guest] " + line + "\n");
}

const char* StateName(LRESULT state)
{
    switch (state) {
    case 0: return "stopped";
    case 1: return "playing";
    case 3: return "paused";
    default: return "unknown state";
    }
}

std::string ReadTagFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return tools::Format("cannot open it (error %lu)", GetLastError());
    std::vector<uint8_t> bytes(MaxTagFileBytes);
    DWORD got = 0;
    BOOL ok = ReadFile(file, bytes.data(), MaxTagFileBytes, &got, NULL);
    CloseHandle(file);
    if (!ok)
        return "cannot read it";
    media::MediaTags tags;
    if (!media::ParseMediaTags(bytes.data(), got, &tags) ||
        media::ParseId3v2(bytes.data(), got, nullptr) == 0)
        return "no ID3v2 tag in it";
    std::string text;
    const char* const fields[3][2] = {
        {"artist", "IART_v2"}, {"title", "INAM_v2"}, {"album", "IPRD_v2"}};
    for (const auto& field : fields) {
        const media::TagValue* value = tags.Find(field[1]);
        if (!text.empty())
            text += ", ";
        text += field[0];
        text += value ? " \"" + tools::TagTextToAnsi(*value) + "\"" : " none";
    }
    return text;
}

// The length to show, in seconds rounded to the nearest, as the host shows
// its times. The player answers it in whole seconds cut short (3997 ms is
// 3 s, as Winamp answers); its title ("path - ms - Winamp") carries the
// milliseconds, taken while they agree with that answer: after a stop the
// title keeps the last track's length and the answer is 0.
LRESULT ShownLength(const std::string& title, LRESULT lengthSeconds)
{
    const std::string suffix = " - Winamp";
    if (title.size() <= suffix.size() ||
        title.compare(title.size() - suffix.size(), suffix.size(), suffix) != 0)
        return lengthSeconds;
    size_t number = title.rfind(" - ", title.size() - suffix.size() - 1);
    if (number == std::string::npos)
        return lengthSeconds;
    long long ms = atol(title.c_str() + number + 3);
    return ms / 1000 == lengthSeconds && ms >= 0 ? (LRESULT)((ms + 500) / 1000)
                                                 : lengthSeconds;
}

LRESULT Ask(WPARAM wparam, LPARAM query)
{
    return SendMessageA(Player, WM_USER, wparam, query);
}

void PollOnce(Seen* seen)
{
    char title[512] = "";
    GetWindowTextA(Player, title, sizeof(title));
    const LRESULT state = Ask(0, QueryPlayState);
    const LRESULT position = Ask(0, QueryOutputTime);
    const LRESULT lengthSeconds = ShownLength(title, Ask(1, QueryOutputTime));
    const char* answer = (const char*)Ask(0, QueryPlaylistFile);
    // The answer points into the player's memory (same process); copy it
    // before anything can change it.
    std::string file = answer != NULL ? std::string(answer) : std::string();
    std::string tags = answer != NULL ? ReadTagFile(file) : std::string();
    const LRESULT second =
        position >= 0 ? (LRESULT)(((long long)position + 500) / 1000) : -1;

    if (!seen->valid || title != seen->title)
        Say(tools::Format("window title: \"%s\"", title));
    if (!seen->valid || file != seen->file || tags != seen->tags) {
        if (answer == NULL)
            Say("file query: no file");
        else
            Say("file query: " + file + " -> " + tags);
    }
    if (!seen->valid || state != seen->state || second != seen->second ||
        lengthSeconds != seen->lengthSeconds)
        Say(tools::Format("%-7s %3ld s of %ld s", StateName(state),
                          (long)second, (long)lengthSeconds));
    seen->valid = true;
    seen->title = title;
    seen->state = state;
    seen->second = second;
    seen->lengthSeconds = lengthSeconds;
    seen->file = file;
    seen->tags = tags;
}

DWORD WINAPI PollerMain(LPVOID)
{
    Seen seen;
    while (WaitForSingleObject(StopEvent, PollMs) == WAIT_TIMEOUT) {
        PollOnce(&seen);
        InterlockedIncrement(&PollRounds);
    }
    return 0;
}

int Init(void)
{
    Player = Header.parent;
    const char* setting = getenv("TEBO_GUEST_POLL_MS");
    if (setting != NULL && atoi(setting) >= 1 && atoi(setting) <= 1000)
        PollMs = (DWORD)atoi(setting);
    // A query from init runs at once on this (the window's) thread.
    const LRESULT state = Ask(0, QueryPlayState);
    Say(tools::Format("started in player window %p (state %ld), polling every %lu ms",
                      (void*)Player, (long)state, PollMs));
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    Poller = StopEvent != NULL ? CreateThread(NULL, 0, PollerMain, NULL, 0, NULL)
                               : NULL;
    if (Poller == NULL)
        Say("cannot start the polling thread");
    return 0;
}

void Config(void)
{
    Say(tools::Format("configure requested (thread %lu): this guest has no settings",
                      GetCurrentThreadId()));
}

void Quit(void)
{
    bool stopped = true;
    if (Poller != NULL) {
        SetEvent(StopEvent);
        // The poller may be inside a SendMessage to this thread: keep
        // handling sent messages until it has ended.
        stopped = tools::WaitAnsweringSentMessages(Poller, QuitTimeoutMs) != FALSE;
        if (stopped) {
            CloseHandle(Poller);
        } else {
            // The player frees this DLL next; a thread still running in it
            // would then fault. Keep the code loaded for good instead.
            HMODULE self = NULL;
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_PIN,
                               (LPCSTR)(void*)&Quit, &self);
        }
        Poller = NULL;
    }
    if (StopEvent != NULL && stopped) {
        CloseHandle(StopEvent);
        StopEvent = NULL;
    }
    Say(stopped ? tools::Format("stopped after %ld polls", (long)PollRounds)
                : "the polling thread did not stop in time");
}

} // namespace

// The one export (by the .def file); cdecl, like every Winamp plug-in entry.
extern "C" winamp::GeneralPurposePlugin* winampGetGeneralPurposePlugin(void)
{
    return &Header;
}
