// The tag bridge: the artist, album and title of the playing file, read
// through mp3infp.dll and written as a small ID3v2.3 tag file whose path the
// emulated player gives the guest in place of the real file's.
#pragma once

#include <windows.h>

#include "tag_logic.h"

// The process-wide binding to mp3infp.dll. Written only by BindTagLibrary on
// a host thread before the window thread starts; read only by ReadTags on the
// window thread. The library, once loaded, stays loaded.
struct TagLibraryBinding {
    HMODULE module;
    TagLibraryEntries entries;   // all four set, or all null
};
extern TagLibraryBinding TagLibrary;

// Loads mp3infp.dll (by bare file name, else from the plug-in's own folder:
// LoadPluginLibrary) and resolves its four entry points. Fails (FALSE), with
// one debugger line, when the library cannot be loaded or lacks an entry
// point; then nothing is bound and no call can go through a missing entry.
BOOL BindTagLibrary(void);

// Reads a file's tags through the bound library; 0 or -1 (see ReadTagsFrom).
int ReadTags(TagRecord* record, const char* path);

// Where the tag file is written: the plug-in DLL's own path with its last
// three characters replaced by "mp3". Empty until the first start.
extern char TagFilePath[MAX_PATH];

// Makes the tag-file path from a module path of length n (as returned by
// GetModuleFileNameA into a buffer of MAX_PATH). A failed or cut module path
// (n of 0, n of MAX_PATH or more, n below 3) gives an empty path.
void MakeTagFilePath(char* out, const char* modulePath, DWORD n);

// Sets TagFilePath from the own module's path. Runs in PluginInit.
void DeriveTagFilePath(void);

// Reads the current track's tags and writes them as the tag file at path.
// Returns path itself when the whole file has been written; null when the
// tags cannot be read, the file cannot be created or the write falls short.
// Runs on the window thread; never waits for StateLock.
const char* WriteTagFile(const char* path);
