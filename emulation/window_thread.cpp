// WindowThread: its life as one state, its start with the ready handshake,
// the restart check and the bounded stop. Only StartWindowThread and
// StopWindowThread, which PluginInit and PluginQuit call under StartStopLock,
// touch the thread from outside.
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

// The one window thread. The host's threads change it under StartStopLock; the
// window thread itself only moves it from starting to serving (a stop that
// came first wins) and notes that its window has been made.
struct WindowThreadState {
    volatile LONG phase;        // WindowPhase
    HANDLE thread;              // ours; closed once the thread has ended
    // Manual-reset: set once CreateWindowExA has returned the window (never,
    // when the thread ends without one). Closed with the thread's handle.
    HANDLE readyEvent;
    // WM_CREATE has been reached: the window exists, the guest may be
    // starting in it.
    volatile LONG windowMade;
};

WindowThreadState Window = {WindowEnded, NULL, NULL, 0};

// How long PluginInit may wait, for an old thread to end and for the new
// window to be made; and how long PluginQuit may wait for the thread to end.
// Both leave room below the host-facing bounds of 0.5 s and 3 s for the
// wait on StartStopLock and a loaded machine.
const DWORD StartBudgetMs = 400;
const DWORD StopBudgetMs = 2500;

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

// The time left of a bound that began at start.
DWORD TimeLeft(DWORD start, DWORD boundMs)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed < boundMs ? boundMs - elapsed : 0;
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

DWORD RunPlayerWindow(void)
{
    char szClassName[24];
    lstrcpyA(szClassName, PLAYER_CLASS_NAME);

    if (RegisterPlayerClass(szClassName) == 0)
        return 0;

    // WM_CREATE loads and starts the guest inside this call. A guest that
    // destroys the window meanwhile, or a creation that fails after
    // WM_CREATE, leaves no window: the guest is stopped below all the same.
    HWND window = CreateWindowExA(0, szClassName, szClassName,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  NULL, NULL, OwnModule, NULL);
    DWORD exitCode = 0;
    if (window != NULL && IsWindow(window)) {
        InterlockedExchangePointer((PVOID volatile*)&Playback.window, window);
        // A track that started while the window was being made found no
        // window to title (the guest may read the song from the title).
        ShowLatestTitle(window);
        SetEvent(Window.readyEvent);
        UpdateWindow(window);
        // A stop came while the window was being made (and may have given
        // up waiting for it): end at once. If its WM_DESTROY arrives as well,
        // it finds the guest stopped already.
        if (InterlockedCompareExchange(&Window.phase, WindowServing,
                                       WindowStarting) != WindowStarting)
            DestroyWindow(window);

        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        exitCode = (DWORD)msg.wParam;
    }

    // The guest's stop, unless WM_DESTROY has done it: the window was lost
    // while it was being made, or the loop ended on a WM_QUIT of the guest's.
    UnloadGuestPlugin(window != NULL && IsWindow(window) ? window : NULL);
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

void NoteWindowMade(void)
{
    InterlockedExchange(&Window.windowMade, 1);
}

DWORD WINAPI WindowThreadMain(LPVOID)
{
    DWORD exitCode = RunPlayerWindow();
    // Never returns into this DLL, which may go with this very call.
    FreeLibraryAndExitThread(OwnModule, exitCode);
    return exitCode;
}

int StartWindowThread(BOOL (*prepare)(void))
{
    DWORD start = GetTickCount();
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
    Window.windowMade = 0;
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

    // Success only for a start that made its window. One whose guest is
    // still starting in it is a start all the same; one that has not even
    // made its window in time ends by itself.
    HANDLE readyOrEnded[2] = {Window.readyEvent, Window.thread};
    DWORD waited = WaitAnsweringSentMessages(2, readyOrEnded,
                                             TimeLeft(start, StartBudgetMs));
    if (waited == WAIT_OBJECT_0)
        return 0;
    if (waited == WAIT_OBJECT_0 + 1) {
        ForgetWindowThread();   // no window: the class, or the guest broke it
        return 1;
    }
    if (Window.windowMade)
        return 0;
    InterlockedExchange(&Window.phase, WindowGivenUp);
    return 1;
}

void StopWindowThread(void)
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

    DWORD start = GetTickCount();
    // A stop right after the start may find the window still being made:
    // wait until it exists (or the thread has ended) so that WM_DESTROY
    // reaches it. The window thread never waits for StateLock.
    HANDLE readyOrEnded[2] = {Window.readyEvent, Window.thread};
    if (WaitAnsweringSentMessages(2, readyOrEnded, StopBudgetMs) ==
        WAIT_OBJECT_0) {
        // Sent without waiting for the answer: the guest's quit may never
        // return, and the wait for the thread below bounds it all.
        HWND window = Playback.window;
        if (window != NULL)
            SendNotifyMessageA(window, WM_DESTROY, 0, 0);
    }
    if (!AwaitWindowThreadEnd(start, StopBudgetMs))
        InterlockedExchange(&Window.phase, WindowGivenUp);
}
