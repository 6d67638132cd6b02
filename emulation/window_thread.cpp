// WindowThread: its handle, its ready handshake, the restart check and the
// stop sequence. Only StartWindowThread and StopWindowThread, which PluginInit
// and PluginQuit call under StateLock, touch the thread from outside.
#include "player_window.h"

#include "guest_binding.h"
#include "message_wait.h"
#include "../base/plugin_module.h"
#include "../state/playback_state.h"

namespace {

// Under StateLock (and at the last detach). Null while no window thread is
// known; kept until the thread has been seen to end.
HANDLE WindowThread = NULL;
// Set by the window thread once EmulatedPlayerWindow exists and is stored
// (never, when the thread ends early). Manual-reset, one per thread, closed
// with the thread's handle.
HANDLE WindowReadyEvent = NULL;
// Set by StopWindowThread, cleared for every new thread. A window thread that
// finishes its window after the stop gave up waiting for it stops by itself,
// and a thread still alive with it set was given up on.
volatile LONG StopRequested = 0;

void ForgetWindowThread(void)
{
    CloseHandle(WindowThread);
    WindowThread = NULL;
    CloseHandle(WindowReadyEvent);
    WindowReadyEvent = NULL;
}

BOOL CALLBACK DestroyThreadWindow(HWND window, LPARAM)
{
    DestroyWindow(window);
    return TRUE;
}

// A track that started while the window was being made found no window to
// title (the guest may read the song from the title): title it now. A track
// start after the handle was stored sends its own title after this one.
void ShowTrackTitle(HWND window)
{
    char title[TitleCapacity];
    if (CopyTrackTitle(title))
        SetWindowTextA(window, title);
}

DWORD RunPlayerWindow(void)
{
    char szClassName[24];
    lstrcpyA(szClassName, PLAYER_CLASS_NAME);

    if (RegisterPlayerClass(szClassName) == 0)
        return 0;

    // WM_CREATE loads and starts the guest inside this call.
    HWND window = CreateWindowExA(0, szClassName, szClassName,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  NULL, NULL, OwnModule, NULL);
    DWORD exitCode = 0;
    if (window != NULL) {
        InterlockedExchangePointer((PVOID volatile*)&Playback.window, window);
        ShowTrackTitle(window);
        SetEvent(WindowReadyEvent);
        UpdateWindow(window);
        // A stop came while the window was being made (and may have given up
        // waiting for it): end at once. If its WM_DESTROY arrives as well, it
        // finds the guest stopped already.
        if (StopRequested)
            DestroyWindow(window);

        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        exitCode = (DWORD)msg.wParam;
    }

    // Destroy this thread's windows (the guest's among them) while the guest
    // is still loaded, then free it: nothing of the guest may run once its
    // DLL is gone, and the class can only go once its windows have.
    EnumThreadWindows(GetCurrentThreadId(), DestroyThreadWindow, 0);
    ReleaseGuestModule();
    UnregisterClassA(szClassName, OwnModule);
    return exitCode;
}

// The time left of a bound that began at start.
DWORD TimeLeft(DWORD start, DWORD boundMs)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed < boundMs ? boundMs - elapsed : 0;
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
    if (WindowThread != NULL)
        ForgetWindowThread();
    DeleteGuestBindingObjects();
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
    if (WindowThread != NULL) {
        if (WaitForSingleObject(WindowThread, 0) == WAIT_TIMEOUT) {
            if (StopRequested)
                return 1;   // a stop gave up on it: refused until it ends
            bool windowGone =
                WaitForSingleObject(WindowReadyEvent, 0) == WAIT_OBJECT_0 &&
                Playback.window == NULL;
            if (!windowGone)
                return 0;   // starting or serving: the running plug-in
            // Someone else closed the window: the thread is ending by itself.
            if (WaitAnsweringSentMessages(1, &WindowThread, StopBudgetMs) !=
                WAIT_OBJECT_0)
                return 1;
        }
        ForgetWindowThread();
    }

    if (!prepare())
        return 1;

    // The thread's reference on this DLL, taken here so that no moment
    // exists in which the host could unload the DLL under a thread that has
    // not yet taken one. WindowThreadMain drops it as it ends.
    HMODULE self = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            (LPCSTR)(void*)WindowThreadMain, &self))
        return 1;
    // Manual-reset: set once the window exists and stays set.
    WindowReadyEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    StopRequested = 0;
    if (WindowReadyEvent != NULL)
        WindowThread = CreateThread(NULL, 0, WindowThreadMain, NULL, 0, NULL);
    if (WindowThread == NULL) {
        if (WindowReadyEvent != NULL)
            CloseHandle(WindowReadyEvent);
        WindowReadyEvent = NULL;
        FreeLibrary(self);   // the host's own reference keeps the DLL
        return 1;
    }
    return 0;
}

void StopWindowThread(void)
{
    if (WindowThread == NULL)
        return;
    if (InterlockedExchange(&StopRequested, 1) != 0) {
        // An earlier stop already waited its whole bound for this thread.
        if (WaitForSingleObject(WindowThread, 0) == WAIT_OBJECT_0)
            ForgetWindowThread();
        return;
    }

    DWORD start = GetTickCount();
    // A stop right after the start may find the window still being made:
    // wait until it exists (or the thread has given up) so that WM_DESTROY
    // reaches it. The window thread never waits for StateLock.
    HANDLE readyOrEnded[2] = {WindowReadyEvent, WindowThread};
    if (WaitAnsweringSentMessages(2, readyOrEnded, StopBudgetMs) ==
        WAIT_OBJECT_0) {
        // Sent without waiting for the answer: the guest's quit may never
        // return, and the wait for the thread below bounds it all.
        HWND window = Playback.window;
        if (window != NULL)
            SendNotifyMessageA(window, WM_DESTROY, 0, 0);
    }
    if (WaitAnsweringSentMessages(1, &WindowThread,
                                  TimeLeft(start, StopBudgetMs)) ==
        WAIT_OBJECT_0)
        ForgetWindowThread();
}
