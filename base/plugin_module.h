// What lives for as long as the DLL is loaded: its own module handle and
// StateLock; and how the plug-in loads the two DLLs it works with. Every part
// of the plug-in may include this; it includes nothing of ours.
#pragma once

#include <windows.h>

// Set at the first DLL entry call, cleared at the last detach. Read for the
// window class and window (window thread), for the tag-file path, for the
// folder that LoadPluginLibrary looks in, and for the window thread's
// reference on its own code.
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

// Loads fileName, a bare file name (mp3infp.dll, the guest's DLL): first by
// that bare name, so that the host's folder and the system's search order
// find it as they always have; failing that, from this DLL's own folder by
// full path, where a user who unpacks everything beside the plug-in puts it
// and where the search order never looks. Never by a path relative to the
// current folder. When both fail, writes one debugger line naming the file
// and the error code and returns null. Runs on any thread; takes no lock.
HMODULE LoadPluginLibrary(const char* fileName);

// Writes one debugger line "tebo_wrapper: <fileName> <problem>", problem a
// wsprintfA format that may take value (a DWORD), for a DLL that is not used
// as it is. Nothing is shown to the host or the user: the line is for
// whoever watches the debugger output (DebugView and the like).
void TracePluginLibrary(const char* fileName, const char* problem, DWORD value);
