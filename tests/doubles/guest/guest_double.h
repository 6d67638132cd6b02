// Control record of the guest stand-ins (gen_tebo_for_winamp.dll variants).
// The test owns the record; it puts its address, as "%p", in the environment
// variable GUEST_DOUBLE_CONTROL_ENV before the plug-in starts, and the guest
// reads it when it is loaded. The record outlives the guest, so the test can
// read what happened after the guest's DLL has been freed.
#pragma once

#include <windows.h>

#define GUEST_DOUBLE_CONTROL_ENV "TEBO_GUEST_DOUBLE_CONTROL"

// How quit leaves code of the guest behind.
enum GuestLeftoverRoute {
    GuestLeftoverNone,
    GuestLeftoverCreateThread,     // a worker whose handle is never closed
    GuestLeftoverBeginThread,      // the runtime's _beginthread
    GuestLeftoverBeginThreadEx,    // the runtime's _beginthreadex
    GuestLeftoverLookedUpThread,   // CreateThread found by GetProcAddress
    GuestLeftoverQueueTimer,       // CreateTimerQueueTimer, never deleted
    GuestLeftoverWorkItem,         // QueueUserWorkItem
    GuestLeftoverPoolWork,         // CreateThreadpoolWork and Submit
    GuestLeftoverHook,             // SetWindowsHookExA, never removed
    GuestLeftoverWindowTimer,      // SetTimer with a procedure, never killed
    GuestLeftoverRegisteredWait,   // RegisterWaitForSingleObject, kept
    GuestLeftoverPoolTimer,        // CreateThreadpoolTimer, never closed
    GuestLeftoverApc,              // QueueUserAPC to quit's own thread
    // A CreateThread worker that, once its run is over, re-arms a pool
    // timer, submits pool work and changes a timer-queue timer of quit's.
    GuestLeftoverTouchesObjects,
    GuestLeftoverLookedUpTimer,    // CreateTimerQueueTimer by GetProcAddress
    // A timer whose callback deletes it with a blocking completion.
    GuestLeftoverSelfDeletingTimer,
    // quit deletes a timer, makes pool work, and deletes the timer again;
    // then as GuestLeftoverPoolWork.
    GuestLeftoverDeletedTwice
};

enum GuestLeftoverStays {
    GuestLeftoverEnds,      // runs once (a one-shot timer, a closed pool work)
    GuestLeftoverRepeats,   // a periodic timer, work that queues itself again
    GuestLeftoverStuck      // a run waits for leftoverRelease
};

struct GuestDoubleControl {
    // --- Set by the test before the start -------------------------------
    LONG queryFromInit;      // init sends QueryPlayState (WM_USER, lp 104)
    LONG subclassWindow;     // init subclasses parentWindow, never restores
    LONG pollerEnabled;      // init starts a thread polling the window
    DWORD pollIntervalMs;    // pause between poll rounds (0: just yield)
    LONG configSendsQuery;   // config sends QueryPlayState to parentWindow
    DWORD configBusyMs;      // config stays inside for this long
    // Called on the poller thread after every round, with the answers to
    // 104, 105/0, 105/1 and 211 (the path, or null for an answer of 0).
    // The guest reads nothing itself; the callback may read the file.
    void (*onPoll)(void* context, LRESULT playState, LRESULT positionMs,
                   LRESULT lengthSeconds, const char* tagFilePath);
    void* context;

    // --- Recorded by the guest (interlocked) ----------------------------
    LONG loads;              // DLL_PROCESS_ATTACH
    LONG unloads;            // DLL_PROCESS_DETACH
    LONG initCalls, configCalls, quitCalls;
    DWORD initThread, configThread, quitThread;
    HWND parentAtInit;       // header fields as init found them
    HINSTANCE moduleAtInit;
    HMODULE guestModule;     // the guest's own handle, from DllMain
    LRESULT initQueryAnswer;
    LONG pollRounds;
    LONG subclassMessages;   // messages that went through the subclass
    // Any guest code entered after quit returned (config, subclass
    // procedure, poller): must stay 0.
    LONG callsAfterQuit;
    // The poller ended within quit (quit waited for it, answering sent
    // messages meanwhile).
    LONG pollerStoppedInQuit;

    // --- Set by the test before the start (optional) ---------------------
    DWORD initBusyMs;        // init stays inside this long after its work,
                             // widening the window in which it is starting
    // With subclassWindow: on WM_DESTROY the subclass sets configRelease
    // (if any) and waits (up to 10 s) until a message sent by another thread
    // is pending before it passes WM_DESTROY on. It looks at the queue
    // status to see it, which marks the message as seen: a wait that only
    // wakes for new messages then sleeps through it.
    LONG subclassAwaitsSentOnDestroy;
    // --- Recorded by the guest (interlocked) ----------------------------
    // config entered while the guest was not started: before init returned
    // or after quit was called. Must stay 0.
    LONG configOutsideStart;
    // quit entered while a config call was still inside. Must stay 0.
    LONG quitDuringConfig;

    // --- Careless guests, set by the test before the start ---------------
    // Events are the test's; a guest that waits for one gives up after 60 s.
    // quit leaves code of the guest behind by one route (GuestLeftoverRoute)
    // and returns, once the leftover is where leftoverTiming says. Each run
    // of the leftover sends QueryPlayState and, when stuck, then waits for
    // leftoverRelease in the guest's code.
    LONG leftoverRoute;
    LONG leftoverStays;      // GuestLeftoverStays
    LONG leftoverTiming;     // quit returns 0: at once; 1: once a run is
                             // about to query; 2: once a run has ended
    HANDLE leftoverRelease;
    DWORD hookThread;        // hooked by GuestLeftoverHook (WH_GETMESSAGE)
    // init polls from a timer-queue callback (run on the system's pool
    // threads); once a callback has begun to send a query, quit deletes, and
    // waits for a callback under way (INVALID_HANDLE_VALUE), 1: the timer,
    // 2: the queue of its own that holds it.
    LONG timerPoller;
    // With pollerEnabled: once the poller is about to query, quit tells it
    // to stop and waits for it with a plain WaitForSingleObject.
    LONG quitWaitsDeaf;
    // Where GuestLeftoverLookedUp* look their function up (null: kernel32)
    // and whether by its ordinal in that module's export directory.
    const char* lookUpIn;
    LONG lookUpByOrdinal;
    // GuestLeftoverBeginThread: the handle is closed at once.
    LONG closeThreadHandle;
    // init sets a timer on the window thread whose procedure, once, waits
    // there: 1, for leftoverRelease (answering sent messages, as the plug-in
    // makes the guest's waits on that thread); 2, in SendMessageA to
    // foreignWindow, a window of another thread; 3, in a modal MessageBoxA
    // (caption "guest wait") until someone closes it.
    LONG timerProcWaits;
    HWND foreignWindow;
    HANDLE initRelease;      // set: init returns only once this is
    HANDLE quitRelease;      // set: quit returns only once this is
    HWND quitSendsTo;        // set: quit sends it WM_APP (a host's window)
    HANDLE configRelease;    // set: config returns only once this is (a
                             // dialog left open)
    // --- Recorded by the guest (interlocked) ----------------------------
    LONG leftoversRunning;   // runs (and timer polls) not yet out of the guest
    LONG unloadedUnderLeftover;   // DLL_PROCESS_DETACH with one of them in
    LONG timerProcWaiting;   // the timerProcWaits procedure has begun to wait
    // Calls on the guest's own objects that found them gone (a change of a
    // timer deleted under its thread, the runtime's thread handle closed
    // under it by the guest's close), deleted one twice, or a deletion's
    // own event never set. Must stay 0.
    LONG objectMisuses;

    // --- Guests that break the window, set by the test before the start ----
    // init arms a timer whose procedure keeps the window thread busy (a slow
    // call, not a wait) for as long as windowBusy is not 0; windowBusyNow is
    // 1 while it does. While windowBusy is 2 it takes every message off the
    // thread's queue (PeekMessageA, PM_REMOVE) without handling it, counting
    // them in windowMessagesDropped.
    volatile LONG windowBusy;
    volatile LONG windowBusyNow;
    volatile LONG windowMessagesDropped;
    // init destroys the window it was handed. 2: after subclassing it with a
    // procedure that keeps WM_DESTROY to itself, so the player's procedure
    // never hears of it (as when a creation fails after WM_CREATE).
    LONG initDestroysWindow;
};
