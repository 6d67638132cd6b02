// The functions the guest's calls are routed to: each makes what the guest
// asked for through a trampoline of ours, under a record, and sees it end.
#include <process.h>

#include "guest_schedule.h"
#include "message_wait.h"
#include "schedule_records.h"

LONG GuestWaits = 0;

namespace {

// --- Waits ---------------------------------------------------------------

DWORD WINAPI GuestWaitForSingleObject(HANDLE handle, DWORD timeoutMs)
{
    return GuestWait(1, &handle, FALSE, timeoutMs, FALSE);
}

DWORD WINAPI GuestWaitForSingleObjectEx(HANDLE handle, DWORD timeoutMs,
                                        BOOL alertable)
{
    return GuestWait(1, &handle, FALSE, timeoutMs, alertable);
}

DWORD WINAPI GuestWaitForMultipleObjects(DWORD count, const HANDLE* handles,
                                         BOOL all, DWORD timeoutMs)
{
    return GuestWait(count, handles, all, timeoutMs, FALSE);
}

DWORD WINAPI GuestWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles,
                                           BOOL all, DWORD timeoutMs,
                                           BOOL alertable)
{
    return GuestWait(count, handles, all, timeoutMs, alertable);
}

// A pool's wait for an object's callbacks takes no time-out: on the window
// thread it runs on a pool thread while this one answers.
struct BlockingCall {
    void* object;
    BOOL cancel;
    HANDLE done;
    int pool;
};

void WaitForPoolObject(int pool, void* object, BOOL cancel)
{
    ((VOID(WINAPI*)(void*, BOOL))Real[RouteWaitForThreadpoolWorkCallbacks +
                                      pool])(object, cancel);
}

VOID CALLBACK RunBlockingCall(PTP_CALLBACK_INSTANCE instance, PVOID context)
{
    BlockingCall* call = (BlockingCall*)context;
    // Set once this function has returned into the pool: the waiter may
    // leave this DLL only then.
    REAL(SetEventWhenCallbackReturns)(instance, call->done);
    WaitForPoolObject(call->pool, call->object, call->cancel);
}

template <Kind kind> VOID WINAPI GuestWaitForPool(void* object, BOOL cancel)
{
    BlockingCall call = {object, cancel, NULL, PoolIndex(kind)};
    if (GetCurrentThreadId() == WindowThreadId)
        call.done = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (call.done != NULL &&
        REAL(TrySubmitThreadpoolCallback)(RunBlockingCall, &call, NULL))
        GuestWait(1, &call.done, FALSE, INFINITE, FALSE);
    else
        WaitForPoolObject(call.pool, object, cancel);
    if (call.done != NULL)
        CloseHandle(call.done);
}

// --- Threads -------------------------------------------------------------

// The record lives while the thread does: our handle is not yet signalled.
// The thread passes through ScheduleLock first: its maker holds it until our
// own handle to the thread exists (the runtime closes its own once the
// thread ends). A thread made after the stop began never enters the guest.
bool ThreadMayStart(Scheduled* r)
{
    EnterCriticalSection(&ScheduleLock);
    bool start = r->gateClosed == 0;
    LeaveCriticalSection(&ScheduleLock);
    return start;
}

DWORD WINAPI ThreadTrampoline(LPVOID record)
{
    Scheduled* r = (Scheduled*)record;
    return ThreadMayStart(r) ? ((LPTHREAD_START_ROUTINE)r->routine)(r->argument)
                             : 0;
}

unsigned __stdcall RuntimeThreadTrampoline(void* record)
{
    return ThreadTrampoline(record);
}

void __cdecl BeginThreadTrampoline(void* record)
{
    Scheduled* r = (Scheduled*)record;
    if (ThreadMayStart(r))
        ((void(__cdecl*)(void*))r->routine)(r->argument);
}

// Under ScheduleLock: our own handle to the thread just made for r (null:
// none made, r goes). runtimes: the thread's handle is the runtime's.
void KeepThread(Scheduled* r, HANDLE thread, bool runtimes)
{
    if (thread == NULL) {
        Drop(r);
        return;
    }
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                    &r->handle, SYNCHRONIZE, FALSE, 0);
    if (runtimes)
        r->object = thread;
}

HANDLE WINAPI GuestCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                LPTHREAD_START_ROUTINE routine, LPVOID argument,
                                DWORD flags, LPDWORD id)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindThread, (void*)routine, argument);
    HANDLE thread = r == NULL ? NULL
                              : CreateThread(security, stack, ThreadTrampoline,
                                             r, flags, id);
    KeepThread(r, thread, false);
    LeaveCriticalSection(&ScheduleLock);
    return thread;
}

uintptr_t __cdecl GuestBeginThreadEx(void* security, unsigned stack,
                                     unsigned(__stdcall* routine)(void*),
                                     void* argument, unsigned flags,
                                     unsigned* id)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindThread, (void*)routine, argument);
    uintptr_t thread = r == NULL ? 0
                                 : REAL(_beginthreadex)(security, stack,
                                                        RuntimeThreadTrampoline,
                                                        r, flags, id);
    KeepThread(r, (HANDLE)thread, false);
    LeaveCriticalSection(&ScheduleLock);
    return thread;
}

uintptr_t __cdecl GuestBeginThread(void(__cdecl* routine)(void*),
                                   unsigned stack, void* argument)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindThread, (void*)routine, argument);
    uintptr_t thread = r == NULL ? (uintptr_t)-1
                                 : REAL(_beginthread)(BeginThreadTrampoline,
                                                      stack, r);
    KeepThread(r, thread == (uintptr_t)-1 ? NULL : (HANDLE)thread, true);
    LeaveCriticalSection(&ScheduleLock);
    return thread;
}

// The handle _beginthread returned is the runtime's, closed by it when the
// thread ends: the guest's close of it meanwhile would free the value for
// another handle (ours, the host's) that the runtime's close then hits. It
// succeeds and closes nothing.
BOOL WINAPI GuestCloseHandle(HANDLE handle)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(KindThread, handle);
    bool runtimes = r != NULL && !Signalled(r->handle);
    LeaveCriticalSection(&ScheduleLock);
    return runtimes || CloseHandle(handle);
}

// --- Timer-queue timers and registered waits -----------------------------

VOID CALLBACK TimerOrWaitTrampoline(PVOID record, BOOLEAN fired)
{
    Scheduled* r = (Scheduled*)record;
    void* outer = TlsGetValue(CallbackSlot);
    TlsSetValue(CallbackSlot, r);
    if (EnterGuest(r))
        ((WAITORTIMERCALLBACK)r->routine)(r->argument, fired);
    LeaveGuest(r);
    TlsSetValue(CallbackSlot, outer);
}

BOOL WINAPI GuestCreateTimerQueueTimer(PHANDLE timer, HANDLE queue,
                                       WAITORTIMERCALLBACK routine,
                                       PVOID argument, DWORD dueMs,
                                       DWORD periodMs, ULONG flags)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindQueueTimer, (void*)routine, argument);
    HANDLE made = NULL;
    BOOL ok = r != NULL &&
              CreateTimerQueueTimer(&made, queue, TimerOrWaitTrampoline, r,
                                    dueMs, periodMs, flags);
    Made(r, ok, made, queue);
    LeaveCriticalSection(&ScheduleLock);
    if (ok)
        *timer = made;
    return ok;
}

BOOL WINAPI GuestRegisterWaitForSingleObject(PHANDLE wait, HANDLE object,
                                             WAITORTIMERCALLBACK routine,
                                             PVOID argument, ULONG timeoutMs,
                                             ULONG flags)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindRegisteredWait, (void*)routine, argument);
    HANDLE made = NULL;
    BOOL ok = r != NULL &&
              RegisterWaitForSingleObject(&made, object, TimerOrWaitTrampoline,
                                          r, timeoutMs, flags);
    Made(r, ok, made, NULL);
    LeaveCriticalSection(&ScheduleLock);
    if (ok)
        *wait = made;
    return ok;
}

// Under ScheduleLock: a copy of r's deletion event, for a wait outside it.
HANDLE CopyOfEnded(const Scheduled* r)
{
    HANDLE copy = NULL;
    DuplicateHandle(GetCurrentProcess(), r->ended, GetCurrentProcess(), &copy,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// Waits, as the guest's blocking deletion, until the system has seen the
// callbacks of a deletion return; ended is ours to close.
void WaitForDeletion(HANDLE ended)
{
    GuestWait(1, &ended, FALSE, INFINITE, FALSE);
    CloseHandle(ended);
}

// The guest's delete of one timer or registered wait. Its completion: null
// (wait for nothing), INVALID_HANDLE_VALUE (wait here until the callbacks
// have returned; from the object's own callback, which would wait for
// itself, not at all: the deletion is then pending) or an event of the
// guest's, set once none of them is in the guest's code.
BOOL EndGuestCallbacks(Kind kind, HANDLE owner, HANDLE object,
                       HANDLE completion)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(kind, object);
    if (r == NULL) {   // not made through the routes
        LeaveCriticalSection(&ScheduleLock);
        return kind == KindQueueTimer
                   ? DeleteTimerQueueTimer(owner, object, completion)
                   : UnregisterWaitEx(object, completion);
    }
    BOOL ok = FALSE;
    HANDLE ended = NULL;
    if (r->deleted || r->ended != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);   // deleted before
    } else {
        if (completion != INVALID_HANDLE_VALUE)
            r->guestEvent = completion;
        ok = DeleteCallbacks(r);
        r->deleted = r->ended != NULL;
        if (completion == INVALID_HANDLE_VALUE && r->deleted &&
            TlsGetValue(CallbackSlot) != r)
            ended = CopyOfEnded(r);
    }
    LeaveCriticalSection(&ScheduleLock);
    if (ended == NULL)
        return ok;
    WaitForDeletion(ended);
    return TRUE;
}

BOOL WINAPI GuestDeleteTimerQueueTimer(HANDLE queue, HANDLE timer,
                                       HANDLE completion)
{
    return EndGuestCallbacks(KindQueueTimer, queue, timer, completion);
}

BOOL WINAPI GuestUnregisterWaitEx(HANDLE wait, HANDLE completion)
{
    return EndGuestCallbacks(KindRegisteredWait, NULL, wait, completion);
}

BOOL WINAPI GuestUnregisterWait(HANDLE wait)
{
    return GuestUnregisterWaitEx(wait, NULL);
}

// Deleting a queue deletes and frees its timers, and Wine waits for their
// callbacks without answering when given an event: ours are deleted one by
// one first (never twice), and a blocking deletion waits for them here. Only
// a queue the guest made: null, the default queue, is no queue to delete.
BOOL WINAPI GuestDeleteTimerQueueEx(HANDLE queue, HANDLE completion)
{
    EnterCriticalSection(&ScheduleLock);
    for (Scheduled* r = Records; r != NULL && queue != NULL; r = r->next) {
        if (r->kind == KindQueueTimer && r->owner == queue && !r->deleted) {
            DeleteCallbacks(r);
            r->deleted = r->ended != NULL;
        }
    }
    LeaveCriticalSection(&ScheduleLock);
    for (bool waiting = completion == INVALID_HANDLE_VALUE; waiting;) {
        HANDLE ended = NULL;
        EnterCriticalSection(&ScheduleLock);
        for (Scheduled* r = Records; r != NULL && ended == NULL; r = r->next) {
            if (r->kind == KindQueueTimer && r->owner == queue &&
                queue != NULL && r->ended != NULL && !Signalled(r->ended))
                ended = CopyOfEnded(r);
        }
        LeaveCriticalSection(&ScheduleLock);
        waiting = ended != NULL;
        if (waiting)
            WaitForDeletion(ended);
    }
    return DeleteTimerQueueEx(queue, completion);
}

BOOL WINAPI GuestDeleteTimerQueue(HANDLE queue)
{
    return GuestDeleteTimerQueueEx(queue, NULL);
}

// --- Pool work, timers and waits -----------------------------------------

VOID CALLBACK PoolTrampoline(PTP_CALLBACK_INSTANCE instance, PVOID record,
                             PTP_WORK work)
{
    Scheduled* r = (Scheduled*)record;
    if (EnterGuest(r)) {
        if (r->kind == KindWorkItem)
            ((LPTHREAD_START_ROUTINE)r->routine)(r->argument);
        else if (r->kind == KindSimpleCallback)
            ((PTP_SIMPLE_CALLBACK)r->routine)(instance, r->argument);
        else   // a pool timer's callback has the same shape
            ((PTP_WORK_CALLBACK)r->routine)(instance, r->argument, work);
    }
    LeaveGuest(r);
    // The record stays until this call has returned into the pool: it goes
    // only after a wait for the object's callbacks.
    if (r->kind == KindWorkItem || r->kind == KindSimpleCallback)
        InterlockedExchange(&r->over, 1);
}

VOID CALLBACK PoolWaitTrampoline(PTP_CALLBACK_INSTANCE instance, PVOID record,
                                 PTP_WAIT wait, TP_WAIT_RESULT result)
{
    Scheduled* r = (Scheduled*)record;
    if (EnterGuest(r))
        ((PTP_WAIT_CALLBACK)r->routine)(instance, r->argument, wait, result);
    LeaveGuest(r);
}

// A pool object of the guest's, or one of ours for a work item (submitted at
// once). Objects of a cleanup group are released by the group, and their
// context (here the record) goes to its cancel callback, as to a
// finalization callback: those are left to the guest, unaccounted.
void* CreatePoolObject(Kind kind, void* routine, void* argument,
                       PTP_CALLBACK_ENVIRON environment)
{
    typedef void*(WINAPI * Make)(void*, void*, PTP_CALLBACK_ENVIRON);
    Make make = (Make)Real[RouteCreateThreadpoolWork + PoolIndex(kind)];
    if (environment != NULL && (environment->CleanupGroup != NULL ||
                                environment->FinalizationCallback != NULL))
        return kind == KindSimpleCallback
                   ? (void*)(ULONG_PTR)REAL(TrySubmitThreadpoolCallback)(
                         (PTP_SIMPLE_CALLBACK)routine, argument, environment)
                   : make(routine, argument, environment);
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(kind, routine, argument);
    void* trampoline =
        kind == KindPoolWait ? (void*)PoolWaitTrampoline : (void*)PoolTrampoline;
    void* object = r == NULL ? NULL : make(trampoline, r, environment);
    Made(r, object != NULL, object, NULL);
    if (object != NULL && (kind == KindWorkItem || kind == KindSimpleCallback))
        REAL(SubmitThreadpoolWork)((PTP_WORK)object);
    LeaveCriticalSection(&ScheduleLock);
    return object;
}

template <Kind kind>
void* WINAPI GuestCreatePoolObject(void* routine, PVOID argument,
                                   PTP_CALLBACK_ENVIRON environment)
{
    return CreatePoolObject(kind, routine, argument, environment);
}

BOOL WINAPI GuestTrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK routine,
                                             PVOID argument,
                                             PTP_CALLBACK_ENVIRON environment)
{
    return CreatePoolObject(KindSimpleCallback, (void*)routine, argument,
                            environment) != NULL;
}

BOOL WINAPI GuestQueueUserWorkItem(LPTHREAD_START_ROUTINE routine,
                                   PVOID argument, ULONG flags)
{
    // On a pool work object of ours, whose callbacks can be waited for; the
    // flags that say how the work runs become its environment's.
    if (Real[RouteCreateThreadpoolWork] == NULL)   // before Vista
        return QueueUserWorkItem(routine, argument, flags);
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    if (flags & WT_EXECUTELONGFUNCTION)
        SetThreadpoolCallbackRunsLong(&environment);
    if (flags & WT_EXECUTEINPERSISTENTTHREAD)
        TpSetCallbackPersistent(&environment);
    return CreatePoolObject(KindWorkItem, (void*)routine, argument,
                            &environment) != NULL;
}

// The guest's close of a pool object. The system's close waits for nothing,
// and callbacks already queued still come, reading the record: so the object
// is only silenced here (once) and closed by the stop, after its callbacks.
template <Kind kind> VOID WINAPI GuestClosePoolObject(void* object)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(kind, object);
    if (r != NULL && !r->deleted)
        SilencePoolObject(kind, object);
    if (r != NULL)
        r->deleted = true;
    LeaveCriticalSection(&ScheduleLock);
    if (r == NULL)
        ((VOID(WINAPI*)(void*))Real[RouteCloseThreadpoolWork + PoolIndex(kind)])(
            object);
}

// --- APCs, hooks and timer procedures ------------------------------------

// Not behind the gate: an APC runs on the thread it was queued to, often to
// tell a thread of the guest's to end, and is waited for like that thread.
VOID CALLBACK ApcTrampoline(ULONG_PTR record)
{
    Scheduled* r = (Scheduled*)record;
    ((PAPCFUNC)r->routine)((ULONG_PTR)r->argument);
    InterlockedExchange(&r->over, 1);
    SetEvent(ScheduleChanged);
}

DWORD WINAPI GuestQueueUserAPC(PAPCFUNC routine, HANDLE thread,
                               ULONG_PTR argument)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindApc, (void*)routine, (void*)argument);
    DWORD ok = r != NULL &&
               DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                               &r->handle, SYNCHRONIZE, FALSE, 0) &&
               QueueUserAPC(ApcTrampoline, thread, (ULONG_PTR)r);
    if (!ok)
        Drop(r);
    LeaveCriticalSection(&ScheduleLock);
    // The APC comes back into this DLL after the guest's routine, at a moment
    // nobody can wait for: this DLL stays loaded for the process's life.
    HMODULE self = NULL;
    if (ok)
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_PIN,
                           (LPCSTR)(void*)ApcTrampoline, &self);
    return ok;
}

// Hook procedures get no context to carry a record: not wrapped, only
// recorded, and unhooked by the stop.
template <BOOL wide>
HHOOK WINAPI GuestSetWindowsHookEx(int type, HOOKPROC procedure,
                                   HINSTANCE module, DWORD threadId)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindHook, (void*)procedure, NULL);
    HHOOK hook = NULL;
    if (r != NULL)
        hook = wide ? SetWindowsHookExW(type, procedure, module, threadId)
                    : SetWindowsHookExA(type, procedure, module, threadId);
    Made(r, hook != NULL, hook, NULL);
    LeaveCriticalSection(&ScheduleLock);
    return hook;
}

BOOL WINAPI GuestUnhookWindowsHookEx(HHOOK hook)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(KindHook, hook);
    BOOL ok = r != NULL && r->deleted ? FALSE : UnhookWindowsHookEx(hook);
    if (!ok && r != NULL && r->deleted)
        SetLastError(ERROR_INVALID_HOOK_HANDLE);
    if (ok && r != NULL)
        r->over = r->deleted = true;
    LeaveCriticalSection(&ScheduleLock);
    return ok;
}

// Timer procedures get no context either. A timer belongs to its window, or
// for no window to the thread that set it; only that thread can kill it, and
// it dies with its window or thread.
Scheduled* FindWindowTimer(const Scheduled* besides, HWND window, UINT_PTR id)
{
    for (Scheduled* r = Records; r != NULL; r = r->next) {
        if (r != besides && r->kind == KindWindowTimer && !r->over &&
            r->owner == window && r->id == id &&
            r->threadId == GetCurrentThreadId())
            return r;
    }
    return NULL;
}

UINT_PTR WINAPI GuestSetTimer(HWND window, UINT_PTR id, UINT elapseMs,
                              TIMERPROC procedure)
{
    if (procedure == NULL)   // WM_TIMER for a window's own procedure
        return SetTimer(window, id, elapseMs, procedure);
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(KindWindowTimer, (void*)procedure, NULL);
    UINT_PTR made = 0;
    if (r != NULL &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                        GetCurrentProcess(), &r->handle, SYNCHRONIZE, FALSE, 0))
        made = SetTimer(window, id, elapseMs, procedure);
    Made(r, made != 0, NULL, window);
    if (made != 0) {
        r->id = window != NULL ? id : made;
        r->threadId = GetCurrentThreadId();
        // Setting a timer again replaces it: its record stands for both.
        if (FindWindowTimer(r, window, r->id) != NULL)
            Drop(r);
    }
    LeaveCriticalSection(&ScheduleLock);
    return made;
}

BOOL WINAPI GuestKillTimer(HWND window, UINT_PTR id)
{
    EnterCriticalSection(&ScheduleLock);
    BOOL ok = KillTimer(window, id);
    Scheduled* r = ok ? FindWindowTimer(NULL, window, id) : NULL;
    if (r != NULL)
        r->over = 1;
    LeaveCriticalSection(&ScheduleLock);
    return ok;
}

} // namespace

// The guest's wait. On the window thread it answers the messages sent to it
// meanwhile (posted ones stay queued), as a COM apartment's wait does, so a
// guest thread stuck in SendMessage to the window can go on. A wait for all
// of several handles cannot wake for a message alone and stays as it is.
DWORD GuestWait(DWORD count, const HANDLE* handles, BOOL all, DWORD timeoutMs,
                BOOL alertable)
{
    if (GetCurrentThreadId() != WindowThreadId || (all && count > 1) ||
        count == 0 || count >= MAXIMUM_WAIT_OBJECTS)
        return WaitForMultipleObjectsEx(count, handles, all, timeoutMs,
                                        alertable);
    ++GuestWaits;
    DWORD result = WaitAnsweringSentMessagesEx(
        count, handles, timeoutMs, alertable ? MWMO_ALERTABLE : 0);
    --GuestWaits;
    return result;
}

#define GUEST_ROUTE_ENTRY(name, group, wrapper) {#name, group, (void*)wrapper},
const RouteEntry Routes[RouteCount] = {GUEST_ROUTES(GUEST_ROUTE_ENTRY)};
