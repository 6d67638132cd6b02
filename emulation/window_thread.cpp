// WindowThread: its life as one state, its start with the ready handshake,
// the restart check, its message loop and the bounded stop. Only
// StartWindowThread and StopWindowThread, which PluginInit and PluginQuit
// call one at a time (plugin_lifecycle.cpp), touch the thread from outside.
#include "player_window.h"

#include "guest_binding.h"
#include "containment/message_wait.h"
#include "../base/plugin_module.h"
#include "../state/playback_state.h"

namespace {

// Where the window thread is in its life.
enum WindowPhase {
    WindowEnded,      // none, or the last one has been seen to end
    WindowStarting,   // started; its window is being made, the guest starts
    WindowServing,    // the window exists and its message loop runs
    WindowStopping,   // a stop is waiting for it to end
    WindowGivenUp     // a stop returned before it ended: it ends by itself
};

// The one window thread. The host's threads change it under the start/stop
// guard (plugin_lifecycle.cpp); the window thread itself only moves it from
// starting to serving (a stop that came first wins).
struct WindowThreadState {
    volatile LONG phase;        // WindowPhase
    HANDLE thread;              // ours; closed once the thread has ended
    // Manual-reset: set once CreateWindowExA has returned the window (never,
    // when the thread ends without one). Closed with the thread's handle.
    HANDLE readyEvent;
};

WindowThreadState Window = {WindowEnded, NULL, NULL};

// A stop noted by the window procedure (the host's WM_DESTROY, a WM_CLOSE, or
// the window destroyed for real), carried out by the message loop once it is
// back at its top. Window thread; cleared as each thread starts.
bool StopNoted = false;

// How often the loop looks again at an earlier guest's leftovers while a new
// guest waits for them to end.
const DWORD PendingGuestLookMs = 100;

void ForgetWindowThread(void)
{
    CloseHandle(Window.thread);
    Window.thread = NULL;
    CloseHandle(Window.readyEvent);
    Window.readyEvent = NULL;
    InterlockedExchange(&Window.phase, WindowEnded);
}

bool WindowThreadEnded(void)
{
    return WaitForSingleObject(Window.thread, 0) == WAIT_OBJECT_0;
}

// Waits, answering sent messages, for the thread to end within the time
// left; forgets it once it has.
bool AwaitWindowThreadEnd(DWORD start, DWORD boundMs)
{
    if (WaitAnsweringSentMessages(1, &Window.thread, TimeLeft(start, boundMs)) !=
        WAIT_OBJECT_0)
        return false;
    ForgetWindowThread();
    return true;
}

BOOL CALLBACK DestroyThreadWindow(HWND window, LPARAM)
{
    DestroyWindow(window);
    return TRUE;
}

// The message loop. A stop is carried out only here, at its top: never
// inside a call of the guest's that waits, pumps messages of its own or runs
// a modal loop, whatever answers the stop's WM_DESTROY meanwhile. Sent
// messages are answered inside PeekMessageA, which returns once they have
// been, so a stop noted there is seen at once.
DWORD RunMessageLoop(HWND window)
{
    bool guestPending = GuestPending();
    DWORD lastLook = GetTickCount();
    for (;;) {
        if (StopNoted)
            return 0;
        MSG msg;
        if (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return (DWORD)msg.wParam;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            continue;
        }
        if (StopNoted)
            continue;   // noted by a sent message that PeekMessageA answered
        DWORD sinceLook = GetTickCount() - lastLook;
        if (guestPending && sinceLook >= PendingGuestLookMs) {
            guestPending = StartPendingGuest(window);
            lastLook = GetTickCount();
            continue;
        }
        MsgWaitForMultipleObjectsEx(
            0, NULL, guestPending ? PendingGuestLookMs - sinceLook : INFINITE,
            QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

DWORD RunPlayerWindow(void)
{
    char szClassName[24];
    lstrcpyA(szClassName, PLAYER_CLASS_NAME);

    StopNoted = false;
    if (RegisterPlayerClass(szClassName) == 0)
        return 0;

    // WM_CREATE loads and starts the guest inside this call. A guest that
    // destroys the window meanwhile, or a creation that fails after
    // WM_CREATE, leaves no window: the guest is stopped below all the same.
    HWND window = CreateWindowExA(0, szClassName, szClassName,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  NULL, NULL, OwnModule, NULL);
    bool made = window != NULL && IsWindow(window);
    DWORD exitCode = 0;
    if (made) {
        InterlockedExchangePointer((PVOID volatile*)&Playback.window, window);
        // A track that started while the window was being made found no
        // window to title (the guest may read the song from the title).
        ShowLatestTitle(window);
        SetEvent(Window.readyEvent);
        UpdateWindow(window);
        // A stop came while the window was being made (and may have given
        // up waiting for it): end at once.
        if (InterlockedCompareExchange(&Window.phase, WindowServing,
                                       WindowStarting) != WindowStarting)
            NoteStop(window);
        exitCode = RunMessageLoop(window);
    }

    // The guest's stop: its quit while the window still exists (unless the
    // window was lost, or a guest's WM_QUIT ended the loop after it went).
    UnloadGuestPlugin(made && IsWindow(window) ? window : NULL);
    // Destroy this thread's windows (the guest's among them) while the guest
    // is still loaded, then free it: nothing of the guest may run once its
    // DLL is gone, and the class can only go once its windows have.
    EnumThreadWindows(GetCurrentThreadId(), DestroyThreadWindow, 0);
    ReleaseGuestModule();
    UnregisterClassA(szClassName, OwnModule);
    return exitCode;
}

} // namespace

void CreateEmulationObjects(void)
{
    CreateGuestBindingObjects();
}

void DeleteEmulationObjects(void)
{
    // A window thread that outlived the host's use of the DLL ends here,
    // with its own last reference: its handles go with it.
    if (Window.thread != NULL)
        ForgetWindowThread();
    DeleteGuestBindingObjects();
}

void NoteStop(HWND window)
{
    InterlockedCompareExchangePointer((PVOID volatile*)&Playback.window, NULL,
                                      window);
    StopNoted = true;
}

DWORD WINAPI WindowThreadMain(LPVOID)
{
    DWORD exitCode = RunPlayerWindow();
    // Never returns into this DLL, which may go with this very call.
    FreeLibraryAndExitThread(OwnModule, exitCode);
    return exitCode;
}

int StartWindowThread(BOOL (*prepare)(void), DWORD start)
{
    if (Window.thread != NULL && !WindowThreadEnded()) {
        LONG phase = Window.phase;
        bool running = phase == WindowStarting ||
                       (phase == WindowServing && Playback.window != NULL);
        if (running)
            return 0;   // the running plug-in: nothing changes
        // Ending: a stop gave up on it, or someone else closed its window.
        // It may be about done; a start beside it is refused.
        if (!AwaitWindowThreadEnd(start, StartBudgetMs))
            return 1;
    }
    if (Window.thread != NULL)
        ForgetWindowThread();

    if (!prepare())
        return 1;

    // The thread's reference on this DLL, taken here so that no moment
    // exists in which the host could unload the DLL under a thread that has
    // not yet taken one. WindowThreadMain drops it as it ends.
    HMODULE self = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            (LPCSTR)(void*)WindowThreadMain, &self))
        return 1;
    Window.readyEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    InterlockedExchange(&Window.phase, WindowStarting);
    if (Window.readyEvent != NULL)
        Window.thread = CreateThread(NULL, 0, WindowThreadMain, NULL, 0, NULL);
    if (Window.thread == NULL) {
        if (Window.readyEvent != NULL)
            CloseHandle(Window.readyEvent);
        Window.readyEvent = NULL;
        InterlockedExchange(&Window.phase, WindowEnded);
        FreeLibrary(self);   // the host's own reference keeps the DLL
        return 1;
    }

    // The thread runs: a start, unless it is seen to end without a window
    // in the time left (no class, or the guest broke the window). A window
    // slow to be made is a start all the same: the thread makes it, starts
    // the guest and serves as usual.
    HANDLE readyOrEnded[2] = {Window.readyEvent, Window.thread};
    if (WaitAnsweringSentMessages(2, readyOrEnded,
                                  TimeLeft(start, StartBudgetMs)) ==
        WAIT_OBJECT_0 + 1) {
        ForgetWindowThread();
        return 1;
    }
    return 0;
}

void StopWindowThread(DWORD start)
{
    if (Window.thread == NULL)
        return;
    if (WindowThreadEnded()) {
        ForgetWindowThread();
        return;
    }
    // An earlier stop already waited its whole bound for this thread.
    if (InterlockedExchange(&Window.phase, WindowStopping) == WindowGivenUp) {
        InterlockedExchange(&Window.phase, WindowGivenUp);
        return;
    }

    // A stop right after the start may find the window still being made:
    // wait until it exists (or the thread has ended) so that WM_DESTROY
    // reaches it; a window made after the bound finds the stop in the phase
    // and ends at once. The window thread never waits for StateLock.
    HANDLE readyOrEnded[2] = {Window.readyEvent, Window.thread};
    if (WaitAnsweringSentMessages(2, readyOrEnded,
                                  TimeLeft(start, StopBudgetMs)) ==
        WAIT_OBJECT_0) {
        // Sent without waiting for the answer: the window procedure only
        // notes the stop, which its loop carries out once back at its top.
        HWND window = Playback.window;
        if (window != NULL)
            SendNotifyMessageA(window, WM_DESTROY, 0, 0);
    }
    if (!AwaitWindowThreadEnd(start, StopBudgetMs))
        InterlockedExchange(&Window.phase, WindowGivenUp);
}
