// EmulatedPlayerWindow: its class, its procedure and the answers to the
// guest's queries.
#include "player_window.h"

#include "guest_binding.h"
#include "containment/guest_schedule.h"
#include "../base/plugin_module.h"
#include "../state/playback_state.h"
#include "../tags/tag_bridge.h"

namespace {

// Posted by the window to itself for a stop that came while guest code was
// on this thread's stack. Registered with the class (window thread).
UINT DeferredStopMessage = 0;
// A stop is deferred: its message is posted and not yet handled. Window
// thread.
bool StopDeferred = false;

// Trace line for every message, before it is handled.
void TraceMessage(UINT message, WPARAM wparam, LPARAM lparam)
{
    char szDebugStr[100];
    wsprintfA(szDebugStr, "msg=%#04lX wp=%d lp=%d\n", (unsigned long)message,
              (int)wparam, (int)lparam);
    OutputDebugStringA(szDebugStr);
}

// The answer to a WM_USER query. QueryPlaylistFile writes the tag file.
LRESULT AnswerQuery(WPARAM wparam, LPARAM lparam)
{
    switch (lparam) {
    case QueryPlayState:
        return (LRESULT)(LONG)Playback.playState;
    case QueryOutputTime:
        if (wparam == 0)
            return Playback.position;
        if (wparam == 1)
            return Playback.length / 1000;   // truncates toward zero
        return -1;
    case QueryListPosition:
        return 0;
    case QueryPlaylistFile:
        return (LRESULT)WriteTagFile(TagFilePath);
    default:
        return 0;
    }
}

} // namespace

ATOM RegisterPlayerClass(const char* className)
{
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = PlayerWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = OwnModule;
    windowClass.hIcon = LoadIconA(NULL, (LPCSTR)IDI_APPLICATION);
    windowClass.hIconSm = LoadIconA(NULL, (LPCSTR)IDI_APPLICATION);
    windowClass.hCursor = (HCURSOR)LoadImageA(NULL, (LPCSTR)IDC_ARROW,
                                              IMAGE_CURSOR, 0, 0,
                                              LR_SHARED | LR_DEFAULTSIZE);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = className;

    DeferredStopMessage = RegisterWindowMessageA("tebo_wrapper deferred stop");
    ATOM atom = RegisterClassExA(&windowClass);
    if (atom == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        // Left by a copy of this DLL that did not end its thread: its
        // procedure may be gone, so register ours in its place.
        if (UnregisterClassA(className, OwnModule))
            atom = RegisterClassExA(&windowClass);
    }
    return atom;
}

LRESULT CALLBACK PlayerWindowProc(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam)
{
    TraceMessage(message, wparam, lparam);
    if (message == DeferredStopMessage && message != 0) {
        StopDeferred = false;
        message = WM_DESTROY;
    }
    switch (message) {
    case WM_CREATE:
        NoteWindowMade();
        return LoadGuestPlugin(window);
    case WM_DESTROY:
        // A wait of the guest's on this thread answers sent messages, the
        // stop's WM_DESTROY among them: its quit would then run nested inside
        // the guest's own call. Stop once that call has returned: posted
        // messages wait for the message loop.
        if (GuestWaitUnderWay()) {
            StopDeferred = PostMessageA(window, DeferredStopMessage, 0, 0) != 0;
            return 0;
        }
        // Forget the handle first: nothing may send to it once it can be
        // reused for another window.
        InterlockedCompareExchangePointer((PVOID volatile*)&Playback.window,
                                          NULL, window);
        UnloadGuestPlugin(window);
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        // Destroyed for real while its stop was deferred (the guest's wait
        // answered a WM_CLOSE, say): the posted message goes with the window.
        // The loop ends instead, once the guest's call has returned, and the
        // window thread stops the guest after it.
        InterlockedCompareExchangePointer((PVOID volatile*)&Playback.window,
                                          NULL, window);
        if (StopDeferred)
            PostQuitMessage(0);
        StopDeferred = false;
        return DefWindowProcA(window, message, wparam, lparam);
    case WM_USER:
        return AnswerQuery(wparam, lparam);
    case ShowTitleMessage:
        ShowLatestTitle(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}
