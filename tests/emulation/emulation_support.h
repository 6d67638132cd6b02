// Helpers of the player-emulation tests: a fixture that runs the plug-in with
// a chosen guest stand-in, the tag stand-in's scripting functions, a watcher
// that finds, reads and closes message boxes, trace-line parsing and bounded
// calls that turn a hang into a failure.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "doubles/guest/guest_double.h"
#include "emulation/player_window.h"
#include "support/guest_setup.h"
#include "support/plugin_host.h"
#include "support/tag_library.h"
#include "support/test_support.h"

namespace emulation_tests {

// Scripts path as a readable file of type 5 with the given three texts.
void ScriptTaggedFile(const char* path, const char* artist, const char* album,
                      const char* title);

// One line of the player window's trace: "msg=<hex> wp=<dec> lp=<dec>\n".
// The padding of the hexadecimal number differs between Windows and Wine
// (%#04lX), so the numbers are compared, not the text.
struct TraceLine {
    unsigned long message;
    long wparam;
    long lparam;
};
bool ParseTrace(const std::string& line, TraceLine* out);

// A message box seen and closed by BoxWatcher.
struct ShownBox {
    std::string caption;
    std::string text;      // the box's message text (its static control)
    HWND owner;
    DWORD thread;          // the thread that shows it
};

// Watches this process's top-level windows for message boxes (dialog class
// "#32770") on a thread of its own, records caption, text, owner and thread,
// and closes each with OK. A box whose text is still empty is read again on
// the next pass (the text is set while the dialog initialises).
class BoxWatcher {
public:
    BoxWatcher();
    ~BoxWatcher();
    std::vector<ShownBox> Boxes() const;
    size_t Count() const;
private:
    static DWORD WINAPI Run(LPVOID self);
    void Pass();
    HANDLE stop_;
    HANDLE thread_;
    mutable CRITICAL_SECTION lock_;
    std::vector<ShownBox> boxes_;
    std::vector<HWND> closing_;   // closed by us, not yet gone
    std::vector<std::pair<HWND, DWORD>> firstSeen_;
};

// Runs the plug-in with one guest stand-in (GuestSetup: "" at first, no
// guest DLL), the tag stand-in loaded and reset. TearDown stops a plug-in
// still running and checks that the guest's DLL is gone, so the next test
// loads afresh.
class GuestFixture : public ::testing::Test {
protected:
    GuestFixture();
    void SetUp() override;
    void TearDown() override;

    void UseGuest(const std::string& variant);
    // PluginInit (bounded), expecting 0.
    void Start();
    // Waits until the window exists and its thread answers from its loop.
    HWND WaitForWindow();
    // PluginQuit (bounded), expecting 0.
    void Stop();
    // OnConfigure(owner) on a thread of its own; returns its result and
    // stores the thread's id.
    int ConfigureOnThread(HWND owner, DWORD* threadId = NULL);
    // The guest module of this process, if loaded.
    static HMODULE GuestLoaded();

    GuestDoubleControl control;
    testing_support::LoadedPlugin plugin;
    bool running = false;
private:
    testing_support::GuestSetup guest_;
};

// Lines of a capture that are trace lines, parsed; others are skipped.
std::vector<TraceLine> TraceLines(const std::vector<std::string>& lines);

// Index of the first line equal to text at or after from, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& text,
             int from = 0);

// All captured lines, for a failure message.
std::string Dump(const std::vector<std::string>& lines);

} // namespace emulation_tests
