// The guest's schedule: the records of what the guest's code starts through
// its import table, the stop that ends them in dependency order, and the
// routing of the import table itself.
#include "guest_schedule.h"

#include <string.h>

#include "message_wait.h"
#include "schedule_records.h"

CRITICAL_SECTION ScheduleLock;
Scheduled* Records = NULL;
bool ScheduleEnding = false;
HANDLE ScheduleChanged = NULL;
volatile DWORD WindowThreadId = 0;
DWORD CallbackSlot = TLS_OUT_OF_INDEXES;
void* Real[RouteCount];

namespace {

// Our reference on this DLL while a kept guest's slots point into it.
// Window thread.
HMODULE KeptSelf = NULL;

// Under ScheduleLock: frees the records for which drop says so, and with
// them our handles.
template <typename Predicate> void FreeRecordsWhere(Predicate drop)
{
    for (Scheduled** link = &Records; *link != NULL;) {
        Scheduled* r = *link;
        if (!drop(r)) {
            link = &r->next;
            continue;
        }
        *link = r->next;
        if (r->handle != NULL)
            CloseHandle(r->handle);
        if (r->ended != NULL)
            CloseHandle(r->ended);
        HeapFree(GetProcessHeap(), 0, r);
    }
}

void SetGuestEvent(Scheduled* r)
{
    HANDLE event = InterlockedExchangePointer(&r->guestEvent, NULL);
    if (event != NULL)
        SetEvent(event);
}

// Callbacks that have not begun no longer call the guest.
void CloseGate(Scheduled* r)
{
    InterlockedExchange(&r->gateClosed, 1);
    if (InterlockedCompareExchange(&r->inGuest, 0, 0) == 0)
        SetGuestEvent(r);
}

// Under ScheduleLock: whether code of the guest may run for r now or later
// by itself, not through a gated callback: a thread, a callback inside the
// guest, an APC not run, a hook or timer procedure not removed.
bool GuestCodeRuns(Scheduled* r)
{
    switch (r->kind) {
    case KindThread:
        return !Signalled(r->handle);
    case KindApc:
    case KindWindowTimer:
        return !r->over && !Signalled(r->handle);
    case KindHook:
        return !r->over;
    default:
        return r->inGuest != 0;
    }
}

// Under ScheduleLock, once no code of the guest runs, so none can touch the
// object any more: timers and waits are deleted, pool objects closed after a
// wait for their callbacks (short: the gate is closed).
void CancelObject(Scheduled* r)
{
    if ((r->kind == KindQueueTimer || r->kind == KindRegisteredWait) &&
        r->ended == NULL)
        DeleteCallbacks(r);
    if (r->kind >= KindPoolWork && r->kind <= KindSimpleCallback &&
        r->object != NULL) {
        SilencePoolObject(r->kind, r->object);
        WAIT_POOL(r->kind)(r->object, TRUE);
        CLOSE_POOL(r->kind)(r->object);
        r->object = NULL;
    }
}

// Under ScheduleLock: whether nothing of r can run any more, neither the
// guest's code nor a trampoline of ours. A work item's pool object of ours
// is closed once its one call is over.
bool Ended(Scheduled* r)
{
    switch (r->kind) {
    case KindQueueTimer:
    case KindRegisteredWait:
        return Signalled(r->ended);
    case KindWorkItem:
    case KindSimpleCallback:
        if (r->over)
            CancelObject(r);
        return r->object == NULL;
    case KindPoolWork:
    case KindPoolTimer:
    case KindPoolWait:
        return r->object == NULL;
    default:
        return !GuestCodeRuns(r);
    }
}

// --- Import routing --------------------------------------------------------

// The route of function name (null: none) in a module of the given kind;
// -1 for none.
int RouteNamed(ImportModuleKind moduleKind, const char* name)
{
    for (int i = 0; name != NULL && i < RouteCount; ++i) {
        if (Routes[i].wrapper != NULL &&
            (Routes[i].group == Runtime ? RuntimeModule : SystemModule) ==
                moduleKind &&
            strcmp(name, Routes[i].name) == 0)
            return i;
    }
    return -1;
}

// The name under which module exports ordinal, or null.
const char* ExportName(HMODULE module, DWORD ordinal)
{
    BYTE* base = (BYTE*)module;
    if (base == NULL)
        return NULL;
    const IMAGE_NT_HEADERS* nt =
        (const IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& exports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exports.VirtualAddress == 0)
        return NULL;
    const IMAGE_EXPORT_DIRECTORY* d =
        (const IMAGE_EXPORT_DIRECTORY*)(base + exports.VirtualAddress);
    const DWORD* names = (const DWORD*)(base + d->AddressOfNames);
    const WORD* ordinals = (const WORD*)(base + d->AddressOfNameOrdinals);
    for (DWORD i = 0; i < d->NumberOfNames; ++i) {
        if (ordinals[i] + d->Base == ordinal)
            return (const char*)base + names[i];
    }
    return NULL;
}

// Window thread: points an import slot elsewhere. The page keeps its execute
// bit (some linkers put the table in a code section), as Detours does.
bool WriteSlot(IMAGE_THUNK_DATA* slot, void* to)
{
    MEMORY_BASIC_INFORMATION page;
    DWORD protection = 0;
    if (VirtualQuery(slot, &page, sizeof(page)) == 0 ||
        !VirtualProtect(slot, sizeof(*slot),
                        (page.Protect & 0xF0) != 0 ? PAGE_EXECUTE_READWRITE
                                                   : PAGE_READWRITE,
                        &protection))
        return false;
    slot->u1.Function = (ULONG_PTR)to;
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
    return true;
}

// Window thread: points the guest's slots of the routes, named by name or by
// ordinal in the tables of the modules they come from, at the wrappers, or
// back at the real functions. (A slot that named an API set goes back to
// kernel32's function of that name, the same code.) FALSE when a slot could
// not be written. A table without names of its own is left alone.
BOOL RewriteImports(HMODULE guest, bool route)
{
    BYTE* base = (BYTE*)guest;
    const IMAGE_NT_HEADERS* nt =
        (const IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    BOOL all = TRUE;
    for (const IMAGE_IMPORT_DESCRIPTOR* d =
             (const IMAGE_IMPORT_DESCRIPTOR*)(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && d->Name != 0; ++d) {
        const char* dll = (const char*)base + d->Name;
        ImportModuleKind moduleKind = ImportModuleKindOf(dll);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        const IMAGE_THUNK_DATA* names =
            (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        if (moduleKind == OtherModule || d->OriginalFirstThunk == 0 ||
            d->OriginalFirstThunk == d->FirstThunk)
            continue;
        for (SIZE_T i = 0; slots[i].u1.Function != 0; ++i) {
            const char* name =
                IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)
                    ? ExportName(GetModuleHandleA(dll),
                                 (DWORD)IMAGE_ORDINAL(names[i].u1.Ordinal))
                    : (const char*)((const IMAGE_IMPORT_BY_NAME*)(
                                        base + names[i].u1.AddressOfData))
                          ->Name;
            int to = RouteNamed(moduleKind, name);
            void* value = (void*)slots[i].u1.Function;
            if (to < 0 || (!route && value != Routes[to].wrapper))
                continue;
            if (route && Routes[to].group == Runtime)
                Real[to] = value;
            if (!WriteSlot(&slots[i], route ? Routes[to].wrapper : Real[to]))
                all = FALSE;
        }
    }
    return all;
}

} // namespace

// --- Records -------------------------------------------------------------

bool Signalled(HANDLE handle)
{
    return handle != NULL && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

Scheduled* NewRecord(Kind kind, void* routine, void* argument)
{
    // Ended records go first, unless the stop is waiting on their handles;
    // tombstones stay.
    if (!ScheduleEnding)
        FreeRecordsWhere([](Scheduled* r) { return !r->deleted && Ended(r); });
    Scheduled* r = (Scheduled*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                         sizeof(Scheduled));
    if (r == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    r->kind = kind;
    r->routine = routine;
    r->argument = argument;
    r->gateClosed = ScheduleEnding;
    r->next = Records;
    Records = r;
    return r;
}

void Made(Scheduled* r, bool ok, void* object, void* owner)
{
    if (!ok) {
        FreeRecordsWhere([r](Scheduled* other) { return other == r; });
        return;
    }
    // The value is the new object's now: a tombstone of it goes (the stop
    // alone frees records once it has begun).
    if (!ScheduleEnding)
        FreeRecordsWhere([=](Scheduled* other) {
            return other->deleted && other->object == object && Ended(other);
        });
    r->object = object;
    r->owner = owner;
}

Scheduled* Find(Kind kind, const void* object)
{
    for (Scheduled* r = Records; r != NULL && object != NULL; r = r->next) {
        if (r->kind == kind && r->object == object)
            return r;
    }
    return NULL;
}

bool EnterGuest(Scheduled* r)
{
    InterlockedIncrement(&r->inGuest);
    return InterlockedCompareExchange(&r->gateClosed, 0, 0) == 0;
}

void LeaveGuest(Scheduled* r)
{
    if (InterlockedDecrement(&r->inGuest) == 0 &&
        InterlockedCompareExchange(&r->gateClosed, 0, 0) != 0) {
        SetGuestEvent(r);
        SetEvent(ScheduleChanged);
    }
}

BOOL DeleteCallbacks(Scheduled* r)
{
    CloseGate(r);
    if (r->ended != NULL ||
        (r->ended = CreateEventA(NULL, TRUE, FALSE, NULL)) == NULL)
        return FALSE;
    BOOL ok = r->kind == KindQueueTimer
                  ? DeleteTimerQueueTimer(r->owner, r->object, r->ended)
                  : UnregisterWaitEx(r->object, r->ended);
    // Wine answers FALSE with ERROR_IO_PENDING whenever a callback is queued
    // or running, and sets the event once the last has returned. Any other
    // failure deleted nothing: callbacks may still come, so the record stays
    // and a later look tries again.
    DWORD error = GetLastError();
    if (!ok && error != ERROR_IO_PENDING) {
        CloseHandle(r->ended);
        r->ended = NULL;
    }
    SetLastError(error);
    return ok;
}

void SilencePoolObject(Kind kind, void* object)
{
    if (kind == KindPoolTimer)
        REAL(SetThreadpoolTimer)((PTP_TIMER)object, NULL, 0, 0);
    else if (kind == KindPoolWait)
        REAL(SetThreadpoolWait)((PTP_WAIT)object, NULL, NULL);
}

// --- The interface -------------------------------------------------------

ImportModuleKind ImportModuleKindOf(const char* fileName)
{
    // The runtime's API sets before the others, which are the system's.
    static const struct {
        const char* prefix;
        ImportModuleKind kind;
    } prefixes[] = {
        {"msvcr", RuntimeModule},      {"ucrtbase.", RuntimeModule},
        {"ucrtbased.", RuntimeModule}, {"api-ms-win-crt-", RuntimeModule},
        {"kernel32.", SystemModule},   {"kernelbase.", SystemModule},
        {"user32.", SystemModule},     {"api-ms-win-", SystemModule},
        {"ext-ms-win-", SystemModule},
    };
    for (const auto& p : prefixes) {
        if (_strnicmp(fileName, p.prefix, strlen(p.prefix)) == 0)
            return p.kind;
    }
    return OtherModule;
}

FARPROC WINAPI GuestGetProcAddress(HMODULE module, LPCSTR name)
{
    // By the module's file name: on Windows an API set's handle is its host
    // DLL's (kernelbase), under Wine too, or a small DLL of its own.
    FARPROC found = GetProcAddress(module, name);
    char path[MAX_PATH];
    DWORD length =
        found == NULL ? 0 : GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return found;
    const char* file = strrchr(path, '\\');
    int route = RouteNamed(
        ImportModuleKindOf(file != NULL ? file + 1 : path),
        IS_INTRESOURCE(name) ? ExportName(module, LOWORD((ULONG_PTR)name))
                             : name);
    if (route < 0)
        return found;
    if (Routes[route].group == Runtime)
        Real[route] = (void*)found;
    return (FARPROC)Routes[route].wrapper;
}

void CreateGuestScheduleObjects(void)
{
    InitializeCriticalSection(&ScheduleLock);
    ScheduleChanged = CreateEventA(NULL, FALSE, FALSE, NULL);
    CallbackSlot = TlsAlloc();
}

void DeleteGuestScheduleObjects(void)
{
    // Only at the end of the process, or with nothing routed: no trampoline
    // can run any more.
    if (ScheduleChanged != NULL)
        CloseHandle(ScheduleChanged);
    ScheduleChanged = NULL;
    if (CallbackSlot != TLS_OUT_OF_INDEXES)
        TlsFree(CallbackSlot);
    CallbackSlot = TLS_OUT_OF_INDEXES;
    DeleteCriticalSection(&ScheduleLock);
}

BOOL RouteGuestImports(HMODULE guest)
{
    for (int i = 0; i < RouteCount; ++i) {
        const char* dll =
            Routes[i].group == Kernel ? "kernel32.dll" : "user32.dll";
        Real[i] = Routes[i].group == Runtime
                      ? NULL
                      : (void*)GetProcAddress(GetModuleHandleA(dll),
                                              Routes[i].name);
    }
    EnterCriticalSection(&ScheduleLock);
    ScheduleEnding = false;
    LeaveCriticalSection(&ScheduleLock);
    WindowThreadId = GetCurrentThreadId();
    return CallbackSlot != TLS_OUT_OF_INDEXES && RewriteImports(guest, true);
}

BOOL EndGuestSchedule(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE waits[MAXIMUM_WAIT_OBJECTS - 1];
        DWORD count = 0;
        waits[count++] = ScheduleChanged;
        bool runs = false;
        EnterCriticalSection(&ScheduleLock);
        // The gates first (a thread not yet started was made before the
        // stop, by quit perhaps: it runs). Hooks and timer procedures call
        // the guest without a gate: removed now, and timer procedures killed
        // where this thread can (one of this thread that cannot be killed is
        // gone already).
        ScheduleEnding = true;
        for (Scheduled* r = Records; r != NULL; r = r->next) {
            if (r->kind != KindThread)
                CloseGate(r);
            if (r->kind == KindHook && !r->over)
                r->over = UnhookWindowsHookEx((HHOOK)r->object) ||
                          GetLastError() == ERROR_INVALID_HOOK_HANDLE;
            if (r->kind == KindWindowTimer && !r->over)
                r->over = KillTimer((HWND)r->owner, r->id) ||
                          r->threadId == GetCurrentThreadId() ||
                          (r->owner != NULL && !IsWindow((HWND)r->owner));
            if (!GuestCodeRuns(r))
                continue;
            runs = true;
            if (r->handle != NULL && count < MAXIMUM_WAIT_OBJECTS - 1)
                waits[count++] = r->handle;
        }
        // Then, once no code of the guest runs, its objects: a thread of the
        // guest's may still re-arm, submit or change them until it ends.
        for (Scheduled* r = Records; r != NULL && !runs; r = r->next) {
            CancelObject(r);
            if (r->ended != NULL && !Signalled(r->ended) &&
                count < MAXIMUM_WAIT_OBJECTS - 1)
                waits[count++] = r->ended;
        }
        // Tombstones stay while a thread of the guest's may still delete.
        FreeRecordsWhere(
            [=](Scheduled* r) { return !(runs && r->deleted) && Ended(r); });
        bool left = Records != NULL;
        LeaveCriticalSection(&ScheduleLock);
        DWORD elapsed = GetTickCount() - start;
        if (!left || elapsed >= timeoutMs)
            return !left;
        // The handles stay open: only this thread frees records now.
        // Alertable: an APC the guest queued to this thread runs now rather
        // than keep the guest for the thread's life. More than fit are
        // looked at again every 50 ms. A wait that fails (a handle of ours
        // closed by a stale close of someone's) is never retried: what it
        // stood for may still run, so the guest is kept.
        DWORD rest = timeoutMs - elapsed;
        if (count == MAXIMUM_WAIT_OBJECTS - 1 && rest > 50)
            rest = 50;
        if (WaitAnsweringSentMessagesEx(count, waits, rest, MWMO_ALERTABLE) ==
            WAIT_FAILED)
            return FALSE;
    }
}

void KeepGuestSchedule(void)
{
    if (KeptSelf == NULL)
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           (LPCSTR)(void*)KeepGuestSchedule, &KeptSelf);
    // No guest code runs on this thread any more, which ends; the next
    // window thread is another.
    WindowThreadId = 0;
    OutputDebugStringA("tebo_wrapper: code of gen_tebo_for_winamp.dll may "
                       "still run after its quit: the DLL stays loaded\n");
}

BOOL UnrouteGuestImports(HMODULE guest)
{
    BOOL ok = RewriteImports(guest, false);
    WindowThreadId = 0;
    // The host's and the window thread's references keep this DLL meanwhile.
    // A slot left pointing here keeps it, with the guest, for good.
    HMODULE self = NULL;
    if (!ok)
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_PIN,
                           (LPCSTR)(void*)UnrouteGuestImports, &self);
    else if (KeptSelf != NULL)
        FreeLibrary(KeptSelf);
    KeptSelf = NULL;
    return ok;
}
