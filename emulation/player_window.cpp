// EmulatedPlayerWindow: its class, its procedure and the answers to the
// guest's queries.
#include "player_window.h"

#include "guest_binding.h"
#include "../base/plugin_module.h"
#include "../state/playback_state.h"
#include "../tags/tag_bridge.h"

namespace {

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
    switch (message) {
    case WM_CREATE:
        return LoadGuestPlugin(window);
    case WM_CLOSE:
        // Someone closes the window: the guest stops first, while its
        // window still exists, then the window goes.
    case WM_DESTROY:
        // The host's stop, or the window destroyed for real. The guest may
        // be on this thread's stack (a wait, a modal loop of its own): its
        // quit runs only once the loop is back at its top.
        NoteStop(window);
        return 0;
    case WM_USER:
        return AnswerQuery(wparam, lparam);
    case ShowTitleMessage:
        ShowLatestTitle(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}
