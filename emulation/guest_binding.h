// Binding of the guest plug-in, gen_tebo_for_winamp.dll: loaded and started
// when the player window is created, stopped when it is destroyed, freed by
// the window thread once nothing it scheduled is left (guest_schedule.h). The
// configure request (OnConfigure, a descriptor entry) comes on host threads.
#pragma once

#include <windows.h>

#include <stddef.h>

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

// Window thread, WM_CREATE. Loads the guest by bare file name and, for a
// header of the expected version, hands it the window and its own module
// handle and starts it; unless something of an earlier guest is still left,
// in which case the guest waits (GuestPending). Always 0.
LRESULT LoadGuestPlugin(HWND window);

// Window thread: this window's guest waits for the leftovers of an earlier
// one to end.
BOOL GuestPending(void);
// Window thread, from the top of its message loop while the guest waits:
// looks again at the earlier guest's leftovers and, once nothing of them is
// left, frees that DLL and loads and starts the guest. TRUE while it still
// waits.
BOOL StartPendingGuest(HWND window);

// Window thread, once, from the top of its message loop (or after a creation
// that lost its window), so that a started guest is always stopped and
// never inside a call of its own. Waits for a configure call under way to
// return (for as long as its dialog stays open), calls the guest's quit,
// takes the window procedure (of a window still there) back from any
// subclass the guest left in place, and ends what the guest left scheduled
// (bounded), answering the messages sent to the window meanwhile.
void UnloadGuestPlugin(HWND window);

// Window thread, after its message loop has ended and its windows are gone,
// so that no guest code is left on its own stack. Frees the guest's DLL, or,
// when something it scheduled is left, keeps it loaded: a later start or
// stop frees it once nothing is.
void ReleaseGuestModule(void);

// Called by the emulation's own create and delete at the first DLL entry call
// and at the last detach.
void CreateGuestBindingObjects(void);
void DeleteGuestBindingObjects(void);
