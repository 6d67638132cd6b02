// Player emulation: the hidden window that stands in for the Winamp main
// window and the thread that owns it. The guest plug-in that lives beside it
// is bound in guest_binding.h.
#pragma once

#include <windows.h>

#include "plugin_version.h"

// Queries the guest sends as WM_USER with the query number in lparam.
enum {
    QueryPlayState = 104,      // 0 stopped, 1 playing, 3 paused
    QueryOutputTime = 105,     // wparam 0: position in ms; 1: length in s
    QueryListPosition = 125,   // always 0
    QueryPlaylistFile = 211    // address of the tag file's path, or 0
};

// The product's name (plugin_version.h): class name, first window title and
// the caption of the version box.
#define PLAYER_CLASS_NAME TEBO_PRODUCT_NAME
#define PLAYER_VERSION_TEXT PLAYER_CLASS_NAME " v" TEBO_VERSION_TEXT

// --- WindowThread, for PluginInit and PluginQuit (host threads, one at a time)

// How long PluginInit and PluginQuit may wait in all, from the moment each
// began (the wait for a start or stop under way included). Both leave room
// below the host-facing bounds of 0.5 s and 3 s for a loaded machine.
enum { StartBudgetMs = 400, StopBudgetMs = 2500 };

// The restart check, then the start; returns within StartBudgetMs of start.
// A window thread that is starting or serving is the running plug-in: 0, and
// nothing changes. One that is still ending (a stop gave up on it, or
// someone else closed its window) is waited for; if it has not ended in
// time, the start is refused: 1, and nothing changes. Otherwise prepare runs
// (it marks the state active and binds what the window needs; FALSE fails
// the start) and the thread is started: 0 once it runs, unless it is seen
// to end without a window in the time left (1). A window slow to be made is
// a start. Messages sent to the calling thread are answered while it waits.
int StartWindowThread(BOOL (*prepare)(void), DWORD start);

// Stops the window thread, if any: WM_DESTROY to the window (once it exists),
// then a wait for the thread to end. Returns within StopBudgetMs of start
// whatever the guest does; a thread that has not ended by then finishes the
// stop by itself. It keeps the DLL loaded while it runs, and
// StartWindowThread refuses to start beside it. Messages sent to the calling
// thread are answered while it waits.
void StopWindowThread(DWORD start);

// Called by the DLL entry at the first call and at the last detach.
void CreateEmulationObjects(void);
void DeleteEmulationObjects(void);

// --- The window, on WindowThread -----------------------------------------

// Thread start routine of WindowThread. Registers the class, creates the
// window (the guest starts inside WM_CREATE), runs the message loop and, once
// it ends, destroys the thread's windows, frees the guest and unregisters the
// class, so that a later start finds everything as new. Ends the thread with
// FreeLibraryAndExitThread, dropping the reference on this DLL that
// StartWindowThread took for it.
DWORD WINAPI WindowThreadMain(LPVOID unused);

// Called by the window procedure for WM_CLOSE and WM_DESTROY: the handle is
// forgotten at once (nothing may send to it once it can be reused, and a
// start meanwhile waits for this thread to end), and the loop carries out
// the stop once it is back at its top, never inside a call of the guest's.
void NoteStop(HWND window);

// Registers the player window class (or ours in place of a stale one).
ATOM RegisterPlayerClass(const char* className);

// EmulatedPlayerWindow's procedure. Traces every message to the debugger
// output, answers the queries, and starts and stops the guest.
LRESULT CALLBACK PlayerWindowProc(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam);
