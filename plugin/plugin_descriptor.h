// The plug-in's face toward the host audio player: the one export, the
// descriptor record it hands out and the six entry points.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "../state/playback_state.h"

// The 44-byte record that VISGetPluginInfo copies into the host's buffer:
// eleven little-endian 32-bit fields. The host calls every entry with the
// stdcall convention (the callee pops its arguments). Built for 64-bit
// Windows, the fields are pointer-sized: 88 bytes, the header word padded to
// 8.
struct PluginDescriptor {
    DWORD headerWord;          // always PluginHeaderWord
    const char* name;          // Shift-JIS, static, never freed
    const char* author;
    const char* description;
    const char* webPage;
    int (WINAPI* init)(DWORD unused1, DWORD unused2);
    int (WINAPI* quit)(void);
    int (WINAPI* trackStart)(TrackId track, const char* path, DWORD unused1,
                             DWORD unused2, DWORD unused3, DWORD unused4,
                             LONG lengthMs, DWORD unused5);
    int (WINAPI* trackStop)(TrackId track);
    int (WINAPI* progress)(TrackId track, LONG positionMs, LONG progressValue);
    int (WINAPI* configure)(HWND owner);
};
static_assert(sizeof(PluginDescriptor) == 11 * sizeof(void*),
              "the host reads exactly 44 bytes (88 on 64-bit Windows)");
static_assert(offsetof(PluginDescriptor, name) == 1 * sizeof(void*) &&
              offsetof(PluginDescriptor, author) == 2 * sizeof(void*) &&
              offsetof(PluginDescriptor, description) == 3 * sizeof(void*) &&
              offsetof(PluginDescriptor, webPage) == 4 * sizeof(void*) &&
              offsetof(PluginDescriptor, init) == 5 * sizeof(void*) &&
              offsetof(PluginDescriptor, quit) == 6 * sizeof(void*) &&
              offsetof(PluginDescriptor, trackStart) == 7 * sizeof(void*) &&
              offsetof(PluginDescriptor, trackStop) == 8 * sizeof(void*) &&
              offsetof(PluginDescriptor, progress) == 9 * sizeof(void*) &&
              offsetof(PluginDescriptor, configure) == 10 * sizeof(void*),
              "one field every pointer size: 4 bytes (8 on 64-bit Windows)");

enum { PluginHeaderWord = 0x1000 };

// Export. Copies the descriptor into the caller's 44-byte buffer; returns 0.
// A null buffer is ignored (returns -1) rather than faulting in the host.
extern "C" int WINAPI VISGetPluginInfo(PluginDescriptor* out);

// Entries 1 and 2: start and stop the whole plug-in.
int WINAPI PluginInit(DWORD unused1, DWORD unused2);
int WINAPI PluginQuit(void);

// Entry 6: passes the host's configure request to the started guest, or shows
// the version box when no guest has been started.
int WINAPI OnConfigure(HWND owner);
