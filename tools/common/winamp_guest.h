// The Winamp general-purpose plug-in interface as a guest sees it: its header
// and the queries it sends to the player window. Defined here on its own,
// apart from the plug-in's side, for the guest stand-ins and the tests, so
// that a wrong layout or number on either side shows.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace winamp {

// What winampGetGeneralPurposePlugin (cdecl, exported undecorated) returns.
// Its functions are cdecl.
struct GeneralPurposePlugin {
    int version;
    const char* description;
    int (*init)(void);
    void (*config)(void);
    void (*quit)(void);
    HWND parent;          // written by the player before init
    HINSTANCE instance;   // written by the player before init
};
typedef GeneralPurposePlugin* (*GeneralPurposeEntry)(void);

// Offsets of init, config, quit, parent and instance, then the size, as
// numbers: 32-bit Winamp's, or on 64-bit Windows the same fields at 8-byte
// steps (the version padded to 8).
#if defined(_WIN64)
constexpr size_t Layout[6] = {16, 24, 32, 40, 48, 56};
#else
constexpr size_t Layout[6] = {8, 12, 16, 20, 24, 28};
#endif
static_assert(offsetof(GeneralPurposePlugin, init) == Layout[0], "init at 8 (16)");
static_assert(offsetof(GeneralPurposePlugin, config) == Layout[1], "config at 12 (24)");
static_assert(offsetof(GeneralPurposePlugin, quit) == Layout[2], "quit at 16 (32)");
static_assert(offsetof(GeneralPurposePlugin, parent) == Layout[3], "parent at 20 (40)");
static_assert(offsetof(GeneralPurposePlugin, instance) == Layout[4], "instance at 24 (48)");
static_assert(sizeof(GeneralPurposePlugin) == Layout[5], "28 bytes (56)");

// The version a player starts.
const int HeaderVersion = 0x10;

// The WM_USER queries, by their number in lparam.
const LPARAM QueryPlayState = 104;      // 0 stopped, 1 playing, 3 paused
const LPARAM QueryOutputTime = 105;     // wparam 0: position ms; 1: length s
const LPARAM QueryListPosition = 125;
const LPARAM QueryPlaylistFile = 211;   // the playing file's path, or 0

} // namespace winamp
