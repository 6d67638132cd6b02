// Plays the host's part in the tests, through the host layer that the host
// program uses too (tools/common/plugin_host.h): LoadLibraryA,
// VISGetPluginInfo, and every entry called through the record with its
// stack checked; an entry that does not remove its own arguments fails the
// test. Also finds the player window and queries it as the guest does.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <string>

#include "common/plugin_host.h"
#include "support/test_support.h"

namespace testing_support {

using ::CallStdcall;

class LoadedPlugin {
public:
    // A private copy of the built DLL in a fresh folder (its tag file lands
    // there too), loaded. A fresh load has fresh module state.
    LoadedPlugin();
    // The DLL at dllPath, loaded as it is.
    explicit LoadedPlugin(const std::string& dllPath);
    // A DLL the caller loaded (by a path the ANSI functions cannot take,
    // say), taken over.
    LoadedPlugin(HMODULE module, const std::string& dllPath);
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;
    ~LoadedPlugin() = default;   // unloads (without PluginQuit)

    bool Loaded() const { return session_.Module() != NULL; }
    HMODULE Module() const { return session_.Module(); }
    const pluginhost::VisPluginRecord& Record() const { return session_.Record(); }
    const std::string& DllPath() const { return dllPath_; }
    // Beside the DLL: its path with "mp3" for its last three characters.
    std::string TagFile() const;

    // The entries. Unused arguments carry sentinels.
    int Init() { return Checked(session_.Init()); }
    int Quit() { return Checked(session_.Quit()); }
    int TrackStart(DWORD track, const char* path, LONG lengthMs)
    {
        return Checked(session_.TrackStart(track, path, lengthMs));
    }
    int TrackStop(DWORD track) { return Checked(session_.TrackStop(track)); }
    int Progress(DWORD track, LONG positionMs, LONG progressValue)
    {
        return Checked(session_.Progress(track, positionMs, progressValue));
    }
    int Configure(HWND owner) { return Checked(session_.Configure(owner)); }

    // Unloads now (FreeLibrary); the destructor then does nothing.
    void Unload() { session_.Unload(); }

private:
    int Checked(int result);
    void Take(bool ok, const std::string& error);
    TempDir dir_;
    std::string dllPath_;
    pluginhost::PluginSession session_;
};

// The player window's class name and first title, 23 bytes of code page 932:
// "tebo", "myu-jikku" in katakana, "Wrapper". The version box says the same
// with " v0.930" behind it. Written out here, apart from the plug-in's own
// macros, so that a wrong text in the plug-in shows.
const char PlayerClassName[] =
    "tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E" "Wrapper";
static_assert(sizeof(PlayerClassName) == 24, "23 bytes and the NUL");
const char VersionBoxText[] =
    "tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E" "Wrapper v0.930";

// EmulatedPlayerWindow of this process (hidden top-level windows of the class
// are found too; windows of other processes are skipped), or null.
HWND FindPlayerWindow();

// Sends a WM_USER query to the window as the guest does (query number in
// lparam), bounded: a window thread that does not answer within 5 s fails
// the test instead of hanging it.
LRESULT Query(HWND window, WPARAM wparam, LPARAM lparam);

} // namespace testing_support
