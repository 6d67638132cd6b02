// The DLL entry, the export and the descriptor.
#include "plugin_descriptor.h"

#include "plugin_module.h"
#include "../emulation/player_window.h"
#include "../state/playback_state.h"

namespace {

// Whether StateLock and the other process-wide objects exist.
LONG LockReady = 0;
LONG AttachCount = 0;

// "teboミュージックWrapper for sorvek", Shift-JIS.
const char PluginName[] =
    "tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E" "Wrapper for sorvek";
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
