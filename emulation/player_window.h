// Player emulation: the hidden window that stands in for the Winamp main
// window, the thread that owns it, and the binding of the guest plug-in
// (gen_tebo_for_winamp.dll) that lives beside it.
#pragma once

#include <windows.h>

#include <stddef.h>

// Queries the guest sends as WM_USER with the query number in lparam.
enum {
    QueryPlayState = 104,      // 0 stopped, 1 playing, 3 paused
    QueryOutputTime = 105,     // wparam 0: position in ms; 1: length in s
    QueryListPosition = 125,   // always 0
    QueryPlaylistFile = 211    // address of the tag file's path, or 0
};

// "tebo" + "ミュージック" (Shift-JIS) + "Wrapper": class name, first window title
// and the caption of the version box.
#define PLAYER_CLASS_NAME \
    "tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E" "Wrapper"
#define PLAYER_VERSION_TEXT PLAYER_CLASS_NAME " v0.930"

// The guest's record, in the guest's memory, as winampGetGeneralPurposePlugin
// returns it: 28 bytes, one field every 4 (on 64-bit Windows 56 bytes, one
// field every 8, the version padded to 8). Only a header of
// GuestHeaderVersion is started and configured.
struct GuestPluginHeader {
    int version;
    void* reserved;             // not read or written
    int (*init)(void);
    void (*config)(void);
    void (*quit)(void);
    HWND parentWindow;          // written: EmulatedPlayerWindow
    HINSTANCE moduleInstance;   // written: the guest's own module handle
};
static_assert(sizeof(GuestPluginHeader) == 7 * sizeof(void*) &&
              offsetof(GuestPluginHeader, init) == 2 * sizeof(void*) &&
              offsetof(GuestPluginHeader, config) == 3 * sizeof(void*) &&
              offsetof(GuestPluginHeader, quit) == 4 * sizeof(void*) &&
              offsetof(GuestPluginHeader, parentWindow) == 5 * sizeof(void*) &&
              offsetof(GuestPluginHeader, moduleInstance) == 6 * sizeof(void*),
              "the guest's header layout: 28 bytes (56 on 64-bit Windows)");

enum { GuestHeaderVersion = 0x10 };

// Set by the window thread once EmulatedPlayerWindow exists and is stored (or
// never, when the thread ends early). PluginQuit waits on it together with the
// thread handle so that a stop never races the window's creation.
extern HANDLE WindowReadyEvent;

// Thread start routine of WindowThread. Registers the class, creates the
// window (the guest starts inside WM_CREATE), runs the message loop and, once
// it ends, destroys the thread's windows, frees the guest and unregisters the
// class, so that a later start finds everything as new.
DWORD WINAPI WindowThreadMain(LPVOID unused);

// EmulatedPlayerWindow's procedure. Traces every message to the debugger
// output, answers the queries, and starts and stops the guest.
LRESULT CALLBACK PlayerWindowProc(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam);

// The answer to a WM_USER query. QueryPlaylistFile writes the tag file.
LRESULT AnswerQuery(WPARAM wparam, LPARAM lparam);

// --- Guest binding (window thread, except OnConfigure) ---------------------

// Guards the guest's started flag and the count of configure calls under way.
// Held only for a few stores, never across a call into the guest or a wait.
extern CRITICAL_SECTION GuestLock;
// Set while no configure call is inside the guest.
extern HANDLE ConfigIdleEvent;

// Loads the guest by bare file name and, for a header of the expected version,
// hands it the window and its own module handle and starts it. Always 0.
LRESULT LoadGuestPlugin(HWND window);

// Stops the guest: its quit function, then the window procedure is taken back
// from any subclass the guest left in place. The DLL itself is freed later by
// ReleaseGuestModule, once no guest code can be on the thread's stack.
void UnloadGuestPlugin(HWND window);

// Frees the guest DLL and forgets it. Called by the window thread after its
// message loop has ended and its windows are gone.
void ReleaseGuestModule(void);
