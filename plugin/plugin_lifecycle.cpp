// PluginInit and PluginQuit: start and stop the whole plug-in.
#include "plugin_descriptor.h"

#include "../emulation/player_window.h"
#include "../state/playback_state.h"
#include "../tags/tag_bridge.h"

namespace {

// Touched only by PluginInit and PluginQuit, under StateLock. Null while no
// window thread has been started since the last stop.
HANDLE WindowThread = NULL;

// Closes the handles of a window thread that has ended.
void ForgetWindowThread(void)
{
    CloseHandle(WindowThread);
    WindowThread = NULL;
    CloseHandle(WindowReadyEvent);
    WindowReadyEvent = NULL;
}

} // namespace

int WINAPI PluginInit(DWORD, DWORD)
{
    int result = 1;
    EnterCriticalSection(&StateLock);

    if (WindowThread != NULL) {
        // A window thread whose window has gone (someone closed it) is
        // ending by itself: wait for it, then start anew. One that is still
        // starting or serving is the running plug-in: a second thread would
        // fight it over the window class and the guest.
        bool windowGone = WaitForSingleObject(WindowReadyEvent, 0) ==
                              WAIT_OBJECT_0 &&
                          Playback.window == NULL;
        if (windowGone)
            WaitForSingleObject(WindowThread, INFINITE);
        if (WaitForSingleObject(WindowThread, 0) == WAIT_TIMEOUT) {
            LeaveCriticalSection(&StateLock);
            return 0;
        }
        ForgetWindowThread();
    }

    ActivateState();
    if (BindTagLibrary()) {
        DeriveTagFilePath();
        // Manual-reset: set once the window exists and stays set.
        WindowReadyEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (WindowReadyEvent != NULL) {
            WindowThread =
                CreateThread(NULL, 0, WindowThreadMain, NULL, 0, NULL);
            if (WindowThread != NULL) {
                result = 0;
            } else {
                CloseHandle(WindowReadyEvent);
                WindowReadyEvent = NULL;
            }
        }
    }

    LeaveCriticalSection(&StateLock);
    return result;
}

int WINAPI PluginQuit(void)
{
    EnterCriticalSection(&StateLock);
    DeactivateState();
    if (WindowThread != NULL) {
        // A stop right after the start may find the window still being made:
        // wait until it exists (or the thread has given up) so that the
        // WM_DESTROY below reaches it. The window thread never waits for
        // StateLock, so these waits end.
        HANDLE waitFor[2] = {WindowReadyEvent, WindowThread};
        WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
        HWND window = Playback.window;
        if (window != NULL)
            SendMessageA(window, WM_DESTROY, 0, 0);
        WaitForSingleObject(WindowThread, INFINITE);
        ForgetWindowThread();
    }
    LeaveCriticalSection(&StateLock);
    return 0;
}
