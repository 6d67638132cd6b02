// The host's side of the visualisation plug-in interface: load a plug-in DLL
// the way the player does (LoadLibraryA, VISGetPluginInfo, the 44-byte
// record), check it on the way, and call its six stdcall entries. The one
// host layer of the host program and of the tests; the record is defined
// here on its own, so that a wrong layout on the plug-in's side shows.
#pragma once

#include "common/stdcall_call.h"

#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace pluginhost {

// The record that VISGetPluginInfo fills: eleven 32-bit fields (pointer-sized
// in the 64-bit build, the header word padded to 8). The entries are called
// through plain addresses so that every call can check that the entry
// removed its own arguments (stdcall) instead of trusting the type.
struct VisPluginRecord {
    uint32_t headerWord;
    const char* name;          // the strings are Shift-JIS (code page 932)
    const char* author;
    const char* description;
    const char* webPage;
    const void* init;          // (DWORD, DWORD) -> 0 started, 1 refused
    const void* quit;          // () -> 0
    const void* trackStart;    // (id, path, 4 x unused, length ms, unused)
    const void* trackStop;     // (id)
    const void* progress;      // (id, position ms, second progress value)
    const void* configure;     // (owner window)
};
static_assert(sizeof(VisPluginRecord) == 11 * sizeof(void*) &&
              offsetof(VisPluginRecord, name) == sizeof(void*) &&
              offsetof(VisPluginRecord, init) == 5 * sizeof(void*) &&
              offsetof(VisPluginRecord, configure) == 10 * sizeof(void*),
              "the player reads exactly 44 bytes (88 in the 64-bit build)");

const uint32_t ExpectedHeaderWord = 0x1000;

using ::CallStdcall;

// The system's text for a Win32 error code, one line.
std::string SystemMessage(DWORD error);

class PluginSession {
public:
    PluginSession() = default;
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;
    ~PluginSession();   // frees the DLL (the caller has called Quit)

    // Loads the DLL at path (a full path) and takes its record. On failure
    // *error says why in a sentence a user can act on.
    bool Load(const std::string& path, std::string* error);
    // Takes over a DLL the caller has loaded (by a path the ANSI functions
    // cannot take, say) and takes its record; it is freed like a loaded one,
    // also on failure. name names it in *error.
    bool Adopt(HMODULE module, const std::string& name, std::string* error);
    // Frees the DLL now (FreeLibrary, without Quit); the destructor then
    // does nothing.
    void Unload();

    const VisPluginRecord& Record() const { return record_; }
    HMODULE Module() const { return module_; }
    // Set once an entry has left the stack unbalanced.
    const std::string& EntryFault() const { return entryFault_; }

    // The entries; the arguments the plug-in does not use carry sentinels.
    int Init();
    int Quit();
    int TrackStart(DWORD id, const char* path, LONG lengthMs);
    int TrackStop(DWORD id);
    int Progress(DWORD id, LONG positionMs, LONG progressValue);
    int Configure(HWND owner);

private:
    int Call(const char* entry, const void* fn, const uintptr_t* args, int count);

    HMODULE module_ = NULL;
    VisPluginRecord record_ = {};
    std::string entryFault_;
};

} // namespace pluginhost
