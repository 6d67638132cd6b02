// What lives for as long as the DLL is loaded: its own module handle and
// StateLock. Every part of the plug-in may include this; it includes nothing
// of ours.
#pragma once

#include <windows.h>

// Set at the first DLL entry call, cleared at the last detach. Read for the
// window class and window (window thread), for the tag-file path, and for the
// window thread's reference on its own code.
extern HINSTANCE OwnModule;

// Serialises the changes of the playback state by PluginInit, PluginQuit,
// OnTrackStart, OnProgress and OnTrackStop, all on host threads. Held only
// for those changes, never while waiting for the window thread, so no
// notification waits on the guest; nothing on the window thread takes it.
extern CRITICAL_SECTION StateLock;

// Auto-reset, set while no PluginInit or PluginQuit is under way: they run
// one at a time, each waiting for it within its own bound (a wait that ran
// out answers at once, changing nothing). Only they take it.
extern HANDLE StartStopFree;

// Called by the DLL entry at the first call and at the last detach.
void CreateModuleObjects(HINSTANCE module);
void DeleteModuleObjects(void);
