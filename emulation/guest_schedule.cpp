// The guest's schedule: every thread, timer, pool callback, wait, APC, hook
// and timer procedure that the guest's code starts through its import table,
// recorded as it is made and seen to end.
#include "guest_schedule.h"

#include <process.h>
#include <string.h>

#include "message_wait.h"

namespace {

// What a record stands for, and how its end is seen.
enum Kind {
    KindThread,          // our own handle to the thread is signalled
    KindQueueTimer,      // timer-queue timer, registered wait: the system has
    KindRegisteredWait,  //   set our deletion event (after its callbacks)
    KindPoolWork,        // the guest's pool objects: closed here, after
    KindPoolTimer,       //   their callbacks (the guest's own close only
    KindPoolWait,        //   silences them: see LeavePoolObject)
    KindWorkItem,        // QueueUserWorkItem, TrySubmitThreadpoolCallback:
    KindSimpleCallback,  //   on a pool work object of ours, closed likewise
    KindApc,             // run (never cancelled), or its thread has ended
    KindHook,            // unhooked
    KindWindowTimer      // killed, or its window or its thread has gone
};

// One thing the guest scheduled. Linked into Records and freed only under
// ScheduleLock, and only once it has ended: trampolines read it until then.
struct Scheduled {
    Scheduled* next;        // ScheduleLock
    Kind kind;              // these three are written before the system can
    void* routine;          // call a trampoline with the record: the guest's
    void* argument;         // code and its argument
    // Ours, closed with the record: the thread (KindThread; a _beginthread
    // thread writes its own), the thread of an APC or a timer procedure.
    HANDLE handle;          // ScheduleLock
    // The system's timer, wait, pool object (null once closed) or hook; a
    // timer's queue or window, and its id and thread. ScheduleLock.
    void* object;
    void* owner;
    UINT_PTR id;
    DWORD threadId;
    // KindQueueTimer, KindRegisteredWait: ours, given to the system's delete
    // (the guest's own may be auto-reset and consumed by the guest). Non-null
    // once deleted: never twice, Wine then reads freed memory. ScheduleLock.
    HANDLE ended;
    // Interlocked. A trampoline raises inGuest, then reads gateClosed; the
    // stop or a deletion closes the gate, then reads inGuest: once both have
    // seen the other, no call into the guest is under way or can begin.
    volatile LONG inGuest;
    volatile LONG gateClosed;
    // Interlocked: the one call of a work item or APC is over; a hook or
    // timer procedure is removed.
    volatile LONG over;
    // The guest's completion event of a deletion, set (taken by interlocked
    // exchange: once) when the gate is closed and inGuest is 0.
    HANDLE volatile guestEvent;
};

// Guards Records, the fields marked so and ScheduleEnding. Held for the
// system's calls that make or delete what a record stands for, so that the
// two appear and go together; never across a wait or a call into the guest.
// No callback trampoline takes it (a _beginthread thread does, before it
// calls the guest).
CRITICAL_SECTION ScheduleLock;
Scheduled* Records = NULL;
// Set by the stop (window thread): records are then freed only by the stop,
// which waits on their handles outside the lock. Cleared by
// RouteGuestImports.
bool ScheduleEnding = false;
// Auto-reset: something the stop waits for without a handle of its own
// happened (a callback left the guest after its gate closed, a _beginthread
// thread took its handle, an APC ran).
HANDLE ScheduleChanged = NULL;
// The window thread while a guest is routed, else 0. Written by the window
// thread; read by the routed waits on any thread, each comparing it with its
// own id.
volatile DWORD WindowThreadId = 0;
// Guest waits answering sent messages on the window thread. Window thread.
LONG GuestWaits = 0;
// Our reference on this DLL while a kept guest's slots point into it.
// Window thread.
HMODULE KeptSelf = NULL;

// --- The routes ------------------------------------------------------------

enum Route {
    RouteCreateThread, Route_beginthread, Route_beginthreadex,
    RouteCreateTimerQueueTimer, RouteDeleteTimerQueueTimer,
    RouteDeleteTimerQueueEx, RouteDeleteTimerQueue,
    RouteRegisterWaitForSingleObject, RouteUnregisterWait,
    RouteUnregisterWaitEx, RouteQueueUserWorkItem,
    RouteTrySubmitThreadpoolCallback,
    RouteCreateThreadpoolWork, RouteCreateThreadpoolTimer,
    RouteCreateThreadpoolWait, RouteCloseThreadpoolWork,
    RouteCloseThreadpoolTimer, RouteCloseThreadpoolWait,
    RouteWaitForThreadpoolWorkCallbacks, RouteWaitForThreadpoolTimerCallbacks,
    RouteWaitForThreadpoolWaitCallbacks, RouteQueueUserAPC,
    RouteSetWindowsHookExA, RouteSetWindowsHookExW, RouteUnhookWindowsHookEx,
    RouteSetTimer, RouteKillTimer, RouteWaitForSingleObject,
    RouteWaitForSingleObjectEx, RouteWaitForMultipleObjects,
    RouteWaitForMultipleObjectsEx, RouteGetProcAddress,
    // Called here, never routed.
    RouteSubmitThreadpoolWork, RouteSetThreadpoolTimer, RouteSetThreadpoolWait,
    RouteSetEventWhenCallbackReturns,
    RouteCount
};

// Each route's real function. The system's are resolved by RouteGuestImports
// (window thread, nothing routed yet) the way the loader resolves the
// guest's slots: a forwarded export gives its target. A runtime's are the
// guest's own slot values, or what its GetProcAddress found, written on any
// thread a pointer at a time. What systems before Vista lack is called
// through these, so that this DLL still loads there.
void* Real[RouteCount];
#define REAL(function) ((decltype(&function))Real[Route##function])

// The three kinds of pool object alike (all their arguments are pointers):
// made, closed, and waited for, by the functions of these routes.
typedef void*(WINAPI* MakePoolFunction)(void* callback, void* context,
                                        PTP_CALLBACK_ENVIRON environment);
typedef VOID(WINAPI* ClosePoolFunction)(void* object);
typedef VOID(WINAPI* WaitPoolFunction)(void* object, BOOL cancel);
struct PoolRoutes {
    Route make, close, wait;
};
const PoolRoutes PoolRoutesOf[3] = {
    {RouteCreateThreadpoolWork, RouteCloseThreadpoolWork,
     RouteWaitForThreadpoolWorkCallbacks},
    {RouteCreateThreadpoolTimer, RouteCloseThreadpoolTimer,
     RouteWaitForThreadpoolTimerCallbacks},
    {RouteCreateThreadpoolWait, RouteCloseThreadpoolWait,
     RouteWaitForThreadpoolWaitCallbacks},
};

const PoolRoutes& PoolRoutesFor(Kind kind)
{
    return PoolRoutesOf[kind == KindPoolTimer ? 1 : kind == KindPoolWait ? 2 : 0];
}

// --- Records -----------------------------------------------------------------

bool Signalled(HANDLE handle)
{
    return handle != NULL && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

void FreeRecord(Scheduled* r)
{
    if (r->handle != NULL)
        CloseHandle(r->handle);
    if (r->ended != NULL)
        CloseHandle(r->ended);
    HeapFree(GetProcessHeap(), 0, r);
}

// Under ScheduleLock, not released since NewRecord made r (null: none):
// forgets r, the newest record, whose making failed.
void Drop(Scheduled* r)
{
    if (r != NULL) {
        Records = r->next;
        FreeRecord(r);
    }
}

Scheduled* Find(Kind kind, const void* object)
{
    for (Scheduled* r = Records; r != NULL && object != NULL; r = r->next) {
        if (r->kind == kind && r->object == object)
            return r;
    }
    return NULL;
}

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

// The gate. A trampoline calls the guest only when EnterGuest says so, and
// calls LeaveGuest either way.
bool EnterGuest(Scheduled* r)
{
    InterlockedIncrement(&r->inGuest);
    return InterlockedCompareExchange(&r->gateClosed, 0, 0) == 0;
}

void SetGuestEvent(Scheduled* r)
{
    HANDLE event = InterlockedExchangePointer(&r->guestEvent, NULL);
    if (event != NULL)
        SetEvent(event);
}

void LeaveGuest(Scheduled* r)
{
    if (InterlockedDecrement(&r->inGuest) == 0 &&
        InterlockedCompareExchange(&r->gateClosed, 0, 0) != 0) {
        SetGuestEvent(r);
        SetEvent(ScheduleChanged);
    }
}

// Callbacks that have not begun no longer call the guest.
void CloseGate(Scheduled* r)
{
    InterlockedExchange(&r->gateClosed, 1);
    if (InterlockedCompareExchange(&r->inGuest, 0, 0) == 0)
        SetGuestEvent(r);
}

// Under ScheduleLock: closes r's gate and deletes its timer or wait, once,
// with an event of ours that the system sets once its last callback has
// returned.
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
    // or running, and sets the event once the last has returned.
    DWORD error = GetLastError();
    if (!ok && error != ERROR_IO_PENDING)
        SetEvent(r->ended);   // not deleted: nothing will come
    SetLastError(error);
    return ok;
}

// A pool timer or wait fires no more.
void SilencePoolObject(Kind kind, void* object)
{
    if (kind == KindPoolTimer)
        REAL(SetThreadpoolTimer)((PTP_TIMER)object, NULL, 0, 0);
    else if (kind == KindPoolWait)
        REAL(SetThreadpoolWait)((PTP_WAIT)object, NULL, NULL);
}

// Under ScheduleLock: whether nothing of r can run any more, neither the
// guest's code nor a trampoline of ours. Closes a pool object whose gate is
// closed and drained or whose one call is over, after a wait for its
// callbacks that is short for that reason (those not begun are cancelled).
bool Ended(Scheduled* r)
{
    switch (r->kind) {
    case KindThread:
        return Signalled(r->handle);
    case KindQueueTimer:
    case KindRegisteredWait:
        return Signalled(r->ended);
    case KindApc:
    case KindWindowTimer:
        return r->over || Signalled(r->handle);
    case KindHook:
        return r->over != 0;
    default:
        if (r->object != NULL &&
            (r->over || (r->gateClosed && r->inGuest == 0))) {
            const PoolRoutes& routes = PoolRoutesFor(r->kind);
            SilencePoolObject(r->kind, r->object);
            ((WaitPoolFunction)Real[routes.wait])(r->object, TRUE);
            ((ClosePoolFunction)Real[routes.close])(r->object);
            r->object = NULL;
        }
        return r->object == NULL;
    }
}

// Under ScheduleLock, by the stop: what can be cancelled is. Callbacks not
// yet begun no longer call the guest; timers and waits are deleted, hooks
// removed, and timer procedures killed where this thread can (a timer of
// this thread that cannot be killed is gone already).
void CancelLeftover(Scheduled* r)
{
    CloseGate(r);
    if (r->kind == KindQueueTimer || r->kind == KindRegisteredWait) {
        DeleteCallbacks(r);
    } else if (r->kind == KindHook && !r->over) {
        UnhookWindowsHookEx((HHOOK)r->object);
        r->over = 1;
    } else if (r->kind == KindWindowTimer && !r->over) {
        r->over = KillTimer((HWND)r->owner, r->id) ||
                  r->threadId == GetCurrentThreadId() ||
                  (r->owner != NULL && !IsWindow((HWND)r->owner));
    }
}

// Under ScheduleLock: a new record, linked first; null when out of memory.
// Ended records go first, unless the stop is waiting on their handles.
Scheduled* NewRecord(Kind kind, void* routine, void* argument)
{
    for (Scheduled** link = &Records; !ScheduleEnding && *link != NULL;) {
        Scheduled* r = *link;
        if (Ended(r)) {
            *link = r->next;
            FreeRecord(r);
        } else {
            link = &r->next;
        }
    }
    Scheduled* r = (Scheduled*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                         sizeof(Scheduled));
    if (r == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    r->kind = kind;
    r->routine = routine;
    r->argument = argument;
    r->next = Records;
    Records = r;
    return r;
}

// Under ScheduleLock: r's object has been made (ok), or r goes.
void Made(Scheduled* r, bool ok, void* object, void* owner)
{
    if (!ok) {
        Drop(r);
    } else {
        r->object = object;
        r->owner = owner;
    }
}

// Under ScheduleLock: our own handle to the thread just made for r (the
// guest's may be closed at any moment), or r goes when none was made.
void KeepThread(Scheduled* r, HANDLE thread)
{
    if (thread == NULL)
        Drop(r);
    else
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(),
                        &r->handle, SYNCHRONIZE, FALSE, 0);
}

// --- Waits ---------------------------------------------------------------

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
    WaitPoolFunction wait;
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
    call->wait(call->object, call->cancel);
}

void WaitForPoolCallbacks(Route route, void* object, BOOL cancel)
{
    BlockingCall call = {(WaitPoolFunction)Real[route], object, cancel, NULL};
    if (GetCurrentThreadId() == WindowThreadId)
        call.done = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (call.done != NULL &&
        REAL(TrySubmitThreadpoolCallback)(RunBlockingCall, &call, NULL))
        GuestWait(1, &call.done, FALSE, INFINITE, FALSE);
    else
        call.wait(object, cancel);
    if (call.done != NULL)
        CloseHandle(call.done);
}

VOID WINAPI GuestWaitForThreadpoolWorkCallbacks(PTP_WORK work, BOOL cancel)
{
    WaitForPoolCallbacks(RouteWaitForThreadpoolWorkCallbacks, work, cancel);
}

VOID WINAPI GuestWaitForThreadpoolTimerCallbacks(PTP_TIMER timer, BOOL cancel)
{
    WaitForPoolCallbacks(RouteWaitForThreadpoolTimerCallbacks, timer, cancel);
}

VOID WINAPI GuestWaitForThreadpoolWaitCallbacks(PTP_WAIT wait, BOOL cancel)
{
    WaitForPoolCallbacks(RouteWaitForThreadpoolWaitCallbacks, wait, cancel);
}

// --- Threads -----------------------------------------------------------------

// The record lives while the thread does: its handle is not yet signalled.
DWORD WINAPI ThreadTrampoline(LPVOID record)
{
    Scheduled* r = (Scheduled*)record;
    return ((LPTHREAD_START_ROUTINE)r->routine)(r->argument);
}

unsigned __stdcall RuntimeThreadTrampoline(void* record)
{
    return ThreadTrampoline(record);
}

// The runtime closes the handle _beginthread returned once the thread ends,
// so the thread hands over a handle of its own. Until it has, the record
// counts as a thread that has not ended.
void __cdecl BeginThreadTrampoline(void* record)
{
    Scheduled* r = (Scheduled*)record;
    HANDLE self = NULL;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    &self, SYNCHRONIZE, FALSE, 0);
    EnterCriticalSection(&ScheduleLock);
    r->handle = self;
    LeaveCriticalSection(&ScheduleLock);
    SetEvent(ScheduleChanged);
    ((void(__cdecl*)(void*))r->routine)(r->argument);
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
    KeepThread(r, thread);
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
    KeepThread(r, (HANDLE)thread);
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
    if (thread == (uintptr_t)-1 || thread == 0)
        Drop(r);
    LeaveCriticalSection(&ScheduleLock);
    return thread;
}

// --- Timer-queue timers and registered waits ---------------------------------

VOID CALLBACK TimerOrWaitTrampoline(PVOID record, BOOLEAN fired)
{
    Scheduled* r = (Scheduled*)record;
    if (EnterGuest(r))
        ((WAITORTIMERCALLBACK)r->routine)(r->argument, fired);
    LeaveGuest(r);
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

// Waits, as the guest's blocking deletion, until the system has seen the
// callbacks of a deletion return; ended is ours to close.
void WaitForDeletion(HANDLE ended)
{
    GuestWait(1, &ended, FALSE, INFINITE, FALSE);
    CloseHandle(ended);
}

// Under ScheduleLock: a copy of r's deletion event, for a wait outside it.
HANDLE CopyOfEnded(const Scheduled* r)
{
    HANDLE copy = NULL;
    DuplicateHandle(GetCurrentProcess(), r->ended, GetCurrentProcess(), &copy,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// The guest's delete of one timer or registered wait. Its completion: null
// (wait for nothing), INVALID_HANDLE_VALUE (wait here until the callbacks
// have returned) or an event of the guest's, set once none of them is in
// the guest's code.
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
        SetLastError(ERROR_INVALID_HANDLE);   // deleted before
    } else {
        if (completion != INVALID_HANDLE_VALUE)
            r->guestEvent = completion;
        ok = DeleteCallbacks(r);
        if (completion == INVALID_HANDLE_VALUE && r->ended != NULL)
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
// one first (never twice), and a blocking deletion waits for them here.
BOOL WINAPI GuestDeleteTimerQueueEx(HANDLE queue, HANDLE completion)
{
    EnterCriticalSection(&ScheduleLock);
    for (Scheduled* r = Records; r != NULL; r = r->next) {
        if (r->kind == KindQueueTimer && r->owner == queue)
            DeleteCallbacks(r);
    }
    LeaveCriticalSection(&ScheduleLock);
    for (bool waiting = completion == INVALID_HANDLE_VALUE; waiting;) {
        HANDLE ended = NULL;
        EnterCriticalSection(&ScheduleLock);
        for (Scheduled* r = Records; r != NULL && ended == NULL; r = r->next) {
            if (r->kind == KindQueueTimer && r->owner == queue &&
                !Signalled(r->ended))
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

// --- Pool work, timers and waits ------------------------------------------

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
    MakePoolFunction make = (MakePoolFunction)Real[PoolRoutesFor(kind).make];
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

PTP_WORK WINAPI GuestCreateThreadpoolWork(PTP_WORK_CALLBACK routine,
                                          PVOID argument,
                                          PTP_CALLBACK_ENVIRON environment)
{
    return (PTP_WORK)CreatePoolObject(KindPoolWork, (void*)routine, argument,
                                      environment);
}

PTP_TIMER WINAPI GuestCreateThreadpoolTimer(PTP_TIMER_CALLBACK routine,
                                            PVOID argument,
                                            PTP_CALLBACK_ENVIRON environment)
{
    return (PTP_TIMER)CreatePoolObject(KindPoolTimer, (void*)routine, argument,
                                       environment);
}

PTP_WAIT WINAPI GuestCreateThreadpoolWait(PTP_WAIT_CALLBACK routine,
                                          PVOID argument,
                                          PTP_CALLBACK_ENVIRON environment)
{
    return (PTP_WAIT)CreatePoolObject(KindPoolWait, (void*)routine, argument,
                                      environment);
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
    // On a pool work object of ours, whose callbacks can be waited for.
    if (Real[RouteCreateThreadpoolWork] == NULL)   // before Vista
        return QueueUserWorkItem(routine, argument, flags);
    return CreatePoolObject(KindWorkItem, (void*)routine, argument, NULL) !=
           NULL;
}

// The guest's close of a pool object. The system's close waits for nothing,
// and callbacks already queued still come, reading the record: so the object
// is only silenced here and closed by the stop, after its callbacks.
void LeavePoolObject(Kind kind, void* object)
{
    EnterCriticalSection(&ScheduleLock);
    Scheduled* r = Find(kind, object);
    if (r != NULL)
        SilencePoolObject(kind, object);
    LeaveCriticalSection(&ScheduleLock);
    if (r == NULL)
        ((ClosePoolFunction)Real[PoolRoutesFor(kind).close])(object);
}

VOID WINAPI GuestCloseThreadpoolWork(PTP_WORK work)
{
    LeavePoolObject(KindPoolWork, work);
}

VOID WINAPI GuestCloseThreadpoolTimer(PTP_TIMER timer)
{
    LeavePoolObject(KindPoolTimer, timer);
}

VOID WINAPI GuestCloseThreadpoolWait(PTP_WAIT wait)
{
    LeavePoolObject(KindPoolWait, wait);
}

// --- APCs, hooks and timer procedures --------------------------------------

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
HHOOK SetGuestHook(BOOL wide, int type, HOOKPROC procedure, HINSTANCE module,
                   DWORD threadId)
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

HHOOK WINAPI GuestSetWindowsHookExA(int type, HOOKPROC procedure,
                                    HINSTANCE module, DWORD threadId)
{
    return SetGuestHook(FALSE, type, procedure, module, threadId);
}

HHOOK WINAPI GuestSetWindowsHookExW(int type, HOOKPROC procedure,
                                    HINSTANCE module, DWORD threadId)
{
    return SetGuestHook(TRUE, type, procedure, module, threadId);
}

BOOL WINAPI GuestUnhookWindowsHookEx(HHOOK hook)
{
    EnterCriticalSection(&ScheduleLock);
    BOOL ok = UnhookWindowsHookEx(hook);
    Scheduled* r = Find(KindHook, hook);
    if (ok && r != NULL)
        r->over = 1;
    LeaveCriticalSection(&ScheduleLock);
    return ok;
}

// Timer procedures get no context either. A timer belongs to its window, or
// for no window to the thread that set it; only that thread can kill it, and
// it dies with its window or thread.
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

// --- Look-ups --------------------------------------------------------------

FARPROC WINAPI GuestGetProcAddress(HMODULE module, LPCSTR name);

struct RouteEntry {
    const char* name;
    const char* dll;    // where the system's is resolved; null: a runtime's
    void* wrapper;      // null: called here, never routed
};

// In the order of Route.
const RouteEntry Routes[RouteCount] = {
    {"CreateThread", "kernel32.dll", (void*)GuestCreateThread},
    {"_beginthread", NULL, (void*)GuestBeginThread},
    {"_beginthreadex", NULL, (void*)GuestBeginThreadEx},
    {"CreateTimerQueueTimer", "kernel32.dll", (void*)GuestCreateTimerQueueTimer},
    {"DeleteTimerQueueTimer", "kernel32.dll", (void*)GuestDeleteTimerQueueTimer},
    {"DeleteTimerQueueEx", "kernel32.dll", (void*)GuestDeleteTimerQueueEx},
    {"DeleteTimerQueue", "kernel32.dll", (void*)GuestDeleteTimerQueue},
    {"RegisterWaitForSingleObject", "kernel32.dll",
     (void*)GuestRegisterWaitForSingleObject},
    {"UnregisterWait", "kernel32.dll", (void*)GuestUnregisterWait},
    {"UnregisterWaitEx", "kernel32.dll", (void*)GuestUnregisterWaitEx},
    {"QueueUserWorkItem", "kernel32.dll", (void*)GuestQueueUserWorkItem},
    {"TrySubmitThreadpoolCallback", "kernel32.dll",
     (void*)GuestTrySubmitThreadpoolCallback},
    {"CreateThreadpoolWork", "kernel32.dll", (void*)GuestCreateThreadpoolWork},
    {"CreateThreadpoolTimer", "kernel32.dll", (void*)GuestCreateThreadpoolTimer},
    {"CreateThreadpoolWait", "kernel32.dll", (void*)GuestCreateThreadpoolWait},
    {"CloseThreadpoolWork", "kernel32.dll", (void*)GuestCloseThreadpoolWork},
    {"CloseThreadpoolTimer", "kernel32.dll", (void*)GuestCloseThreadpoolTimer},
    {"CloseThreadpoolWait", "kernel32.dll", (void*)GuestCloseThreadpoolWait},
    {"WaitForThreadpoolWorkCallbacks", "kernel32.dll",
     (void*)GuestWaitForThreadpoolWorkCallbacks},
    {"WaitForThreadpoolTimerCallbacks", "kernel32.dll",
     (void*)GuestWaitForThreadpoolTimerCallbacks},
    {"WaitForThreadpoolWaitCallbacks", "kernel32.dll",
     (void*)GuestWaitForThreadpoolWaitCallbacks},
    {"QueueUserAPC", "kernel32.dll", (void*)GuestQueueUserAPC},
    {"SetWindowsHookExA", "user32.dll", (void*)GuestSetWindowsHookExA},
    {"SetWindowsHookExW", "user32.dll", (void*)GuestSetWindowsHookExW},
    {"UnhookWindowsHookEx", "user32.dll", (void*)GuestUnhookWindowsHookEx},
    {"SetTimer", "user32.dll", (void*)GuestSetTimer},
    {"KillTimer", "user32.dll", (void*)GuestKillTimer},
    {"WaitForSingleObject", "kernel32.dll", (void*)GuestWaitForSingleObject},
    {"WaitForSingleObjectEx", "kernel32.dll", (void*)GuestWaitForSingleObjectEx},
    {"WaitForMultipleObjects", "kernel32.dll",
     (void*)GuestWaitForMultipleObjects},
    {"WaitForMultipleObjectsEx", "kernel32.dll",
     (void*)GuestWaitForMultipleObjectsEx},
    {"GetProcAddress", "kernel32.dll", (void*)GuestGetProcAddress},
    {"SubmitThreadpoolWork", "kernel32.dll", NULL},
    {"SetThreadpoolTimer", "kernel32.dll", NULL},
    {"SetThreadpoolWait", "kernel32.dll", NULL},
    {"SetEventWhenCallbackReturns", "kernel32.dll", NULL},
};

// The route of an import slot that the loader resolved to resolved, named
// name (null: by ordinal, or the table keeps no names) in a module of the
// given kind; -1 for none. A runtime's is matched by name only (which
// runtime is the guest's own), and its slot value kept as the real one.
int RouteOf(void* resolved, ImportModuleKind moduleKind, const char* name)
{
    for (int i = 0; i < RouteCount; ++i) {
        ImportModuleKind routeKind =
            Routes[i].dll == NULL ? RuntimeModule : SystemModule;
        bool named = name != NULL && moduleKind == routeKind &&
                     strcmp(name, Routes[i].name) == 0;
        if (Routes[i].wrapper == NULL ||
            !(named || (routeKind == SystemModule && Real[i] == resolved)))
            continue;
        if (routeKind == RuntimeModule)
            Real[i] = resolved;
        return i;
    }
    return -1;
}

FARPROC WINAPI GuestGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = GetProcAddress(module, name);
    char path[MAX_PATH];
    bool runtime = found != NULL && !IS_INTRESOURCE(name) &&
                   strncmp(name, "_beginthread", 12) == 0 &&
                   GetModuleFileNameA(module, path, sizeof(path)) != 0;
    if (runtime) {
        const char* file = strrchr(path, '\\');
        runtime = ImportModuleKindOf(file != NULL ? file + 1 : path) ==
                  RuntimeModule;
    }
    int route = found == NULL ? -1
                              : RouteOf((void*)found,
                                        runtime ? RuntimeModule : SystemModule,
                                        runtime ? name : NULL);
    return route >= 0 ? (FARPROC)Routes[route].wrapper : found;
}

// Window thread: points an import slot elsewhere.
void WriteSlot(IMAGE_THUNK_DATA* slot, void* to)
{
    DWORD protection = 0;
    if (VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection)) {
        slot->u1.Function = (ULONG_PTR)to;
        VirtualProtect(slot, sizeof(*slot), protection, &protection);
    }
}

// Window thread: points the guest's slots of the routes at the wrappers, or
// back at the real functions. (A slot that named an API set goes back to
// kernel32's function of that name, the same code.)
void RewriteImports(HMODULE guest, bool route)
{
    BYTE* base = (BYTE*)guest;
    const IMAGE_NT_HEADERS* nt =
        (const IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* d =
             (const IMAGE_IMPORT_DESCRIPTOR*)(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && d->Name != 0; ++d) {
        ImportModuleKind moduleKind = ImportModuleKindOf((char*)base + d->Name);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        // A table without names of its own (bound, or slots only) is matched
        // by address alone.
        const IMAGE_THUNK_DATA* names =
            d->OriginalFirstThunk != 0 && d->OriginalFirstThunk != d->FirstThunk
                ? (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk)
                : NULL;
        for (SIZE_T i = 0; slots[i].u1.Function != 0; ++i) {
            void* value = (void*)slots[i].u1.Function;
            for (int back = 0; !route && back < RouteCount; ++back) {
                if (Routes[back].wrapper == value && Real[back] != NULL)
                    WriteSlot(&slots[i], Real[back]);
            }
            const char* name = NULL;
            if (names != NULL && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
                name = (const char*)((const IMAGE_IMPORT_BY_NAME*)(
                                         base + names[i].u1.AddressOfData))
                           ->Name;
            int to = route ? RouteOf(value, moduleKind, name) : -1;
            if (to >= 0)
                WriteSlot(&slots[i], Routes[to].wrapper);
        }
    }
}

} // namespace

ImportModuleKind ImportModuleKindOf(const char* fileName)
{
    // The runtime's API sets first: the others are the system's.
    static const char* const runtime[] = {"msvcr", "ucrtbase.",
                                          "api-ms-win-crt-"};
    static const char* const system[] = {"kernel32.", "kernelbase.", "user32.",
                                         "api-ms-win-"};
    for (const char* prefix : runtime) {
        if (_strnicmp(fileName, prefix, strlen(prefix)) == 0)
            return RuntimeModule;
    }
    for (const char* prefix : system) {
        if (_strnicmp(fileName, prefix, strlen(prefix)) == 0)
            return SystemModule;
    }
    return OtherModule;
}

void CreateGuestScheduleObjects(void)
{
    InitializeCriticalSection(&ScheduleLock);
    ScheduleChanged = CreateEventA(NULL, FALSE, FALSE, NULL);
}

void DeleteGuestScheduleObjects(void)
{
    // Only at the end of the process, or with nothing routed: no trampoline
    // can run any more.
    if (ScheduleChanged != NULL)
        CloseHandle(ScheduleChanged);
    ScheduleChanged = NULL;
    DeleteCriticalSection(&ScheduleLock);
}

void RouteGuestImports(HMODULE guest)
{
    for (int i = 0; i < RouteCount; ++i) {
        Real[i] = Routes[i].dll == NULL
                      ? NULL
                      : (void*)GetProcAddress(GetModuleHandleA(Routes[i].dll),
                                              Routes[i].name);
    }
    EnterCriticalSection(&ScheduleLock);
    ScheduleEnding = false;
    LeaveCriticalSection(&ScheduleLock);
    WindowThreadId = GetCurrentThreadId();
    RewriteImports(guest, true);
}

BOOL EndGuestSchedule(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE waits[MAXIMUM_WAIT_OBJECTS - 1];
        DWORD count = 0;
        waits[count++] = ScheduleChanged;
        bool left = false;
        EnterCriticalSection(&ScheduleLock);
        ScheduleEnding = true;
        for (Scheduled** link = &Records; *link != NULL;) {
            Scheduled* r = *link;
            CancelLeftover(r);
            if (Ended(r)) {
                *link = r->next;
                FreeRecord(r);
                continue;
            }
            left = true;
            HANDLE handle = r->ended != NULL ? r->ended : r->handle;
            if (handle != NULL && count < MAXIMUM_WAIT_OBJECTS - 1)
                waits[count++] = handle;
            link = &r->next;
        }
        LeaveCriticalSection(&ScheduleLock);
        DWORD elapsed = GetTickCount() - start;
        if (!left || elapsed >= timeoutMs)
            return !left;
        // The handles stay open: only this thread frees records now.
        // Alertable: an APC the guest queued to this thread runs now rather
        // than keep the guest for the thread's life.
        WaitAnsweringSentMessagesEx(count, waits, timeoutMs - elapsed,
                                    MWMO_ALERTABLE);
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

void UnrouteGuestImports(HMODULE guest)
{
    RewriteImports(guest, false);
    WindowThreadId = 0;
    // The host's and the window thread's references keep this DLL meanwhile.
    if (KeptSelf != NULL)
        FreeLibrary(KeptSelf);
    KeptSelf = NULL;
}

BOOL GuestWaitUnderWay(void)
{
    return GuestWaits != 0;
}
