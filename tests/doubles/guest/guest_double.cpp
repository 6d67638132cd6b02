// Stand-in for the guest plug-in gen_tebo_for_winamp.dll, a Winamp
// general-purpose plug-in. One source, built in six variants:
//   GUEST_HEADER_VERSION=n   the header carries version n (0x10 or 0x11)
//   GUEST_NULL_HEADER        winampGetGeneralPurposePlugin returns null
//   GUEST_NO_ENTRY           no winampGetGeneralPurposePlugin export at all
//   GUEST_NO_INIT            the header's init is null
//   GUEST_NO_CONFIG_QUIT     the header's config and quit are null
// It behaves as the test's GuestDoubleControl (guest_double.h) asks, careless
// habits of real guests included (threads, timers, pool work and hooks that
// quit leaves behind, pollers quit waits for, dialogs left open), and records
// every call there. It also writes marker lines to the debugger
// output ("guest: init", "guest: subclassed", "guest: quit", "guest: quit
// done", "guest: config") so a test can place its calls among the player
// window's trace lines.
#include <windows.h>

#include <process.h>

#include "guest_double.h"
#include "tools/common/sent_message_wait.h"
#include "tools/common/winamp_guest.h"

namespace {

using winamp::QueryOutputTime;
using winamp::QueryPlayState;
using winamp::QueryPlaylistFile;
typedef winamp::GeneralPurposePlugin GuestHeader;

// How long quit waits for the poller before it gives up on it.
const DWORD PollerStopTimeoutMs = 5000;

// The test's record; null when the test set none (then nothing is recorded
// and nothing optional is done).
GuestDoubleControl* Control = NULL;

// Where the guest stands, for the checks of NoteEntry and config. Cleared by
// init: a DLL that stays loaded across a stop (a configure call pinned it)
// starts over at the next init.
volatile LONG InitReturned = 0;
volatile LONG QuitCalled = 0;
volatile LONG QuitReturned = 0;
volatile LONG ConfigInside = 0;   // config calls under way

WNDPROC PlayerProcedure = NULL;   // what the subclass forwards to
HANDLE PollerThread = NULL;
HANDLE PollerStop = NULL;         // manual-reset: the poller must end
HANDLE PollTimer = NULL;
HANDLE PollQueue = NULL;          // with timerPoller 2
HANDLE WaitedFor = NULL;          // auto-reset, made set with the DLL
// Auto-reset, made with the DLL: a poller or a timer's poll is about to
// send a query; a leftover's run is about to, or has ended.
HANDLE PollQuerying = NULL;
HANDLE LeftoverQuerying = NULL;
HANDLE LeftoverRan = NULL;

// How long a guest waits at most for an event of the test's.
const DWORD TestEventTimeoutMs = 60000;

// Unused in the variants whose header leaves them out.
[[maybe_unused]] int GuestInit(void);
[[maybe_unused]] void GuestConfig(void);
[[maybe_unused]] void GuestQuit(void);

#ifdef GUEST_NO_INIT
#define GUEST_INIT NULL
#else
#define GUEST_INIT GuestInit
#endif
#ifdef GUEST_NO_CONFIG_QUIT
#define GUEST_CONFIG NULL
#define GUEST_QUIT NULL
#else
#define GUEST_CONFIG GuestConfig
#define GUEST_QUIT GuestQuit
#endif

GuestHeader Header = {
#ifdef GUEST_HEADER_VERSION
    GUEST_HEADER_VERSION,
#else
    0x10,
#endif
    "gen_tebo_for_winamp stand-in",
    GUEST_INIT, GUEST_CONFIG, GUEST_QUIT,
    // Sentinels: a header of another version must keep them.
    (HWND)(ULONG_PTR)0xDEAD0001, (HINSTANCE)(ULONG_PTR)0xDEAD0002,
};

void Marker(const char* line)
{
    OutputDebugStringA(line);
}

// Counts an entry into guest code after quit has returned.
void NoteEntry(void)
{
    if (Control != NULL && QuitReturned)
        InterlockedIncrement(&Control->callsAfterQuit);
}

// Reads the control record's address, written by the test as "%p".
GuestDoubleControl* FindControl(void)
{
    char text[32];
    DWORD n = GetEnvironmentVariableA(GUEST_DOUBLE_CONTROL_ENV, text,
                                      sizeof(text));
    if (n == 0 || n >= sizeof(text))
        return NULL;
    ULONG_PTR value = 0;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    for (; *p != '\0'; ++p) {
        char c = *p;
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return NULL;
        value = value * 16 + (ULONG_PTR)digit;
    }
    return (GuestDoubleControl*)value;
}

LRESULT CALLBACK SubclassProcedure(HWND window, UINT message, WPARAM wparam,
                                   LPARAM lparam)
{
    NoteEntry();
    if (Control != NULL)
        InterlockedIncrement(&Control->subclassMessages);
    if (message == WM_DESTROY && Control != NULL &&
        Control->initDestroysWindow == 2)
        return 0;
    if (message == WM_DESTROY && Control != NULL &&
        Control->subclassAwaitsSentOnDestroy) {
        // A config call held on configRelease sends its query now, while
        // the stop is in here, however slowly the stop came.
        if (Control->configRelease != NULL)
            SetEvent(Control->configRelease);
        DWORD start = GetTickCount();
        while (!(LOWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) &&
               GetTickCount() - start < 10000)
            Sleep(1);
    }
    return CallWindowProcA(PlayerProcedure, window, message, wparam, lparam);
}

// The guest's own thread: asks the player window what a real guest asks, over
// and over, until quit tells it to stop.
DWORD WINAPI PollerMain(LPVOID)
{
    HWND parent = Header.parent;
    for (;;) {
        if (WaitForSingleObject(PollerStop, 0) == WAIT_OBJECT_0)
            break;
        NoteEntry();
        if (Control != NULL && Control->quitWaitsDeaf)
            SetEvent(PollQuerying);
        LRESULT playState = SendMessageA(parent, WM_USER, 0, QueryPlayState);
        LRESULT position = SendMessageA(parent, WM_USER, 0, QueryOutputTime);
        LRESULT length = SendMessageA(parent, WM_USER, 1, QueryOutputTime);
        LRESULT file = SendMessageA(parent, WM_USER, 0, QueryPlaylistFile);
        if (Control != NULL) {
            InterlockedIncrement(&Control->pollRounds);
            if (Control->onPoll != NULL)
                Control->onPoll(Control->context, playState, position, length,
                                (const char*)file);
        }
        DWORD pause = Control != NULL ? Control->pollIntervalMs : 0;
        if (pause == 0)
            SwitchToThread();
        else if (WaitForSingleObject(PollerStop, pause) == WAIT_OBJECT_0)
            break;
    }
    return 0;
}


// On the window thread, from its message loop: a slow call that is not a
// wait, so nothing sent to the window is answered meanwhile.
VOID CALLBACK KeepWindowThreadBusy(HWND window, UINT, UINT_PTR id, DWORD)
{
    KillTimer(window, id);
    InterlockedExchange(&Control->windowBusyNow, 1);
    MSG msg;
    while (Control->windowBusy) {
        if (Control->windowBusy == 2 && PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            InterlockedIncrement(&Control->windowMessagesDropped);
        else
            Sleep(1);
    }
    InterlockedExchange(&Control->windowBusyNow, 0);
}

void WaitForTestEvent(HANDLE event)
{
    if (event != NULL)
        WaitForSingleObject(event, TestEventTimeoutMs);
}

VOID CALLBACK PollFromTimer(PVOID, BOOLEAN)
{
    InterlockedIncrement(&Control->leftoversRunning);
    InterlockedIncrement(&Control->pollRounds);
    SetEvent(PollQuerying);
    SendMessageA(Header.parent, WM_USER, 0, QueryPlayState);
    InterlockedDecrement(&Control->leftoversRunning);
}

// quit's objects that GuestLeftoverTouchesObjects re-arms after its run
// (the test may have changed the route by then).
bool TouchObjects = false;
PTP_TIMER TouchedPoolTimer = NULL;
PTP_WORK TouchedWork = NULL;
HANDLE TouchedTimer = NULL;

VOID CALLBACK Touched(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK)
{
    NoteEntry();
}

VOID CALLBACK TouchedTimerProc(PVOID, BOOLEAN)
{
    NoteEntry();
}

// One run of what quit left behind, whichever route started it.
void RunLeftover(void)
{
    InterlockedIncrement(&Control->leftoversRunning);
    SetEvent(LeftoverQuerying);
    SendMessageA(Header.parent, WM_USER, 0, QueryPlayState);
    if (Control->leftoverStays == GuestLeftoverStuck)
        WaitForTestEvent(Control->leftoverRelease);
    if (TouchObjects) {
        FILETIME dueAtOnce = {(DWORD)-10000, (DWORD)-1};   // relative: 1 ms
        SetThreadpoolTimer(TouchedPoolTimer, &dueAtOnce, 1, 0);
        SubmitThreadpoolWork(TouchedWork);
        if (!ChangeTimerQueueTimer(NULL, TouchedTimer, 1, 1))
            InterlockedIncrement(&Control->objectMisuses);
    }
    InterlockedDecrement(&Control->leftoversRunning);
    SetEvent(LeftoverRan);
}

DWORD WINAPI LeftoverThread(LPVOID)
{
    RunLeftover();
    return 0;
}

void __cdecl LeftoverBeginThread(void*)
{
    RunLeftover();
}

unsigned __stdcall LeftoverRuntimeThread(void*)
{
    RunLeftover();
    return 0;
}

// A registered wait's event, set again, fires the next callback.
VOID CALLBACK LeftoverTimerOrWait(PVOID timer, BOOLEAN)
{
    RunLeftover();
    // The timer's handle reaches the variable only once its maker returns.
    HANDLE volatile* made = (HANDLE volatile*)timer;
    for (DWORD start = GetTickCount();
         Control->leftoverRoute == GuestLeftoverSelfDeletingTimer &&
         *made == NULL && GetTickCount() - start < TestEventTimeoutMs;)
        Sleep(1);
    if (Control->leftoverRoute == GuestLeftoverSelfDeletingTimer)
        DeleteTimerQueueTimer(NULL, *made, INVALID_HANDLE_VALUE);
    if (Control->leftoverRoute == GuestLeftoverRegisteredWait &&
        Control->leftoverStays == GuestLeftoverRepeats)
        SetEvent(WaitedFor);
}

DWORD WINAPI LeftoverWorkItem(LPVOID)
{
    RunLeftover();
    if (Control->leftoverStays == GuestLeftoverRepeats)
        QueueUserWorkItem(LeftoverWorkItem, NULL, WT_EXECUTEDEFAULT);
    return 0;
}

VOID CALLBACK LeftoverPoolWork(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK work)
{
    RunLeftover();
    if (Control->leftoverStays == GuestLeftoverRepeats)
        SubmitThreadpoolWork(work);
}

VOID CALLBACK LeftoverWindowTimer(HWND, UINT, UINT_PTR, DWORD)
{
    RunLeftover();
}

VOID CALLBACK WaitingTimerProc(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(NULL, id);
    NoteEntry();
    InterlockedExchange(&Control->timerProcWaiting, 1);
    if (Control->timerProcWaits == 2)
        SendMessageA(Control->foreignWindow, WM_NULL, 0, 0);
    else if (Control->timerProcWaits == 3)
        MessageBoxA(NULL, "waiting", "guest wait", MB_OK);
    else
        WaitForTestEvent(Control->leftoverRelease);
    NoteEntry();   // still inside: quit must not have returned meanwhile
}

VOID CALLBACK LeftoverPoolTimer(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER)
{
    RunLeftover();
}

VOID CALLBACK LeftoverApc(ULONG_PTR)
{
    RunLeftover();
}

LRESULT CALLBACK LeftoverHook(int code, WPARAM wparam, LPARAM lparam)
{
    NoteEntry();
    return CallNextHookEx(NULL, code, wparam, lparam);
}

// A function looked up as lookUpIn and lookUpByOrdinal say, the ordinal
// read from the module's export directory.
FARPROC LookUp(const char* name)
{
    HMODULE module = GetModuleHandleA(
        Control->lookUpIn != NULL ? Control->lookUpIn : "kernel32.dll");
    if (module == NULL)
        module = LoadLibraryA(Control->lookUpIn);
    if (!Control->lookUpByOrdinal)
        return GetProcAddress(module, name);
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* nt =
        (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_EXPORT_DIRECTORY* exports = (IMAGE_EXPORT_DIRECTORY*)(
        base + nt->OptionalHeader.DataDirectory[0].VirtualAddress);
    DWORD* names = (DWORD*)(base + exports->AddressOfNames);
    WORD* ordinals = (WORD*)(base + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (lstrcmpA((char*)base + names[i], name) == 0)
            return GetProcAddress(
                module, MAKEINTRESOURCEA(ordinals[i] + exports->Base));
    }
    return NULL;
}

// quit's careless part: code of the guest left behind, which the guest
// itself never ends.
void LeaveLeftover(void)
{
    bool repeats = Control->leftoverStays == GuestLeftoverRepeats;
    static HANDLE timer = NULL;   // read by a self-deleting timer's callback
    PTP_WORK work = NULL;
    PTP_TIMER poolTimer = NULL;
    FILETIME dueAtOnce = {(DWORD)-10000, (DWORD)-1};   // relative: 1 ms
    uintptr_t thread = 0;
    DWORD flags = 0;
    HANDLE deleted = NULL;
    timer = NULL;
    switch (Control->leftoverRoute) {
    case GuestLeftoverTouchesObjects:
        TouchObjects = true;
        TouchedPoolTimer = CreateThreadpoolTimer((PTP_TIMER_CALLBACK)Touched,
                                                 NULL, NULL);
        TouchedWork = CreateThreadpoolWork(Touched, NULL, NULL);
        CreateTimerQueueTimer(&TouchedTimer, NULL, TouchedTimerProc, NULL,
                              INFINITE, 0, WT_EXECUTEDEFAULT);
        CloseHandle(CreateThread(NULL, 0, LeftoverThread, NULL, 0, NULL));
        break;
    case GuestLeftoverCreateThread:
        CreateThread(NULL, 0, LeftoverThread, NULL, 0, NULL);   // never closed
        break;
    case GuestLeftoverBeginThread:
        thread = _beginthread(LeftoverBeginThread, 0, NULL);
        // The thread still waits for the window, busy here: the runtime's
        // handle must stay open for the runtime's own close.
        if (Control->closeThreadHandle && CloseHandle((HANDLE)thread) &&
            !GetHandleInformation((HANDLE)thread, &flags))
            InterlockedIncrement(&Control->objectMisuses);
        break;
    case GuestLeftoverBeginThreadEx:
        CloseHandle((HANDLE)_beginthreadex(NULL, 0, LeftoverRuntimeThread, NULL,
                                           0, NULL));
        break;
    case GuestLeftoverLookedUpThread:
        CloseHandle(((decltype(&CreateThread))(void*)LookUp("CreateThread"))(
            NULL, 0, LeftoverThread, NULL, 0, NULL));
        break;
    case GuestLeftoverLookedUpTimer:
        ((decltype(&CreateTimerQueueTimer))(void*)LookUp(
            "CreateTimerQueueTimer"))(&timer, NULL, LeftoverTimerOrWait, NULL,
                                      0, 0, WT_EXECUTEDEFAULT);
        break;
    case GuestLeftoverQueueTimer:
    case GuestLeftoverSelfDeletingTimer:
        CreateTimerQueueTimer(&timer, NULL, LeftoverTimerOrWait, &timer, 0,
                              repeats ? 1 : 0, WT_EXECUTEDEFAULT);
        break;
    case GuestLeftoverDeletedTwice:
        CreateTimerQueueTimer(&timer, NULL, LeftoverTimerOrWait, NULL, INFINITE,
                              0, WT_EXECUTEDEFAULT);
        // With an event of its own, set once no callback can come.
        deleted = CreateEventA(NULL, TRUE, FALSE, NULL);
        DeleteTimerQueueTimer(NULL, timer, deleted);
        if (WaitForSingleObject(deleted, 5000) != WAIT_OBJECT_0)
            InterlockedIncrement(&Control->objectMisuses);
        CloseHandle(deleted);
        work = CreateThreadpoolWork(LeftoverPoolWork, NULL, NULL);
        if (DeleteTimerQueueTimer(NULL, timer, INVALID_HANDLE_VALUE))
            InterlockedIncrement(&Control->objectMisuses);
        SubmitThreadpoolWork(work);
        CloseThreadpoolWork(work);
        break;
    case GuestLeftoverWorkItem:
        QueueUserWorkItem(LeftoverWorkItem, NULL, WT_EXECUTEDEFAULT);
        break;
    case GuestLeftoverPoolWork:
        work = CreateThreadpoolWork(LeftoverPoolWork, NULL, NULL);
        SubmitThreadpoolWork(work);
        if (!repeats)
            CloseThreadpoolWork(work);
        break;
    case GuestLeftoverHook:
        SetWindowsHookExA(WH_GETMESSAGE, LeftoverHook, NULL,
                          Control->hookThread);
        break;
    case GuestLeftoverWindowTimer:
        SetTimer(NULL, 0, 1, LeftoverWindowTimer);
        break;
    case GuestLeftoverRegisteredWait:
        RegisterWaitForSingleObject(&timer, WaitedFor, LeftoverTimerOrWait,
                                    NULL, INFINITE, WT_EXECUTEDEFAULT);
        break;
    case GuestLeftoverPoolTimer:
        poolTimer = CreateThreadpoolTimer(LeftoverPoolTimer, NULL, NULL);
        SetThreadpoolTimer(poolTimer, &dueAtOnce, repeats ? 1 : 0, 0);
        break;
    case GuestLeftoverApc:
        QueueUserAPC(LeftoverApc, GetCurrentThread(), 0);
        break;
    default:
        return;
    }
    if (Control->leftoverTiming != 0)
        WaitForSingleObject(
            Control->leftoverTiming == 1 ? LeftoverQuerying : LeftoverRan, 5000);
}

int GuestInit(void)
{
    InitReturned = 0;
    QuitCalled = 0;
    QuitReturned = 0;
    Marker("guest: init\n");
    if (Control == NULL)
        return 0;
    InterlockedIncrement(&Control->initCalls);
    Control->initThread = GetCurrentThreadId();
    Control->parentAtInit = Header.parent;
    Control->moduleAtInit = Header.instance;

    if (Control->queryFromInit)
        Control->initQueryAnswer =
            SendMessageA(Header.parent, WM_USER, 0, QueryPlayState);
    if (Control->windowBusy)
        SetTimer(Header.parent, 1, 1, KeepWindowThreadBusy);
    if (Control->subclassWindow || Control->initDestroysWindow == 2) {
        // Never put back: the player has to take its procedure back itself.
        PlayerProcedure = (WNDPROC)SetWindowLongPtrA(
            Header.parent, GWLP_WNDPROC, (LONG_PTR)SubclassProcedure);
        Marker("guest: subclassed\n");
    }
    if (Control->initDestroysWindow)
        DestroyWindow(Header.parent);
    if (Control->pollerEnabled) {
        PollerStop = CreateEventA(NULL, TRUE, FALSE, NULL);
        PollerThread = CreateThread(NULL, 0, PollerMain, NULL, 0, NULL);
    }
    if (Control->timerProcWaits)
        SetTimer(NULL, 0, 1, WaitingTimerProc);
    if (Control->timerPoller == 2)
        PollQueue = CreateTimerQueue();
    if (Control->timerPoller)
        CreateTimerQueueTimer(&PollTimer, PollQueue, PollFromTimer, NULL, 1, 1,
                              WT_EXECUTEDEFAULT);
    if (Control->initBusyMs != 0)
        Sleep(Control->initBusyMs);   // still starting
    WaitForTestEvent(Control->initRelease);
    InterlockedExchange(&InitReturned, 1);
    return 0;
}

void GuestConfig(void)
{
    NoteEntry();
    Marker("guest: config\n");
    if (Control == NULL)
        return;
    InterlockedIncrement(&ConfigInside);
    if (!InitReturned || QuitCalled)
        InterlockedIncrement(&Control->configOutsideStart);
    InterlockedIncrement(&Control->configCalls);
    Control->configThread = GetCurrentThreadId();
    // Queries before and after the busy time: a stop that begins while the
    // guest is busy here meets the second one while it waits for this call.
    if (Control->configSendsQuery)
        SendMessageA(Header.parent, WM_USER, 0, QueryPlayState);
    if (Control->configBusyMs != 0)
        Sleep(Control->configBusyMs);   // the guest's own dialog, standing in
    WaitForTestEvent(Control->configRelease);
    if (Control->configSendsQuery)
        SendMessageA(Header.parent, WM_USER, 0, QueryPlayState);
    InterlockedDecrement(&ConfigInside);
}

void GuestQuit(void)
{
    NoteEntry();
    Marker("guest: quit\n");
    InterlockedExchange(&QuitCalled, 1);
    if (Control != NULL && ConfigInside != 0)
        InterlockedIncrement(&Control->quitDuringConfig);
    if (Control != NULL) {
        InterlockedIncrement(&Control->quitCalls);
        Control->quitThread = GetCurrentThreadId();
    }
    if (PollerThread != NULL) {
        // On the player's window thread, which the poller may be waiting for
        // in SendMessageA: wait while handling the messages sent to it, or
        // neither could go on. With quitWaitsDeaf, as careless guests do: a
        // plain wait, once the poller is about to query.
        if (Control->quitWaitsDeaf) {
            ResetEvent(PollQuerying);
            WaitForSingleObject(PollQuerying, 5000);
        }
        SetEvent(PollerStop);
        BOOL stopped =
            Control->quitWaitsDeaf
                ? WaitForSingleObject(PollerThread, PollerStopTimeoutMs) ==
                      WAIT_OBJECT_0
                : tools::WaitAnsweringSentMessages(PollerThread,
                                                   PollerStopTimeoutMs);
        if (stopped)
            InterlockedExchange(&Control->pollerStoppedInQuit, 1);
        CloseHandle(PollerThread);
        PollerThread = NULL;
        CloseHandle(PollerStop);
        PollerStop = NULL;
    }
    if (PollTimer != NULL) {
        // Once a callback has begun to send to the window, which this very
        // thread would have to answer, wait for it to end.
        ResetEvent(PollQuerying);
        WaitForSingleObject(PollQuerying, 5000);
        if (PollQueue != NULL)
            DeleteTimerQueueEx(PollQueue, INVALID_HANDLE_VALUE);
        else
            DeleteTimerQueueTimer(NULL, PollTimer, INVALID_HANDLE_VALUE);
    }
    PollTimer = PollQueue = NULL;
    if (Control != NULL) {
        LeaveLeftover();
        WaitForTestEvent(Control->quitRelease);
        if (Control->quitSendsTo != NULL)
            SendMessageA(Control->quitSendsTo, WM_APP, 0, 0);
    }
    Marker("guest: quit done\n");
    QuitReturned = 1;
}

} // namespace

#ifndef GUEST_NO_ENTRY
// cdecl, exported undecorated, as Winamp looks it up.
extern "C" __declspec(dllexport) GuestHeader* winampGetGeneralPurposePlugin(void)
{
#ifdef GUEST_NULL_HEADER
    return NULL;
#else
    return &Header;
#endif
}
#else
// Something to export, so the DLL has an export table without the entry.
extern "C" __declspec(dllexport) int guestDoubleWithoutEntry(void)
{
    return 0;
}
#endif

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        PollQuerying = CreateEventA(NULL, FALSE, FALSE, NULL);
        LeftoverQuerying = CreateEventA(NULL, FALSE, FALSE, NULL);
        LeftoverRan = CreateEventA(NULL, FALSE, FALSE, NULL);
        WaitedFor = CreateEventA(NULL, FALSE, TRUE, NULL);
        Control = FindControl();
        if (Control != NULL) {
            Control->guestModule = module;
            InterlockedIncrement(&Control->loads);
        }
    } else if (reason == DLL_PROCESS_DETACH) {
        if (Control != NULL) {
            InterlockedIncrement(&Control->unloads);
            if (Control->leftoversRunning != 0)
                InterlockedIncrement(&Control->unloadedUnderLeftover);
        }
        CloseHandle(PollQuerying);
        CloseHandle(LeftoverQuerying);
        CloseHandle(LeftoverRan);
        CloseHandle(WaitedFor);
    }
    return TRUE;
}
