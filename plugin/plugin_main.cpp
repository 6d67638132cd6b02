// The DLL entry, the export and the descriptor.
#include "plugin_descriptor.h"

#include "../base/plugin_module.h"
#include "plugin_version.h"
#include "../emulation/player_window.h"
#include "../state/playback_state.h"

namespace {

// Whether StateLock and the other process-wide objects exist.
LONG LockReady = 0;
LONG AttachCount = 0;

// "teboミュージックWrapper for sorvek", Shift-JIS (plugin_version.h).
const char PluginName[] = TEBO_PLUGIN_NAME;
const char AuthorName[] = "tebo wrapper";
const char Description[] = "Only Wrapping gen_tebo_for_winamp.dll";
const char WebPage[] = "https://example.invalid/tebo-wrapper";

const PluginDescriptor Descriptor = {
    PluginHeaderWord, PluginName, AuthorName, Description, WebPage,
    PluginInit, PluginQuit, OnTrackStart, OnTrackStop, OnProgress, OnConfigure,
};

} // namespace

// Runs under the loader lock: only has each part make (or delete) its own
// process-wide objects. Threads are started and libraries loaded from
// PluginInit, never from here.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (!LockReady) {
        CreateModuleObjects(module);
        CreatePlaybackObjects();
        CreateEmulationObjects();
        LockReady = 1;
        DisableThreadLibraryCalls(module);
    }
    if (reason == DLL_PROCESS_ATTACH) {
        ++AttachCount;
    } else if (reason == DLL_PROCESS_DETACH) {
        if (--AttachCount <= 0) {
            DeleteEmulationObjects();
            DeletePlaybackObjects();
            DeleteModuleObjects();
            LockReady = 0;
        }
    }
    return TRUE;
}

extern "C" int WINAPI VISGetPluginInfo(PluginDescriptor* out)
{
    if (out == NULL)
        return -1;
    CopyMemory(out, &Descriptor, sizeof(Descriptor));
    return 0;
}
