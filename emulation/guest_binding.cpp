// Binding of the guest plug-in, gen_tebo_for_winamp.dll.
#include "guest_binding.h"

#include "../base/plugin_module.h"
#include "containment/guest_schedule.h"
#include "containment/message_wait.h"
#include "player_window.h"

namespace {

// Written only by the window thread (one at a time: a new one starts only
// once the last has ended).
HMODULE GuestModule = NULL;
GuestPluginHeader* GuestHeader = NULL;
// This window's guest waits for an earlier guest's leftovers to end.
bool GuestWaiting = false;
// Code of the guest may still run: so from its load until its stop has found
// nothing of it left.
bool GuestCodeMayRun = false;
// The DLL of an earlier guest of which something was left when its window
// went; our one reference to it is kept until a look finds nothing left.
HMODULE LingeringGuest = NULL;

// Guards the guest's started flag and the count of configure calls under way.
// Held only for a few stores, never across a call into the guest or a wait.
CRITICAL_SECTION GuestLock;
// Set while no configure call is inside the guest. Manual-reset.
HANDLE ConfigIdleEvent = NULL;
// Under GuestLock: the guest has been started and not yet stopped, and how
// many configure calls are inside it.
bool GuestStarted = false;
LONG ConfigCalls = 0;

typedef GuestPluginHeader* (*GuestEntryFunction)(void);

// How long the stop waits, after quit, for what the guest left (its threads,
// callbacks under way) to end before it keeps the DLL loaded. Within the
// host's stop bound (2.5 s), so that a guest whose quit returns at once has
// its stop finished while the host still waits.
const DWORD GuestLeftoversTimeoutMs = 2000;

// A guest whose import table could not be rewritten or put back whole: what
// it schedules is not all known, so its DLL is never unloaded. Pinned, it
// is freed, loaded and started like any other, and stays.
void KeepForGood(HMODULE module)
{
    HMODULE pinned = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCSTR)module, &pinned);
}

// Once nothing the guest scheduled is left: its slots go back, and our
// reference goes.
void FreeGuest(HMODULE module)
{
    if (!UnrouteGuestImports(module))
        KeepForGood(module);
    FreeLibrary(module);
}

// Frees the DLL of an earlier guest once one look finds nothing it
// scheduled left (no configure call can be inside: the stop waited for it
// before quit). TRUE when no such DLL is left.
BOOL ForgetLingeringGuest(void)
{
    if (LingeringGuest == NULL)
        return TRUE;
    if (!EndGuestSchedule(0))
        return FALSE;
    FreeGuest(LingeringGuest);
    LingeringGuest = NULL;
    return TRUE;
}

} // namespace

void CreateGuestBindingObjects(void)
{
    InitializeCriticalSection(&GuestLock);
    CreateGuestScheduleObjects();
    // Manual-reset, signalled: no configure call is inside the guest.
    ConfigIdleEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
}

void DeleteGuestBindingObjects(void)
{
    if (ConfigIdleEvent != NULL)
        CloseHandle(ConfigIdleEvent);
    ConfigIdleEvent = NULL;
    DeleteCriticalSection(&GuestLock);
    DeleteGuestScheduleObjects();
}

namespace {

// Loads the guest and, for a header of the expected version, hands it the
// window and its own module handle and starts it.
void StartGuest(HWND window)
{
    GuestCodeMayRun = true;
    const char GuestFileName[] = "gen_tebo_for_winamp.dll";
    HMODULE module = LoadPluginLibrary(GuestFileName);
    GuestModule = module;
    if (module == NULL)
        return;
    // Before any function of the guest runs: what it schedules from here on
    // is known. (Its DllMain has run already.)
    if (!RouteGuestImports(module))
        KeepForGood(module);

    GuestEntryFunction entry = (GuestEntryFunction)(void*)GetProcAddress(
        module, "winampGetGeneralPurposePlugin");
    if (entry == NULL) {
        TracePluginLibrary(GuestFileName, "not started (no "
                           "winampGetGeneralPurposePlugin, error %lu)",
                           GetLastError());
        return;   // stays loaded, unstarted, until the stop frees it
    }

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
    } else if (header == NULL) {
        TracePluginLibrary(GuestFileName, "not started (null header)", 0);
    } else if (header->version != GuestHeaderVersion) {
        TracePluginLibrary(GuestFileName,
                           "not started (header version 0x%lX, not 0x10)",
                           (DWORD)header->version);
    } else {
        TracePluginLibrary(GuestFileName, "not started (header without init)",
                           0);
    }
}

} // namespace

LRESULT LoadGuestPlugin(HWND window)
{
    // The earlier guest's DLL is still loaded and something of it is still
    // left: a bare-name load would hand out that very copy, and starting it
    // again before its first life has ended is asking for trouble. This
    // window starts its guest once nothing of that life is left.
    GuestWaiting = true;
    StartPendingGuest(window);
    return 0;
}

BOOL GuestPending(void)
{
    return GuestWaiting;
}

BOOL StartPendingGuest(HWND window)
{
    if (GuestWaiting && ForgetLingeringGuest()) {
        GuestWaiting = false;
        StartGuest(window);
    }
    return GuestWaiting;
}

void UnloadGuestPlugin(HWND window)
{
    // From here on, configure requests get the version box.
    EnterCriticalSection(&GuestLock);
    GuestStarted = false;
    LeaveCriticalSection(&GuestLock);
    // quit must not run while the guest's configuration dialog is open: wait
    // for a configure call under way to return, for as long as the user
    // keeps the dialog open, answering the guest's queries meanwhile. The
    // host's stop does not wait for this: it returns at its bound.
    WaitAnsweringSentMessages(1, &ConfigIdleEvent, INFINITE);

    GuestPluginHeader* header = GuestHeader;
    GuestHeader = NULL;
    if (header != NULL && header->quit != NULL)
        header->quit();   // also a header of another version, never started

    if (GuestModule == NULL)
        return;
    // A guest that subclassed the window and did not put the procedure back
    // would have every later message, those of the window's destruction
    // included, run code in its freed DLL.
    if (window != NULL)
        SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)PlayerWindowProc);

    // quit may only have told the guest's threads to stop, and left timers
    // and work behind. No configure call is inside any more (waited for
    // above, and none starts once the guest is no longer marked started).
    GuestCodeMayRun = !EndGuestSchedule(GuestLeftoversTimeoutMs);
}

void ReleaseGuestModule(void)
{
    HMODULE module = GuestModule;
    GuestModule = NULL;
    if (module != NULL && GuestCodeMayRun) {
        // Never free code that may still run: keep our reference (and this
        // DLL, which its import slots point into). A load waits while an
        // earlier DLL lingers, so none does yet.
        LingeringGuest = module;
        KeepGuestSchedule();
        return;
    }
    if (module != NULL)
        FreeGuest(module);
    ForgetLingeringGuest();
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
