// Plays the host's part: loads a private copy of the plug-in DLL with
// LoadLibraryA, takes VISGetPluginInfo, and calls the entries through stdcall
// pointers, checking on every call that the entry removed its own arguments.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <string>

#include "plugin/plugin_descriptor.h"
#include "support/test_support.h"
#include "tools/common/stdcall_call.h"

namespace testing_support {

using ::CallStdcall;

class LoadedPlugin {
public:
    // Copies the built DLL into a fresh folder (its tag file lands there too)
    // and loads it. A fresh load has fresh module state.
    LoadedPlugin();
    ~LoadedPlugin();   // unloads (without PluginQuit)

    bool Loaded() const { return module_ != NULL; }
    HMODULE Module() const { return module_; }
    const PluginDescriptor& Descriptor() const { return descriptor_; }
    const std::string& Folder() const { return dir_.Path(); }
    std::string DllPath() const { return dir_.File("tebo_wrapper.dll"); }
    std::string TagFile() const { return dir_.File("tebo_wrapper.mp3"); }

    // The entries, through the descriptor's pointers; each call fails the
    // test when the stack is unbalanced afterwards.
    int Init();
    int Quit();
    int TrackStart(TrackId track, const char* path, LONG lengthMs);
    int TrackStop(TrackId track);
    int Progress(TrackId track, LONG positionMs, LONG progressValue);
    int Configure(HWND owner);

    // Unloads now (FreeLibrary); the destructor then does nothing.
    void Unload();

private:
    int Call(const void* fn, const uintptr_t* args, int count);
    TempDir dir_;
    HMODULE module_;
    PluginDescriptor descriptor_;
};

// EmulatedPlayerWindow of this process (hidden top-level windows of the class
// are found too; windows of other processes are skipped), or null.
HWND FindPlayerWindow();

// Sends a WM_USER query to the window from the calling thread.
LRESULT Query(HWND window, WPARAM wparam, LPARAM lparam);

} // namespace testing_support
