// PluginInit and PluginQuit: start and stop the whole plug-in.
#include "plugin_descriptor.h"

#include "../base/plugin_module.h"
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

} // namespace

// Both wait for the window thread under StartStopLock alone: a notification
// on another host thread meanwhile waits for StateLock only for a few stores.
int WINAPI PluginInit(DWORD, DWORD)
{
    EnterCriticalSection(&StartStopLock);
    int result = StartWindowThread(PrepareStart);
    LeaveCriticalSection(&StartStopLock);
    return result;
}

int WINAPI PluginQuit(void)
{
    EnterCriticalSection(&StartStopLock);
    EnterCriticalSection(&StateLock);
    DeactivateState();
    LeaveCriticalSection(&StateLock);
    StopWindowThread();
    LeaveCriticalSection(&StartStopLock);
    return 0;
}
