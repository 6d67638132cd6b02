// Binding of the guest plug-in, gen_tebo_for_winamp.dll.
#include "player_window.h"

#include "../plugin/plugin_descriptor.h"

CRITICAL_SECTION GuestLock;
HANDLE ConfigIdleEvent = NULL;

namespace {

// Written only by the window thread.
HMODULE GuestModule = NULL;
GuestPluginHeader* GuestHeader = NULL;

// Under GuestLock: the guest has been started and not yet stopped, and how
// many configure calls are inside it.
bool GuestStarted = false;
LONG ConfigCalls = 0;

typedef GuestPluginHeader* (*GuestEntryFunction)(void);

// How long the stop waits for a configure call under way to return before it
// stops the guest all the same. The guest's module stays pinned by that call,
// so its code cannot be freed under it either way.
const DWORD ConfigDrainTimeoutMs = 5000;

// Waits for the event while still handling messages sent to this thread: a
// guest's configuration dialog may query the window while we wait for it.
void WaitAnsweringSentMessages(HANDLE event, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        // Handles the sent messages already pending; takes nothing from the
        // queue of posted messages.
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return;
        // MWMO_INPUTAVAILABLE: a message sent before the wait, that code on
        // this thread (the guest's subclass, say) has already seen in the
        // queue status, must end the wait too; a plain wait wakes only for
        // messages that came after the last look at the queue.
        DWORD r = MsgWaitForMultipleObjectsEx(1, &event, timeoutMs - elapsed,
                                              QS_SENDMESSAGE,
                                              MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + 1)
            return;   // signalled, timed out or failed
    }
}

} // namespace

LRESULT LoadGuestPlugin(HWND window)
{
    HMODULE module = LoadLibraryA("gen_tebo_for_winamp.dll");
    GuestModule = module;
    if (module == NULL)
        return 0;

    GuestEntryFunction entry = (GuestEntryFunction)(void*)GetProcAddress(
        module, "winampGetGeneralPurposePlugin");
    if (entry == NULL)
        return 0;   // stays loaded, unstarted, until the stop frees it

    GuestPluginHeader* header = entry();
    GuestHeader = header;
    // A header of the expected version that lacks its start function is
    // treated like one of another version: never started, and no call ever
    // goes through a null function pointer.
    if (header != NULL && header->version == GuestHeaderVersion &&
        header->init != NULL) {
        header->moduleInstance = module;
        header->parentWindow = window;
        header->init();
        EnterCriticalSection(&GuestLock);
        GuestStarted = true;
        LeaveCriticalSection(&GuestLock);
    }
    return 0;
}

void UnloadGuestPlugin(HWND window)
{
    // From here on, configure requests get the version box.
    EnterCriticalSection(&GuestLock);
    GuestStarted = false;
    LeaveCriticalSection(&GuestLock);
    WaitAnsweringSentMessages(ConfigIdleEvent, ConfigDrainTimeoutMs);

    GuestPluginHeader* header = GuestHeader;
    GuestHeader = NULL;
    if (header != NULL && header->quit != NULL)
        header->quit();   // also a header of another version, never started

    // A guest that subclassed the window and did not put the procedure back
    // would have every later message, those of the window's destruction
    // included, run code in its freed DLL.
    if (window != NULL && GuestModule != NULL)
        SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)PlayerWindowProc);
}

void ReleaseGuestModule(void)
{
    HMODULE module = GuestModule;
    GuestHeader = NULL;
    GuestModule = NULL;
    if (module != NULL)
        FreeLibrary(module);
}

int WINAPI OnConfigure(HWND owner)
{
    // Runs on a host thread. The started flag and the pin are taken under
    // GuestLock, so a request never reaches a guest that is still starting or
    // already stopping, and the guest's DLL cannot be freed while its config
    // function runs. No lock is held across the call: the guest's dialog may
    // query the window.
    HMODULE pin = NULL;
    GuestPluginHeader* header = NULL;
    EnterCriticalSection(&GuestLock);
    // A null config must be tested here: GetModuleHandleExA takes a null
    // address for the program's own module and would succeed.
    if (GuestStarted && GuestHeader->config != NULL &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           (LPCSTR)(void*)GuestHeader->config, &pin)) {
        header = GuestHeader;
        if (ConfigCalls++ == 0)
            ResetEvent(ConfigIdleEvent);
    }
    LeaveCriticalSection(&GuestLock);

    if (header == NULL) {
        MessageBoxA(owner, PLAYER_VERSION_TEXT, PLAYER_CLASS_NAME, MB_OK);
        return 0;
    }

    header->config();

    EnterCriticalSection(&GuestLock);
    if (--ConfigCalls == 0)
        SetEvent(ConfigIdleEvent);
    LeaveCriticalSection(&GuestLock);
    FreeLibrary(pin);
    return 0;
}
