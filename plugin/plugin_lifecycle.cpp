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
    ActivateState();
    if (!BindTagLibrary())
        return FALSE;
    DeriveTagFilePath();
    return TRUE;
}

} // namespace

int WINAPI PluginInit(DWORD, DWORD)
{
    EnterCriticalSection(&StateLock);
    int result = StartWindowThread(PrepareStart);
    LeaveCriticalSection(&StateLock);
    return result;
}

int WINAPI PluginQuit(void)
{
    EnterCriticalSection(&StateLock);
    DeactivateState();
    StopWindowThread();
    LeaveCriticalSection(&StateLock);
    return 0;
}
