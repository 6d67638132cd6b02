// What the guest plug-in schedules to run later, known as it happens. Right
// after the guest's DLL is loaded, the slots of its import table that name
// the system's ways to start code later (threads, timer-queue timers, pool
// work, timers and waits, registered waits, APCs, window hooks, timer
// procedures, GetProcAddress for any of them, and CloseHandle for the
// runtime's thread handles) are pointed at functions here, which record what
// each call scheduled and see it end. The stop closes the gates, waits for
// the guest's threads and callbacks under way, and only then cancels its
// objects; the guest's DLL is freed only once nothing of it is left. The
// guest's waits on the window thread answer the messages sent to it.
// Knows nothing of the player window or the playback state.
#pragma once

#include <windows.h>

// Window thread, right after the guest's DLL is loaded, before any function
// of it is called: routes its imports and takes the calling thread as the
// window thread. Nothing of an earlier guest may be left. FALSE: not every
// slot could be rewritten, so what the guest schedules is not all known and
// its DLL must never be freed.
BOOL RouteGuestImports(HMODULE guest);

// Window thread, once the guest's quit has returned (and with timeoutMs 0
// for another look at a guest that was kept). Closes the gates (callbacks
// that fire from now on, threads made from now on, never enter the guest),
// removes hooks and timer procedures, waits up to timeoutMs, answering the
// messages sent to this thread, for the guest's threads, callbacks under way
// and APCs to end, and then cancels and closes its timers, waits and pool
// objects. TRUE when nothing is left; FALSE keeps what the guest's threads
// may still touch open (and gated) for a later look.
BOOL EndGuestSchedule(DWORD timeoutMs);

// Window thread, when the guest's DLL stays loaded because EndGuestSchedule
// found something left (or a configure call is still inside it): the import
// slots and callbacks still pending point into this DLL, so it keeps itself
// loaded too until UnrouteGuestImports. Says so in one debugger line.
void KeepGuestSchedule(void);

// Window thread, once nothing of the guest is left, before its DLL is freed:
// puts the import slots back and drops what KeepGuestSchedule kept. FALSE:
// a slot could not be put back, so this DLL stays loaded for good and the
// guest's must never be freed.
BOOL UnrouteGuestImports(HMODULE guest);

// Called by the guest binding's create and delete at the first DLL entry
// call and at the last detach.
void CreateGuestScheduleObjects(void);
void DeleteGuestScheduleObjects(void);

// --- A rule free of threads and windows ----------------------------------

// What an import table's or a module's file name (any case) stands for: a C
// runtime whose _beginthread(ex) are routed by name (msvcr*, ucrtbase,
// ucrtbased, api-ms-win-crt-*), a part of the system whose functions are
// (kernel32, kernelbase, user32, the other api-ms-win-* and ext-ms-win-*
// sets), or neither.
enum ImportModuleKind { OtherModule, SystemModule, RuntimeModule };
ImportModuleKind ImportModuleKindOf(const char* fileName);
