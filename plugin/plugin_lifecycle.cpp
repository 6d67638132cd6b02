// PluginInit and PluginQuit: start and stop the whole plug-in.
#include "plugin_descriptor.h"

#include "../base/plugin_module.h"
#include "../containment/message_wait.h"
#include "../emulation/player_window.h"
#include "../state/playback_state.h"
#include "../tags/tag_bridge.h"

namespace {

// What a start does before its window thread runs: mark the state active
// and clear its track fields, bind the tag library, derive the tag file's
// path. A failed binding fails the start; the active mark stays.
BOOL PrepareStart(void)
{
    EnterCriticalSection(&StateLock);
    ActivateState();
    BOOL bound = BindTagLibrary();
    if (bound)
        DeriveTagFilePath();
    LeaveCriticalSection(&StateLock);
    return bound;
}

// Who is inside PluginInit or PluginQuit, while StartStopFree is taken, and
// whether it stops. Written only by that thread; read by the others.
volatile DWORD StartStopThread = 0;
volatile LONG StopUnderWay = 0;

// Takes StartStopFree within the time left of boundMs since start. False,
// at once, for a call re-entered on the same thread (a handler that one of
// its waits ran) and for a stop beside a stop under way, which finishes the
// job; false when the time ran out.
bool EnterStartStop(DWORD start, DWORD boundMs, bool stopping)
{
    if (StartStopThread == GetCurrentThreadId() || (stopping && StopUnderWay))
        return false;
    if (WaitAnsweringSentMessages(1, &StartStopFree,
                                  TimeLeft(start, boundMs)) != WAIT_OBJECT_0)
        return false;
    StartStopThread = GetCurrentThreadId();
    InterlockedExchange(&StopUnderWay, stopping);
    return true;
}

void LeaveStartStop(void)
{
    StartStopThread = 0;
    InterlockedExchange(&StopUnderWay, 0);
    SetEvent(StartStopFree);
}

} // namespace

// A notification on another host thread meanwhile waits for StateLock only
// for a few stores: neither holds it while it waits for the window thread.
// A start beside a stop still under way is refused (1, nothing changes)
// when that stop has not finished within the start's own bound.
int WINAPI PluginInit(DWORD, DWORD)
{
    DWORD start = GetTickCount();
    if (!EnterStartStop(start, StartBudgetMs, false))
        return 1;
    int result = StartWindowThread(PrepareStart, start);
    LeaveStartStop();
    return result;
}

int WINAPI PluginQuit(void)
{
    DWORD start = GetTickCount();
    if (!EnterStartStop(start, StopBudgetMs, true))
        return 0;
    EnterCriticalSection(&StateLock);
    DeactivateState();
    LeaveCriticalSection(&StateLock);
    StopWindowThread(start);
    LeaveStartStop();
    return 0;
}
