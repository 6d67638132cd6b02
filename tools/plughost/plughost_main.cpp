// plughost: a console program that plays the player's part for a
// visualisation plug-in. It loads the plug-in DLL as the player does, shows
// its record, starts it, plays a list of media files through it (track
// start with the file's path and length, progress reports at a steady tick,
// optional pauses, track stop) and stops it. With the demo's stand-ins, or
// on Windows with the real guest and tag library, it shows whether a
// plug-in installation works before it goes into the player.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/console_text.h"
#include "media/media_length.h"
#include "common/plugin_host.h"

using pluginhost::PluginSession;
using pluginhost::SystemMessage;
using tools::Format;
using tools::WriteAnsi;

namespace {

// Exit codes.
enum {
    ExitOk = 0,
    ExitSomeFilesFailed = 1,
    ExitUsage = 2,
    ExitBadPlugin = 3,
    ExitStartRefused = 4,
    ExitEntryFault = 5
};

const char Usage[] =
    "usage: plughost [options] FILE...\n"
    "Plays MP3 and WAV files through a visualisation plug-in, the way the\n"
    "player does, and shows what happens.\n"
    "\n"
    "  --plugin PATH     the plug-in DLL (default: tebo_wrapper.dll beside\n"
    "                    plughost.exe)\n"
    "  --dll-dir DIR     where the plug-in's own DLLs (gen_tebo_for_winamp.dll,\n"
    "                    mp3infp.dll) are found besides the usual DLL search\n"
    "                    (plughost.exe's folder first)\n"
    "  --speed X         play X times faster than real time (0.1 to 1000;\n"
    "                    default 1)\n"
    "  --tick MS         a progress report every MS ms of playing time (10 to\n"
    "                    5000; default 250)\n"
    "  --pause N:AT:FOR  pause track N at AT seconds for FOR seconds (equal\n"
    "                    progress reports); may be given more than once\n"
    "  --configure       send the plug-in a configure request after its start\n"
    "                    (without its guest, tebo_wrapper shows a message box\n"
    "                    then and waits for it to be closed)\n"
    "  --info            show the plug-in's record and stop\n"
    "  --help            this text\n"
    "\n"
    "Exit code: 0 all played, 1 some files could not be played, 2 usage,\n"
    "3 the DLL is no usable plug-in, 4 the plug-in refused to start,\n"
    "5 an entry broke the calling convention.\n";

struct PauseRequest {
    int track;          // 1-based
    double atSeconds;
    double forSeconds;
};

struct Options {
    std::string plugin;
    std::string dllDir;
    double speed = 1.0;
    long tickMs = 250;
    std::vector<PauseRequest> pauses;
    bool configure = false;
    bool infoOnly = false;
    std::vector<std::string> files;
};

struct Track {
    std::string path;       // full path, as the player passes it
    media::MediaInfo info;
};

void Error(const std::string& text)
{
    WriteAnsi("plughost: error: " + text + "\n");
}

bool ParseNumber(const char* text, double low, double high, double* value)
{
    char* end = NULL;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= low && v <= high))
        return false;
    *value = v;
    return true;
}

bool ParsePause(const char* text, PauseRequest* pause)
{
    std::string s = text;
    size_t a = s.find(':');
    size_t b = a == std::string::npos ? a : s.find(':', a + 1);
    if (b == std::string::npos)
        return false;
    double track = 0;
    return ParseNumber(s.substr(0, a).c_str(), 1, 100000, &track) &&
           track == (int)track &&
           ParseNumber(s.substr(a + 1, b - a - 1).c_str(), 0, 86400,
                       &pause->atSeconds) &&
           ParseNumber(s.substr(b + 1).c_str(), 0.001, 3600,
                       &pause->forSeconds) &&
           (pause->track = (int)track, true);
}

// False (after a message) on a usage error; *exit set for --help.
bool ParseOptions(int argc, char** argv, Options* o, bool* helpShown)
{
    *helpShown = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h" || a == "/?") {
            WriteAnsi(Usage);
            *helpShown = true;
            return true;
        } else if (a == "--plugin" && hasValue) {
            o->plugin = argv[++i];
        } else if (a == "--dll-dir" && hasValue) {
            o->dllDir = argv[++i];
        } else if (a == "--speed" && hasValue) {
            if (!ParseNumber(argv[++i], 0.1, 1000, &o->speed)) {
                Error(Format("--speed wants a number from 0.1 to 1000, not %s",
                             argv[i]));
                return false;
            }
        } else if (a == "--tick" && hasValue) {
            double tick = 0;
            if (!ParseNumber(argv[++i], 10, 5000, &tick)) {
                Error(Format("--tick wants milliseconds from 10 to 5000, not %s",
                             argv[i]));
                return false;
            }
            o->tickMs = (long)tick;
        } else if (a == "--pause" && hasValue) {
            PauseRequest pause;
            if (!ParsePause(argv[++i], &pause)) {
                Error(Format("--pause wants TRACK:AT:FOR (e.g. 2:1.5:2), not %s",
                             argv[i]));
                return false;
            }
            o->pauses.push_back(pause);
        } else if (a == "--configure") {
            o->configure = true;
        } else if (a == "--info") {
            o->infoOnly = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            Error(Format("unknown option or missing value: %s (see --help)",
                         a.c_str()));
            return false;
        } else {
            o->files.push_back(a);
        }
    }
    if (o->files.empty() && !o->infoOnly) {
        Error("no media files given (see --help)");
        return false;
    }
    return true;
}

std::string FullPath(const std::string& path)
{
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, NULL);
    if (n == 0 || n >= MAX_PATH)
        return path;
    return full;
}

std::string DefaultPluginPath()
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string path(self, n < MAX_PATH ? n : 0);
    size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           "tebo_wrapper.dll";
}

// Reads a media file whole and works out its length; false after a message.
bool ReadTrack(const std::string& given, Track* track)
{
    track->path = FullPath(given);
    HANDLE file = CreateFileA(track->path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Error(Format("cannot read %s: %s", given.c_str(),
                     SystemMessage(GetLastError()).c_str()));
        return false;
    }
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    std::vector<uint8_t> bytes;
    bool ok = high == 0 && size != INVALID_FILE_SIZE && size < 0x40000000;
    DWORD error = ok ? 0 : ERROR_FILE_TOO_LARGE;
    if (ok && size > 0) {
        bytes.resize(size);
        DWORD got = 0;
        ok = ReadFile(file, bytes.data(), size, &got, NULL) && got == size;
        if (!ok)
            error = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
    }
    CloseHandle(file);
    if (!ok) {
        Error(Format("cannot read %s: %s", given.c_str(),
                     SystemMessage(error).c_str()));
        return false;
    }
    if (!media::ReadMediaInfo(bytes.data(), bytes.size(), &track->info)) {
        Error(Format("%s is neither an MP3 (MPEG audio) nor a WAV file: its "
                     "playing time cannot be told", given.c_str()));
        return false;
    }
    return true;
}

void ShowRecord(const std::string& path, const PluginSession& session)
{
    const pluginhost::VisPluginRecord& r = session.Record();
    WriteAnsi(Format("plug-in   %s\n", path.c_str()));
    WriteAnsi(Format("  header  0x%04lX%s\n", (unsigned long)r.headerWord,
                     r.headerWord == pluginhost::ExpectedHeaderWord
                         ? "" : "  (unexpected: the player looks for 0x1000)"));
    const char* const labels[4] = {"name", "author", "about", "web"};
    const char* const texts[4] = {r.name, r.author, r.description, r.webPage};
    for (int i = 0; i < 4; ++i) {
        WriteAnsi(Format("  %-6s  ", labels[i]));
        // The player shows these texts as Shift-JIS, whatever the system's
        // code page.
        tools::WriteText(texts[i] != NULL ? texts[i] : "(none)", 932);
        WriteAnsi("\n");
    }
    WriteAnsi(Format("  entries init %p, quit %p, track start %p, track stop "
                     "%p, progress %p, configure %p\n",
                     r.init, r.quit, r.trackStart, r.trackStop, r.progress,
                     r.configure));
}

// Paces the reports: media time runs speed times faster than real time.
class Pacer {
public:
    explicit Pacer(double speed) : speed_(speed)
    {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    // Waits until mediaMs of playing (or pausing) time have passed.
    void WaitUntil(double mediaMs)
    {
        const double dueMs = mediaMs / speed_;
        for (;;) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            const double realMs =
                (now.QuadPart - start_.QuadPart) * 1000.0 / frequency_.QuadPart;
            if (realMs >= dueMs)
                return;
            Sleep((DWORD)(dueMs - realMs) + 1);
        }
    }
private:
    double speed_;
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_;
};

class ProgressBar {
public:
    explicit ProgressBar(LONG lengthMs)
        : lengthMs_(lengthMs), console_(tools::StdoutIsConsole()) {}
    void Show(LONG positionMs, bool paused)
    {
        const int width = 30;
        const int filled = lengthMs_ > 0
            ? (int)((long long)positionMs * width / lengthMs_) : width;
        const int quarter = lengthMs_ > 0
            ? (int)((long long)positionMs * 4 / lengthMs_) : 4;
        // A file or pipe gets a line per quarter and per change of state; a
        // console gets the bar redrawn in place.
        if (!console_ && quarter == lastQuarter_ && paused == lastPaused_)
            return;
        lastQuarter_ = quarter;
        lastPaused_ = paused;
        std::string bar = "[" + std::string(filled, '#') +
                          std::string(width - filled, '.') + "]";
        std::string line = Format("  %s %6.2f / %.2f s%s", bar.c_str(),
                                  positionMs / 1000.0, lengthMs_ / 1000.0,
                                  paused ? "  paused" : "        ");
        WriteAnsi(console_ ? "\r" + line : line + "\n");
    }
    void Finish()
    {
        if (console_)
            WriteAnsi("\n");
    }
private:
    LONG lengthMs_;
    bool console_;
    int lastQuarter_ = -1;
    bool lastPaused_ = false;
};

struct WindowSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindOwnWindow(HWND window, LPARAM context)
{
    WindowSearch* search = (WindowSearch*)context;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process)
        return TRUE;
    search->found = window;
    return FALSE;
}

// A plug-in that makes a window on a thread of its own (tebo_wrapper does,
// and starts its guest inside it) is still busy with it when its init
// returns. A player would not wait; the demo waits a little, so that the
// guest is up before the first track. Returns the milliseconds waited, or -1
// when no window of this process answered within timeoutMs.
long WaitForPluginWindow(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search = {GetCurrentProcessId(), NULL};
        EnumWindows(FindOwnWindow, (LPARAM)&search);
        DWORD_PTR answer = 0;
        // The answer comes once the window's thread runs its message loop,
        // that is after the window (and the guest in it) has been made.
        if (search.found != NULL &&
            SendMessageTimeoutA(search.found, WM_NULL, 0, 0, SMTO_NORMAL,
                                timeoutMs, &answer))
            return (long)(GetTickCount() - start);
        if (GetTickCount() - start >= timeoutMs)
            return -1;
        Sleep(10);
    }
}

struct PlayCounters {
    int refusedStarts = 0;
    int refusedReports = 0;
};

void PlayTrack(PluginSession& plugin, DWORD id, int number, int count,
               const Track& track, const Options& o, Pacer& pacer,
               double* mediaClockMs, PlayCounters* counters)
{
    const LONG length = (LONG)track.info.lengthMs;
    WriteAnsi(Format("\n[%d/%d] %s\n      %s, %.2f s\n", number, count,
                     track.path.c_str(), track.info.format.c_str(),
                     length / 1000.0));
    int result = plugin.TrackStart(id, track.path.c_str(), length);
    if (result != 0) {
        ++counters->refusedStarts;
        WriteAnsi(Format("  the plug-in refused the track start (%d)\n", result));
    }

    std::vector<PauseRequest> pauses;
    for (const PauseRequest& p : o.pauses)
        if (p.track == number)
            pauses.push_back(p);

    ProgressBar bar(length);
    LONG position = 0;
    for (;;) {
        if (plugin.Progress(id, position, position) != 0)
            ++counters->refusedReports;
        bar.Show(position, false);
        if (position >= length)
            break;
        for (PauseRequest& p : pauses) {
            if (p.forSeconds <= 0 || position < (LONG)(p.atSeconds * 1000))
                continue;
            // Paused: the player keeps reporting, with nothing moving.
            const double endMs = *mediaClockMs + p.forSeconds * 1000;
            p.forSeconds = 0;
            while (*mediaClockMs < endMs) {
                *mediaClockMs += o.tickMs;
                pacer.WaitUntil(*mediaClockMs);
                if (plugin.Progress(id, position, position) != 0)
                    ++counters->refusedReports;
                bar.Show(position, true);
            }
        }
        *mediaClockMs += o.tickMs;
        pacer.WaitUntil(*mediaClockMs);
        position = position + o.tickMs < length ? position + o.tickMs : length;
    }
    bar.Finish();
    plugin.TrackStop(id);
}

} // namespace

int main(int argc, char** argv)
{
    // No system error boxes: every failure is reported here.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    Options o;
    bool helpShown = false;
    if (!ParseOptions(argc, argv, &o, &helpShown))
        return ExitUsage;
    if (helpShown)
        return ExitOk;

    if (!o.dllDir.empty() && !SetDllDirectoryA(FullPath(o.dllDir).c_str())) {
        Error(Format("cannot use %s as DLL folder: %s", o.dllDir.c_str(),
                     SystemMessage(GetLastError()).c_str()));
        return ExitUsage;
    }
    const std::string pluginPath =
        FullPath(o.plugin.empty() ? DefaultPluginPath() : o.plugin);

    PluginSession plugin;
    std::string problem;
    if (!plugin.Load(pluginPath, &problem)) {
        Error(problem);
        return ExitBadPlugin;
    }
    ShowRecord(pluginPath, plugin);
    if (o.infoOnly)
        return ExitOk;

    // Every file is read before the start, so that a bad one shows at once.
    std::vector<Track> tracks;
    int unreadable = 0;
    for (const std::string& file : o.files) {
        Track track;
        if (ReadTrack(file, &track))
            tracks.push_back(track);
        else
            ++unreadable;
    }
    if (tracks.empty()) {
        Error("none of the files can be played");
        return ExitSomeFilesFailed;
    }

    WriteAnsi("starting the plug-in\n");
    const int started = plugin.Init();
    if (!plugin.EntryFault().empty()) {
        Error(plugin.EntryFault());
        return ExitEntryFault;
    }
    if (started != 0) {
        Error(Format("the plug-in refused to start (its init returned %d). "
                     "tebo_wrapper.dll refuses when it cannot load mp3infp.dll: "
                     "put it beside plughost.exe or name its folder with "
                     "--dll-dir", started));
        return ExitStartRefused;
    }
    const long waited = WaitForPluginWindow(3000);
    if (waited >= 0)
        WriteAnsi(Format("the plug-in's window answers (after %ld ms)\n", waited));
    else
        WriteAnsi("the plug-in has no window of its own (waited 3 s)\n");
    if (o.configure) {
        WriteAnsi("sending a configure request\n");
        int result = plugin.Configure(NULL);
        WriteAnsi(Format("configure returned %d\n", result));
    }

    Pacer pacer(o.speed);
    double mediaClockMs = 0;
    PlayCounters counters;
    for (size_t i = 0; i < tracks.size(); ++i)
        PlayTrack(plugin, (DWORD)(i + 1), (int)i + 1, (int)tracks.size(),
                  tracks[i], o, pacer, &mediaClockMs, &counters);

    WriteAnsi("\nstopping the plug-in\n");
    int quit = plugin.Quit();
    WriteAnsi(Format("stopped (%d); played %d of %d file(s)\n", quit,
                     (int)tracks.size(), (int)o.files.size()));
    if (counters.refusedStarts || counters.refusedReports)
        WriteAnsi(Format("the plug-in refused %d track start(s) and %d progress "
                         "report(s)\n", counters.refusedStarts,
                         counters.refusedReports));
    if (!plugin.EntryFault().empty()) {
        Error(plugin.EntryFault());
        return ExitEntryFault;
    }
    return unreadable > 0 ? ExitSomeFilesFailed : ExitOk;
}
