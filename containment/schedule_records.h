// Inside the containment: the records of what the guest scheduled and the
// routes its calls take, shared by the records and stop (guest_schedule.cpp)
// and the functions the guest's calls are routed to (guest_routes.cpp).
#pragma once

#include <windows.h>

// Every route, once: its function's name, the group of modules it is
// imported from (and where the real one is resolved), and the function
// here that the guest's calls of it are routed to (0: called here, never
// routed). The three kinds of pool object come in the order of Kind.
#define GUEST_ROUTES(X)                                                       \
    X(CreateThread, Kernel, GuestCreateThread)                                \
    X(_beginthread, Runtime, GuestBeginThread)                                \
    X(_beginthreadex, Runtime, GuestBeginThreadEx)                            \
    X(CloseHandle, Kernel, GuestCloseHandle)                                  \
    X(CreateTimerQueueTimer, Kernel, GuestCreateTimerQueueTimer)              \
    X(DeleteTimerQueueTimer, Kernel, GuestDeleteTimerQueueTimer)              \
    X(DeleteTimerQueueEx, Kernel, GuestDeleteTimerQueueEx)                    \
    X(DeleteTimerQueue, Kernel, GuestDeleteTimerQueue)                        \
    X(RegisterWaitForSingleObject, Kernel, GuestRegisterWaitForSingleObject)  \
    X(UnregisterWait, Kernel, GuestUnregisterWait)                            \
    X(UnregisterWaitEx, Kernel, GuestUnregisterWaitEx)                        \
    X(QueueUserWorkItem, Kernel, GuestQueueUserWorkItem)                      \
    X(TrySubmitThreadpoolCallback, Kernel, GuestTrySubmitThreadpoolCallback)  \
    X(CreateThreadpoolWork, Kernel, GuestCreatePoolObject<KindPoolWork>)      \
    X(CreateThreadpoolTimer, Kernel, GuestCreatePoolObject<KindPoolTimer>)    \
    X(CreateThreadpoolWait, Kernel, GuestCreatePoolObject<KindPoolWait>)      \
    X(CloseThreadpoolWork, Kernel, GuestClosePoolObject<KindPoolWork>)        \
    X(CloseThreadpoolTimer, Kernel, GuestClosePoolObject<KindPoolTimer>)      \
    X(CloseThreadpoolWait, Kernel, GuestClosePoolObject<KindPoolWait>)        \
    X(WaitForThreadpoolWorkCallbacks, Kernel, GuestWaitForPool<KindPoolWork>) \
    X(WaitForThreadpoolTimerCallbacks, Kernel, GuestWaitForPool<KindPoolTimer>) \
    X(WaitForThreadpoolWaitCallbacks, Kernel, GuestWaitForPool<KindPoolWait>) \
    X(QueueUserAPC, Kernel, GuestQueueUserAPC)                                \
    X(SetWindowsHookExA, User, GuestSetWindowsHookEx<FALSE>)                  \
    X(SetWindowsHookExW, User, GuestSetWindowsHookEx<TRUE>)                   \
    X(UnhookWindowsHookEx, User, GuestUnhookWindowsHookEx)                    \
    X(SetTimer, User, GuestSetTimer)                                          \
    X(KillTimer, User, GuestKillTimer)                                        \
    X(WaitForSingleObject, Kernel, GuestWaitForSingleObject)                  \
    X(WaitForSingleObjectEx, Kernel, GuestWaitForSingleObjectEx)              \
    X(WaitForMultipleObjects, Kernel, GuestWaitForMultipleObjects)            \
    X(WaitForMultipleObjectsEx, Kernel, GuestWaitForMultipleObjectsEx)        \
    X(GetProcAddress, Kernel, GuestGetProcAddress)                            \
    X(SubmitThreadpoolWork, Kernel, 0)                                        \
    X(SetThreadpoolTimer, Kernel, 0)                                          \
    X(SetThreadpoolWait, Kernel, 0)                                           \
    X(SetEventWhenCallbackReturns, Kernel, 0)

#define GUEST_ROUTE_ENUM(name, group, wrapper) Route##name,
enum Route { GUEST_ROUTES(GUEST_ROUTE_ENUM) RouteCount };
#undef GUEST_ROUTE_ENUM

// Kernel: kernel32, kernelbase and their API sets; User: user32 and its
// sets; Runtime: a C runtime, whose function is the guest's own.
enum RouteGroup { Kernel, User, Runtime };

struct RouteEntry {
    const char* name;
    RouteGroup group;
    void* wrapper;
};
extern const RouteEntry Routes[RouteCount];

// Each route's real function. The system's are resolved by RouteGuestImports
// (window thread, nothing routed yet) as the loader resolves the guest's
// slots; a runtime's are the guest's own slot values, or what its
// GetProcAddress found, written on any thread a pointer at a time. What
// systems before Vista lack is called through these, so that this DLL still
// loads there.
extern void* Real[RouteCount];
#define REAL(function) ((decltype(&function))Real[Route##function])

// What a record stands for, and how its end is seen.
enum Kind {
    KindThread,          // our own handle to the thread is signalled
    KindQueueTimer,      // timer-queue timer, registered wait: the system has
    KindRegisteredWait,  //   set our deletion event (after its callbacks)
    KindPoolWork,        // the guest's pool objects: closed by the stop once
    KindPoolTimer,       //   no code of the guest runs (the guest's own close
    KindPoolWait,        //   only silences them)
    KindWorkItem,        // QueueUserWorkItem, TrySubmitThreadpoolCallback: on
    KindSimpleCallback,  //   a pool work object of ours, closed after its call
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
    // Ours, closed with the record: the thread (KindThread), the thread of
    // an APC or a timer procedure. ScheduleLock.
    HANDLE handle;
    // The system's timer, wait, pool object (null once closed) or hook, or
    // the thread handle its maker returned. A timer's queue or window, and
    // its id and thread; a thread's owner is 1 when its handle is the
    // runtime's (_beginthread), which closes it at the thread's end.
    // ScheduleLock.
    void* object;
    void* owner;
    UINT_PTR id;
    DWORD threadId;
    // KindQueueTimer, KindRegisteredWait: ours, given to the system's delete
    // (the guest's own may be auto-reset and consumed by the guest). Non-null
    // once deleted: never twice, Wine then reads freed memory. ScheduleLock.
    HANDLE ended;
    // The guest deleted or closed the object: once ended, the record stays
    // as a tombstone, so that a repeated delete or close never reaches the
    // system, until a new object takes the value or the schedule ends.
    // ScheduleLock.
    bool deleted;
    // Interlocked. A trampoline raises inGuest, then reads gateClosed; the
    // stop or a deletion closes the gate, then reads inGuest: once both have
    // seen the other, no call into the guest is under way or can begin. A
    // thread's gate is read once, before it starts: closed for the threads
    // made after the stop began.
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
// A new thread passes through it before it calls the guest; no callback
// trampoline takes it.
extern CRITICAL_SECTION ScheduleLock;
extern Scheduled* Records;
// Set by the stop (window thread): records are then freed only by the stop.
extern bool ScheduleEnding;
// Auto-reset: something the stop waits for without a handle of its own
// happened (a callback left the guest after its gate closed, an APC ran).
extern HANDLE ScheduleChanged;
// The window thread while a guest is routed, else 0 (the guest's waits on
// it answer sent messages). Written by the window thread, read anywhere.
extern volatile DWORD WindowThreadId;
// Thread-local slot: the record of the timer or wait callback this thread
// is running, if any.
extern DWORD CallbackSlot;

// Under ScheduleLock: a new record, linked first (its gate closed once the
// stop has begun); null when out of memory.
Scheduled* NewRecord(Kind kind, void* routine, void* argument);
// Under ScheduleLock: r's object has been made (ok), or r (null: none) goes.
void Made(Scheduled* r, bool ok, void* object, void* owner);
// Under ScheduleLock: the newest record of a live or deleted object, or null.
Scheduled* Find(Kind kind, const void* object);
bool Signalled(HANDLE handle);
// The gate: a trampoline calls the guest only when EnterGuest says so, and
// calls LeaveGuest either way.
bool EnterGuest(Scheduled* r);
void LeaveGuest(Scheduled* r);
// Under ScheduleLock: closes r's gate and deletes its timer or wait with an
// event of ours (r->ended), unless that is under way.
BOOL DeleteCallbacks(Scheduled* r);
// A pool timer or wait fires no more.
void SilencePoolObject(Kind kind, void* object);
// Routed from guest_schedule.cpp: it shares the import table's rule.
FARPROC WINAPI GuestGetProcAddress(HMODULE module, LPCSTR name);

// The real make, close and wait for callbacks of a pool kind (a work item's
// are the pool work's); the three kinds take pointers alike.
inline int PoolIndex(Kind kind)
{
    return kind == KindPoolTimer ? 1 : kind == KindPoolWait ? 2 : 0;
}
#define MAKE_POOL(kind)                                                       \
    ((void*(WINAPI*)(void*, void*, PTP_CALLBACK_ENVIRON))                     \
         Real[RouteCreateThreadpoolWork + PoolIndex(kind)])
#define CLOSE_POOL(kind)                                                      \
    ((VOID(WINAPI*)(void*))Real[RouteCloseThreadpoolWork + PoolIndex(kind)])
#define WAIT_POOL(kind)                                                       \
    ((VOID(WINAPI*)(void*, BOOL))                                             \
         Real[RouteWaitForThreadpoolWorkCallbacks + PoolIndex(kind)])
