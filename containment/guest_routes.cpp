// The functions the guest's calls are routed to: each makes what the guest
// asked for through a trampoline of ours, under a record, and sees it end.
#include <process.h>

#include "guest_schedule.h"
#include "message_wait.h"
#include "schedule_records.h"

namespace {

// --- Waits ---------------------------------------------------------------

// The guest's wait. On the window thread it answers the messages sent to it
// meanwhile (posted ones stay queued), as a COM apartment's wait does, so a
// guest thread stuck in SendMessage to the window can go on. A wait for all
// of several handles cannot wake for a message alone and stays as it is.
DWORD WINAPI GuestWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles,
                                           BOOL all, DWORD timeoutMs,
                                           BOOL alertable)
{
    if (GetCurrentThreadId() != WindowThreadId || (all && count > 1) ||
        count == 0 || count >= MAXIMUM_WAIT_OBJECTS)
        return WaitForMultipleObjectsEx(count, handles, all, timeoutMs,
                                        alertable);
    return WaitAnsweringSentMessagesEx(count, handles, timeoutMs,
                                       alertable ? MWMO_ALERTABLE : 0);
}

DWORD WINAPI GuestWaitForMultipleObjects(DWORD count, const HANDLE* handles,
                                         BOOL all, DWORD timeoutMs)
{
    return GuestWaitForMultipleObjectsEx(count, handles, all, timeoutMs, 0);
}

DWORD WINAPI GuestWaitForSingleObjectEx(HANDLE handle, DWORD timeoutMs,
                                        BOOL alertable)
{
    return GuestWaitForMultipleObjectsEx(1, &handle, 0, timeoutMs, alertable);
}

DWORD WINAPI GuestWaitForSingleObject(HANDLE handle, DWORD timeoutMs)
{
    return GuestWaitForMultipleObjectsEx(1, &handle, 0, timeoutMs, 0);
}

// A pool's wait for an object's callbacks takes no time-out: on the window
// thread it runs on a pool thread while this one answers.
struct BlockingCall {
    Kind kind;
    void* object;
    BOOL cancel;
    HANDLE done;
};

VOID CALLBACK RunBlockingCall(PTP_CALLBACK_INSTANCE instance, PVOID context)
{
    BlockingCall* call = (BlockingCall*)context;
    // Set once this function has returned into the pool: the waiter may
    // leave this DLL only then.
    REAL(SetEventWhenCallbackReturns)(instance, call->done);
    WAIT_POOL(call->kind)(call->object, call->cancel);
}

template <Kind kind> VOID WINAPI GuestWaitForPool(void* object, BOOL cancel)
{
    BlockingCall call = {kind, object, cancel, NULL};
    if (GetCurrentThreadId() == WindowThreadId)
        call.done = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (call.done != NULL &&
        REAL(TrySubmitThreadpoolCallback)(RunBlockingCall, &call, NULL))
        GuestWaitForSingleObject(call.done, INFINITE);
    else
        WAIT_POOL(kind)(object, cancel);
    if (call.done != NULL)
        CloseHandle(call.done);
}

// --- Making things under a record ----------------------------------------

// Makes what the guest asked for under a new record of the given kind:
// make(r) makes it, with r for the trampoline, and returns the system's
// object (null: failed, and the record goes). Under ScheduleLock, so that
// record and object appear together.
template <typename Make>
void* Schedule(Kind kind, void* routine, void* argument, void* owner, Make make)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = NewRecord(kind, routine, argument);
    void* object = r == NULL ? NULL : make(r);
    Made(r, object != NULL, object, owner);
    LeaveCriticalSection(&ScheduleLock);
    return object;
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

// Under ScheduleLock: our own handle to the thread just made for r.
HANDLE KeepThread(Scheduled* r, HANDLE thread)
{
    if (thread != NULL)
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                        &r->handle, SYNCHRONIZE, FALSE, 0);
    return thread;
}

HANDLE WINAPI GuestCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                LPTHREAD_START_ROUTINE routine, LPVOID argument,
                                DWORD flags, LPDWORD id)
{
    return Schedule(KindThread, (void*)routine, argument, NULL,
                    [&](Scheduled* r) {
        return KeepThread(r, CreateThread(security, stack, ThreadTrampoline, r,
                                          flags, id));
    });
}

uintptr_t __cdecl GuestBeginThreadEx(void* security, unsigned stack,
                                     unsigned(__stdcall* routine)(void*),
                                     void* argument, unsigned flags,
                                     unsigned* id)
{
    return (uintptr_t)Schedule(
        KindThread, (void*)routine, argument, NULL, [&](Scheduled* r) {
            return KeepThread(r, (HANDLE)REAL(_beginthreadex)(
                                     security, stack, RuntimeThreadTrampoline,
                                     r, flags, id));
        });
}

// The handle _beginthread returns is the runtime's (owner 1), which closes it
// when the thread ends.
uintptr_t __cdecl GuestBeginThread(void(__cdecl* routine)(void*),
                                   unsigned stack, void* argument)
{
    void* thread = Schedule(
        KindThread, (void*)routine, argument, (void*)1, [&](Scheduled* r) {
            uintptr_t made =
                REAL(_beginthread)(BeginThreadTrampoline, stack, r);
            return KeepThread(r, made == (uintptr_t)-1 ? NULL : (HANDLE)made);
        });
    return thread == NULL ? (uintptr_t)-1 : (uintptr_t)thread;
}

// The guest's close of the runtime's thread handle while the thread lives
// would free the value for another handle (ours, the host's) that the
// runtime's own close then hits: it succeeds and closes nothing.
BOOL WINAPI GuestCloseHandle(HANDLE handle)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(KindThread, handle);
    bool runtimes = r != NULL && r->owner != NULL && !Signalled(r->handle);
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
    void* made = Schedule(KindQueueTimer, (void*)routine, argument, queue,
                          [&](Scheduled* r) {
        HANDLE t = NULL;
        return CreateTimerQueueTimer(&t, queue, TimerOrWaitTrampoline, r, dueMs,
                                     periodMs, flags) ? t : NULL;
    });
    if (made != NULL)
        *timer = made;
    return made != NULL;
}

BOOL WINAPI GuestRegisterWaitForSingleObject(PHANDLE wait, HANDLE object,
                                             WAITORTIMERCALLBACK routine,
                                             PVOID argument, ULONG timeoutMs,
                                             ULONG flags)
{
    void* made = Schedule(KindRegisteredWait, (void*)routine, argument, NULL,
                          [&](Scheduled* r) {
        HANDLE w = NULL;
        return RegisterWaitForSingleObject(&w, object, TimerOrWaitTrampoline, r,
                                           timeoutMs, flags) ? w : NULL;
    });
    if (made != NULL)
        *wait = made;
    return made != NULL;
}

// The guest's delete of one timer or registered wait. Its completion: null
// (wait for nothing), INVALID_HANDLE_VALUE (wait here until the callbacks
// have returned; from the object's own callback, which would wait for
// itself, not at all: the deletion is then pending) or an event of the
// guest's, set once none of them is in the guest's code. A delete of one
// deleted before never reaches the system.
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
    if (r->ended != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        if (completion != INVALID_HANDLE_VALUE)
            r->guestEvent = completion;
        ok = DeleteCallbacks(r);
        r->deleted = r->ended != NULL;
        // A copy of our event, for the wait outside the lock.
        if (completion == INVALID_HANDLE_VALUE && r->deleted &&
            TlsGetValue(CallbackSlot) != r)
            DuplicateHandle(GetCurrentProcess(), r->ended, GetCurrentProcess(),
                            &ended, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    LeaveCriticalSection(&ScheduleLock);
    if (ended == NULL)
        return ok;
    GuestWaitForSingleObject(ended, INFINITE);
    CloseHandle(ended);
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
// one first (never twice), each waited for here by a blocking deletion.
// Only a queue the guest made: null, the default queue, is none.
BOOL WINAPI GuestDeleteTimerQueueEx(HANDLE queue, HANDLE completion)
{
    // Every timer of the queue not yet deleted, gated or not (one made
    // after the stop began is gated from birth): the queue's deletion would
    // free it under its record. One that the system will not delete keeps
    // the queue, and the guest is told.
    for (;;) {
        HANDLE timer = NULL;
        EnterCriticalSection(&ScheduleLock);
        for (Scheduled* r = Records; r != NULL && queue != NULL; r = r->next) {
            if (r->kind == KindQueueTimer && r->owner == queue &&
                r->ended == NULL)
                timer = r->object;
        }
        LeaveCriticalSection(&ScheduleLock);
        if (timer == NULL)
            return DeleteTimerQueueEx(queue, completion);
        if (!EndGuestCallbacks(KindQueueTimer, queue, timer,
                               completion == INVALID_HANDLE_VALUE ? completion
                                                                  : NULL) &&
            GetLastError() != ERROR_IO_PENDING)
            return FALSE;
    }
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
template <Kind kind>
void* WINAPI GuestCreatePoolObject(void* routine, PVOID argument,
                                   PTP_CALLBACK_ENVIRON environment)
{
    if (environment != NULL && (environment->CleanupGroup != NULL ||
                                environment->FinalizationCallback != NULL))
        return kind == KindSimpleCallback
                   ? (void*)(ULONG_PTR)REAL(TrySubmitThreadpoolCallback)(
                         (PTP_SIMPLE_CALLBACK)routine, argument, environment)
                   : MAKE_POOL(kind)(routine, argument, environment);
    return Schedule(kind, routine, argument, NULL, [&](Scheduled* r) {
        void* object = MAKE_POOL(kind)(
            kind == KindPoolWait ? (void*)PoolWaitTrampoline
                                 : (void*)PoolTrampoline,
            r, environment);
        if (object != NULL && kind >= KindWorkItem)
            REAL(SubmitThreadpoolWork)((PTP_WORK)object);
        return object;
    });
}

BOOL WINAPI GuestTrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK routine,
                                             PVOID argument,
                                             PTP_CALLBACK_ENVIRON environment)
{
    return GuestCreatePoolObject<KindSimpleCallback>((void*)routine, argument,
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
    // An environment only then: Vista's pool knows only its first version.
    bool runsOwnWay =
        (flags & (WT_EXECUTELONGFUNCTION | WT_EXECUTEINPERSISTENTTHREAD)) != 0;
    return GuestCreatePoolObject<KindWorkItem>(
               (void*)routine, argument,
               runsOwnWay ? &environment : NULL) != NULL;
}

// The guest's close of a pool object. The system's close waits for nothing,
// and callbacks already queued still come, reading the record: so the object
// is only silenced here, once, and closed by the stop after its callbacks.
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
        CLOSE_POOL(kind)(object);
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
    bool ok = Schedule(KindApc, (void*)routine, (void*)argument, NULL,
                       [&](Scheduled* r) {
        return DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                               &r->handle, SYNCHRONIZE, FALSE, 0) &&
               QueueUserAPC(ApcTrampoline, thread, (ULONG_PTR)r)
                   ? r->handle : NULL;
    }) != NULL;
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
    return (HHOOK)Schedule(KindHook, (void*)procedure, NULL, NULL,
                           [&](Scheduled*) {
        return wide ? SetWindowsHookExW(type, procedure, module, threadId)
                    : SetWindowsHookExA(type, procedure, module, threadId);
    });
}

BOOL WINAPI GuestUnhookWindowsHookEx(HHOOK hook)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(KindHook, hook);
    BOOL ok = r != NULL && r->deleted ? FALSE : UnhookWindowsHookEx(hook);
    if (r != NULL && r->deleted)
        SetLastError(ERROR_INVALID_HOOK_HANDLE);
    if (ok && r != NULL)
        r->over = r->deleted = true;
    LeaveCriticalSection(&ScheduleLock);
    return ok;
}

// Timer procedures get no context either. A timer belongs to its window, or
// for no window to the thread that set it; only that thread can kill it, and
// it dies with its window or thread. Setting one again replaces it: one
// record stands for both. Under ScheduleLock.
Scheduled* FindWindowTimer(HWND window, UINT_PTR id)
{
    Scheduled* r = Records;
    while (r != NULL && !(r->kind == KindWindowTimer && !r->over &&
                          r->owner == window && r->id == id &&
                          r->threadId == GetCurrentThreadId()))
        r = r->next;
    return r;
}

UINT_PTR WINAPI GuestSetTimer(HWND window, UINT_PTR id, UINT elapseMs,
                              TIMERPROC procedure)
{
    EnterCriticalSection(&ScheduleLock);
    UINT_PTR made = SetTimer(window, id, elapseMs, procedure);
    UINT_PTR madeId = window != NULL ? id : made;
    Scheduled* r = NULL;
    // A timer without a procedure sends WM_TIMER to its window's own.
    if (made != 0 && procedure != NULL &&
        FindWindowTimer(window, madeId) == NULL &&
        (r = NewRecord(KindWindowTimer, (void*)procedure, NULL)) == NULL) {
        KillTimer(window, madeId);
        made = 0;
    } else if (r != NULL) {
        r->owner = window;
        r->id = madeId;
        r->threadId = GetCurrentThreadId();
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                        GetCurrentProcess(), &r->handle, SYNCHRONIZE, FALSE, 0);
    }
    LeaveCriticalSection(&ScheduleLock);
    return made;
}

BOOL WINAPI GuestKillTimer(HWND window, UINT_PTR id)
{
    EnterCriticalSection(&ScheduleLock);
    BOOL ok = KillTimer(window, id);
    Scheduled* r = ok ? FindWindowTimer(window, id) : NULL;
    if (r != NULL)
        r->over = 1;
    LeaveCriticalSection(&ScheduleLock);
    return ok;
}

} // namespace

#define GUEST_ROUTE_ENTRY(name, group, wrapper) {#name, group, (void*)wrapper},
const RouteEntry Routes[RouteCount] = {GUEST_ROUTES(GUEST_ROUTE_ENTRY)};
